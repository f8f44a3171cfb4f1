// The manager's fusion-camera half: the fusion map, its searches and openFusionCamera. No fusion
// camera kind is built yet, so the searches find nothing and the map stays empty; the fusion
// cameras fill in these members.
#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"

namespace quelnor {

std::shared_ptr<FusionCamera> DvsCameraManager::openFusionCamera(std::string serial) {
    QN_DEBUG("Fusion Camera serial: %s", serial.c_str());
    return nullptr;
}

void DvsCameraManager::removeUnpluggedFusionCameras() {}

void DvsCameraManager::appendFusionDescriptions(std::vector<CameraDescription>&) const {}

uint64_t DvsCameraManager::findUsbFusionCameras() { return 0; }

uint64_t DvsCameraManager::findOndrikProCamera() { return 0; }

} // namespace quelnor
