// The manager's fusion-camera half: the fusion map, its searches and openFusionCamera.
#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorDriver/camera/OndrikCamera.h"
#include "QuelnorDriver/camera/OndrikProCamera.h"
#include "QuelnorHal/interface/OndrikProInterface.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

namespace {
constexpr const char* ONDRIK_PRO_SERIAL = "OndrikPro-MIPI-0";
}

std::shared_ptr<FusionCamera> DvsCameraManager::openFusionCamera(std::string serial) {
    QN_DEBUG("Fusion Camera serial: %s", serial.c_str());
    auto it = fusionCameras.find(serial);
    if (it == fusionCameras.end()) {
        return nullptr;
    }
    if (it->second->init() != 0) {
        return nullptr;
    }
    return it->second;
}

void DvsCameraManager::removeUnpluggedFusionCameras() {
    for (auto it = fusionCameras.begin(); it != fusionCameras.end();) {
        if (it->second->isConnected()) {
            ++it;
        } else {
            it = fusionCameras.erase(it);
        }
    }
}

void DvsCameraManager::appendFusionDescriptions(std::vector<CameraDescription>& descriptions) const {
    for (const auto& [serial, camera] : fusionCameras) {
        descriptions.push_back(camera->getDescription());
    }
}

template <typename T>
uint64_t DvsCameraManager::findUsbFusionCameras() {
    // Unlike the event-camera search, an empty answer is not asked again.
    const std::vector<CameraDescription> found = UsbInterface::findUsbFusionCamera(T::vendorId, T::productId);
    for (const CameraDescription& description : found) {
        if (fusionCameras.find(description.serialNumber) == fusionCameras.end()) {
            fusionCameras.emplace(description.serialNumber, std::make_shared<T>(description));
        }
    }
    return found.size();
}

template uint64_t DvsCameraManager::findUsbFusionCameras<OndrikCamera>();

uint64_t DvsCameraManager::findOndrikProCamera() {
    // A probe only: the camera makes its own interface when it is opened.
    if (!OndrikProInterface::create()->isConnected()) {
        return 0;
    }
    CameraDescription description;
    description.serialNumber = ONDRIK_PRO_SERIAL;
    description.productName = OndrikProCamera::getProductName();
    description.manufacturer = OndrikProCamera::getManufacturer();
    description.vendorId = 0;
    description.productId = 0;
    description.interfaceType = INTERFACE_MIPI;
    if (fusionCameras.find(ONDRIK_PRO_SERIAL) == fusionCameras.end()) {
        fusionCameras.emplace(ONDRIK_PRO_SERIAL, std::make_shared<OndrikProCamera>(description));
    }
    return 1;
}

} // namespace quelnor
