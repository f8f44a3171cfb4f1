#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quelnor {

// How a camera is attached. Same numbers as Interface::InterfaceType.
enum INTERFACE_TYPE : int32_t {
    INTERFACE_USB = 0,
    INTERFACE_ETH = 1,
    INTERFACE_MIPI = 2,
};

// "USB", "ETH", "MIPI", or "UNDEFINED" for any other value.
std::string to_string(INTERFACE_TYPE type);

// What discovery knows of a camera and what opening it needs. A snapshot, copied by value.
struct CameraDescription {
    std::string serialNumber;
    std::string productName;
    std::string manufacturer;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    INTERFACE_TYPE interfaceType = INTERFACE_USB;
    // Ethernet cameras: [0] camera address, [1] local adapter address, [2] subnet mask, [3] gateway.
    std::array<std::string, 4> ipAddresses;
    // 48-bit MAC in the low bits, first octet most significant.
    uint64_t macAddress = 0;
    std::string firmwareVersion;

    CameraDescription();
    CameraDescription(const CameraDescription& other);
    CameraDescription(CameraDescription&& other) noexcept;
    CameraDescription& operator=(const CameraDescription& other);
    CameraDescription& operator=(CameraDescription&& other) noexcept;
    ~CameraDescription();
};

} // namespace quelnor
