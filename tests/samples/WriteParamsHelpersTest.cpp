// The parameter writer's text conversions and its record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "DeviceParameterRecord.h"
#include "DeviceParameterText.h"

using namespace quelnor;
using namespace quelnor::writeparams;
using testing::HasSubstr;

TEST(WriteParamsText, MacAddressesInEveryWritingGiveTheSameNumber) {
    EXPECT_EQ(formatMacAddress(0x0050C258C100ULL), "0050c258c100");
    EXPECT_EQ(formatMacAddress(0), "000000000000");
    EXPECT_EQ(formatMacAddress(0xABCDEF012345ULL), "abcdef012345");

    for (const char* text : {"001122334455", "00:11:22:33:44:55", "00-11-22-33-44-55", "0011.2233.4455",
                             "  00:11:22:33:44:55\r\n", "001122334455zz"}) {
        SCOPED_TRACE(text);
        uint64_t mac = 7;
        EXPECT_TRUE(parseMacAddress(text, mac));
        EXPECT_EQ(mac, 0x001122334455ULL);
    }
    uint64_t factory = 0;
    ASSERT_TRUE(parseMacAddress(FACTORY_MAC, factory));
    EXPECT_EQ(factory, 0x0050C258C100ULL);
    EXPECT_TRUE(parseMacAddress("FFFFFFFFFFFF", factory));
    EXPECT_EQ(factory, MAX_MAC_ADDRESS);

    // Refused, the number stays as it was: no hex digit, more than 48 bits.
    for (const char* text : {"zz", "", "   ", "::", "1000000000000", "11:22:33:44:55:66:77", "FFFFFFFFFFFFFFFFFF"}) {
        SCOPED_TRACE(text);
        uint64_t mac = 7;
        EXPECT_FALSE(parseMacAddress(text, mac));
        EXPECT_EQ(mac, 7u);
    }
}

TEST(WriteParamsText, AddressesKeepTheFirstOctetInTheLowByte) {
    const uint32_t ip = ipStringToU32LittleEndian("192.168.33.34");
    uint8_t bytes[4];
    std::memcpy(bytes, &ip, sizeof bytes);
    EXPECT_EQ(bytes[0], 0xC0);
    EXPECT_EQ(bytes[1], 0xA8);
    EXPECT_EQ(bytes[2], 0x21);
    EXPECT_EQ(bytes[3], 0x22);
    EXPECT_EQ(ip, 0x2221A8C0u);
    EXPECT_EQ(ipU32LittleEndianToString(ip), "192.168.33.34");
    EXPECT_EQ(ipStringToU32LittleEndian(""), 0u);
    EXPECT_EQ(ipStringToU32LittleEndian("255.255.255.0"), 0x00FFFFFFu);
    EXPECT_EQ(ipStringToU32LittleEndian(" 10 . 1.x2.3"), 0x0302010Au); // only digits and dots count
    // Parts beyond the fourth go nowhere (not into an undefined shift).
    EXPECT_EQ(ipStringToU32LittleEndian("1.2.3.4.5.6"), 0x04030201u);
    EXPECT_EQ(ipU32LittleEndianToString(0), "0.0.0.0");
}

TEST(WriteParamsText, TrimsBlanksAndLineEnds) {
    EXPECT_EQ(trimWhitespace("  a b\t\r\n"), "a b");
    EXPECT_EQ(trimWhitespace("\r\n"), "");
    EXPECT_EQ(trimWhitespace(""), "");
    EXPECT_EQ(trimWhitespace("x"), "x");
}

TEST(WriteParamsRecord, StartsFromTheFactoryValuesAndTheCamerasIdentity) {
    CameraDescription camera;
    camera.serialNumber = "QNSERIAL0123456789"; // longer than the field holds
    camera.macAddress = 0x0050C258C1A7ULL;
    const GvcpDeviceParameters record = makeFactoryRecord(camera);
    EXPECT_EQ(record.version, 1u);
    EXPECT_EQ(record.deviceMode, 0u);
    EXPECT_EQ(record.macHigh, 0x0050u);
    EXPECT_EQ(record.macLow, 0xC258C1A7u);
    EXPECT_EQ(record.interfaceCapability, 0x00040003u);
    EXPECT_EQ(record.interfaceConfiguration, 0x00040003u);
    EXPECT_EQ(ipU32LittleEndianToString(record.currentIp), "192.168.33.34");
    EXPECT_EQ(ipU32LittleEndianToString(record.subnetMask), "255.255.255.0");
    EXPECT_EQ(ipU32LittleEndianToString(record.defaultGateway), "192.168.33.1");
    EXPECT_STREQ(record.manufacturerName, "Quelnor");
    EXPECT_STREQ(record.modelName, "Tolvane-G1");
    EXPECT_STREQ(record.deviceVersion, "v1.0.0");
    EXPECT_STREQ(record.serialNumber, "QNSERIAL0123456");
    const char zeros[48] = {};
    EXPECT_EQ(std::memcmp(record.manufacturerInfo, zeros, sizeof record.manufacturerInfo), 0);
    EXPECT_EQ(std::memcmp(record.userDefinedName, zeros, sizeof record.userDefinedName), 0);
    EXPECT_EQ(recordMac(record), 0x0050C258C1A7ULL);
}

TEST(WriteParamsRecord, TheDisplayShowsPrintableTextOnlyAndNeverReadsPastAField) {
    CameraDescription camera;
    camera.serialNumber = "QN1";
    camera.manufacturer = "Quelnor";
    camera.productName = "Tolvane";
    camera.firmwareVersion = "1.0.0";
    camera.macAddress = 0x0050C258C100ULL;
    camera.ipAddresses = {"192.168.9.99", "192.168.9.1", "255.255.255.0", "192.168.9.254"};
    GvcpDeviceParameters record = makeFactoryRecord(camera);
    std::memcpy(record.userDefinedName, "lab\x01rest", 8);
    std::memset(record.deviceVersion, 'v', sizeof record.deviceVersion); // no NUL at all
    setRecordMac(record, 0x001122334455ULL);

    std::ostringstream out;
    printDeviceParameters(record, camera, out);
    const std::string expected = "\n========== Current Device Parameters ==========\n\n"
                                 "--- Device Information (from discovery) ---\n"
                                 "  Serial Number:              [QN1]\n"
                                 "  Manufacturer:               [Quelnor]\n"
                                 "  Product:                    [Tolvane]\n"
                                 "  Firmware Version:           [1.0.0]\n"
                                 "  MAC Address:                [0050c258c100]\n"
                                 "  IP Address:                 [192.168.9.99]\n"
                                 "\n--- Current Values ---\n"
                                 "  User Defined Name:          lab\n"
                                 "  MAC Address:                001122334455\n"
                                 "  IP Address:                 192.168.9.99\n"
                                 "  Subnet Mask:               255.255.255.0\n"
                                 "  Default Gateway:           192.168.9.254\n"
                                 "  Manufacturer Name:         Quelnor\n"
                                 "  Device Version:            " +
                                 std::string(32, 'v') +
                                 "\n"
                                 "\n==============================================\n";
    EXPECT_EQ(out.str(), expected);
}
