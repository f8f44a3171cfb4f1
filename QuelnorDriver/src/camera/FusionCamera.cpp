#include "QuelnorDriver/camera/FusionCamera.h"

namespace quelnor {

FusionCamera::~FusionCamera() = default;

void FusionCamera::setStatisticInfoCallback(StatisticInfoCallback) {}

bool FusionCamera::isRecordingHealthy(STREAM_TYPE) const { return true; }

StreamLossInfo FusionCamera::getStreamLossInfo() const { return StreamLossInfo(); }

CameraDescription FusionCamera::getDescription() const { return description; }

std::vector<ToolInfo> FusionCamera::getAllToolsInfo() const { return tools.getAllToolsInfo(); }

ToolInfo FusionCamera::getToolInfo(ToolType type) const { return tools.getToolInfo(type); }

std::shared_ptr<CameraTool> FusionCamera::getTool(ToolType type) const { return tools.getTool(type); }

std::shared_ptr<CameraTool> FusionCamera::getTool(std::string name) const { return tools.getTool(name); }

bool FusionCamera::exportCameraConfigParams(std::string path) { return tools.exportCameraConfigParams(path); }

bool FusionCamera::loadCameraConfigParams(std::string path) { return tools.loadCameraConfigParams(path); }

} // namespace quelnor
