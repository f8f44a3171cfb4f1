// Opening a USB camera, choosing its vendor interface, claiming and teardown, over real libusb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libusb.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "LogCapture.h"
#include "QuelnorHal/interface/UsbHandle.h"
#include "UsbTestRig.h"
#include "usbcam/UmockdevUsbBus.h"

using namespace quelnor;
using namespace quelnor::test::usbcam;
using namespace usbtest;
using quelnor::test::LogCapture;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

constexpr uint8_t INTERRUPT = 0x03;

AltSettingConfig setting(std::vector<EndpointConfig> endpoints, uint8_t subclass = 0x19, uint8_t cls = 0xFF) {
    AltSettingConfig s;
    s.interfaceClass = cls;
    s.interfaceSubClass = subclass;
    s.endpoints = std::move(endpoints);
    return s;
}

AltSettingConfig vendor3(uint8_t answer, uint8_t command, uint8_t data) {
    return setting({{answer}, {command}, {data}});
}

AltSettingConfig vendor4(uint8_t answer, uint8_t command, uint8_t data, uint8_t data2) {
    return setting({{answer}, {command}, {data}, {data2}});
}

class UsbHandleTest : public testing::Test {
protected:
    std::shared_ptr<UsbCameraModel> plug(std::vector<InterfaceConfig> interfaces, PlugOptions options = {}) {
        UsbCameraConfig config = UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, "QNP1");
        config.interfaces = std::move(interfaces);
        return bus.plug(config, options);
    }

    // A handle on the only device of the bus.
    std::shared_ptr<UsbHandle> open() {
        context = std::make_shared<LibUsbContext>();
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(context->get(), &list);
        EXPECT_EQ(n, 1);
        if (n < 1) {
            return nullptr;
        }
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(list[0], &descriptor);
        auto handle = std::make_shared<UsbHandle>(context, list[0], descriptor);
        libusb_free_device_list(list, 1);
        return handle;
    }

    void TearDown() override { context.reset(); }

    UmockdevUsbBus bus;
    std::shared_ptr<LibUsbContext> context;
};

} // namespace

struct SelectionCase {
    const char* name;
    std::vector<InterfaceConfig> interfaces;
    std::optional<UsbVendorInterface> expected; // empty: "No matching USB interface found"
};

class VendorInterfaceSelection : public UsbHandleTest, public testing::WithParamInterface<SelectionCase> {};

TEST_P(VendorInterfaceSelection, PicksTheLastMatchingSettingWithItsOwnEndpoints) {
    const SelectionCase& c = GetParam();
    auto cam = plug(c.interfaces);
    auto handle = open();
    ASSERT_TRUE(handle && handle->isOpen());
    if (!c.expected) {
        EXPECT_FALSE(handle->findVendorInterface());
        try {
            handle->initInterface();
            FAIL() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "No matching USB interface found");
        }
        return;
    }
    handle->initInterface();
    const UsbVendorInterface& v = handle->vendorInterface();
    EXPECT_EQ(v.number, c.expected->number);
    EXPECT_EQ(v.answerEndpoint, c.expected->answerEndpoint);
    EXPECT_EQ(v.commandEndpoint, c.expected->commandEndpoint);
    EXPECT_EQ(v.dataEndpoint, c.expected->dataEndpoint);
    EXPECT_EQ(v.dataEndpoint2, c.expected->dataEndpoint2);
    EXPECT_THAT(bus.claimedInterfaces(cam), ElementsAre(c.expected->number));
}

INSTANTIATE_TEST_SUITE_P(
    UsbHandle, VendorInterfaceSelection,
    testing::Values(
        SelectionCase{"three_endpoints", {{{vendor3(0x81, 0x02, 0x82)}}}, UsbVendorInterface{0, 0x81, 0x02, 0x82, 0}},
        SelectionCase{"four_endpoints", {{{vendor4(0x81, 0x02, 0x82, 0x83)}}}, UsbVendorInterface{0, 0x81, 0x02, 0x82, 0x83}},
        // Two matching interfaces: the second is used, and nothing of the first stays behind.
        SelectionCase{"second_of_two",
                      {{{vendor4(0x81, 0x02, 0x82, 0x83)}}, {{vendor3(0x84, 0x05, 0x86)}}},
                      UsbVendorInterface{1, 0x84, 0x05, 0x86, 0}},
        // The fourth endpoint belongs to the matched setting, not to the interface's first one.
        SelectionCase{"fourth_from_matched_setting",
                      {{{setting({{0x81}, {0x02}, {0x82}, {0x83}}, 0x00), vendor3(0x84, 0x05, 0x86)}}},
                      UsbVendorInterface{0, 0x84, 0x05, 0x86, 0}},
        SelectionCase{"first_setting_wins_within_interface",
                      {{{vendor3(0x81, 0x02, 0x82), vendor4(0x84, 0x05, 0x86, 0x87)}}},
                      UsbVendorInterface{0, 0x81, 0x02, 0x82, 0}},
        SelectionCase{"vendor_interface_second", {{{setting({{0x81, INTERRUPT}}, 0x01, 0x0E)}}, {{vendor3(0x82, 0x03, 0x84)}}},
                      UsbVendorInterface{1, 0x82, 0x03, 0x84, 0}},
        // Endpoints are counted before they are looked at.
        SelectionCase{"two_endpoints", {{{setting({{0x81}, {0x02}})}}}, std::nullopt},
        SelectionCase{"no_endpoints", {{{setting({})}}}, std::nullopt},
        SelectionCase{"wrong_directions", {{{setting({{0x01}, {0x82}, {0x83}})}}}, std::nullopt},
        SelectionCase{"interrupt_endpoint", {{{setting({{0x81}, {0x02}, {0x82, INTERRUPT}})}}}, std::nullopt},
        SelectionCase{"other_subclass", {{{setting({{0x81}, {0x02}, {0x82}}, 0x18)}}}, std::nullopt},
        SelectionCase{"other_class", {{{setting({{0x81}, {0x02}, {0x82}}, 0x19, 0x0E)}}}, std::nullopt}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return std::string(info.param.name); });

TEST_F(UsbHandleTest, InitClaimsTheVendorInterfaceAndTeardownReleasesIt) {
    auto cam = plug({{{setting({{0x81, INTERRUPT}}, 0x01, 0x0E)}}, {{vendor3(0x82, 0x03, 0x84)}}});
    auto handle = open();
    handle->initInterface();
    EXPECT_THAT(bus.claimedInterfaces(cam), ElementsAre(1));
    EXPECT_EQ(handle->claimInterface(1), 0); // already ours
    EXPECT_EQ(handle->releaseInterface(0), 0); // never claimed
    handle.reset();
    EXPECT_THAT(bus.claimedInterfaces(cam), IsEmpty());
}

TEST_F(UsbHandleTest, AKernelDriverIsDetachedBeforeTheClaim) {
    auto cam = plug({{{vendor3(0x81, 0x02, 0x82)}}});
    cam->setKernelDriver(0, "uvcvideo");
    auto handle = open();
    EXPECT_EQ(handle->kernelDriverActive(0), 1);
    handle->initInterface();
    EXPECT_EQ(cam->kernelDriver(0), "");
    EXPECT_THAT(bus.claimedInterfaces(cam), ElementsAre(0));
    EXPECT_EQ(handle->kernelDriverActive(0), 0);
}

TEST_F(UsbHandleTest, AnInterfaceHeldElsewhereCannotBeClaimed) {
    auto cam = plug({{{vendor3(0x81, 0x02, 0x82)}}});
    cam->setClaimedElsewhere(0, true);
    auto handle = open();
    try {
        handle->initInterface();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error claiming interface");
    }
    EXPECT_EQ(handle->claimInterface(0), LIBUSB_ERROR_BUSY);
}

TEST_F(UsbHandleTest, TwoHandlesOnOneCameraCannotBothClaimIt) {
    auto cam = plug({{{vendor3(0x81, 0x02, 0x82)}}});
    auto first = open();
    auto firstContext = context;
    auto second = open();
    EXPECT_EQ(first->claimInterface(0), 0);
    EXPECT_EQ(second->claimInterface(0), LIBUSB_ERROR_BUSY);
    first.reset();
    EXPECT_EQ(second->claimInterface(0), 0);
}

TEST_F(UsbHandleTest, ADeviceThatCannotBeOpenedFailsEveryCallWithALogLine) {
    plug({{{vendor3(0x81, 0x02, 0x82)}}}, PlugOptions{false});
    LogCapture logs;
    auto handle = open();
    ASSERT_TRUE(handle);
    EXPECT_FALSE(handle->isOpen());
    ASSERT_EQ(logs.countAt(LOG_ERROR), 1);
    EXPECT_EQ(logs.lines()[0].text.rfind("Error opening device. Error code: LIBUSB_ERROR_", 0), 0u) << logs.lines()[0].text;
    logs.clear();
    EXPECT_EQ(handle->claimInterface(0), -1);
    EXPECT_EQ(handle->releaseInterface(0), -1);
    EXPECT_EQ(handle->kernelDriverActive(0), -1);
    EXPECT_EQ(handle->detachKernelDriver(0), -1);
    EXPECT_EQ(logs.count(LOG_ERROR, "USB not open."), 4);
    EXPECT_EQ(handle->getStringDescriptor(1), "");
    EXPECT_TRUE(logs.has(LOG_ERROR, "ERR no dev_handle"));
    EXPECT_LT(handle->checkConnectionStatus(), 0);
    try {
        handle->initInterface();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "USB config descriptor is unavailable");
    }
}

TEST_F(UsbHandleTest, StringDescriptors) {
    plug({{{vendor3(0x81, 0x02, 0x82)}}});
    auto handle = open();
    auto d = handle->getDescriptor();
    EXPECT_EQ(d.idVendor, QUELNOR_VID);
    EXPECT_EQ(handle->getStringDescriptor(d.iProduct), "Tolvane");
    EXPECT_EQ(handle->getStringDescriptor(d.iManufacturer), "Quelnor");
    LogCapture logs;
    EXPECT_EQ(handle->getStringDescriptor(9), "");
    EXPECT_TRUE(logs.has(LOG_ERROR, "Error in getStringDescriptor; LIBUSB_ERROR_PIPE"));
    EXPECT_GE(handle->checkConnectionStatus(), 0);
}
