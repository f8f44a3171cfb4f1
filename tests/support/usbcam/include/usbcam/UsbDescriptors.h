#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usbcam/UsbCameraConfig.h"

namespace quelnor::test::usbcam {

// Standard USB descriptors of a configured camera, as bytes on the wire.
class UsbDescriptors {
public:
    static constexpr uint8_t MANUFACTURER_INDEX = 1;
    static constexpr uint8_t PRODUCT_INDEX = 2;
    static constexpr uint8_t SERIAL_INDEX = 3;
    static constexpr uint16_t LANGUAGE_EN_US = 0x0409;

    static std::vector<uint8_t> device(const UsbCameraConfig& config);
    // Configuration 1 with every interface, alternate setting and endpoint.
    static std::vector<uint8_t> configuration(const UsbCameraConfig& config);
    // Index 0 is the language list; empty for an index the device does not have.
    static std::optional<std::vector<uint8_t>> string(const UsbCameraConfig& config, uint8_t index);
    // Device and configuration descriptors back to back, as sysfs "descriptors" holds them.
    static std::vector<uint8_t> sysfsDescriptors(const UsbCameraConfig& config);
};

} // namespace quelnor::test::usbcam
