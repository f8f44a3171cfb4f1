// Finding USB cameras by vendor and product id, their serials, and creating their interfaces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "UsbTestRig.h"
#include "usbcam/UmockdevUsbBus.h"

using namespace quelnor;
using namespace quelnor::test::usbcam;
using namespace usbtest;
using quelnor::test::LogCapture;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::UnorderedElementsAre;

namespace {

std::vector<std::string> serials(const std::vector<CameraDescription>& found) {
    std::vector<std::string> out;
    for (const auto& d : found) {
        out.push_back(d.serialNumber);
    }
    return out;
}

bool sentSerialRequest(const UsbCameraModel& cam) {
    for (const CommandRecord& c : cam.commands()) {
        if (c.property == 114) {
            return true;
        }
    }
    return false;
}

UsbCameraConfig withVendorInterfaceSecond(UsbCameraConfig config) {
    AltSettingConfig other;
    other.interfaceClass = 0x0E;
    other.interfaceSubClass = 0x01;
    other.endpoints = {{0x85, 0x03}};
    config.interfaces.insert(config.interfaces.begin(), InterfaceConfig{{other}});
    return config;
}

} // namespace

TEST(UsbDiscovery, FindsEventCamerasByIdsWithTheirSerials) {
    UmockdevUsbBus bus;
    bus.plug(UsbCameraConfig::eventCamera(PROPHESEE_VID, EVK4_PID, "QNP00E4"));
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B"));
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, ZARN320_PID, "QNP0320"));
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, "OND0001"));

    auto tolvanes = UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID);
    EXPECT_THAT(serials(tolvanes), UnorderedElementsAre("QNP0000B", "QNP0000A")); // in libusb's list order
    for (const CameraDescription& d : tolvanes) {
        EXPECT_EQ(d.productName, "Tolvane");
        EXPECT_EQ(d.manufacturer, "Quelnor");
        EXPECT_EQ(d.vendorId, QUELNOR_VID);
        EXPECT_EQ(d.productId, TOLVANE_PID);
        EXPECT_EQ(d.interfaceType, INTERFACE_USB);
        EXPECT_EQ(d.macAddress, 0u);
        EXPECT_THAT(d.ipAddresses, ElementsAre("", "", "", ""));
        EXPECT_EQ(d.firmwareVersion, "");
    }
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(PROPHESEE_VID, EVK4_PID)), ElementsAre("QNP00E4"));
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, ZARN320_PID)), ElementsAre("QNP0320"));
    EXPECT_THAT(UsbInterface::findUsbDvsCamera(QUELNOR_VID, 0x0002), IsEmpty());
}

TEST(UsbDiscovery, LeavesNothingClaimed) {
    UmockdevUsbBus bus;
    auto cam = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    ASSERT_EQ(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID).size(), 1u);
    EXPECT_THAT(bus.claimedInterfaces(cam), IsEmpty());
    EXPECT_EQ(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID).size(), 1u);
}

struct SerialCase {
    const char* name;
    std::vector<uint8_t> payload;
    std::optional<std::string> serial; // empty: the camera is skipped
    const char* log;                    // info line when skipped
};

class UsbSerialForms : public testing::TestWithParam<SerialCase> {};

TEST_P(UsbSerialForms, TextOrNumber) {
    const SerialCase& c = GetParam();
    UmockdevUsbBus bus;
    UsbCameraConfig config = UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "");
    config.serialAnswer = c.payload;
    bus.plug(config);
    LogCapture logs;
    auto found = UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID);
    if (c.serial) {
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].serialNumber, *c.serial);
    } else {
        EXPECT_THAT(found, IsEmpty());
        EXPECT_TRUE(logs.has(LOG_INFO, c.log));
    }
}

INSTANTIATE_TEST_SUITE_P(
    UsbDiscovery, UsbSerialForms,
    testing::Values(
        SerialCase{"text_cut_at_first_other_byte", UsbCameraConfig::textPayload("QNP0042A7-x"), "QNP0042A7", nullptr},
        SerialCase{"text_prefix_alone", UsbCameraConfig::textPayload("QNP"), "QNP", nullptr},
        SerialCase{"text_with_nul", {'Q', 'N', 'P', '7', 0, 'x', 'y', 'z'}, "QNP7", nullptr},
        SerialCase{"text_non_ascii", {'Q', 'N', 'P', '1', 0xE9, '2'}, "QNP1", nullptr},
        SerialCase{"number_one", UsbCameraConfig::numberPayload(1), "00000001", nullptr},
        SerialCase{"number_ff", UsbCameraConfig::numberPayload(0xFF), "000000ff", nullptr},
        SerialCase{"number_long", UsbCameraConfig::numberPayload(0x0123456789ABCDEFull), "123456789abcdef", nullptr},
        SerialCase{"number_with_trailing_bytes", {2, 0, 0, 0, 0, 0, 0, 0, 9, 9}, "00000002", nullptr},
        SerialCase{"five_bytes", {'A', 'B', 'C', 'D', 'E'}, std::nullopt,
                   "Skip USB camera while reading serial number: Ctrl frame vect index out of range"},
        SerialCase{"empty", {}, std::nullopt, "Skip USB camera while reading serial number: Ctrl frame vect index out of range"}),
    [](const testing::TestParamInfo<SerialCase>& info) { return std::string(info.param.name); });

TEST(UsbDiscovery, ACameraWhoseSerialCannotBeReadIsSkipped) {
    UmockdevUsbBus bus;
    auto bad = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B"));
    bad->injectAnswerFault(AnswerFault::CommandFailed, -1, 114u);
    LogCapture logs;
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000B"));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Get serial number failed."));
    EXPECT_TRUE(logs.has(LOG_INFO, "Skip USB camera with empty serial number"));
}

// Answers left on the answer endpoint before discovery, by an earlier program that gave up waiting.
struct StaleAnswer {
    const char* name;
    std::vector<std::vector<uint8_t>> answers;
};

void PrintTo(const StaleAnswer& stale, std::ostream* out) { *out << stale.name; }

std::vector<uint8_t> serialAnswer(const std::string& text) {
    std::vector<uint8_t> answer(8 + text.size(), 0);
    answer[0] = 114;
    answer[4] = static_cast<uint8_t>(text.size());
    std::copy(text.begin(), text.end(), answer.begin() + 8);
    return answer;
}

class UsbDiscoveryStaleAnswer : public testing::TestWithParam<StaleAnswer> {};

TEST_P(UsbDiscoveryStaleAnswer, StillFindsTheCameraWithItsOwnSerial) {
    UmockdevUsbBus bus;
    auto cam = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    for (const auto& answer : GetParam().answers) {
        cam->pushAnswer(answer);
    }
    LogCapture logs;
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000A"));
    EXPECT_EQ(logs.countAt(LOG_ERROR), 0);
    std::set<size_t> sizes;
    for (const auto& answer : GetParam().answers) {
        sizes.insert(answer.size());
    }
    int dropped = 0;
    for (size_t size : sizes) {
        dropped += logs.count(LOG_WARN, "Dropped a late control answer of " + std::to_string(size) + " bytes");
    }
    EXPECT_EQ(dropped, static_cast<int>(GetParam().answers.size()));
    auto usb = UsbInterface::createUsbInterface(describe("QNP0000A"));
    ASSERT_TRUE(usb);
    usb->initByCamera({QUELNOR_VID, TOLVANE_PID, UsbInterface::INTERFACE_SUBCLASS});
    EXPECT_EQ(usb->getFirmwareVersion(), cam->config().firmwareVersion);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UsbDiscoveryStaleAnswer,
    testing::Values(StaleAnswer{"OfAnotherCommand", {{121, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0}}},
                    // Passes every check of a serial answer: only draining keeps it out.
                    StaleAnswer{"ASerialOfAnotherCamera", {serialAnswer("QNP9999999")}},
                    StaleAnswer{"ShorterThanAHeader", {{1, 2, 3}}},
                    StaleAnswer{"Several", {serialAnswer("QNP9999999"), {122, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0},
                                            serialAnswer("QNP8888888")}}),
    [](const testing::TestParamInfo<StaleAnswer>& info) { return std::string(info.param.name); });

TEST(UsbDiscovery, ACameraThatCannotBeOpenedIsSkipped) {
    UmockdevUsbBus bus;
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"), PlugOptions{false});
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B"));
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000B"));
}

TEST(UsbDiscovery, ACameraInUseIsLeftOut) {
    UmockdevUsbBus bus;
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    auto other = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B"));
    auto third = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000C"));
    third->setClaimedElsewhere(0, true); // another program has it
    auto opened = openEventCamera("QNP0000A");
    ASSERT_TRUE(opened);
    const size_t commandsBefore = other->commands().size();
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000B"));
    EXPECT_GT(other->commands().size(), commandsBefore);
    EXPECT_FALSE(sentSerialRequest(*third));
    // Still usable by its owner.
    EXPECT_TRUE(opened->isConnected());
    EXPECT_EQ(opened->getDeviceCount(), 1u);
}

TEST(UsbDiscovery, TheBusyTestClaimsTheVendorInterface) {
    UmockdevUsbBus bus;
    // Interface 0 is some other function, held elsewhere; the camera's own interface 1 is free.
    auto free = bus.plug(withVendorInterfaceSecond(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A")));
    free->setClaimedElsewhere(0, true);
    // Here the vendor interface is held elsewhere while interface 0 is free.
    auto held = bus.plug(withVendorInterfaceSecond(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B")));
    held->setClaimedElsewhere(1, true);
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000A"));
    EXPECT_FALSE(sentSerialRequest(*held));
}

TEST(UsbDiscovery, FramesGoThroughTheLastMatchingVendorInterface) {
    UmockdevUsbBus bus;
    UsbCameraConfig config = UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A");
    AltSettingConfig second;
    second.endpoints = {{0x84}, {0x05}, {0x86}};
    config.interfaces.push_back({{second}});
    config.answerEndpoint = 0x84;
    config.commandEndpoint = 0x05;
    auto cam = bus.plug(config);
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000A"));
    auto usb = openEventCamera("QNP0000A");
    ASSERT_TRUE(usb);
    EXPECT_EQ(usb->getEpCommAddress(), 0x86);
    EXPECT_THAT(bus.claimedInterfaces(cam), ElementsAre(1));
}

TEST(UsbDiscovery, FusionCamerasAreKnownByTheirSerialStringWithoutAnyFrame) {
    UmockdevUsbBus bus;
    auto a = bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, "OND0002"));
    auto b = bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, "OND0001"));
    auto found = UsbInterface::findUsbFusionCamera(ONDRIK_VID, ONDRIK_PID);
    EXPECT_THAT(serials(found), UnorderedElementsAre("OND0002", "OND0001"));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].productName, "Ondrik");
    EXPECT_EQ(found[1].productName, "Ondrik");
    EXPECT_EQ(found[0].interfaceType, INTERFACE_USB);
    EXPECT_THAT(a->commands(), IsEmpty());
    EXPECT_THAT(b->commands(), IsEmpty());
    EXPECT_THAT(bus.claimedInterfaces(a), IsEmpty());
}

TEST(UsbDiscovery, FusionCamerasWithoutAReadableSerialAreListedWithAnEmptyOne) {
    UmockdevUsbBus bus;
    auto first = bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, ""));
    bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, "OND0003"));
    auto second = bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, ""));
    EXPECT_THAT(serials(UsbInterface::findUsbFusionCamera(ONDRIK_VID, ONDRIK_PID)),
                UnorderedElementsAre("", "OND0003", ""));
    // The empty serial opens a camera without one that is free: each of them in turn.
    auto one = UsbInterface::createUsbFusionInterface(describe("", ONDRIK_VID, ONDRIK_PID));
    ASSERT_TRUE(one);
    one->initByCamera({ONDRIK_VID, ONDRIK_PID, UsbInterface::INTERFACE_SUBCLASS});
    auto other = UsbInterface::createUsbFusionInterface(describe("", ONDRIK_VID, ONDRIK_PID));
    ASSERT_TRUE(other);
    other->initByCamera({ONDRIK_VID, ONDRIK_PID, UsbInterface::INTERFACE_SUBCLASS});
    EXPECT_FALSE(UsbInterface::createUsbFusionInterface(describe("", ONDRIK_VID, ONDRIK_PID)));
    EXPECT_THAT(bus.claimedInterfaces(first), ElementsAre(0));
    EXPECT_THAT(bus.claimedInterfaces(second), ElementsAre(0));
    // And the one with a serial is still its own.
    EXPECT_TRUE(UsbInterface::createUsbFusionInterface(describe("OND0003", ONDRIK_VID, ONDRIK_PID)));
}

TEST(UsbDiscovery, CreatesTheInterfaceOfTheDescribedCamera) {
    UmockdevUsbBus bus;
    auto a = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    auto b = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B"));
    a->setRegister(0x10, 0xAAAA);
    b->setRegister(0x10, 0xBBBB);
    auto usb = UsbInterface::createUsbInterface(describe("QNP0000B"));
    ASSERT_TRUE(usb);
    usb->initByCamera({QUELNOR_VID, TOLVANE_PID, 0x19});
    EXPECT_EQ(usb->readRegister(0x10), 0xBBBBu);
    EXPECT_THAT(bus.claimedInterfaces(b), ElementsAre(0));
    EXPECT_THAT(bus.claimedInterfaces(a), IsEmpty());
    // A camera opened by this process is busy for a later discovery.
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000A"));
    usb.reset();
    EXPECT_THAT(bus.claimedInterfaces(b), IsEmpty());
}

TEST(UsbDiscovery, AnUnknownSerialGivesNoInterfaceAfterAskingEveryCamera) {
    UmockdevUsbBus bus;
    auto a = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    auto b = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B"));
    EXPECT_FALSE(UsbInterface::createUsbInterface(describe("QNP0000C")));
    EXPECT_TRUE(sentSerialRequest(*a));
    EXPECT_TRUE(sentSerialRequest(*b));
    EXPECT_THAT(bus.claimedInterfaces(a), IsEmpty());
    EXPECT_THAT(bus.claimedInterfaces(b), IsEmpty());
    EXPECT_FALSE(UsbInterface::createUsbInterface(describe("QNP0000A", QUELNOR_VID, ZARN320_PID)));
}

TEST(UsbDiscovery, CreatesAFusionInterfaceThatSelectsItsInterfaceAtInit) {
    UmockdevUsbBus bus;
    auto cam = bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, "OND0001"));
    auto usb = UsbInterface::createUsbFusionInterface(describe("OND0001", ONDRIK_VID, ONDRIK_PID));
    ASSERT_TRUE(usb);
    LogCapture logs;
    CtrlFrame early(121);
    EXPECT_FALSE(usb->transferFrame(early));
    EXPECT_TRUE(logs.has(LOG_ERROR, "USB control write failed: LIBUSB_ERROR_NOT_FOUND"));
    usb->initByCamera({ONDRIK_VID, ONDRIK_PID, 0x19});
    EXPECT_EQ(usb->getFirmwareVersion(), cam->config().firmwareVersion);
    EXPECT_EQ(usb->getEpCommAddress(), UsbCameraConfig::DATA_ENDPOINT);
    EXPECT_EQ(usb->getEpCommAddress2(), UsbCameraConfig::DATA_ENDPOINT_2);
}

TEST(UsbDiscovery, CreationDetachesAKernelDriverFromTheVendorInterface) {
    UmockdevUsbBus bus;
    auto cam = bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, "OND0001"));
    cam->setKernelDriver(0, "uvcvideo");
    auto usb = UsbInterface::createUsbFusionInterface(describe("OND0001", ONDRIK_VID, ONDRIK_PID));
    ASSERT_TRUE(usb);
    EXPECT_EQ(cam->kernelDriver(0), "");
}

TEST(UsbDiscovery, AnUnpluggedCameraIsNoLongerFound) {
    UmockdevUsbBus bus;
    auto a = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A"));
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000B"));
    bus.unplug(a);
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)), ElementsAre("QNP0000B"));
    EXPECT_FALSE(UsbInterface::createUsbInterface(describe("QNP0000A")));
    bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP0000A")); // plugged in again
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(QUELNOR_VID, TOLVANE_PID)),
                UnorderedElementsAre("QNP0000B", "QNP0000A"));
}
