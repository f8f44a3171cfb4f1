// Discovery of the camera gadgets through the kernel's usbfs: ids, serials in both forms, busy
// cameras, interfaces created for a serial.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QuelnorHal/interface/UsbInterface.h"
#include "UsbVmRig.h"

using namespace quelnor;
using namespace usbvm;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

std::vector<std::string> serials(const std::vector<CameraDescription>& found) {
    std::vector<std::string> out;
    for (const auto& d : found) {
        out.push_back(d.serialNumber);
    }
    return out;
}

constexpr uint16_t UNUSED_PRODUCT_ID = 0x0002;

} // namespace

TEST_F(UsbVm, EachCameraIsFoundByItsIdsWithItsSerial) {
    for (const VmCamera* camera : {&textCamera(), &numberCamera()}) {
        auto found = UsbInterface::findUsbDvsCamera(camera->vendorId, camera->productId);
        ASSERT_THAT(serials(found), ElementsAre(camera->serial)) << camera->socket;
        EXPECT_EQ(found[0].manufacturer, "Quelnor");
        EXPECT_EQ(found[0].vendorId, camera->vendorId);
        EXPECT_EQ(found[0].productId, camera->productId);
        EXPECT_EQ(found[0].interfaceType, INTERFACE_USB);
    }
    EXPECT_EQ(UsbInterface::findUsbDvsCamera(textCamera().vendorId, textCamera().productId)[0].productName, "Tolvane");
    EXPECT_EQ(numberCamera().serial, "deadbeef"); // the number form, at least 8 hex digits

    const VmCamera& fusion = fusionCamera();
    auto found = UsbInterface::findUsbFusionCamera(fusion.vendorId, fusion.productId);
    ASSERT_THAT(serials(found), ElementsAre(fusion.serial));
    EXPECT_EQ(found[0].productName, "Ondrik");

    EXPECT_THAT(UsbInterface::findUsbDvsCamera(textCamera().vendorId, UNUSED_PRODUCT_ID), IsEmpty());
}

TEST_F(UsbVm, ACameraInUseIsLeftOutUntilReleased) {
    const VmCamera& camera = textCamera();
    auto usb = open(camera);
    ASSERT_TRUE(usb);
    EXPECT_THAT(UsbInterface::findUsbDvsCamera(camera.vendorId, camera.productId), IsEmpty());
    EXPECT_FALSE(UsbInterface::createUsbInterface(camera.description())) << "claimed by the first interface";
    usb.reset();
    EXPECT_THAT(serials(UsbInterface::findUsbDvsCamera(camera.vendorId, camera.productId)), ElementsAre(camera.serial));

    const VmCamera& fusion = fusionCamera();
    auto fusionUsb = open(fusion);
    ASSERT_TRUE(fusionUsb);
    EXPECT_THAT(UsbInterface::findUsbFusionCamera(fusion.vendorId, fusion.productId), IsEmpty());
}

TEST_F(UsbVm, InterfacesAreCreatedForTheirSerialOnly) {
    for (const VmCamera* camera : {&textCamera(), &numberCamera()}) {
        CameraDescription other = camera->description();
        other.serialNumber = "QNP9999999";
        EXPECT_FALSE(UsbInterface::createUsbInterface(other)) << camera->socket;
        auto usb = open(*camera);
        ASSERT_TRUE(usb) << camera->socket;
        EXPECT_TRUE(usb->isConnected());
        EXPECT_NE(usb->getEpCommAddress() & 0x80, 0) << "the data endpoint is an IN endpoint";
        EXPECT_EQ(usb->getEpCommAddress2(), 0) << "an event camera has no second data endpoint";
    }
    CameraDescription other = fusionCamera().description();
    other.serialNumber = "OND0000";
    EXPECT_FALSE(UsbInterface::createUsbFusionInterface(other));
    auto fusion = open(fusionCamera());
    ASSERT_TRUE(fusion);
    EXPECT_NE(fusion->getEpCommAddress2() & 0x80, 0);
    EXPECT_NE(fusion->getEpCommAddress2(), fusion->getEpCommAddress());
}
