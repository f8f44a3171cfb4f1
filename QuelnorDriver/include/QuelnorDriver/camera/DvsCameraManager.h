#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorDriver/camera/CameraType.h"
#include "QuelnorDriver/camera/DvsCamera.h"
#include "QuelnorDriver/camera/FusionCamera.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

// The entry point: lists the attached cameras and opens one by serial number.
//
// getCameraDescs() runs the full discovery each time: it first forgets the cameras that report not
// connected (a camera that was never opened reports not connected, so it is made anew from a fresh
// description while it is still found), then searches USB event cameras (EVK4, EVK5, Tolvane), the
// USB and MIPI fusion cameras, Ethernet cameras (every one becomes a QuelnorTolvane) and the Zarn320,
// in that order; a serial found twice keeps the object of the first search. Opened cameras keep
// their object until they are found unplugged. Call it before opening: the open calls only look
// into what the last listing found.
//
// Threads: none of its own and no lock; one application thread at a time uses a manager. The
// cameras it hands out are shared with the application and live on while it holds them.
// Exceptions from discovery and from opening reach the caller.
class DvsCameraManager {
public:
    DvsCameraManager();
    ~DvsCameraManager();
    // Copies share the camera objects.
    DvsCameraManager(const DvsCameraManager& other);
    DvsCameraManager(DvsCameraManager&& other) noexcept;
    DvsCameraManager& operator=(const DvsCameraManager& other);
    DvsCameraManager& operator=(DvsCameraManager&& other) noexcept;

    // The descriptions of every event camera (ascending serial), then every fusion camera.
    std::vector<CameraDescription> getCameraDescs();
    // Forgets unplugged cameras and searches again; returns the number of cameras found.
    int updateCameras();

    // Opens (initialises) the event camera of that serial and returns it; the same object on every
    // call. Empty when the last listing did not find that serial or the camera cannot be opened, as
    // when it refuses a register write of the sensor's bring-up (the next call tries again). A failed
    // exchange while the tools are built throws (std::runtime_error over USB).
    std::shared_ptr<DvsCamera> openCamera(std::string serial);
    // The same for fusion cameras. Every call opens the camera again, which also forgets the callbacks
    // registered on it: register them after the last open.
    std::shared_ptr<FusionCamera> openFusionCamera(std::string serial);

    // Gives the Ethernet camera of the description a new address (host order, first octet high).
    static bool ethCameraForceIP(CameraDescription description, uint32_t ip, uint32_t mask, uint32_t gateway);

private:
    void removeUnpluggedCameras();
    uint64_t findCameras();
    uint64_t findCameras(CAMERA_TYPE type);
    uint64_t findEthCameras();
    template <typename T>
    uint64_t findUsbCameras();

    // Fusion cameras.
    void removeUnpluggedFusionCameras();
    void appendFusionDescriptions(std::vector<CameraDescription>& descriptions) const;
    template <typename T>
    uint64_t findUsbFusionCameras();
    uint64_t findOndrikProCamera();

    std::map<std::string, std::shared_ptr<DvsCamera>> cameras;
    std::map<std::string, std::shared_ptr<FusionCamera>> fusionCameras;
};

} // namespace quelnor
