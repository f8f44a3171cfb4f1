#include "QuelnorDriver/camera/Zarn320Camera.h"

#include <cstring>
#include <memory>
#include <utility>

#include "QuelnorHal/interface/CtrlFrame.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

namespace {
constexpr const char* UNKNOWN_FIRMWARE_VERSION = "N/A";
}

Zarn320Camera::Zarn320Camera(CameraDescription description_) : DvsEventCamera(std::move(description_)) {}

Zarn320Camera::~Zarn320Camera() = default;

std::string Zarn320Camera::getManufacturer() { return "Quelnor Team."; }

std::string Zarn320Camera::getProductName() { return "Quelnor.320camera"; }

bool Zarn320Camera::getFirmwareVersion(std::string& version) {
    version = UNKNOWN_FIRMWARE_VERSION;
    auto usb = std::dynamic_pointer_cast<UsbInterface>(interface);
    if (!usb || !usb->isConnected()) {
        return false;
    }
    CtrlFrame frame(UsbInterface::PROPERTY_FIRMWARE_VERSION);
    if (!usb->transferFrame(frame)) {
        return false;
    }
    const uint64_t size = frame.payload_size();
    if (size == 0) {
        return false;
    }
    const char* text = reinterpret_cast<const char*>(frame.payload());
    version.assign(text, ::strnlen(text, static_cast<size_t>(size)));
    return !version.empty();
}

} // namespace quelnor
