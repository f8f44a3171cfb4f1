#include "Protocol/QuelnorGigEVision.h"

#include <cstring>

#include "QuelnorBase/Logger.h"

namespace quelnor::GvcpPacket {

namespace {

constexpr size_t READREG_CMD_SIZE = 12;
constexpr size_t READREG_ACK_SIZE = 12;
constexpr size_t WRITEREG_CMD_SIZE = 16;
constexpr size_t WRITEREG_ACK_SIZE = 12;
constexpr size_t WRITEREG_ACK_INDEX_LOW = 11;
constexpr size_t WRITEMEM_HEADER_SIZE = 12; // command header and start address
constexpr size_t DEVICE_PARAMETERS_SIZE = sizeof(GvcpDeviceParameters);
constexpr size_t DEVICE_PARAMETERS_MAC_HIGH = 10;
constexpr size_t DEVICE_PARAMETERS_MAC_LOW = 12;

// Discovery acknowledgement fields, offsets from the start of the datagram.
constexpr size_t DISCOVERY_MAC = 18;
constexpr size_t DISCOVERY_IP = 44;
constexpr size_t DISCOVERY_MASK = 60;
constexpr size_t DISCOVERY_GATEWAY = 76;
constexpr size_t DISCOVERY_MANUFACTURER = 80;
constexpr size_t DISCOVERY_MODEL = 112;
constexpr size_t DISCOVERY_VERSION = 144;
constexpr size_t DISCOVERY_SERIAL = 224;
constexpr size_t DISCOVERY_NAME_WIDTH = 32;
constexpr size_t DISCOVERY_SERIAL_WIDTH = 16;
constexpr size_t DISCOVERY_READ_END = DISCOVERY_SERIAL + DISCOVERY_SERIAL_WIDTH;

// Force-IP command fields.
constexpr size_t FORCEIP_MAC = 10;
constexpr size_t FORCEIP_IP = 28;
constexpr size_t FORCEIP_MASK = 44;
constexpr size_t FORCEIP_GATEWAY = 60;

constexpr size_t MAC_BYTES = 6;

void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void putU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t getU32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void putMac(uint8_t* p, uint64_t mac) {
    for (size_t i = 0; i < MAC_BYTES; ++i) {
        p[i] = static_cast<uint8_t>(mac >> (8 * (MAC_BYTES - 1 - i)));
    }
}

// A command of `payloadLength` zero bytes after its header.
std::vector<uint8_t> command(uint8_t flags, uint16_t code, uint16_t payloadLength, uint16_t requestId) {
    std::vector<uint8_t> out(HEADER_SIZE + payloadLength, 0);
    out[0] = COMMAND_KEY;
    out[1] = flags;
    putU16(&out[2], code);
    putU16(&out[4], payloadLength);
    putU16(&out[6], requestId);
    return out;
}

// The field's bytes up to the first NUL, at most `width`.
std::string text(const uint8_t* p, size_t width) {
    size_t n = 0;
    while (n < width && p[n] != 0) {
        ++n;
    }
    return std::string(reinterpret_cast<const char*>(p), n);
}

// Status 0, the expected code, and a declared payload that the datagram holds.
bool ackOk(const uint8_t* data, int length, uint16_t code, AckHeader& header) {
    if (!readAckHeader(data, length, header)) {
        return false;
    }
    return header.status == 0 && header.acknowledge == code &&
           static_cast<size_t>(length) >= static_cast<size_t>(header.length) + HEADER_SIZE;
}

} // namespace

bool readCommandHeader(const std::vector<uint8_t>& cmd, uint16_t& code, uint16_t& requestId) {
    if (cmd.size() < HEADER_SIZE) {
        return false;
    }
    code = getU16(&cmd[2]);
    requestId = getU16(&cmd[6]);
    return true;
}

bool readAckHeader(const uint8_t* data, int length, AckHeader& header) {
    if (data == nullptr || length < static_cast<int>(HEADER_SIZE)) {
        return false;
    }
    header.status = getU16(data);
    header.acknowledge = getU16(data + 2);
    header.length = getU16(data + 4);
    header.ackId = getU16(data + 6);
    return true;
}

std::vector<uint8_t> buildDiscoveryCmd(bool allowBroadcastAck) {
    const uint8_t flags = allowBroadcastAck ? (FLAG_ACK_REQUESTED | FLAG_BROADCAST_ACK_ALLOWED) : FLAG_ACK_REQUESTED;
    return command(flags, DISCOVERY_CMD, 0, DISCOVERY_REQUEST_ID);
}

std::vector<uint8_t> buildDiscoveryAck(uint16_t ackId) {
    std::vector<uint8_t> out(DISCOVERY_ACK_SIZE, 0);
    putU16(&out[2], DISCOVERY_ACK);
    putU16(&out[4], static_cast<uint16_t>(DISCOVERY_ACK_SIZE - HEADER_SIZE));
    putU16(&out[6], ackId);
    return out;
}

bool parseDiscoveryAck(const uint8_t* data, int length, GvcpDiscoveryInfo& info) {
    if (data == nullptr || length < static_cast<int>(HEADER_SIZE)) {
        return false;
    }
    // Only the high byte of the status is tested here, unlike the other acknowledgements.
    if (data[0] != 0 || getU16(data + 2) != DISCOVERY_ACK) {
        return false;
    }
    if (static_cast<size_t>(length) < static_cast<size_t>(getU16(data + 4)) + HEADER_SIZE) {
        return false;
    }
    // Every field read must be inside the datagram, whatever its declared length says.
    if (static_cast<size_t>(length) < DISCOVERY_READ_END) {
        return false;
    }
    uint64_t mac = 0;
    for (size_t i = 0; i < MAC_BYTES; ++i) {
        mac = (mac << 8) | data[DISCOVERY_MAC + i];
    }
    info.mac = mac;
    info.ip = getU32(data + DISCOVERY_IP);
    info.subnetMask = getU32(data + DISCOVERY_MASK);
    info.gateway = getU32(data + DISCOVERY_GATEWAY);
    info.manufacturerName = text(data + DISCOVERY_MANUFACTURER, DISCOVERY_NAME_WIDTH);
    info.modelName = text(data + DISCOVERY_MODEL, DISCOVERY_NAME_WIDTH);
    info.deviceVersion = text(data + DISCOVERY_VERSION, DISCOVERY_NAME_WIDTH);
    info.serialNumber = text(data + DISCOVERY_SERIAL, DISCOVERY_SERIAL_WIDTH);
    return true;
}

std::vector<uint8_t> buildReadRegCmd(uint32_t address, uint16_t requestId) {
    std::vector<uint8_t> out = command(FLAG_ACK_REQUESTED, READREG_CMD, READREG_CMD_SIZE - HEADER_SIZE, requestId);
    putU32(&out[8], address);
    return out;
}

bool parseReadRegAck(const uint8_t* data, int length, uint32_t& value) {
    AckHeader header;
    if (!ackOk(data, length, READREG_ACK, header)) {
        return false;
    }
    // The value itself must have arrived, also when the declared payload is shorter.
    if (length < static_cast<int>(READREG_ACK_SIZE)) {
        return false;
    }
    value = getU32(data + HEADER_SIZE);
    return true;
}

std::vector<uint8_t> buildWriteRegCmd(uint32_t address, uint32_t value, uint16_t requestId) {
    std::vector<uint8_t> out = command(FLAG_ACK_REQUESTED, WRITEREG_CMD, WRITEREG_CMD_SIZE - HEADER_SIZE, requestId);
    putU32(&out[8], address);
    putU32(&out[12], value);
    return out;
}

bool checkWriteRegAck(const uint8_t* data, int length) {
    if (data == nullptr || length < static_cast<int>(WRITEREG_ACK_SIZE)) {
        return false;
    }
    AckHeader header;
    readAckHeader(data, length, header);
    return header.status == 0 && header.acknowledge == WRITEREG_ACK && data[WRITEREG_ACK_INDEX_LOW] == 1;
}

std::vector<uint8_t> buildForceIpCmd(uint64_t mac, uint32_t ip, uint32_t mask, uint32_t gateway, uint16_t requestId) {
    std::vector<uint8_t> out =
        command(FLAG_ACK_REQUESTED, FORCEIP_CMD, static_cast<uint16_t>(FORCEIP_CMD_SIZE - HEADER_SIZE), requestId);
    putMac(&out[FORCEIP_MAC], mac);
    putU32(&out[FORCEIP_IP], ip);
    putU32(&out[FORCEIP_MASK], mask);
    putU32(&out[FORCEIP_GATEWAY], gateway);
    return out;
}

bool checkForceIpAck(const uint8_t* data, int length) {
    AckHeader header;
    if (!readAckHeader(data, length, header)) {
        return false;
    }
    return header.status == 0 && header.acknowledge == FORCEIP_ACK;
}

bool parseGvspHeader(const uint8_t* data, int length, size_t& payloadOffset, int& payloadLength, uint32_t& packetId) {
    if (data == nullptr || length < static_cast<int>(GVSP_HEADER_SIZE)) {
        return false;
    }
    if (getU16(data) != 0 || data[4] != GVSP_FORMAT_PAYLOAD) {
        return false;
    }
    payloadOffset = GVSP_HEADER_SIZE;
    payloadLength = length - static_cast<int>(GVSP_HEADER_SIZE);
    packetId = (static_cast<uint32_t>(data[5]) << 16) | (static_cast<uint32_t>(data[6]) << 8) | data[7];
    QN_DEBUG("Gvsp Packet: %d", static_cast<int>(packetId));
    return true;
}

std::vector<uint8_t> buildWriteMemCmd(uint16_t requestId, uint32_t address, const uint8_t* data, uint16_t length) {
    const uint16_t payloadLength = static_cast<uint16_t>(length + (WRITEMEM_HEADER_SIZE - HEADER_SIZE));
    std::vector<uint8_t> out(WRITEMEM_HEADER_SIZE + length, 0);
    out[0] = COMMAND_KEY;
    out[1] = FLAG_ACK_REQUESTED;
    putU16(&out[2], WRITEMEM_CMD);
    putU16(&out[4], payloadLength);
    putU16(&out[6], requestId);
    putU32(&out[8], address);
    if (data != nullptr && length > 0) {
        std::memcpy(&out[WRITEMEM_HEADER_SIZE], data, length);
    }
    return out;
}

bool checkWriteMemAck(const uint8_t* data, int length, uint16_t expectedId) {
    if (data == nullptr || length <= static_cast<int>(HEADER_SIZE)) {
        QN_ERROR("Invalid Write Memory Ack packet. Length: %d", length);
        return false;
    }
    AckHeader header;
    readAckHeader(data, length, header);
    if (header.status != 0 || header.acknowledge != WRITEMEM_ACK) {
        QN_ERROR("Write Memory Ack error. Status: %d, Acknowledge: %d", header.status, header.acknowledge);
        return false;
    }
    if (header.ackId != expectedId) {
        QN_ERROR("Packet ID mismatch in Write Memory Ack. Expected: %d, Received: %d", expectedId, header.ackId);
        return false;
    }
    return true;
}

std::vector<uint8_t> buildWriteDeviceParametersCmd(const GvcpDeviceParameters& params) {
    uint8_t record[DEVICE_PARAMETERS_SIZE];
    std::memcpy(record, &params, DEVICE_PARAMETERS_SIZE);
    // Only the MAC halves go out in network order; the writer of the record owns the rest.
    putU16(record + DEVICE_PARAMETERS_MAC_HIGH, params.macHigh);
    putU32(record + DEVICE_PARAMETERS_MAC_LOW, params.macLow);
    return buildWriteMemCmd(DEVICE_PARAMETERS_REQUEST_ID, DEVICE_PARAMETERS_ADDRESS, record,
                            static_cast<uint16_t>(DEVICE_PARAMETERS_SIZE));
}

} // namespace quelnor::GvcpPacket
