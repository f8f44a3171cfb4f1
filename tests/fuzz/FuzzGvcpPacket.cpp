// Ethernet packets. Input: one received datagram, given to every acknowledgement parser and to the
// stream header parser; its first bytes also serve as the numbers of the commands built.
// Checks: a parser reads no byte outside the datagram (the sanitizer sees the exact buffer) and
// accepts only what the layout allows, with the values at their offsets; outputs are untouched on a
// refusal; every command built reads back with its code, request id and length.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "Protocol/QuelnorGigEVision.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void checkCommand(const std::vector<uint8_t>& command, uint16_t code, uint16_t requestId) {
    uint16_t readCode = 0;
    uint16_t readId = 0;
    FUZZ_CHECK(GvcpPacket::readCommandHeader(command, readCode, readId));
    FUZZ_CHECK(readCode == code && readId == requestId);
    FUZZ_CHECK(command[0] == GvcpPacket::COMMAND_KEY);
    FUZZ_CHECK(be16(command.data() + 4) + GvcpPacket::HEADER_SIZE == command.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    quietLogger();
    // An exact copy: a read past its end is a sanitizer report.
    std::vector<uint8_t> datagram(input, input + size);
    const uint8_t* data = datagram.empty() ? nullptr : datagram.data();
    const int length = static_cast<int>(size);

    GvcpDiscoveryInfo info;
    info.serialNumber = "untouched";
    if (GvcpPacket::parseDiscoveryAck(data, length, info)) {
        FUZZ_CHECK(size >= 240 && data[0] == 0 && be16(data + 2) == GvcpPacket::DISCOVERY_ACK);
        FUZZ_CHECK(info.ip == be32(data + 44) && info.subnetMask == be32(data + 60) && info.gateway == be32(data + 76));
        FUZZ_CHECK(info.mac >> 48 == 0);
        FUZZ_CHECK(info.manufacturerName.size() <= 32 && info.modelName.size() <= 32 &&
                   info.deviceVersion.size() <= 32 && info.serialNumber.size() <= 16);
        FUZZ_CHECK(std::memcmp(info.serialNumber.data(), data + 224, info.serialNumber.size()) == 0);
    } else {
        FUZZ_CHECK(info.serialNumber == "untouched" && info.ip == 0);
    }

    uint32_t value = 0xDEADBEEF;
    if (GvcpPacket::parseReadRegAck(data, length, value)) {
        FUZZ_CHECK(size >= 12 && be16(data) == 0 && be16(data + 2) == GvcpPacket::READREG_ACK);
        FUZZ_CHECK(value == be32(data + 8));
    } else {
        FUZZ_CHECK(value == 0xDEADBEEF);
    }
    if (GvcpPacket::checkWriteRegAck(data, length)) {
        FUZZ_CHECK(size >= 12 && be16(data) == 0 && be16(data + 2) == GvcpPacket::WRITEREG_ACK && data[11] == 1);
    }
    if (GvcpPacket::checkForceIpAck(data, length)) {
        FUZZ_CHECK(size >= 8 && be16(data) == 0 && be16(data + 2) == GvcpPacket::FORCEIP_ACK);
    }
    const uint16_t expectedId = size >= 8 ? be16(data + 6) : 0;
    if (GvcpPacket::checkWriteMemAck(data, length, expectedId)) {
        FUZZ_CHECK(size > 8 && be16(data) == 0 && be16(data + 2) == GvcpPacket::WRITEMEM_ACK);
    }
    GvcpPacket::AckHeader header;
    if (GvcpPacket::readAckHeader(data, length, header)) {
        FUZZ_CHECK(size >= 8 && header.status == be16(data) && header.acknowledge == be16(data + 2) &&
                   header.length == be16(data + 4) && header.ackId == be16(data + 6));
    }

    size_t offset = 1;
    int payloadLength = -1;
    uint32_t packetId = 0xFFFFFFFF;
    if (GvcpPacket::parseGvspHeader(data, length, offset, payloadLength, packetId)) {
        FUZZ_CHECK(size >= 8 && be16(data) == 0 && data[4] == GvcpPacket::GVSP_FORMAT_PAYLOAD);
        FUZZ_CHECK(offset == 8 && payloadLength == length - 8);
        FUZZ_CHECK(packetId == ((static_cast<uint32_t>(data[5]) << 16) | (data[6] << 8) | data[7]));
    } else {
        FUZZ_CHECK(offset == 1 && payloadLength == -1 && packetId == 0xFFFFFFFF);
    }

    // Commands built from the input's numbers read back as built.
    Input in(input, size);
    const uint32_t address = in.u32();
    const uint32_t word = in.u32();
    const uint16_t id = in.u16();
    checkCommand(GvcpPacket::buildReadRegCmd(address, id), GvcpPacket::READREG_CMD, id);
    checkCommand(GvcpPacket::buildWriteRegCmd(address, word, id), GvcpPacket::WRITEREG_CMD, id);
    checkCommand(GvcpPacket::buildForceIpCmd(in.u64() & 0xFFFFFFFFFFFFull, address, word, ~address, id),
                 GvcpPacket::FORCEIP_CMD, id);
    const uint16_t dataLength = static_cast<uint16_t>(std::min<size_t>(in.restSize(), 1024));
    const std::vector<uint8_t> memory =
        GvcpPacket::buildWriteMemCmd(id, address, dataLength != 0 ? in.rest() : nullptr, dataLength);
    checkCommand(memory, GvcpPacket::WRITEMEM_CMD, id);
    FUZZ_CHECK(memory.size() == 12u + dataLength);
    FUZZ_CHECK(dataLength == 0 || std::memcmp(memory.data() + 12, in.rest(), dataLength) == 0);
    return 0;
}
