#pragma once

// Packets of the Ethernet camera protocol: control commands and their acknowledgements (UDP port
// 3956) and the header of stream datagrams. Builders return one complete datagram; parsers validate
// a received datagram and fill their outputs only on success. Every field of two or four bytes is
// big-endian on the wire; callers pass and receive host-order numbers. No sockets, no state: safe
// from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QuelnorHal/interface/GvcpDeviceParameters.h"

namespace quelnor {

// What a discovery acknowledgement tells about a camera (addresses in host order).
struct GvcpDiscoveryInfo {
    uint32_t ip = 0;
    uint32_t subnetMask = 0;
    uint32_t gateway = 0;
    uint64_t mac = 0; // 48-bit address in the low bits
    std::string manufacturerName;
    std::string serialNumber;
    std::string modelName;
    std::string deviceVersion;
};

namespace GvcpPacket {

constexpr uint16_t CONTROL_PORT = 3956;
constexpr size_t HEADER_SIZE = 8;

constexpr uint8_t COMMAND_KEY = 0x42;
constexpr uint8_t FLAG_ACK_REQUESTED = 0x01;
constexpr uint8_t FLAG_BROADCAST_ACK_ALLOWED = 0x10;

constexpr uint16_t DISCOVERY_CMD = 0x0002;
constexpr uint16_t DISCOVERY_ACK = 0x0003;
constexpr uint16_t FORCEIP_CMD = 0x0004;
constexpr uint16_t FORCEIP_ACK = 0x0005;
constexpr uint16_t READREG_CMD = 0x0080;
constexpr uint16_t READREG_ACK = 0x0081;
constexpr uint16_t WRITEREG_CMD = 0x0082;
constexpr uint16_t WRITEREG_ACK = 0x0083;
constexpr uint16_t WRITEMEM_CMD = 0x0086;
constexpr uint16_t WRITEMEM_ACK = 0x0087;

constexpr uint16_t DISCOVERY_REQUEST_ID = 0xFFFF;
constexpr size_t DISCOVERY_ACK_SIZE = 256;
constexpr size_t FORCEIP_CMD_SIZE = 64;
constexpr uint32_t DEVICE_PARAMETERS_ADDRESS = 0x400000;
constexpr uint16_t DEVICE_PARAMETERS_REQUEST_ID = 0x7777;

constexpr size_t GVSP_HEADER_SIZE = 8;
constexpr uint8_t GVSP_FORMAT_LEADER = 1;
constexpr uint8_t GVSP_FORMAT_TRAILER = 2;
constexpr uint8_t GVSP_FORMAT_PAYLOAD = 3;

// The fixed part of every acknowledgement.
struct AckHeader {
    uint16_t status = 0;
    uint16_t acknowledge = 0;
    uint16_t length = 0;
    uint16_t ackId = 0;
};

// Request id and command code of a command built here (bytes 2..3 and 6..7); false when too short.
bool readCommandHeader(const std::vector<uint8_t>& command, uint16_t& code, uint16_t& requestId);
// The header of a received acknowledgement; false when fewer than 8 bytes are given.
bool readAckHeader(const uint8_t* data, int length, AckHeader& header);

std::vector<uint8_t> buildDiscoveryCmd(bool allowBroadcastAck);
// A 256-byte acknowledgement with an all-zero payload (the device side; used by tests only).
std::vector<uint8_t> buildDiscoveryAck(uint16_t ackId);
// Requires every byte it reads (up to the end of the serial number).
bool parseDiscoveryAck(const uint8_t* data, int length, GvcpDiscoveryInfo& info);

std::vector<uint8_t> buildReadRegCmd(uint32_t address, uint16_t requestId);
// Requires the 12 bytes that hold the value.
bool parseReadRegAck(const uint8_t* data, int length, uint32_t& value);

std::vector<uint8_t> buildWriteRegCmd(uint32_t address, uint32_t value, uint16_t requestId);
// True when the camera reports one register written.
bool checkWriteRegAck(const uint8_t* data, int length);

std::vector<uint8_t> buildForceIpCmd(uint64_t mac, uint32_t ip, uint32_t mask, uint32_t gateway, uint16_t requestId);
bool checkForceIpAck(const uint8_t* data, int length);

// A payload datagram of the stream: payload at offset 8, its length, and the 24-bit packet id.
// Leader and trailer datagrams are refused.
bool parseGvspHeader(const uint8_t* data, int length, size_t& payloadOffset, int& payloadLength, uint32_t& packetId);

std::vector<uint8_t> buildWriteMemCmd(uint16_t requestId, uint32_t address, const uint8_t* data, uint16_t length);
// Logs why it refuses an acknowledgement.
bool checkWriteMemAck(const uint8_t* data, int length, uint16_t expectedId);

// The record stored at 0x400000 with request id 0x7777 (268 bytes).
std::vector<uint8_t> buildWriteDeviceParametersCmd(const GvcpDeviceParameters& params);

} // namespace GvcpPacket
} // namespace quelnor
