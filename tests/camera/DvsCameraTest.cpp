#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/camera/CameraType.h"
#include "QuelnorDriver/camera/DvsCamera.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorDriver/camera/PropheseeEVK4.h"
#include "QuelnorDriver/camera/PropheseeEVK5.h"
#include "QuelnorDriver/camera/QuelnorTolvane.h"
#include "QuelnorDriver/camera/Zarn320Camera.h"
#include "ToolSetRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

// The smallest camera: its init builds the IMX636 tool set over the device double, the rest is
// what DvsCamera itself provides.
class ToolOnlyCamera : public DvsCamera {
public:
    explicit ToolOnlyCamera(CameraDescription d) : DvsCamera(std::move(d)) {}

    int openForTest() { return init(); }

    bool isConnected() const override { return device != nullptr; }
    uint32_t addEventsStreamHandleCallback(EventsCallback) override { return 0; }
    bool removeEventsStreamHandleCallback(uint32_t) override { return false; }
    uint32_t addTriggerInCallback(TriggerInCallback) override { return 0; }
    bool removeTriggerInCallback(uint32_t) override { return false; }
    bool getNextBatch(std::vector<Event2D>&) override { return false; }
    void setBatchEventsNum(uint64_t) override {}
    void setBatchEventsTime(uint64_t) override {}
    int start() override { return -1; }
    int stop() override { return 0; }
    int startRecording(std::string) override { return -1; }
    int stopRecording() override { return 0; }
    uint16_t getWidth() override { return 1280; }
    uint16_t getHeight() override { return 720; }

    std::shared_ptr<DeviceDouble> device;

private:
    int init() override {
        device = std::make_shared<DeviceDouble>(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE);
        ToolSetRig::makeResponsive(*device, false);
        tools.createEventCameraTools(ToolSetRig::controllerFor(device, false), false);
        return 0;
    }
};

CameraDescription description(const std::string& serial) {
    CameraDescription d;
    d.serialNumber = serial;
    d.productName = "Tolvane";
    d.manufacturer = "Quelnor";
    d.vendorId = 0x04B5;
    d.productId = 0x0001;
    return d;
}

} // namespace

TEST(DvsCamera, DefaultsOfTheOptionalOperations) {
    ToolOnlyCamera camera(description("A1"));
    std::string version = "1.2.3";
    EXPECT_FALSE(camera.getFirmwareVersion(version));
    EXPECT_EQ(version, "N/A");
    EXPECT_FALSE(camera.updateCameraFirmware("/nonexistent/firmware.bin", 0));
    camera.setFileCacheTime(5, "/tmp");
    camera.setStatisticInfoCallback([](QnStatisticInfo) {});
    EXPECT_EQ(camera.getDescription().serialNumber, "A1");
    EXPECT_EQ(camera.getDescription().productName, "Tolvane");
}

TEST(DvsCamera, ToolsAreReachedThroughTheCamera) {
    ToolOnlyCamera camera(description("A2"));
    EXPECT_TRUE(camera.getAllToolsInfo().empty()) << "no tools before the camera is opened";
    EXPECT_THROW(camera.getToolInfo(BIAS), std::runtime_error);
    EXPECT_EQ(camera.getTool(BIAS), nullptr);

    ASSERT_EQ(camera.openForTest(), 0);
    EXPECT_EQ(camera.getAllToolsInfo().size(), 7u);
    EXPECT_EQ(camera.getToolInfo(ROI).name, "ROI");
    EXPECT_EQ(camera.getTool("ROI"), camera.getTool(ROI));
    EXPECT_EQ(camera.getTool("Roi"), nullptr);

    ScratchDir dir;
    const std::string path = dir.file("camera.json");
    ASSERT_TRUE(camera.getTool(BIAS)->setParam("bias_hpf", 11));
    ASSERT_TRUE(camera.exportCameraConfigParams(path));

    ToolOnlyCamera other(description("A3"));
    ASSERT_EQ(other.openForTest(), 0);
    EXPECT_TRUE(other.loadCameraConfigParams(path));
    int value = 0;
    EXPECT_TRUE(other.getTool(BIAS)->getParam("bias_hpf", value));
    EXPECT_EQ(value, 11);
}

TEST(DvsCamera, ProductTableAndCameraKinds) {
    struct Row {
        uint16_t vendorId;
        uint16_t productId;
        std::string manufacturer;
        std::string product;
    };
    const Row rows[] = {
        {PropheseeEVK4::vendorId, PropheseeEVK4::productId, PropheseeEVK4::getManufacturer(),
         PropheseeEVK4::getProductName()},
        {PropheseeEVK5::vendorId, PropheseeEVK5::productId, PropheseeEVK5::getManufacturer(),
         PropheseeEVK5::getProductName()},
        {QuelnorTolvane::vendorId, QuelnorTolvane::productId, QuelnorTolvane::getManufacturer(),
         QuelnorTolvane::getProductName()},
        {Zarn320Camera::vendorId, Zarn320Camera::productId, Zarn320Camera::getManufacturer(),
         Zarn320Camera::getProductName()},
    };
    const Row expected[] = {{0x04B4, 0x00F5, "Prophesee", "EVK4"},
                            {0x04B4, 0x00C4, "Prophesee", "EVK5"},
                            {0x04B5, 0x0001, "Quelnor", "Tolvane"},
                            {0x04B5, 0x0003, "Quelnor Team.", "Quelnor.320camera"}};
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].vendorId, expected[i].vendorId) << i;
        EXPECT_EQ(rows[i].productId, expected[i].productId) << i;
        EXPECT_EQ(rows[i].manufacturer, expected[i].manufacturer) << i;
        EXPECT_EQ(rows[i].product, expected[i].product) << i;
    }
    EXPECT_EQ(PropheseeEVK4::interfaceType, INTERFACE_USB);
    EXPECT_EQ(Zarn320Camera::interfaceType, INTERFACE_USB);
    EXPECT_EQ(static_cast<int>(CAMERA_PROPHESEE_EVK4), 0);
    EXPECT_EQ(static_cast<int>(CAMERA_PROPHESEE_EVK5), 1);
    EXPECT_EQ(static_cast<int>(CAMERA_QUELNOR_TOLVANE), 2);
    EXPECT_EQ(static_cast<int>(CAMERA_ONDRIK), 3);
    EXPECT_EQ(static_cast<int>(CAMERA_ZARN320), 4);
    EXPECT_EQ(static_cast<int>(CAMERA_ONDRIK_PRO), 5);
}

TEST(DvsCamera, AnEventCameraBeforeItIsOpened) {
    CameraDescription d = description("QNP0320");
    d.productId = Zarn320Camera::productId;
    auto camera = std::make_shared<Zarn320Camera>(d);
    // The GenX320's size is known only once the camera is open.
    EXPECT_EQ(camera->getWidth(), 1280);
    EXPECT_EQ(camera->getHeight(), 720);
    EXPECT_FALSE(camera->isConnected());
    std::string version = "x";
    EXPECT_FALSE(camera->getFirmwareVersion(version));
    EXPECT_EQ(version, "N/A");
    EXPECT_FALSE(camera->updateCameraFirmware("/nonexistent/firmware.bin", 0));
    EXPECT_TRUE(camera->getAllToolsInfo().empty());
    EXPECT_THROW(camera->start(), std::runtime_error);
    EXPECT_EQ(camera->stop(), 0);
    std::vector<Event2D> batch;
    EXPECT_FALSE(camera->getNextBatch(batch));

    CameraDescription eth = description("QNETH");
    eth.interfaceType = INTERFACE_ETH;
    auto tolvane = std::make_shared<QuelnorTolvane>(eth);
    EXPECT_FALSE(tolvane->updateCameraFirmware("/nonexistent/firmware.bin", 0)) << "not open: no interface";
}

TEST(DvsCameraManager, SerialsNeverListedOpenNothing) {
    // The open calls only look into what a listing found; nothing was listed here.
    DvsCameraManager manager;
    EXPECT_EQ(manager.openCamera("NOSUCHCAMERA"), nullptr);
    EXPECT_EQ(manager.openFusionCamera("NOSUCHCAMERA"), nullptr);
    DvsCameraManager copy = manager;
    EXPECT_EQ(copy.openCamera("NOSUCHCAMERA"), nullptr);
}
