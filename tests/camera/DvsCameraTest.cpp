#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/camera/DvsCamera.h"
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
