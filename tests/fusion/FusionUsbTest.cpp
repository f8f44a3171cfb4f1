// The Ondrik end to end over USB: simulated fusion cameras on an in-process umockdev bus, reached through
// DvsCameraManager and the SDK's real libusb code. Listing beside event cameras, opening (sensor bring-up,
// calibration and firmware reads), the fused stream with 3840 x 2160 frames timed by the trigger input,
// frames cut in two by the transport, the single streams and their stops, register writes the camera
// refuses at open and at start, recordings read back and probed,
// the calibration store, the identity registers, the configuration file, and a lost camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LogCapture.h"
#include "QuelnorBase/Utils/JsonUtils.h"
#include "QuelnorDriver/FileReader/Mp4FileReader.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorDriver/camera/OndrikCamera.h"
#include "QuelnorHal/register/RegisterMap.h"
#include "VideoTestUtil.h"
#include "cameralab/CameraCollectors.h"
#include "cameralab/SensorRegisters.h"
#include "cameralab/TestNetwork.h"
#include "cameralab/UsbSensorCamera.h"
#include "evt3/Evt3TestEncoder.h"
#include "fusionlab/FusionCollector.h"
#include "fusionlab/FusionTestPeer.h"
#include "fusionlab/Nv12Frames.h"
#include "fusionlab/SixtyHzTriggers.h"
#include "fusionlab/SmallTmpfs.h"
#include "fusionlab/UsbFusionCamera.h"
#include "rawfile/TempDir.h"
#include "sensortrace/RegisterTrace.h"
#include "sensortrace/SensorScripts.h"

using namespace quelnor;
using namespace quelnor::test;
using quelnor::test::usbcam::UmockdevUsbBus;
using Peer = quelnor::FusionCameraTestPeer;

namespace {

constexpr int WIDTH = UsbFusionCamera::FRAME_WIDTH;
constexpr int HEIGHT = UsbFusionCamera::FRAME_HEIGHT;
constexpr size_t FRAME_BYTES = UsbFusionCamera::FRAME_BYTES;
constexpr int GREY_TOLERANCE = 2;
// The shutter register 3479 gives an exposure of 66667 - 12 x 3479 = 24919 us.
constexpr uint64_t EXPOSURE_US = 24919;

const std::string VALID_CALIBRATION = R"({
    "0": {"camera_serial": "OND0001", "frame_size": {"cols": 1280, "rows": 720},
          "camera_matrix": {"rows": 3, "cols": 3, "type": 6, "data": [1,0,0,0,1,0,0,0,1]},
          "dist_coeffs": {"rows": 1, "cols": 2, "type": 6, "data": [0.5, 0.25]},
          "affine_matrix": {"1": {"rows": 1, "cols": 1, "type": 6, "data": [2.0]}},
          "rotation": [1, 2, 3], "translation": [4, 5, 6]},
    "1": {"frame_size": {"cols": 3840, "rows": 2160},
          "affine_matrix": {"0": {"rows": 1, "cols": 1, "type": 6, "data": [0.5]}}}
})";

std::vector<std::string> serialsOf(const std::vector<CameraDescription>& descriptions) {
    std::vector<std::string> serials;
    for (const auto& d : descriptions) {
        serials.push_back(d.serialNumber);
    }
    return serials;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<Event2D> readAllEvents(const std::string& path, DvsFileInfo* info = nullptr) {
    RawFileReader reader(path);
    std::vector<Event2D> events;
    if (!reader.loadFile()) {
        return events;
    }
    if (info != nullptr) {
        reader.getFileInfo(*info);
    }
    for (;;) {
        auto batch = reader.getNEvents(65536);
        if (!batch || batch->empty()) {
            return events;
        }
        events.insert(events.end(), batch->begin(), batch->end());
    }
}

// A grey frame whose upper rows are `top` and the rest `bottom` (luma), so a frame joined from the wrong
// pieces shows.
std::vector<uint8_t> twoToneFrame(uint8_t top, uint8_t bottom) {
    std::vector<uint8_t> frame = greyNv12(WIDTH, HEIGHT, bottom);
    std::fill(frame.begin(), frame.begin() + WIDTH * (HEIGHT / 4), top);
    return frame;
}

void expectGrey(const std::array<uint8_t, 3>& pixel, uint8_t luma, const std::string& where) {
    for (uint8_t channel : pixel) {
        EXPECT_NEAR(channel, greyLevelOf(luma), GREY_TOLERANCE) << where;
    }
}

class FusionUsbTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        isolateTestProcessNetwork(); // the Ethernet search then finds no adapter
    }

    void SetUp() override {
        if (!UmockdevUsbBus::available()) {
            GTEST_SKIP() << "needs the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0)";
        }
        logs = std::make_unique<LogCapture>();
        bus = std::make_unique<UmockdevUsbBus>();
        manager = std::make_unique<DvsCameraManager>();
    }

    void TearDown() override {
        // Every libusb handle goes before the bus.
        opened.clear();
        manager.reset();
        bus.reset();
        logs.reset();
    }

    UsbFusionCamera plug(const std::string& serial = "OND0001") { return UsbFusionCamera::plug(*bus, serial); }

    std::shared_ptr<FusionCamera> open(const std::string& serial = "OND0001") {
        manager->getCameraDescs();
        auto camera = manager->openFusionCamera(serial);
        if (camera) {
            opened.push_back(camera);
        }
        return camera;
    }

    // Opens the camera with every collector attached.
    std::shared_ptr<FusionCamera> openCollecting(const std::string& serial = "OND0001") {
        auto camera = open(serial);
        if (camera) {
            camera->addEventsStreamHandleCallback(collected.eventsCallback());
            camera->addSyncSignalCallback(collected.syncCallback());
            camera->addApsFrameCallback(collected.frameCallback());
            camera->setStatisticInfoCallback(statistics.callback());
        }
        return camera;
    }

    // Trigger edges that time one frame: the first rising edge after a fused start is only counted, so
    // `first` goes ahead of the edge at `edge`.
    static void timingEdges(Evt3TestEncoder& encoder, uint64_t first, uint64_t edge) {
        encoder.addTrigger(EventTriggerIn(0, 1, first));
        encoder.addTrigger(EventTriggerIn(0, 0, first + 1000));
        encoder.addTrigger(EventTriggerIn(0, 1, edge));
        encoder.addTrigger(EventTriggerIn(0, 0, edge + 1000));
    }

    std::unique_ptr<LogCapture> logs;
    // Before the cameras: they outlive their callbacks.
    FusionCollector collected;
    StatisticCollector statistics;
    std::unique_ptr<UmockdevUsbBus> bus;
    std::unique_ptr<DvsCameraManager> manager;
    std::vector<std::shared_ptr<FusionCamera>> opened;
};

} // namespace

TEST_F(FusionUsbTest, FusionCamerasAreListedAfterTheEventCamerasInSerialOrder) {
    plug("OND0002");
    UsbSensorCamera::plug(*bus, 0x04B5, 0x0001, "QNP0009", "Quelnor", "Tolvane");
    plug("OND0001");
    const auto descriptions = manager->getCameraDescs();
    ASSERT_EQ(serialsOf(descriptions), (std::vector<std::string>{"QNP0009", "OND0001", "OND0002"}));
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(descriptions[i].productName, "Ondrik");
        EXPECT_EQ(descriptions[i].manufacturer, "Quelnor");
        EXPECT_EQ(descriptions[i].vendorId, OndrikCamera::vendorId);
        EXPECT_EQ(descriptions[i].productId, OndrikCamera::productId);
        EXPECT_EQ(descriptions[i].interfaceType, INTERFACE_USB);
    }
    EXPECT_EQ(manager->openFusionCamera("QNP0009"), nullptr) << "an event camera is not a fusion camera";
    EXPECT_EQ(manager->openCamera("OND0001"), nullptr) << "nor the other way round";
    EXPECT_EQ(manager->openFusionCamera("OND9999"), nullptr);
    EXPECT_EQ(manager->updateCameras(), 3);
}

TEST_F(FusionUsbTest, OpeningTheSameSerialReturnsTheSameObjectWhichListingsThenKeep) {
    plug();
    auto first = open();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isConnected());
    EXPECT_EQ(manager->openFusionCamera("OND0001"), first);
    EXPECT_EQ(serialsOf(manager->getCameraDescs()), std::vector<std::string>{"OND0001"});
    EXPECT_EQ(manager->openFusionCamera("OND0001"), first) << "an opened camera keeps its object";
}

TEST_F(FusionUsbTest, OpeningBringsTheEventSensorUpReadsTheBoardAndSwitchesTheFrameStreamOff) {
    auto sim = plug();
    sim.setBoardValue(UsbFusionCamera::APS_CTRL, 1);
    manager->getCameraDescs();
    sim.registers->clearLog();
    auto camera = open();
    ASSERT_NE(camera, nullptr);

    const OpenTrace& expected = referenceOpenTrace(false);
    const std::vector<Access> log = sim.registers->log();
    ASSERT_GE(log.size(), expected.sensorInit.size());
    const std::vector<Access> sensorPart(log.begin(), log.begin() + static_cast<long>(expected.sensorInit.size()));
    EXPECT_TRUE(sensorPart == expected.sensorInit) << "the event sensor comes up as on an event camera";

    EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_CTRL), 0u) << "the frame stream is off until a start";
    EXPECT_TRUE(logs->has(LOG_INFO, "Firmware version: ONDRIK-FW-1.2.3"));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Read calibration data error.")) << "the store is empty";
    bool calibrationRead = false;
    for (const auto& request : sim.model->controlRequests()) {
        calibrationRead |= request.setup.request == usbcam::wire::VENDOR_READ_CALIBRATION;
    }
    EXPECT_TRUE(calibrationRead);

    const auto tools = camera->getAllToolsInfo();
    ASSERT_EQ(tools.size(), 8u);
    EXPECT_EQ(camera->getToolInfo(APS_CTRL).name, "ApsCtrl");
    int exposure = 0;
    ASSERT_TRUE(camera->getTool(APS_CTRL)->getParam("exposure_time", exposure));
    EXPECT_EQ(exposure, static_cast<int>(EXPOSURE_US));
    bool triggerEnabled = false;
    ASSERT_TRUE(camera->getTool(TRIGGER_IN)->getParam("enable", triggerEnabled));
    EXPECT_TRUE(triggerEnabled) << "the trigger input times the frames";
}

TEST_F(FusionUsbTest, TheFusedStreamTimesEachFrameByTheTriggerInputAndMarksItsExposureEnd) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    EXPECT_EQ(sim.switchFrames(), (std::vector<std::vector<uint32_t>>{{UsbFusionCamera::DVS_ENABLE, 0, 1},
                                                                       {UsbFusionCamera::DVS_STREAM_ENABLE, 0, 1}}));
    EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_CTRL), 1u) << "the frame stream is on";

    Evt3TestEncoder encoder;
    timingEdges(encoder, 966667, 1000000);
    encoder.setTime(1010000).addEvent(Event2D(100, 200, 1, 1010000));
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == 1; }));
    sim.streamFrame(twoToneFrame(60, 160));
    ASSERT_TRUE(collected.waitForFrames(1));
    // Time passes the exposure end: the decoder marks it.
    encoder.setTime(1025800).addEvent(Event2D(101, 200, 0, 1025800));
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForSyncs(3));
    ASSERT_TRUE(statistics.waitForTotals(1, 2));
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    const auto frames = collected.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].width, WIDTH);
    EXPECT_EQ(frames[0].height, HEIGHT);
    EXPECT_EQ(frames[0].bytes, static_cast<uint64_t>(WIDTH) * HEIGHT * 3);
    EXPECT_EQ(frames[0].startTimestamp, 1000000 - 200 - EXPOSURE_US);
    EXPECT_EQ(frames[0].endTimestamp, 1025720u);
    expectGrey(frames[0].firstPixel, 60, "top");
    expectGrey(frames[0].lastPixel, 160, "bottom");

    const auto syncs = collected.syncs();
    ASSERT_EQ(syncs.size(), 3u);
    EXPECT_EQ(syncs[0], EventTriggerIn(0, 0, 967667));
    EXPECT_EQ(syncs[1], EventTriggerIn(0, 0, 1001000));
    EXPECT_EQ(syncs[2].polarity, 1);
    EXPECT_EQ(syncs[2].timestamp, 1025800u) << "the first time at or after the exposure end";
    const auto events = collected.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].x, 1279 - 100);
    EXPECT_EQ(events[0].y, 200);

    EXPECT_EQ(sim.switchFrames().size(), 4u);
    EXPECT_EQ(sim.switchFrames()[2], (std::vector<uint32_t>{UsbFusionCamera::DVS_ENABLE, 0, 0}));
    EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_CTRL), 0u);
}

TEST_F(FusionUsbTest, AFrameTheTransportCutsInTwoIsJoinedAgain) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    Evt3TestEncoder encoder;
    timingEdges(encoder, 100000, 133333);
    sim.streamEvents(encoder.takeWords());

    // The first part fills a transfer that then times out with it; the rest comes in the next one.
    const std::vector<uint8_t> frame = twoToneFrame(30, 220);
    const size_t cut = FRAME_BYTES / 2;
    sim.streamFrame(std::vector<uint8_t>(frame.begin(), frame.begin() + static_cast<long>(cut)), false);
    ASSERT_TRUE(eventually([&] {
        for (const auto& urb : bus->urbs(sim.model)) {
            if (urb.endpoint == usbcam::UsbCameraConfig::DATA_ENDPOINT_2 && urb.done && urb.discarded &&
                urb.actualLength == static_cast<int>(cut)) {
                return true;
            }
        }
        return false;
    }));
    sim.streamFrame(std::vector<uint8_t>(frame.begin() + static_cast<long>(cut), frame.end()));
    ASSERT_TRUE(collected.waitForFrames(1));
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);
    const auto frames = collected.frames();
    ASSERT_EQ(frames.size(), 1u);
    expectGrey(frames[0].firstPixel, 30, "top");
    expectGrey(frames[0].lastPixel, 220, "bottom");
    EXPECT_EQ(frames[0].endTimestamp, 133333u + 25720u);
    EXPECT_EQ(logs->count(LOG_ERROR, "Unexpected APS frame size: " + std::to_string(cut) + " (expected " +
                                         std::to_string(FRAME_BYTES) + ")."),
              0);
}

TEST_F(FusionUsbTest, TheStreamsStartAndStopOneByOne) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(DVS_STREAM), 0);
    EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_CTRL), 0u) << "only the event sensor runs";
    EXPECT_EQ(camera->start(DVS_STREAM), 0);
    EXPECT_TRUE(logs->has(LOG_INFO, "Camera already started."));

    Evt3TestEncoder encoder;
    encoder.setTime(1000).addEvent(Event2D(1, 1, 1, 1000));
    timingEdges(encoder, 2000, 40000);
    encoder.setTime(70000).addEvent(Event2D(2, 1, 1, 70000));
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForEvents(2));
    ASSERT_TRUE(collected.waitForSyncs(3)) << "falling edges and the exposure-end mark are passed on";
    EXPECT_EQ(collected.syncs()[2], EventTriggerIn(0, 1, 70000));
    EXPECT_TRUE(Peer::timings(*camera).empty()) << "nothing pairs frames outside a fused stream";

    ASSERT_EQ(camera->start(APS_STREAM), 0) << "the frame stream as well";
    EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_CTRL), 1u);
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 80));
    ASSERT_TRUE(eventually([&] { return Peer::apsFrameCount(*camera) == 1; }));
    EXPECT_EQ(Peer::queuedFrames(*camera), 0u) << "frames wait for pairing only in a fused stream";

    // The event sensor alone stops; its thread stays and a new start starts the sensor again.
    ASSERT_EQ(camera->stop(DVS_STREAM), 0);
    EXPECT_EQ(sim.switchFrames().back(), (std::vector<uint32_t>{UsbFusionCamera::DVS_STREAM_ENABLE, 0, 0}));
    logs->clear();
    ASSERT_EQ(camera->start(DVS_STREAM), 0);
    EXPECT_FALSE(logs->has(LOG_INFO, "Camera already started.")) << "the sensor was stopped";
    EXPECT_EQ(sim.switchFrames().back(), (std::vector<uint32_t>{UsbFusionCamera::DVS_STREAM_ENABLE, 0, 1}));
    encoder.setTime(80000).addEvent(Event2D(3, 1, 1, 80000));
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForEvents(3));

    // From there to the fused stream: frames now pair with the trigger input.
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    timingEdges(encoder, 100000, 133333);
    sim.streamEvents(encoder.takeWords());
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 90));
    ASSERT_TRUE(collected.waitForFrames(1));
    EXPECT_EQ(collected.frames()[0].endTimestamp, 133333u + 25720u);

    ASSERT_EQ(camera->stop(APS_STREAM), 0);
    EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_CTRL), 0u);
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_EQ(camera->stop(DVS_STREAM), 0) << "nothing runs";
}

// A start-sequence write of the event sensor that the camera refuses: start() answers -1 instead of
// throwing, the error names the register, nothing is left running, and the next start works.
TEST_F(FusionUsbTest, AStartWriteTheCameraRefusesFailsTheStartNamingTheRegister) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    constexpr uint32_t MIPI_CONTROL = 0xB000;
    size_t events = 0;
    for (STREAM_TYPE type : {DVS_STREAM, FUSION_STREAM}) {
        SCOPED_TRACE(type == DVS_STREAM ? "events" : "fused");
        // The start sequence's first write is the first register write the start sends.
        sim.model->injectAnswerFault(usbcam::AnswerFault::CommandFailed, 1, usbcam::wire::WRITE_REGISTER);
        logs->clear();
        int result = 0;
        EXPECT_NO_THROW(result = camera->start(type));
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(
            logs->has(LOG_ERROR, "Write of register mipi_csi/mipi_control (0xB000) value 0x2F9 was not confirmed"));
        EXPECT_TRUE(logs->has(LOG_ERROR, "The event sensor of camera OND0001 did not start."));
        EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_CTRL), 0u) << "the frame sensor is not left running";
        EXPECT_EQ(sim.switchFrames().back(), (std::vector<uint32_t>{UsbFusionCamera::DVS_STREAM_ENABLE, 0, 0}))
            << "the event stream is switched off again";

        sim.registers->clearLog();
        ASSERT_EQ(camera->start(type), 0);
        const std::vector<Access> log = sim.registers->log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.front(), (Access{AccessKind::Write, MIPI_CONTROL, 0x2F9, false})) << "the whole sequence again";
        Evt3TestEncoder encoder;
        encoder.setTime(1000).addEvent(Event2D(1, 1, 1, 1000));
        sim.streamEvents(encoder.takeWords());
        ASSERT_TRUE(collected.waitForEvents(++events));
        ASSERT_EQ(camera->stop(FUSION_STREAM), 0);
    }
}

// The first register write of the event sensor's bring-up refused: the open gives no camera, the
// error names the register, and the next open works.
TEST_F(FusionUsbTest, AnInitialisationWriteTheCameraRefusesFailsTheOpenNamingTheRegister) {
    auto sim = plug();
    manager->getCameraDescs();
    sim.model->injectAnswerFault(usbcam::AnswerFault::CommandFailed, 1, usbcam::wire::WRITE_REGISTER);
    std::shared_ptr<FusionCamera> camera;
    EXPECT_NO_THROW(camera = manager->openFusionCamera("OND0001"));
    EXPECT_EQ(camera, nullptr);
    const std::vector<LogLine> lines = logs->lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const LogLine& line) {
        return line.level == LOG_ERROR && line.text.rfind("Write of register roi_ctrl (0x4) value ", 0) == 0 &&
               line.text.find("was not confirmed") != std::string::npos;
    }));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Camera OND0001: initialisation failed, a register write was not confirmed"));

    camera = open();
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->start(DVS_STREAM), 0);
    EXPECT_EQ(camera->stop(DVS_STREAM), 0);
}

TEST_F(FusionUsbTest, ABrokenFrameGivesUpItsTimingAndEveryLaterFrameKeepsItsOwn) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    // Frames A, B and C are timed by the edges at 133333, 166666 and 200000.
    Evt3TestEncoder encoder;
    encoder.addTrigger(EventTriggerIn(0, 1, 100000)); // only counted
    const uint64_t edges[] = {133333, 166666, 200000};
    for (uint64_t edge : edges) {
        encoder.addTrigger(EventTriggerIn(0, 1, edge));
    }
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == 3; }));

    // A ends its transfer half way: broken.
    const std::vector<uint8_t> a = greyNv12(WIDTH, HEIGHT, 40);
    sim.streamFrame(std::vector<uint8_t>(a.begin(), a.begin() + static_cast<long>(FRAME_BYTES / 2)));
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 120));
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 200));
    ASSERT_TRUE(collected.waitForFrames(2));
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    const auto frames = collected.frames();
    ASSERT_EQ(frames.size(), 2u);
    const uint8_t lumas[] = {120, 200};
    for (size_t i = 0; i < 2; ++i) {
        expectGrey(frames[i].centerPixel, lumas[i], "frame " + std::to_string(i));
        EXPECT_EQ(frames[i].startTimestamp, edges[i + 1] - 200 - EXPOSURE_US) << "frame " << i;
        EXPECT_EQ(frames[i].endTimestamp, edges[i + 1] + 25720) << "frame " << i;
    }
    const auto losses = Peer::pairingLosses(*camera);
    EXPECT_EQ(losses.lostFrames, 1u);
    EXPECT_EQ(losses.discardedTimings, 1u) << "A's timing";
    EXPECT_EQ(losses.untimedFrames, 0u);
}

TEST_F(FusionUsbTest, AFramePushedOutByTheQueueLimitGivesUpItsTimingAndEveryLaterFrameKeepsItsOwn) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    // One frame more than may wait for its timing: the first is pushed out.
    const size_t count = OndrikCameraBase::FRAME_QUEUE_LIMIT + 1;
    auto lumaOf = [](size_t n) { return static_cast<uint8_t>(20 + 6 * n); };
    // One at a time: all at once, a loaded machine lets the transfer's own bounded queue drop the oldest
    // before the frame loop takes them, which is another limit than the one this test is about.
    for (size_t n = 1; n <= count; ++n) {
        sim.streamFrame(greyNv12(WIDTH, HEIGHT, lumaOf(n)));
        ASSERT_TRUE(eventually([&] { return Peer::apsFrameCount(*camera) == n; })) << "frame " << n;
    }
    EXPECT_EQ(Peer::queuedFrames(*camera), OndrikCameraBase::FRAME_QUEUE_LIMIT);
    // Frame n is timed by the edge at edgeOf(n); the edge before the first is only counted.
    auto edgeOf = [](size_t n) { return 100000 + 33333 * static_cast<uint64_t>(n); };
    Evt3TestEncoder encoder;
    for (size_t n = 0; n <= count; ++n) {
        encoder.addTrigger(EventTriggerIn(0, 1, edgeOf(n)));
    }
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForFrames(count - 1));
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).empty(); })) << "frame 1's timing is discarded";
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    const auto frames = collected.frames();
    ASSERT_EQ(frames.size(), count - 1);
    for (size_t i = 0; i < frames.size(); ++i) {
        const size_t n = i + 2;
        expectGrey(frames[i].centerPixel, lumaOf(n), "frame " + std::to_string(n));
        EXPECT_EQ(frames[i].startTimestamp, edgeOf(n) - 200 - EXPOSURE_US) << "frame " << n;
        EXPECT_EQ(frames[i].endTimestamp, edgeOf(n) + 25720) << "frame " << n;
    }
    const auto losses = Peer::pairingLosses(*camera);
    EXPECT_EQ(losses.droppedFrames, 1u);
    EXPECT_EQ(losses.discardedTimings, 1u);
    EXPECT_EQ(losses.untimedFrames, 0u);
}

TEST_F(FusionUsbTest, TheFrameStreamStoppedAndStartedInAFusedRunPairsAfreshFromTheRestart) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    Evt3TestEncoder encoder;
    timingEdges(encoder, 100000, 133333);
    sim.streamEvents(encoder.takeWords());
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 60));
    ASSERT_TRUE(collected.waitForFrames(1));

    ASSERT_EQ(camera->stop(APS_STREAM), 0);
    // The trigger input goes on while no frames come: nothing is queued for them.
    for (uint64_t t = 166666; t < 500000; t += 33333) {
        encoder.addTrigger(EventTriggerIn(0, 1, t));
    }
    encoder.setTime(520000).addEvent(Event2D(1, 1, 1, 520000));
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForEvents(1));
    EXPECT_TRUE(Peer::timings(*camera).empty());

    // The first edge after the restart ends an exposure begun before it; the next times the first frame.
    ASSERT_EQ(camera->start(APS_STREAM), 0);
    timingEdges(encoder, 833333, 866666);
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == 1; }));
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 180));
    ASSERT_TRUE(collected.waitForFrames(2));
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    const auto frames = collected.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].endTimestamp, 133333u + 25720u);
    expectGrey(frames[1].centerPixel, 180, "after the restart");
    EXPECT_EQ(frames[1].startTimestamp, 866666u - 200 - EXPOSURE_US);
    EXPECT_EQ(frames[1].endTimestamp, 866666u + 25720u);
    EXPECT_TRUE(Peer::timings(*camera).empty());
}

TEST_F(FusionUsbTest, At60HzEveryExposureEndIsMarkedOnceInTimeOrder) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    using Triggers = SixtyHzTriggers;
    Evt3TestEncoder encoder;
    Triggers::encode(encoder);
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForSyncs(Triggers::MARKS));
    ASSERT_TRUE(collected.waitForEvents(Triggers::EVENTS));
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    Triggers::expectMarks(collected.syncs());
}

TEST_F(FusionUsbTest, AFusedRecordingBeginsAtTheFirstFrameAndTimesTheVideoByExposureEnds) {
    TempDir dir;
    auto sim = plug();
    sim.model->setCalibration(bytesOf(VALID_CALIBRATION));
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    CalibratorParameters calibration;
    ASSERT_TRUE(camera->readCalibrationParam(calibration));
    EXPECT_EQ(calibration.camera_serial, "OND0001");
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);

    Evt3TestEncoder encoder;
    encoder.setTime(500000).addEvent(Event2D(1, 1, 1, 500000)); // before the recording
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForEvents(1));
    ASSERT_EQ(camera->startRecording(dir.path(), "rec", FUSION_STREAM), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("rec.json")));
    EXPECT_EQ(camera->startRecording(dir.path(), "rec", FUSION_STREAM), -1);
    EXPECT_TRUE(logs->has(LOG_INFO, "Start Recording APS Stream Failed."));

    encoder.setTime(600000).addEvent(Event2D(2, 1, 1, 600000)); // recorded only once a frame came
    timingEdges(encoder, 966667, 1000000);
    encoder.addTrigger(EventTriggerIn(0, 1, 1033333));
    sim.streamEvents(encoder.takeWords());
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 50));
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 200));
    ASSERT_TRUE(collected.waitForFrames(2));
    ASSERT_TRUE(eventually([&] { return Peer::rawRecordingActive(*camera); }));
    encoder.setTime(1100000).addEvent(Event2D(3, 2, 0, 1100000));
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForEvents(3));
    ASSERT_EQ(camera->stopRecording(FUSION_STREAM), 0);
    EXPECT_EQ(logs->count(LOG_INFO, "Mp4 offset: 1025720"), 1);

    // The raw file: the start line, the header repeating it, then the events from the first frame on.
    const std::string raw = dir.file("rec.raw");
    const std::string text = readText(raw);
    EXPECT_EQ(text.rfind("% aps_start_timestamp 1025720\n% camera_integrator_name Quelnor\n", 0), 0u);
    EXPECT_NE(text.find("\n% aps_start_timestamp 1025720\n% end\n"), std::string::npos);
    DvsFileInfo info;
    const auto events = readAllEvents(raw, &info);
    EXPECT_EQ(info.apsStartTimestamp, 1025720u);
    EXPECT_EQ(info.serialNumber, "OND0001");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().timestamp, 1100000u);
    EXPECT_EQ(events.back().x, 3);
    for (const Event2D& e : events) {
        EXPECT_GT(e.timestamp, 600000u) << "the event before the first frame is not in the file";
    }

    // The video: both frames, the first at 0 and the second one trigger period later.
    const std::string mp4 = dir.file("rec.mp4");
    const auto stream = videotest::probeVideoStream(mp4);
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["width"], WIDTH);
    EXPECT_EQ(stream["height"], HEIGHT);
    EXPECT_EQ(stream["nb_read_frames"], "2");
    EXPECT_EQ(videotest::probeFrameTimes(mp4), (std::vector<uint64_t>{0, 33333}));
    Mp4FileReader reader(mp4);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame;
    const size_t center = (static_cast<size_t>(HEIGHT / 2) * WIDTH + WIDTH / 2) * 3;
    for (uint8_t luma : {50, 200}) {
        ASSERT_TRUE(reader.getNextFrame(frame));
        EXPECT_NEAR(frame.data()[center], greyLevelOf(luma), 4);
    }

    // The calibration file holds what the camera gave.
    CalibratorParameters written;
    ASSERT_TRUE(jsonFileToParam(dir.file("rec.json"), written));
    EXPECT_EQ(written, calibration);
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);
}

TEST_F(FusionUsbTest, RecordingsOfOneStreamStopOnTheirOwn) {
    TempDir dir;
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);

    // Events only: the file begins with the header.
    ASSERT_EQ(camera->startRecording(dir.path(), "events", DVS_STREAM), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("events.json"))) << "no calibration was read";
    Evt3TestEncoder encoder;
    encoder.setTime(10000).addEvent(Event2D(5, 6, 1, 10000));
    ASSERT_TRUE(eventually([&] { return Peer::rawRecordingActive(*camera); }));
    sim.streamEvents(encoder.takeWords());
    ASSERT_TRUE(collected.waitForEvents(1));
    EXPECT_EQ(camera->stopRecording(static_cast<STREAM_TYPE>(3)), 0);
    EXPECT_TRUE(Peer::rawRecordingActive(*camera)) << "another type stops nothing";
    ASSERT_EQ(camera->stopRecording(DVS_STREAM), 0);
    const std::string text = readText(dir.file("events.raw"));
    EXPECT_EQ(text.rfind("% camera_integrator_name Quelnor\n", 0), 0u);
    EXPECT_EQ(text.find("aps_start_timestamp"), std::string::npos);
    ASSERT_EQ(readAllEvents(dir.file("events.raw")).size(), 1u);

    // Both, then the raw file alone ends and the video goes on.
    ASSERT_EQ(camera->startRecording(dir.path(), "both", FUSION_STREAM), 0);
    timingEdges(encoder, 100000, 133333);
    encoder.addTrigger(EventTriggerIn(0, 1, 166666));
    sim.streamEvents(encoder.takeWords());
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 70));
    ASSERT_TRUE(collected.waitForFrames(1));
    ASSERT_TRUE(eventually([&] { return Peer::rawRecordingActive(*camera); }));
    ASSERT_EQ(camera->stopRecording(DVS_STREAM), 0);
    EXPECT_FALSE(Peer::rawRecordingActive(*camera));
    sim.streamFrame(greyNv12(WIDTH, HEIGHT, 170));
    ASSERT_TRUE(collected.waitForFrames(2));
    // A full stop ends the video.
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_EQ(videotest::probeVideoStream(dir.file("both.mp4"))["nb_read_frames"], "2");
    EXPECT_EQ(videotest::probeFrameTimes(dir.file("both.mp4")), (std::vector<uint64_t>{0, 33333}));
}

TEST_F(FusionUsbTest, ARawRecordingThatFillsItsDiskIsReportedByTheStopAndReadsBackAsFarAsItGot) {
    SmallTmpfs disk("256k");
    if (!disk.mounted()) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    ASSERT_EQ(camera->startRecording(disk.path(), "full", DVS_STREAM), 0);
    ASSERT_TRUE(eventually([&] { return Peer::rawRecordingActive(*camera); }));

    // About 800 KB of events for a disk of 256 KiB.
    constexpr size_t EVENTS = 140000;
    Evt3TestEncoder encoder;
    std::vector<Event2D> sent;
    for (size_t i = 0; i < EVENTS; ++i) {
        const Event2D e(static_cast<uint16_t>(i % 1280), static_cast<uint16_t>(i % 720), static_cast<int16_t>(i % 2),
                        1000 + i);
        encoder.setTime(e.timestamp).addEvent(e);
        sent.push_back(e);
    }
    const std::vector<uint16_t> words = encoder.takeWords();
    ASSERT_GT(words.size() * 2, 800000u);
    sim.streamEvents(words);
    ASSERT_TRUE(collected.waitForEvents(EVENTS));
    EXPECT_TRUE(camera->isRecordingHealthy(DVS_STREAM)) << "the events wait in memory for the next write";

    const std::string path = disk.file("full.raw");
    EXPECT_EQ(camera->stopRecording(DVS_STREAM), -1);
    EXPECT_FALSE(camera->isRecordingHealthy(DVS_STREAM));
    EXPECT_TRUE(camera->isRecordingHealthy(APS_STREAM));
    EXPECT_EQ(logs->count(LOG_ERROR, "Raw recording " + path + " ended: write failed: No space left on device."), 1);
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    EXPECT_LE(std::filesystem::file_size(path), 256u * 1024);
    const auto events = readAllEvents(path);
    ASSERT_GT(events.size(), 10000u);
    ASSERT_LT(events.size(), EVENTS);
    for (size_t i = 0; i < events.size(); ++i) {
        ASSERT_EQ(events[i], sent[i]) << "the file holds the sensor's words up to where the disk was full: " << i;
    }
}

TEST_F(FusionUsbTest, TheCalibrationStoreIsReadCheckedAndWritten) {
    TempDir dir;
    auto sim = plug();
    auto camera = open();
    ASSERT_NE(camera, nullptr);
    CalibratorParameters calibration;
    EXPECT_FALSE(camera->readCalibrationParam(calibration)) << "an empty store";

    nlohmann::json lacking = nlohmann::json::parse(VALID_CALIBRATION);
    lacking["0"].erase("camera_matrix");
    sim.model->setCalibration(bytesOf(lacking.dump()));
    calibration.camera_serial = "untouched";
    EXPECT_FALSE(camera->readCalibrationParam(calibration));
    EXPECT_EQ(calibration.camera_serial, "untouched");
    ASSERT_EQ(camera->startRecording(dir.path(), "none", DVS_STREAM), 0);
    ASSERT_EQ(camera->stopRecording(DVS_STREAM), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.json")));

    sim.model->setCalibration(bytesOf("this is not JSON"));
    EXPECT_ANY_THROW(camera->readCalibrationParam(calibration));

    const std::string file = dir.file("calibration.json");
    std::ofstream(file) << VALID_CALIBRATION;
    ASSERT_TRUE(camera->writeCalibrationFile(file));
    EXPECT_EQ(sim.model->calibration(), bytesOf(VALID_CALIBRATION));
    ASSERT_TRUE(camera->readCalibrationParam(calibration));
    EXPECT_EQ(calibration.aps_cols, 3840);
    EXPECT_FALSE(camera->writeCalibrationFile(dir.file("missing.json")));
}

TEST_F(FusionUsbTest, TheIdentityRegistersHoldTextsOfUpTo64Bytes) {
    auto sim = plug();
    auto camera = open();
    ASSERT_NE(camera, nullptr);
    auto& ondrik = dynamic_cast<OndrikCamera&>(*camera);
    sim.setBoardText(UsbFusionCamera::FIRMWARE_VERSION, std::string(64, 'F'));
    std::string version;
    ASSERT_TRUE(camera->getFirmwareVersion(version));
    EXPECT_EQ(version, std::string(64, 'F'));

    const std::string serial(63, 'S');
    ASSERT_TRUE(ondrik.setSerialNumber(serial));
    std::vector<uint8_t> expected(serial.begin(), serial.end());
    expected.push_back(0);
    EXPECT_EQ(sim.model->boardRegister(UsbFusionCamera::SERIAL_NUMBER), expected);
    EXPECT_TRUE(logs->has(LOG_INFO, "Set Serial number: " + serial));
    std::string read;
    ASSERT_TRUE(ondrik.getSerialNumber(read));
    EXPECT_EQ(read, serial);
    EXPECT_FALSE(ondrik.setSerialNumber(std::string(64, 'T')));
    EXPECT_EQ(sim.model->boardRegister(UsbFusionCamera::SERIAL_NUMBER), expected);

    sim.model->setVendorRequestsStall(true);
    EXPECT_FALSE(camera->getFirmwareVersion(version));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Failed to get firmware version."));
    EXPECT_FALSE(ondrik.getSerialNumber(read));
    EXPECT_FALSE(ondrik.setSerialNumber("X"));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Failed to set Serial number."));
}

TEST_F(FusionUsbTest, TheConfigurationFileHoldsTheFrameSensorToolAndItsResetCommand) {
    TempDir dir;
    auto sim = plug();
    auto camera = open();
    ASSERT_NE(camera, nullptr);
    const std::string path = dir.file("config.json");
    ASSERT_TRUE(camera->exportCameraConfigParams(path));
    const nlohmann::json exported = nlohmann::json::parse(readText(path));
    ASSERT_TRUE(exported.contains("ApsCtrl"));
    EXPECT_EQ(exported["ApsCtrl"]["camera_reset"], 0);
    EXPECT_EQ(exported["ApsCtrl"]["exposure_time"], static_cast<int>(EXPOSURE_US));
    EXPECT_EQ(exported.size(), 8u);

    std::ofstream(dir.file("reset.json")) << R"({"ApsCtrl": {"camera_reset": 0}})";
    ASSERT_TRUE(camera->loadCameraConfigParams(dir.file("reset.json")));
    std::vector<uint8_t> block(32, 0);
    EXPECT_EQ(sim.model->boardRegister(UsbFusionCamera::CAMERA_RESET), block) << "a reset command of mode 0";
}

TEST_F(FusionUsbTest, TheExportedConfigurationLoadsBackAndExportsTheSameFile) {
    TempDir dir;
    auto sim = plug();
    sim.setExposure(102); // the board's own default: 65443 us
    auto camera = open();
    ASSERT_NE(camera, nullptr);
    const std::string first = dir.file("first.json");
    const std::string second = dir.file("second.json");
    ASSERT_TRUE(camera->exportCameraConfigParams(first));
    EXPECT_EQ(nlohmann::json::parse(readText(first))["ApsCtrl"]["exposure_time"], 65443);
    EXPECT_TRUE(camera->loadCameraConfigParams(first));
    EXPECT_EQ(sim.boardValue(UsbFusionCamera::APS_SHUTTER), 102u);
    ASSERT_TRUE(camera->exportCameraConfigParams(second));
    EXPECT_EQ(readText(second), readText(first));
}

TEST_F(FusionUsbTest, AnUnpluggedCameraStopsItselfAndTheNextListingDropsIt) {
    auto sim = plug();
    auto camera = openCollecting();
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    bus->unplug(sim.model);
    ASSERT_TRUE(eventually([&] { return logs->has(LOG_INFO, "Ondrik loss connection."); }));
    EXPECT_FALSE(camera->isConnected());
    EXPECT_TRUE(manager->getCameraDescs().empty());
    EXPECT_EQ(manager->openFusionCamera("OND0001"), nullptr);
    // The application's pointer still answers.
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    // Its loss path may still be closing it: a start fails instead of reaching for the device.
    EXPECT_EQ(camera->start(FUSION_STREAM), -1);

    // Plugged in again: a new object.
    plug();
    auto again = open();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, camera);
    EXPECT_TRUE(again->isConnected());
}
