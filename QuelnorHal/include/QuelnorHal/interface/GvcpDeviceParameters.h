#pragma once

#include <cstddef>
#include <cstdint>

namespace quelnor {

// The 256-byte factory record of an Ethernet camera (the layout of the bootstrap block, the same as
// the discovery acknowledgement's payload). It goes to the camera as raw bytes: only macHigh and
// macLow are converted to network order on the way; every other byte is sent exactly as stored, so
// the writer of the record decides the byte order of the remaining numbers.
struct GvcpDeviceParameters {
    uint32_t version = 0;
    uint32_t deviceMode = 0;
    uint16_t reserved0 = 0;
    uint16_t macHigh = 0; // MAC address, upper 16 bits
    uint32_t macLow = 0;  // MAC address, lower 32 bits
    uint32_t interfaceCapability = 0;
    uint32_t interfaceConfiguration = 0;
    uint8_t reserved1[12] = {};
    uint32_t currentIp = 0;
    uint8_t reserved2[12] = {};
    uint32_t subnetMask = 0;
    uint8_t reserved3[12] = {};
    uint32_t defaultGateway = 0;
    char manufacturerName[32] = {};
    char modelName[32] = {};
    char deviceVersion[32] = {};
    char manufacturerInfo[48] = {};
    char serialNumber[16] = {};
    char userDefinedName[16] = {};
    uint8_t reserved4[8] = {};
};

static_assert(sizeof(GvcpDeviceParameters) == 256, "the record is sent byte for byte");
static_assert(offsetof(GvcpDeviceParameters, macHigh) == 10);
static_assert(offsetof(GvcpDeviceParameters, macLow) == 12);
static_assert(offsetof(GvcpDeviceParameters, currentIp) == 36);
static_assert(offsetof(GvcpDeviceParameters, subnetMask) == 52);
static_assert(offsetof(GvcpDeviceParameters, defaultGateway) == 68);
static_assert(offsetof(GvcpDeviceParameters, manufacturerName) == 72);
static_assert(offsetof(GvcpDeviceParameters, manufacturerInfo) == 168);
static_assert(offsetof(GvcpDeviceParameters, serialNumber) == 216);
static_assert(offsetof(GvcpDeviceParameters, userDefinedName) == 232);

} // namespace quelnor
