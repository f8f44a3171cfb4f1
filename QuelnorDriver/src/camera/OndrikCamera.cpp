#include "QuelnorDriver/camera/OndrikCamera.h"

#include <utility>

#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

OndrikCamera::OndrikCamera(CameraDescription description_) : OndrikCameraBase(std::move(description_)) {}

// Stopped here, while the camera is still whole: its threads call this class's overrides.
OndrikCamera::~OndrikCamera() { stopStreams(); }

std::string OndrikCamera::getManufacturer() { return "Quelnor"; }

std::string OndrikCamera::getProductName() { return "Ondrik"; }

std::shared_ptr<Interface> OndrikCamera::createInterface() {
    return UsbInterface::createUsbFusionInterface(description);
}

} // namespace quelnor
