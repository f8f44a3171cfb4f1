#include "QuelnorDriver/camera/DvsCameraManager.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/camera/OndrikCamera.h"
#include "QuelnorDriver/camera/PropheseeEVK4.h"
#include "QuelnorDriver/camera/PropheseeEVK5.h"
#include "QuelnorDriver/camera/QuelnorTolvane.h"
#include "QuelnorDriver/camera/Zarn320Camera.h"
#include "QuelnorHal/interface/EthInterface.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

DvsCameraManager::DvsCameraManager() = default;

DvsCameraManager::~DvsCameraManager() {
    fusionCameras.clear();
    cameras.clear();
}

DvsCameraManager::DvsCameraManager(const DvsCameraManager& other) = default;
DvsCameraManager::DvsCameraManager(DvsCameraManager&& other) noexcept = default;
DvsCameraManager& DvsCameraManager::operator=(const DvsCameraManager& other) = default;
DvsCameraManager& DvsCameraManager::operator=(DvsCameraManager&& other) noexcept = default;

std::vector<CameraDescription> DvsCameraManager::getCameraDescs() {
    updateCameras();
    std::vector<CameraDescription> descriptions;
    descriptions.reserve(cameras.size() + fusionCameras.size());
    for (const auto& [serial, camera] : cameras) {
        descriptions.push_back(camera->getDescription());
    }
    appendFusionDescriptions(descriptions);
    return descriptions;
}

int DvsCameraManager::updateCameras() {
    removeUnpluggedCameras();
    return static_cast<int>(findCameras());
}

std::shared_ptr<DvsCamera> DvsCameraManager::openCamera(std::string serial) {
    QN_DEBUG("Camera serial: %s", serial.c_str());
    auto it = cameras.find(serial);
    if (it == cameras.end()) {
        return nullptr;
    }
    if (it->second->init() != 0) {
        return nullptr;
    }
    return it->second;
}

bool DvsCameraManager::ethCameraForceIP(CameraDescription description, uint32_t ip, uint32_t mask,
                                        uint32_t gateway) {
    return EthInterface::ethCameraForceIP(std::move(description), ip, mask, gateway);
}

void DvsCameraManager::removeUnpluggedCameras() {
    for (auto it = cameras.begin(); it != cameras.end();) {
        if (it->second->isConnected()) {
            ++it;
            continue;
        }
        QN_DEBUG("Camera %s disconnected", it->second->getDescription().serialNumber.c_str());
        it = cameras.erase(it);
    }
    removeUnpluggedFusionCameras();
}

uint64_t DvsCameraManager::findCameras() {
    // The order decides which search sees the bus and the network first.
    uint64_t found = 0;
    found += findCameras(CAMERA_PROPHESEE_EVK4);
    found += findCameras(CAMERA_PROPHESEE_EVK5);
    found += findCameras(CAMERA_QUELNOR_TOLVANE);
    found += findCameras(CAMERA_ONDRIK);
    found += findCameras(CAMERA_ONDRIK_PRO);
    found += findEthCameras();
    found += findCameras(CAMERA_ZARN320);
    return found;
}

uint64_t DvsCameraManager::findCameras(CAMERA_TYPE type) {
    switch (type) {
    case CAMERA_PROPHESEE_EVK4:
        return findUsbCameras<PropheseeEVK4>();
    case CAMERA_PROPHESEE_EVK5:
        return findUsbCameras<PropheseeEVK5>();
    case CAMERA_QUELNOR_TOLVANE:
        return findUsbCameras<QuelnorTolvane>();
    case CAMERA_ONDRIK:
        return findUsbFusionCameras<OndrikCamera>();
    case CAMERA_ZARN320:
        return findUsbCameras<Zarn320Camera>();
    case CAMERA_ONDRIK_PRO:
        return findOndrikProCamera();
    default:
        return 0;
    }
}

template <typename T>
uint64_t DvsCameraManager::findUsbCameras() {
    std::vector<CameraDescription> found = UsbInterface::findUsbDvsCamera(T::vendorId, T::productId);
    if (found.empty()) {
        // An empty answer is asked for once more at once.
        found = UsbInterface::findUsbDvsCamera(T::vendorId, T::productId);
    }
    for (const CameraDescription& description : found) {
        if (cameras.find(description.serialNumber) == cameras.end()) {
            cameras.emplace(description.serialNumber, std::make_shared<T>(description));
        }
    }
    return found.size();
}

uint64_t DvsCameraManager::findEthCameras() {
    const std::vector<CameraDescription> found = EthInterface::findEthDvsCamera();
    for (const CameraDescription& description : found) {
        if (cameras.find(description.serialNumber) == cameras.end()) {
            cameras.emplace(description.serialNumber, std::make_shared<QuelnorTolvane>(description));
        }
    }
    return found.size();
}

} // namespace quelnor
