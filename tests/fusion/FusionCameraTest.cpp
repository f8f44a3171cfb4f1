// The fusion camera without a device: the product table, sizes, callback ids, batches, what a camera that
// was never opened answers, frame timing from trigger edges (the frame-sensor tool over a register double
// and the real decoder), and how frame-sensor buffers become frames.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/camera/OndrikCamera.h"
#include "QuelnorDriver/camera/OndrikProCamera.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "device/DeviceDouble.h"
#include "evt3/Evt3TestEncoder.h"
#include "fusionlab/FusionCollector.h"
#include "fusionlab/FusionTestPeer.h"
#include "fusionlab/Nv12Frames.h"
#include "rawfile/TempDir.h"

using namespace quelnor;
using namespace quelnor::test;
using Peer = quelnor::FusionCameraTestPeer;

namespace {

constexpr int SMALL_WIDTH = 64;
constexpr int SMALL_HEIGHT = 32;
constexpr size_t SMALL_FRAME = SMALL_WIDTH * SMALL_HEIGHT * 3 / 2;
constexpr const char* FRAME_SIZE_ERROR = "Unexpected APS frame size: %zu (expected %zu).";
constexpr uint32_t APS_SHUTTER_ADDRESS = 0x5002;

// An Ondrik camera with no device (it is never opened), optionally with small frames.
class BareFusionCamera : public OndrikCameraBase {
public:
    explicit BareFusionCamera(int width = DEFAULT_APS_WIDTH, int height = DEFAULT_APS_HEIGHT)
        : OndrikCameraBase(describe(), width, height) {}
    ~BareFusionCamera() override { stopStreams(); }

    static CameraDescription describe() {
        CameraDescription d;
        d.serialNumber = "BARE0001";
        d.productName = "Ondrik";
        d.manufacturer = "Quelnor";
        return d;
    }

protected:
    std::shared_ptr<Interface> createInterface() override { return nullptr; }
};

std::string frameSizeError(size_t size, size_t expected) {
    char text[128];
    std::snprintf(text, sizeof(text), FRAME_SIZE_ERROR, size, expected);
    return text;
}

std::vector<Event2D> eventsAt(const std::vector<uint64_t>& times) {
    std::vector<Event2D> events;
    for (uint64_t t : times) {
        events.emplace_back(1, 2, 1, t);
    }
    return events;
}

std::vector<Event2D> numberedEvents(size_t count) {
    std::vector<Event2D> events;
    for (size_t i = 0; i < count; ++i) {
        events.emplace_back(static_cast<uint16_t>(i % 1280), 0, 0, i);
    }
    return events;
}

} // namespace

TEST(FusionProducts, IdentityConstantsAndTexts) {
    EXPECT_EQ(OndrikCamera::vendorId, 0x2207);
    EXPECT_EQ(OndrikCamera::productId, 0x0006);
    EXPECT_EQ(OndrikCamera::interfaceType, INTERFACE_USB);
    EXPECT_EQ(OndrikCamera::getManufacturer(), "Quelnor");
    EXPECT_EQ(OndrikCamera::getProductName(), "Ondrik");
    EXPECT_EQ(OndrikProCamera::interfaceType, INTERFACE_MIPI);
    EXPECT_EQ(OndrikProCamera::getManufacturer(), "Quelnor");
    EXPECT_EQ(OndrikProCamera::getProductName(), "OndrikPro");
    // The reset tool knows fusion cameras by this word.
    for (const std::string& name : {OndrikCamera::getProductName(), OndrikProCamera::getProductName()}) {
        EXPECT_NE(name.find("Ondrik"), std::string::npos) << name;
    }
}

TEST(FusionProducts, EventSizeForTheEventStreamFrameSizeForEveryOtherType) {
    CameraDescription description = BareFusionCamera::describe();
    auto usb = std::make_shared<OndrikCamera>(description);
    auto pro = std::make_shared<OndrikProCamera>(description);
    for (FusionCamera* camera : {static_cast<FusionCamera*>(usb.get()), static_cast<FusionCamera*>(pro.get())}) {
        EXPECT_EQ(camera->getWidth(DVS_STREAM), 1280);
        EXPECT_EQ(camera->getHeight(DVS_STREAM), 720);
        for (STREAM_TYPE type : {APS_STREAM, FUSION_STREAM, static_cast<STREAM_TYPE>(7)}) {
            EXPECT_EQ(camera->getWidth(type), 3840);
            EXPECT_EQ(camera->getHeight(type), 2160);
        }
        EXPECT_FALSE(camera->isConnected()) << "no interface before the first open";
        EXPECT_EQ(camera->getDescription().serialNumber, "BARE0001");
    }
}

TEST(FusionCallbacks, IdsCountFromZeroPerKindAndRemovingReportsWhetherOneWent) {
    BareFusionCamera camera;
    FusionCollector collector;
    for (int round = 0; round < 2; ++round) {
        const uint32_t expected = static_cast<uint32_t>(round);
        EXPECT_EQ(camera.addEventsStreamHandleCallback(collector.eventsCallback()), expected);
        EXPECT_EQ(camera.addSharedEventsStreamHandleCallback(collector.sharedCallback()), expected);
        EXPECT_EQ(camera.addSyncSignalCallback(collector.syncCallback()), expected);
        EXPECT_EQ(camera.addApsFrameCallback(collector.frameCallback()), expected);
    }
    struct Remove {
        const char* kind;
        std::function<bool(uint32_t)> remove;
    };
    const Remove removes[] = {
        {"events", [&](uint32_t id) { return camera.removeEventsStreamHandleCallback(id); }},
        {"shared", [&](uint32_t id) { return camera.removeSharedEventsStreamHandleCallback(id); }},
        {"sync", [&](uint32_t id) { return camera.removeSyncSignalCallback(id); }},
        {"frames", [&](uint32_t id) { return camera.removeApsFrameCallback(id); }},
    };
    for (const Remove& r : removes) {
        EXPECT_TRUE(r.remove(0)) << r.kind;
        EXPECT_FALSE(r.remove(0)) << r.kind << ": already removed";
        EXPECT_FALSE(r.remove(7)) << r.kind << ": never given";
    }
    // Ids are not given out again.
    EXPECT_EQ(camera.addEventsStreamHandleCallback(collector.eventsCallback()), 2u);
    EXPECT_EQ(camera.addApsFrameCallback(collector.frameCallback()), 2u);
}

TEST(FusionCallbacks, EventBlocksReachEventAndSharedCallbacksAndRemovedOnesNoMore) {
    BareFusionCamera camera;
    FusionCollector kept;
    FusionCollector removed;
    camera.addEventsStreamHandleCallback(kept.eventsCallback());
    const uint32_t id = camera.addEventsStreamHandleCallback(removed.eventsCallback());
    Peer::feedEvents(camera, eventsAt({1, 2, 3}));
    EXPECT_TRUE(camera.removeEventsStreamHandleCallback(id));
    Peer::feedEvents(camera, eventsAt({4}));
    EXPECT_EQ(kept.events().size(), 4u);
    EXPECT_EQ(removed.events().size(), 3u);
}

TEST(FusionCallbacks, ASharedEventCallbackMayRemoveItselfWhileCalled) {
    BareFusionCamera camera;
    FusionCollector collector;
    Peer::wireTiming(camera, std::make_shared<DeviceDouble>(IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE));
    int calls = 0;
    uint32_t self = 0;
    self = camera.addSharedEventsStreamHandleCallback([&](std::shared_ptr<std::vector<Event2D>> block) {
        ++calls;
        EXPECT_FALSE(block->empty());
        camera.removeSharedEventsStreamHandleCallback(self); // no camera lock is held here
    });
    camera.addSharedEventsStreamHandleCallback(collector.sharedCallback());
    Evt3TestEncoder encoder;
    encoder.setTime(5000).addEvent(Event2D(10, 20, 1, 5000)).setTime(6000).addEvent(Event2D(11, 20, 0, 6000));
    Peer::decode(camera, swappedWordBytes(encoder.words()));
    encoder.clear();
    encoder.setTime(7000).addEvent(Event2D(12, 20, 1, 7000));
    Peer::decode(camera, swappedWordBytes(encoder.words()));
    EXPECT_EQ(calls, 1);
    const auto shared = collector.sharedEvents();
    ASSERT_EQ(shared.size(), 3u);
    // The camera puts each word back into byte order and mirrors x.
    EXPECT_EQ(shared[0].x, 1279 - 10);
    EXPECT_EQ(shared[0].y, 20);
    EXPECT_EQ(shared[2].timestamp, 7000u);
}

TEST(FusionBatches, WithoutABatchModeGetNextBatchAnswersFalseAtOnce) {
    BareFusionCamera camera;
    std::vector<Event2D> out = eventsAt({1, 2});
    EXPECT_FALSE(camera.getNextBatch(out));
    EXPECT_TRUE(out.empty());
}

TEST(FusionBatches, ByCountABlockOf320HandsThreeBatchesOf100AndKeeps20) {
    BareFusionCamera camera;
    camera.setBatchEventsNum(100);
    auto waiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> out;
        const bool got = camera.getNextBatch(out);
        return std::make_pair(got, out);
    });
    while (Peer::countBatchWaiters(camera) != 1) {
        std::this_thread::yield();
    }
    const std::vector<Event2D> block = numberedEvents(320);
    Peer::feedEvents(camera, block);
    const auto [got, batch] = waiter.get();
    EXPECT_TRUE(got);
    ASSERT_EQ(batch.size(), 100u) << "every batch holds exactly the batch size";
    const auto ready = Peer::countReady(camera);
    const auto pending = Peer::countPending(camera);
    ASSERT_EQ(pending.size(), 20u);
    EXPECT_EQ(pending.front().timestamp, 300u);
    if (!ready.empty()) { // the waiter took the first or a later one; what is left is the newest
        EXPECT_EQ(ready.front().timestamp, 200u);
    }
}

TEST(FusionBatches, ByTimeAGapHandsAnEmptyBatchAndTheLastEventStaysPending) {
    BareFusionCamera camera;
    camera.setBatchEventsTime(10000);
    Peer::feedEvents(camera, eventsAt({0, 5000, 25000}));
    EXPECT_TRUE(Peer::timeReady(camera).empty()) << "the newest batch handed over is the empty one at 20000";
    const auto pending = Peer::timePending(camera);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].timestamp, 25000u);

    // The first batch, seen by a waiter that was there before.
    BareFusionCamera second;
    second.setBatchEventsTime(10000);
    auto waiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> out;
        second.getNextBatch(out);
        return out;
    });
    while (Peer::timeBatchWaiters(second) != 1) {
        std::this_thread::yield();
    }
    Peer::feedEvents(second, eventsAt({0, 5000, 9999}));
    Peer::feedEvents(second, eventsAt({10001}));
    const auto batch = waiter.get();
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[2].timestamp, 9999u);
}

TEST(FusionBatches, ZeroIsTakenAsOne) {
    BareFusionCamera camera;
    camera.setBatchEventsNum(0);
    Peer::feedEvents(camera, eventsAt({1, 2, 3}));
    EXPECT_EQ(Peer::countReady(camera).size(), 1u);
    EXPECT_EQ(Peer::countPending(camera).size(), 1u);
}

TEST(FusionBeforeOpen, LifeCycleRecordingToolsAndIdentityAnswerSoundly) {
    LogCapture log;
    BareFusionCamera camera;
    EXPECT_EQ(camera.start(FUSION_STREAM), -1);
    EXPECT_EQ(camera.start(DVS_STREAM), -1);
    EXPECT_TRUE(log.has(LOG_ERROR, "Camera is not inited"));
    EXPECT_EQ(camera.stop(FUSION_STREAM), 0);
    EXPECT_EQ(camera.stop(DVS_STREAM), 0);
    EXPECT_EQ(camera.destroy(), 0);
    TempDir dir;
    EXPECT_EQ(camera.startRecording(dir.path(), "rec", FUSION_STREAM), -1);
    EXPECT_EQ(camera.stopRecording(FUSION_STREAM), 0);

    EXPECT_TRUE(camera.getAllToolsInfo().empty());
    log.clear();
    EXPECT_EQ(camera.getTool(APS_CTRL), nullptr);
    EXPECT_TRUE(log.has(LOG_ERROR, "Tool not found"));
    EXPECT_THROW(camera.getToolInfo(APS_CTRL), std::runtime_error);
    const std::string config = dir.file("config.json");
    EXPECT_TRUE(camera.exportCameraConfigParams(config));
    EXPECT_EQ(readFileBytes(config), std::vector<uint8_t>({'n', 'u', 'l', 'l'}));

    CalibratorParameters calibration;
    calibration.camera_serial = "untouched";
    EXPECT_FALSE(camera.readCalibrationParam(calibration));
    EXPECT_EQ(calibration.camera_serial, "untouched");
    EXPECT_FALSE(camera.writeCalibrationFile(config));
    std::string text = "untouched";
    log.clear();
    EXPECT_FALSE(camera.getFirmwareVersion(text));
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to get firmware version."));
    EXPECT_FALSE(camera.getSerialNumber(text));
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to get Serial number."));
    EXPECT_EQ(text, "untouched");
    EXPECT_FALSE(camera.setSerialNumber("QN1"));
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to set Serial number."));
    log.clear();
    EXPECT_FALSE(camera.setSerialNumber(std::string(64, 'S')));
    EXPECT_TRUE(log.has(LOG_ERROR, "Serial number length must less than 64."));
    EXPECT_EQ(log.count(LOG_ERROR, "Failed to set Serial number."), 0) << "refused before any exchange";
}

TEST(FusionBeforeOpen, TheProCameraRefusesEveryTypeButTheFusedStream) {
    LogCapture log;
    auto pro = std::make_shared<OndrikProCamera>(BareFusionCamera::describe());
    for (STREAM_TYPE type : {DVS_STREAM, APS_STREAM}) {
        EXPECT_EQ(pro->start(type), -1);
    }
    EXPECT_EQ(log.count(LOG_ERROR,
                        "Ondrik Pro supports FUSION_STREAM only; APS-only master capture uses its dedicated sample"),
              2);
    EXPECT_EQ(log.count(LOG_ERROR, "Camera is not inited"), 0) << "refused before anything else";
}

TEST(FusionBeforeOpen, OpeningWithoutADeviceFailsAndCanBeTriedAgain) {
    LogCapture log;
    BareFusionCamera camera;
    FusionCollector collector;
    camera.addSyncSignalCallback(collector.syncCallback());
    EXPECT_EQ(Peer::init(camera), -1);
    EXPECT_TRUE(log.has(LOG_ERROR, "Interface init error."));
    EXPECT_EQ(Peer::init(camera), -1);
    EXPECT_EQ(log.count(LOG_ERROR, "Interface init error."), 2);
    EXPECT_FALSE(camera.removeSyncSignalCallback(0)) << "every open forgets the callbacks";
    EXPECT_EQ(camera.addSyncSignalCallback(collector.syncCallback()), 1u) << "ids keep counting";
}

// ---------------------------------------------------------------- frame timing

class FrameTiming : public testing::Test {
protected:
    void SetUp() override {
        board = std::make_shared<DeviceDouble>(IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE);
        board->pokeControl(APS_SHUTTER_ADDRESS, 3479); // 66667 - 12 x 3479 = 24919 us
        decoder = &Peer::wireTiming(camera, board);
        camera.addSyncSignalCallback(collector.syncCallback());
        Peer::setPairing(camera, true);
    }

    // The camera's decoder on EVT3 words in the camera's byte order.
    void decode(Evt3TestEncoder& encoder) { Peer::decode(camera, swappedWordBytes(encoder.takeWords())); }

    LogCapture log;
    FusionCollector collector;
    BareFusionCamera camera;
    std::shared_ptr<DeviceDouble> board;
    Decoder* decoder = nullptr;
};

TEST_F(FrameTiming, TheFirstRisingEdgeIsOnlyCountedTheNextTimesAFrameAndMarksItsExposureEnd) {
    Evt3TestEncoder encoder;
    encoder.addTrigger(EventTriggerIn(0, 1, 966667)); // the first edge after the start
    encoder.addTrigger(EventTriggerIn(0, 0, 970000));
    encoder.addTrigger(EventTriggerIn(0, 1, 1000000));
    encoder.addTrigger(EventTriggerIn(0, 0, 1003000));
    decode(encoder);
    EXPECT_EQ(Peer::triggerCount(camera), 1u);
    const auto timings = Peer::timings(camera);
    ASSERT_EQ(timings.size(), 1u);
    EXPECT_EQ(timings[0].exposureStart, 1000000u - 200 - 24919);
    EXPECT_EQ(timings[0].exposureEnd, 1025720u);

    // The decoder reports the exposure end at the first time at or after it.
    encoder.setTime(1025700).addEvent(Event2D(5, 5, 1, 1025700));
    encoder.setTime(1025733).addEvent(Event2D(6, 5, 1, 1025733));
    encoder.setTime(1030000).addEvent(Event2D(7, 5, 1, 1030000));
    decode(encoder);
    const auto syncs = collector.syncs();
    ASSERT_EQ(syncs.size(), 3u) << "two falling edges and one exposure-end mark; rising edges are not passed on";
    EXPECT_EQ(syncs[0].polarity, 0);
    EXPECT_EQ(syncs[0].timestamp, 970000u);
    EXPECT_EQ(syncs[1].polarity, 0);
    EXPECT_EQ(syncs[1].timestamp, 1003000u);
    EXPECT_EQ(syncs[2].polarity, 1);
    EXPECT_EQ(syncs[2].timestamp, 1025733u);
    EXPECT_EQ(Peer::triggerCount(camera), 2u);
}

TEST_F(FrameTiming, AnUnreadableExposureTimesTheFrameZeroToZeroAndTellsTheDecoderNothing) {
    Peer::feedTrigger(camera, EventTriggerIn(0, 1, 500000)); // counted only
    board->failControlTransfers();
    Peer::feedTrigger(camera, EventTriggerIn(0, 1, 1000000));
    EXPECT_TRUE(log.has(LOG_ERROR, "Get aps exposure time failed."));
    const auto timings = Peer::timings(camera);
    ASSERT_EQ(timings.size(), 1u);
    EXPECT_EQ(timings[0].exposureStart, 0u);
    EXPECT_EQ(timings[0].exposureEnd, 0u);
    board->clearFaults();
    Evt3TestEncoder encoder;
    encoder.setTime(1100000).addEvent(Event2D(1, 1, 1, 1100000));
    decode(encoder);
    EXPECT_TRUE(collector.syncs().empty()) << "no exposure end was set";
}

TEST_F(FrameTiming, AnEdgeEarlierThanTheExposureStartsTheExposureAtZero) {
    Peer::feedTrigger(camera, EventTriggerIn(0, 1, 50));
    Peer::feedTrigger(camera, EventTriggerIn(0, 1, 100));
    const auto timings = Peer::timings(camera);
    ASSERT_EQ(timings.size(), 1u);
    EXPECT_EQ(timings[0].exposureStart, 0u) << "not a time far in the future";
    EXPECT_EQ(timings[0].exposureEnd, 100u + 25720u);
}

TEST_F(FrameTiming, OtherPolaritiesPassUnchangedAndNothingIsQueuedOutsideAFusedStream) {
    Peer::feedTrigger(camera, EventTriggerIn(3, 5, 42));
    ASSERT_EQ(collector.syncs().size(), 1u);
    EXPECT_EQ(collector.syncs()[0], EventTriggerIn(3, 5, 42));

    Peer::setPairing(camera, false);
    Peer::feedTrigger(camera, EventTriggerIn(0, 1, 1000));
    Peer::feedTrigger(camera, EventTriggerIn(0, 1, 2000));
    EXPECT_TRUE(Peer::timings(camera).empty());
    Evt3TestEncoder encoder;
    encoder.setTime(30000).addEvent(Event2D(1, 1, 1, 30000));
    decode(encoder);
    ASSERT_EQ(collector.syncs().size(), 2u) << "the exposure end is still marked";
    EXPECT_EQ(collector.syncs()[1].polarity, 1);
}

// ---------------------------------------------------------------- frames from the frame sensor

TEST(FrameAssembly, WholeBuffersAndBuffersCutIntoPiecesBecomeFrames) {
    LogCapture log;
    BareFusionCamera camera(SMALL_WIDTH, SMALL_HEIGHT);
    Peer::setPairing(camera, true);
    const std::vector<uint8_t> whole = greyNv12(SMALL_WIDTH, SMALL_HEIGHT, 100);
    Peer::feedFrameBuffer(camera, whole);
    std::vector<uint8_t> cut = greyNv12(SMALL_WIDTH, SMALL_HEIGHT, 150);
    cut[5] = 7;
    Peer::feedFrameBuffer(camera, std::vector<uint8_t>(cut.begin(), cut.begin() + 1000));
    EXPECT_EQ(Peer::queuedFrames(camera), 1u) << "a piece waits for the rest";
    Peer::feedFrameBuffer(camera, std::vector<uint8_t>(cut.begin() + 1000, cut.end()));
    const auto frames = Peer::frameQueue(camera);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], whole);
    EXPECT_EQ(frames[1], cut);
    EXPECT_EQ(Peer::apsFrameCount(camera), 2u);
    EXPECT_EQ(log.countAt(LOG_ERROR), 0);
}

TEST(FrameAssembly, APieceThatIsNeverCompletedIsDroppedAsABrokenFrame) {
    LogCapture log;
    BareFusionCamera camera(SMALL_WIDTH, SMALL_HEIGHT);
    Peer::setPairing(camera, true);
    const std::vector<uint8_t> whole = greyNv12(SMALL_WIDTH, SMALL_HEIGHT, 100);
    Peer::feedFrameBuffer(camera, std::vector<uint8_t>(1000, 1));
    Peer::feedFrameBuffer(camera, whole);
    EXPECT_TRUE(log.has(LOG_ERROR, frameSizeError(1000, SMALL_FRAME)));
    ASSERT_EQ(Peer::queuedFrames(camera), 1u);
    EXPECT_EQ(Peer::frameQueue(camera)[0], whole);

    log.clear();
    Peer::feedFrameBuffer(camera, std::vector<uint8_t>(SMALL_FRAME + 1, 2));
    EXPECT_TRUE(log.has(LOG_ERROR, frameSizeError(SMALL_FRAME + 1, SMALL_FRAME)));
    EXPECT_EQ(Peer::queuedFrames(camera), 1u);
}

TEST(FrameAssembly, OverMipiEveryBufferIsOneFrameAndAShortOneIsDropped) {
    LogCapture log;
    BareFusionCamera camera; // 3840 x 2160
    Peer::setPairing(camera, true);
    Peer::setFrameAssembly(camera, false);
    Peer::feedFrameBuffer(camera, std::vector<uint8_t>(12441599, 1));
    EXPECT_TRUE(log.has(LOG_ERROR, "Unexpected APS frame size: 12441599 (expected 12441600)."));
    Peer::feedFrameBuffer(camera, std::vector<uint8_t>(1, 1));
    EXPECT_EQ(Peer::queuedFrames(camera), 0u) << "pieces are not joined";
    Peer::feedFrameBuffer(camera, std::vector<uint8_t>(12441600, 3));
    EXPECT_EQ(Peer::queuedFrames(camera), 1u);
}

TEST(FrameAssembly, FramesAreQueuedOnlyForAFusedStreamAndAtMostALimitWaits) {
    LogCapture log;
    BareFusionCamera camera(SMALL_WIDTH, SMALL_HEIGHT);
    Peer::feedFrameBuffer(camera, greyNv12(SMALL_WIDTH, SMALL_HEIGHT, 1));
    EXPECT_EQ(Peer::apsFrameCount(camera), 1u);
    EXPECT_EQ(Peer::queuedFrames(camera), 0u) << "nothing would ever take it";

    Peer::setPairing(camera, true);
    const size_t limit = OndrikCameraBase::FRAME_QUEUE_LIMIT;
    for (size_t i = 0; i < limit + 2; ++i) {
        Peer::feedFrameBuffer(camera, greyNv12(SMALL_WIDTH, SMALL_HEIGHT, static_cast<uint8_t>(i)));
    }
    const auto frames = Peer::frameQueue(camera);
    ASSERT_EQ(frames.size(), limit);
    EXPECT_EQ(frames.front()[0], 2) << "the oldest went";
    EXPECT_EQ(frames.back()[0], static_cast<uint8_t>(limit + 1));
    EXPECT_TRUE(log.has(LOG_WARN, "APS frames without frame timing dropped: 1"));
}
