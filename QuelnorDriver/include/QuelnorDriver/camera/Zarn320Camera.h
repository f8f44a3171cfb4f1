#pragma once

#include <cstdint>
#include <string>

#include "QuelnorDriver/camera/DvsEventCamera.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

// The Zarn320 camera (GenX320 sensor, 320 x 320) on USB.
class Zarn320Camera : public DvsEventCamera {
public:
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x04B5;
    static constexpr uint16_t productId = 0x0003;

    explicit Zarn320Camera(CameraDescription description);
    ~Zarn320Camera() override;

    // "Quelnor Team."
    static std::string getManufacturer();
    // "Quelnor.320camera"
    static std::string getProductName();

    // Asks the opened camera for its firmware version text (up to the first NUL byte): true when
    // the text is not empty. Without an answer version is "N/A" and the result false.
    bool getFirmwareVersion(std::string& version) override;
};

} // namespace quelnor
