#include "QuelnorDriver/camera/DvsCamera.h"

#include <utility>

namespace quelnor {

namespace {
constexpr const char* UNKNOWN_FIRMWARE_VERSION = "N/A";
}

DvsCamera::DvsCamera(CameraDescription description_) : description(std::move(description_)) {}

DvsCamera::DvsCamera(const DvsCamera& other) = default;
DvsCamera::DvsCamera(DvsCamera&& other) noexcept = default;
DvsCamera& DvsCamera::operator=(const DvsCamera& other) = default;
DvsCamera& DvsCamera::operator=(DvsCamera&& other) noexcept = default;
DvsCamera::~DvsCamera() = default;

void DvsCamera::setFileCacheTime(uint16_t, std::string) {}

void DvsCamera::setStatisticInfoCallback(StatisticInfoCallback) {}

bool DvsCamera::updateCameraFirmware(std::string, uint32_t) { return false; }

bool DvsCamera::getFirmwareVersion(std::string& version) {
    version = UNKNOWN_FIRMWARE_VERSION;
    return false;
}

CameraDescription DvsCamera::getDescription() const { return description; }

std::vector<ToolInfo> DvsCamera::getAllToolsInfo() const { return tools.getAllToolsInfo(); }

ToolInfo DvsCamera::getToolInfo(ToolType type) const { return tools.getToolInfo(type); }

std::shared_ptr<CameraTool> DvsCamera::getTool(ToolType type) const { return tools.getTool(type); }

std::shared_ptr<CameraTool> DvsCamera::getTool(std::string name) const { return tools.getTool(name); }

bool DvsCamera::isRecordingHealthy() const { return true; }

StreamLossInfo DvsCamera::getStreamLossInfo() const { return StreamLossInfo(); }

bool DvsCamera::exportCameraConfigParams(std::string path) { return tools.exportCameraConfigParams(path); }

bool DvsCamera::loadCameraConfigParams(std::string path) { return tools.loadCameraConfigParams(path); }

} // namespace quelnor
