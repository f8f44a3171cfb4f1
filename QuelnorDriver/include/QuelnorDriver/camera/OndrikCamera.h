#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "QuelnorDriver/camera/OndrikCameraBase.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

// The Ondrik fusion camera on USB: the event stream on the data endpoint, the NV12 frames on the second
// data endpoint, the frame-sensor board, its identity registers and the calibration store reached by
// vendor requests. Opening it reads the calibration block once and logs the firmware version.
class OndrikCamera : public OndrikCameraBase {
public:
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x2207;
    static constexpr uint16_t productId = 0x0006;

    explicit OndrikCamera(CameraDescription description);
    ~OndrikCamera() override;

    // "Quelnor"
    static std::string getManufacturer();
    // "Ondrik"
    static std::string getProductName();

protected:
    // The USB device of the description's ids and serial number; empty when it is not attached.
    std::shared_ptr<Interface> createInterface() override;
};

} // namespace quelnor
