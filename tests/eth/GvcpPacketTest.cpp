// Control and stream packets against byte layouts written out here (never produced by our builders).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "Protocol/QuelnorGigEVision.h"
#include "QuelnorHal/interface/EthInterface.h"

namespace quelnor {

// Reaches the private packet-id helpers.
class EthInterfaceTestPeer {
public:
    static uint32_t forwardDist(uint32_t a, uint32_t b) { return EthInterface::forwardDist(a, b); }
    static bool isNewer(uint32_t a, uint32_t b) { return EthInterface::isNewer(a, b); }
    static uint32_t maskId(uint32_t id) { return EthInterface::maskId(id); }
};

} // namespace quelnor

namespace {

using namespace quelnor;
using namespace quelnor::GvcpPacket;
using quelnor::test::LogCapture;
using testing::ElementsAreArray;

// "42 01 00 80" -> {0x42, 0x01, 0x00, 0x80}
std::vector<uint8_t> hex(const std::string& text) {
    std::istringstream in(text);
    std::vector<uint8_t> out;
    std::string byte;
    while (in >> byte) {
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return out;
}

void put(std::vector<uint8_t>& d, size_t at, const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), d.begin() + static_cast<std::ptrdiff_t>(at));
}

void putText(std::vector<uint8_t>& d, size_t at, const std::string& text) {
    std::memcpy(d.data() + at, text.data(), text.size());
}

// A full discovery acknowledgement as a camera sends it.
std::vector<uint8_t> discoveryAck() {
    std::vector<uint8_t> d(256, 0);
    put(d, 0, hex("00 00 00 03 00 F8 FF FF"));
    put(d, 18, hex("00 50 C2 58 C1 00"));
    put(d, 44, hex("C0 A8 09 63")); // 192.168.9.99
    put(d, 60, hex("FF FF FF 00"));
    put(d, 76, hex("C0 A8 09 01"));
    putText(d, 80, "Quelnor");
    putText(d, 112, "Tolvane");
    putText(d, 144, "2.3.1");
    putText(d, 224, "TV0042");
    return d;
}

TEST(GvcpCommands, DiscoveryWithAndWithoutBroadcastAcknowledge) {
    EXPECT_THAT(buildDiscoveryCmd(true), ElementsAreArray(hex("42 11 00 02 00 00 FF FF")));
    EXPECT_THAT(buildDiscoveryCmd(false), ElementsAreArray(hex("42 01 00 02 00 00 FF FF")));
}

TEST(GvcpCommands, ReadAndWriteRegister) {
    EXPECT_THAT(buildReadRegCmd(0x0D1C, 12345), ElementsAreArray(hex("42 01 00 80 00 04 30 39 00 00 0D 1C")));
    EXPECT_THAT(buildWriteRegCmd(0x0770, 1, 12345),
                ElementsAreArray(hex("42 01 00 82 00 08 30 39 00 00 07 70 00 00 00 01")));
    EXPECT_THAT(buildWriteRegCmd(0x12345678, 0xA1B2C3D4, 0xFFFE),
                ElementsAreArray(hex("42 01 00 82 00 08 FF FE 12 34 56 78 A1 B2 C3 D4")));
}

TEST(GvcpCommands, ForceIpPlacesMacAndAddressesAndZeroesTheRest) {
    const auto cmd = buildForceIpCmd(0x0050C258C100ULL, 0xC0A80A0B, 0xFFFF0000, 0xC0A80A01, 1);
    std::vector<uint8_t> expected(64, 0);
    put(expected, 0, hex("42 01 00 04 00 38 00 01"));
    put(expected, 10, hex("00 50 C2 58 C1 00"));
    put(expected, 28, hex("C0 A8 0A 0B"));
    put(expected, 44, hex("FF FF 00 00"));
    put(expected, 60, hex("C0 A8 0A 01"));
    EXPECT_THAT(cmd, ElementsAreArray(expected));
}

TEST(GvcpCommands, WriteMemoryIsNotPaddedToWholeWords) {
    const uint8_t data[] = {0xAA, 0xBB, 0xCC};
    EXPECT_THAT(buildWriteMemCmd(7, 0x00010200, data, 3),
                ElementsAreArray(hex("42 01 00 86 00 07 00 07 00 01 02 00 AA BB CC")));
    EXPECT_THAT(buildWriteMemCmd(0, 0x10, nullptr, 0), ElementsAreArray(hex("42 01 00 86 00 04 00 00 00 00 00 10")));
}

TEST(GvcpCommands, DeviceParametersRecordConvertsOnlyTheMac) {
    GvcpDeviceParameters params;
    params.version = 0x00010002;
    params.macHigh = 0x0050;
    params.macLow = 0xC258C100;
    params.interfaceCapability = 0x00040003;
    const uint8_t ip[4] = {192, 168, 9, 99}; // first octet at the lowest offset, as the writer stores it
    std::memcpy(&params.currentIp, ip, 4);
    std::strcpy(params.serialNumber, "TV0042");

    const auto cmd = buildWriteDeviceParametersCmd(params);
    ASSERT_EQ(cmd.size(), 268u);
    EXPECT_THAT(std::vector<uint8_t>(cmd.begin(), cmd.begin() + 12),
                ElementsAreArray(hex("42 01 00 86 01 04 77 77 00 40 00 00")));
    EXPECT_THAT(std::vector<uint8_t>(cmd.begin() + 22, cmd.begin() + 28), ElementsAreArray(hex("00 50 C2 58 C1 00")));
    // Everything else byte for byte as stored (little-endian numbers stay little-endian).
    EXPECT_THAT(std::vector<uint8_t>(cmd.begin() + 12, cmd.begin() + 16), ElementsAreArray(hex("02 00 01 00")));
    EXPECT_THAT(std::vector<uint8_t>(cmd.begin() + 28, cmd.begin() + 32), ElementsAreArray(hex("03 00 04 00")));
    EXPECT_THAT(std::vector<uint8_t>(cmd.begin() + 48, cmd.begin() + 52), ElementsAreArray(hex("C0 A8 09 63")));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cmd[12 + 216])), "TV0042");
}

TEST(GvcpAcknowledges, DiscoveryFieldsAreRead) {
    const auto d = discoveryAck();
    GvcpDiscoveryInfo info;
    ASSERT_TRUE(parseDiscoveryAck(d.data(), static_cast<int>(d.size()), info));
    EXPECT_EQ(info.mac, 0x0050C258C100ULL);
    EXPECT_EQ(info.ip, 0xC0A80963u);
    EXPECT_EQ(info.subnetMask, 0xFFFFFF00u);
    EXPECT_EQ(info.gateway, 0xC0A80901u);
    EXPECT_EQ(info.manufacturerName, "Quelnor");
    EXPECT_EQ(info.modelName, "Tolvane");
    EXPECT_EQ(info.deviceVersion, "2.3.1");
    EXPECT_EQ(info.serialNumber, "TV0042");
}

TEST(GvcpAcknowledges, DiscoveryStatusOnlyItsHighByteCounts) {
    struct Case {
        const char* status;
        bool accepted;
    };
    for (const Case& c : {Case{"00 00", true}, Case{"00 01", true}, Case{"80 01", false}, Case{"01 00", false}}) {
        auto d = discoveryAck();
        put(d, 0, hex(c.status));
        GvcpDiscoveryInfo info;
        EXPECT_EQ(parseDiscoveryAck(d.data(), static_cast<int>(d.size()), info), c.accepted) << c.status;
    }
}

TEST(GvcpAcknowledges, DiscoveryRefusesWhatItCannotRead) {
    GvcpDiscoveryInfo info;
    info.serialNumber = "untouched";
    auto d = discoveryAck();
    // Declared payload longer than what arrived.
    EXPECT_FALSE(parseDiscoveryAck(d.data(), 255, info));
    // Wrong acknowledge code.
    auto wrong = d;
    put(wrong, 2, hex("00 81"));
    EXPECT_FALSE(parseDiscoveryAck(wrong.data(), 256, info));
    // A short acknowledgement that declares a short payload: the serial number at 224..239 is missing.
    auto shortAck = d;
    put(shortAck, 4, hex("00 C0"));
    EXPECT_FALSE(parseDiscoveryAck(shortAck.data(), 200, info));
    EXPECT_FALSE(parseDiscoveryAck(shortAck.data(), 239, info));
    EXPECT_FALSE(parseDiscoveryAck(nullptr, 256, info));
    EXPECT_FALSE(parseDiscoveryAck(d.data(), 7, info));
    EXPECT_EQ(info.serialNumber, "untouched");
    // Up to the end of the serial number is enough.
    put(shortAck, 4, hex("00 E8"));
    EXPECT_TRUE(parseDiscoveryAck(shortAck.data(), 240, info));
    EXPECT_EQ(info.serialNumber, "TV0042");
}

TEST(GvcpAcknowledges, DiscoveryTextsAreBoundedByTheirFields) {
    auto d = discoveryAck();
    putText(d, 80, std::string(32, 'M'));  // no NUL before the model name
    putText(d, 224, std::string(16, 'S')); // no NUL before the user name
    putText(d, 240, "USERNAME");
    GvcpDiscoveryInfo info;
    ASSERT_TRUE(parseDiscoveryAck(d.data(), 256, info));
    EXPECT_EQ(info.manufacturerName, std::string(32, 'M'));
    EXPECT_EQ(info.modelName, "Tolvane");
    EXPECT_EQ(info.serialNumber, std::string(16, 'S'));
}

TEST(GvcpAcknowledges, ReadRegister) {
    uint32_t value = 0xDEADBEEF;
    const auto ok = hex("00 00 00 81 00 04 00 05 12 34 56 78");
    ASSERT_TRUE(parseReadRegAck(ok.data(), 12, value));
    EXPECT_EQ(value, 0x12345678u);

    struct Case {
        const char* bytes;
        const char* why;
    };
    const Case refused[] = {
        {"00 00 00 81 00 00 00 05", "no value (declares no payload)"},
        {"00 00 00 81 00 04 00 05 12 34", "value cut short"},
        {"00 00 00 81 00 08 00 05 12 34 56 78", "declares more than arrived"},
        {"80 06 00 81 00 04 00 05 12 34 56 78", "bad status"},
        {"00 00 00 83 00 04 00 05 12 34 56 78", "another acknowledge code"},
        {"00 00 00 81 00 04 00", "shorter than a header"},
    };
    for (const Case& c : refused) {
        const auto d = hex(c.bytes);
        value = 0xDEADBEEF;
        EXPECT_FALSE(parseReadRegAck(d.data(), static_cast<int>(d.size()), value)) << c.why;
        EXPECT_EQ(value, 0xDEADBEEFu) << c.why;
    }
}

TEST(GvcpAcknowledges, WriteRegister) {
    struct Case {
        const char* bytes;
        bool accepted;
    };
    const Case cases[] = {
        {"00 00 00 83 00 04 00 09 00 00 00 01", true},
        {"00 00 00 83 00 04 00 09 00 00 00 00", false}, // index 0: nothing written
        {"80 01 00 83 00 04 00 09 00 00 00 01", false},
        {"00 00 00 81 00 04 00 09 00 00 00 01", false},
        {"00 00 00 83 00 04 00 09 00 00 00", false},
    };
    for (const Case& c : cases) {
        const auto d = hex(c.bytes);
        EXPECT_EQ(checkWriteRegAck(d.data(), static_cast<int>(d.size())), c.accepted) << c.bytes;
    }
    EXPECT_FALSE(checkWriteRegAck(nullptr, 12));
}

TEST(GvcpAcknowledges, ForceIp) {
    const auto ok = hex("00 00 00 05 00 00 00 01");
    EXPECT_TRUE(checkForceIpAck(ok.data(), 8));
    EXPECT_FALSE(checkForceIpAck(ok.data(), 7));
    const auto bad = hex("80 01 00 05 00 00 00 01");
    EXPECT_FALSE(checkForceIpAck(bad.data(), 8));
    const auto other = hex("00 00 00 03 00 00 00 01");
    EXPECT_FALSE(checkForceIpAck(other.data(), 8));
}

TEST(GvcpAcknowledges, WriteMemoryChecksLengthStatusAndId) {
    LogCapture logs;
    const auto nine = hex("00 00 00 87 00 01 00 08 00");
    EXPECT_TRUE(checkWriteMemAck(nine.data(), 9, 8));
    EXPECT_EQ(logs.countAt(LOG_ERROR), 0);

    EXPECT_FALSE(checkWriteMemAck(nine.data(), 9, 7));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Packet ID mismatch in Write Memory Ack. Expected: 7, Received: 8"));

    const auto headerOnly = hex("00 00 00 87 00 00 00 08");
    EXPECT_FALSE(checkWriteMemAck(headerOnly.data(), 8, 8));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Invalid Write Memory Ack packet. Length: 8"));

    const auto failed = hex("80 05 00 87 00 04 00 08 00 00 00 00");
    EXPECT_FALSE(checkWriteMemAck(failed.data(), 12, 8));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Write Memory Ack error. Status: 32773, Acknowledge: 135"));
}

TEST(GvspHeader, PayloadPacketsOnly) {
    size_t offset = 99;
    int length = 99;
    uint32_t id = 99;
    const auto empty = hex("00 00 00 01 03 00 00 2A");
    ASSERT_TRUE(parseGvspHeader(empty.data(), 8, offset, length, id));
    EXPECT_EQ(offset, 8u);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(id, 42u);

    std::vector<uint8_t> full(1414, 0x5A);
    put(full, 0, hex("00 00 12 34 03 AB CD EF"));
    ASSERT_TRUE(parseGvspHeader(full.data(), 1414, offset, length, id));
    EXPECT_EQ(length, 1406);
    EXPECT_EQ(id, 0xABCDEFu);

    for (const char* refused :
         {"00 00 00 01 01 00 00 01", "00 00 00 01 02 00 00 01", "80 01 00 01 03 00 00 01", "00 00 00 01 04 00 00 01"}) {
        const auto d = hex(refused);
        offset = 99;
        EXPECT_FALSE(parseGvspHeader(d.data(), 8, offset, length, id)) << refused;
        EXPECT_EQ(offset, 99u);
    }
    EXPECT_FALSE(parseGvspHeader(empty.data(), 7, offset, length, id));
    EXPECT_FALSE(parseGvspHeader(nullptr, 8, offset, length, id));
}

TEST(PacketIds, TwentyFourBitArithmetic) {
    EXPECT_EQ(EthInterfaceTestPeer::forwardDist(2, 0xFFFFFE), 4u);
    EXPECT_EQ(EthInterfaceTestPeer::forwardDist(10, 3), 7u);
    EXPECT_TRUE(EthInterfaceTestPeer::isNewer(0, 0xFFFFFF));
    EXPECT_FALSE(EthInterfaceTestPeer::isNewer(5, 5));
    EXPECT_FALSE(EthInterfaceTestPeer::isNewer(0x800000, 0));
    EXPECT_TRUE(EthInterfaceTestPeer::isNewer(0x7FFFFF, 0));
    EXPECT_FALSE(EthInterfaceTestPeer::isNewer(0xFFFFFF, 0));
    EXPECT_EQ(EthInterfaceTestPeer::maskId(0x1234567), 0x234567u);
}

} // namespace
