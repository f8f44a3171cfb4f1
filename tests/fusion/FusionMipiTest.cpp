// The Ondrik Pro end to end on the simulated MIPI board: V4L2 captures for both streams, I2C buses for the
// registers, sysfs PWM chips. Opening, the fused stream (events, shared blocks, sync signals, frames paired
// with the trigger input as BGR, statistics), the PWM clocks around start and stop, stops, a loss and a
// new open, a refused start, recordings read back, and the camera released on its own threads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LogCapture.h"
#include "MipiBoard.h"
#include "QuelnorDriver/FileReader/Mp4FileReader.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "QuelnorDriver/camera/OndrikProCamera.h"
#include "VideoTestUtil.h"
#include "cameralab/CameraCollectors.h"
#include "cameralab/SensorRegisters.h"
#include "evt3/Evt3TestEncoder.h"
#include "fusionlab/FusionCollector.h"
#include "fusionlab/FusionTestPeer.h"
#include "fusionlab/Nv12Frames.h"
#include "fusionlab/SixtyHzTriggers.h"
#include "fusionlab/SmallTmpfs.h"
#include "rawfile/TempDir.h"

using namespace quelnor;
using namespace quelnor::test;
using Peer = quelnor::FusionCameraTestPeer;

namespace {

constexpr int APS_WIDTH = 64;
constexpr int APS_HEIGHT = 32;
constexpr int DVS_CAPTURE_WIDTH = 1024;
constexpr int DVS_CAPTURE_HEIGHT = 64;
constexpr int GREY_TOLERANCE = 2;
constexpr const char* EXPOSURE_ERROR = "Get aps exposure time failed.";
// The frame-sensor board's shutter register and the exposure its line count gives.
constexpr uint32_t APS_SHUTTER_ADDRESS = 0x5002;
constexpr uint32_t SHUTTER_LINES = 3479;
constexpr uint64_t EXPOSURE_US = 24919; // 66667 - 12 x 3479

// Passes every device call on to the board and keeps, in order, the PWM enable writes and the V4L2 stream
// switches, so a test sees which came first.
class OrderedIo : public DeviceIo {
public:
    explicit OrderedIo(std::shared_ptr<DeviceIo> board_) : board(std::move(board_)) {}

    std::vector<std::string> trace() const {
        std::lock_guard<std::mutex> guard(lock);
        return entries;
    }

    int open(const std::string& path, int flags) override {
        const int fd = board->open(path, flags);
        if (fd >= 0) {
            std::lock_guard<std::mutex> guard(lock);
            paths[fd] = path;
        }
        return fd;
    }
    int close(int fd) override { return board->close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        const int result = board->ioctl(fd, request, argument);
        if (result == 0 && (request == VIDIOC_STREAMON || request == VIDIOC_STREAMOFF)) {
            note(std::string(request == VIDIOC_STREAMON ? "streamon " : "streamoff ") + pathOf(fd));
        }
        return result;
    }
    void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) override {
        return board->mmap(address, length, protection, flags, fd, offset);
    }
    int munmap(void* address, size_t length) override { return board->munmap(address, length); }
    int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override { return board->poll(fds, count, timeoutMs); }
    ssize_t read(int fd, void* data, size_t size) override { return board->read(fd, data, size); }
    ssize_t write(int fd, const void* data, size_t size) override {
        const ssize_t written = board->write(fd, data, size);
        const std::string path = pathOf(fd);
        if (written >= 0 && path.size() > 7 && path.compare(path.size() - 7, 7, "/enable") == 0) {
            note("pwm " + path + " " + std::string(static_cast<const char*>(data), size));
        }
        return written;
    }
    bool exists(const std::string& path) override { return board->exists(path); }
    bool isCharacterDevice(const std::string& path) override { return board->isCharacterDevice(path); }

private:
    std::string pathOf(int fd) const {
        std::lock_guard<std::mutex> guard(lock);
        auto it = paths.find(fd);
        return it == paths.end() ? std::string() : it->second;
    }
    void note(std::string entry) {
        std::lock_guard<std::mutex> guard(lock);
        entries.push_back(std::move(entry));
    }

    std::shared_ptr<DeviceIo> board;
    mutable std::mutex lock;
    std::map<int, std::string> paths;
    std::vector<std::string> entries;
};

// The event sensor sets the done flags its tools wait for, as the IMX636 does.
void makeEventSensorResponsive(mipisim::SimI2cRegisterDevice& sensor) {
    const RegisterMap map = sensorRegisterMap(false);
    const std::pair<const char*, const char*> flags[] = {{"roi_win_ctrl", "roi_win_done"},
                                                         {"afk/initialization", "afk_flag_init_done"},
                                                         {"stc/initialization", "stc_flag_init_done"}};
    for (const auto& [reg, field] : flags) {
        sensor.setDoneBits(map[reg].get_address(), map[reg][field].get_mask(), 4);
    }
}

CameraDescription proDescription() {
    CameraDescription d;
    d.serialNumber = "OndrikPro-MIPI-0";
    d.productName = OndrikProCamera::getProductName();
    d.manufacturer = OndrikProCamera::getManufacturer();
    d.interfaceType = INTERFACE_MIPI;
    return d;
}

// A Pro camera whose last start step refuses.
class RefusingProCamera : public OndrikProCamera {
public:
    using OndrikProCamera::OndrikProCamera;
    ~RefusingProCamera() override { stopStreams(); }

protected:
    bool afterStreamsStarted() override { return false; }
};

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

std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

class ProCameraTest : public testing::Test {
protected:
    void SetUp() override {
        logs = std::make_unique<LogCapture>();
        board.config.dvsStream.width = DVS_CAPTURE_WIDTH;
        board.config.dvsStream.height = DVS_CAPTURE_HEIGHT;
        board.config.dvsStream.bufferSize = DVS_CAPTURE_WIDTH * DVS_CAPTURE_HEIGHT;
        board.config.apsStream.width = APS_WIDTH;
        board.config.apsStream.height = APS_HEIGHT;
        board.config.apsStream.bufferSize = APS_WIDTH * APS_HEIGHT * 3 / 2;
        board.frameBoard->pokeValue(APS_SHUTTER_ADDRESS, SHUTTER_LINES, 4);
        makeEventSensorResponsive(*board.sensor);
        io = std::make_shared<OrderedIo>(board.io);
        camera = std::make_shared<OndrikProCamera>(proDescription(), board.config, io);
    }

    void TearDown() override {
        camera.reset();
        logs.reset();
    }

    // EVT3 words on the event capture, in the camera's byte order.
    void pushEvents(Evt3TestEncoder& encoder) { board.dvs->pushFrame(swappedWordBytes(encoder.takeWords())); }
    void pushFrame(uint8_t luma) { board.aps->pushFrame(greyNv12(APS_WIDTH, APS_HEIGHT, luma)); }

    bool pwmEnabled() const { return board.firstChip->channel(0).enabled && board.secondChip->channel(0).enabled; }
    bool pwmDisabled() const {
        return !board.firstChip->channel(0).enabled && !board.secondChip->channel(0).enabled;
    }

    int open() { return Peer::init(*camera); }

    std::unique_ptr<LogCapture> logs;
    MipiBoard board;
    std::shared_ptr<OrderedIo> io;
    // Before the camera: they outlive its callbacks.
    FusionCollector collected;
    StatisticCollector statistics;
    std::shared_ptr<OndrikProCamera> camera;
};

} // namespace

TEST_F(ProCameraTest, OpeningBuildsTheEightToolsWithoutReadingAnyIdentity) {
    ASSERT_EQ(open(), 0);
    EXPECT_TRUE(camera->isConnected());
    const auto tools = camera->getAllToolsInfo();
    ASSERT_EQ(tools.size(), 8u);
    EXPECT_EQ(tools.back().name, "ApsCtrl");
    EXPECT_EQ(tools.back().type, APS_CTRL);
    EXPECT_NE(camera->getTool(APS_CTRL), nullptr);
    EXPECT_NE(camera->getTool("TriggerIn"), nullptr);
    EXPECT_EQ(logs->count(LOG_ERROR, "Read calibration data error."), 0);
    EXPECT_EQ(logs->count(LOG_ERROR, "Failed to get firmware version."), 0);
    // A second open changes nothing but the callbacks.
    EXPECT_EQ(open(), 0);
    EXPECT_EQ(camera->getTool(APS_CTRL), camera->getTool(APS_CTRL));
    EXPECT_EQ(camera->getAllToolsInfo().size(), 8u);
}

TEST_F(ProCameraTest, TheFusedStreamDeliversEventsSyncSignalsAndFramesPairedInOrder) {
    ASSERT_EQ(open(), 0);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    camera->addSharedEventsStreamHandleCallback(collected.sharedCallback());
    camera->addSyncSignalCallback(collected.syncCallback());
    camera->addApsFrameCallback(collected.frameCallback());
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    EXPECT_TRUE(pwmEnabled());
    EXPECT_TRUE(logs->has(LOG_INFO, "Camera event stream start."));

    // Two frames come before any frame timing: they wait.
    pushFrame(60);
    pushFrame(180);
    ASSERT_TRUE(eventually([&] { return Peer::queuedFrames(*camera) == 2; }));

    Evt3TestEncoder encoder;
    encoder.addTrigger(EventTriggerIn(0, 1, 100000)); // only counted
    encoder.addTrigger(EventTriggerIn(0, 0, 110000));
    encoder.setTime(150000).addEvent(Event2D(3, 4, 1, 150000)).addEvent(Event2D(1279, 719, 0, 150000));
    encoder.addTrigger(EventTriggerIn(0, 1, 200000)); // times the first frame
    encoder.addTrigger(EventTriggerIn(0, 0, 210000));
    pushEvents(encoder);
    ASSERT_TRUE(collected.waitForFrames(1));
    ASSERT_TRUE(collected.waitForSyncs(2));
    ASSERT_TRUE(collected.waitForEvents(2));

    encoder.addTrigger(EventTriggerIn(0, 1, 300000)); // times the second
    pushEvents(encoder);
    ASSERT_TRUE(collected.waitForFrames(2));
    ASSERT_TRUE(collected.waitForSyncs(3));
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_TRUE(pwmDisabled());

    const auto frames = collected.frames();
    ASSERT_EQ(frames.size(), 2u);
    const int levels[] = {greyLevelOf(60), greyLevelOf(180)};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(frames[i].width, APS_WIDTH);
        EXPECT_EQ(frames[i].height, APS_HEIGHT);
        EXPECT_EQ(frames[i].bytes, static_cast<uint64_t>(APS_WIDTH * APS_HEIGHT * 3));
        for (uint8_t channel : frames[i].centerPixel) {
            EXPECT_NEAR(channel, levels[i], GREY_TOLERANCE) << "frame " << i;
        }
        // Timed by the rising edges at 200000 and 300000 and the board's exposure.
        const uint64_t edge = 200000 + 100000 * i;
        EXPECT_EQ(frames[i].startTimestamp, edge - 200 - EXPOSURE_US) << "frame " << i;
        EXPECT_EQ(frames[i].endTimestamp, edge + 25720) << "frame " << i;
    }
    EXPECT_EQ(logs->count(LOG_ERROR, EXPOSURE_ERROR), 0);

    const auto syncs = collected.syncs();
    ASSERT_EQ(syncs.size(), 3u);
    EXPECT_EQ(syncs[0], EventTriggerIn(0, 0, 110000));
    EXPECT_EQ(syncs[1], EventTriggerIn(0, 0, 210000));
    // The first frame's exposure-end mark, at the first time decoded at or after 225720.
    EXPECT_EQ(syncs[2].polarity, 1);
    EXPECT_GE(syncs[2].timestamp, 225720u);
    EXPECT_LE(syncs[2].timestamp, 300000u);

    const auto events = collected.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].x, 1279 - 3) << "x is mirrored";
    EXPECT_EQ(events[0].y, 4);
    EXPECT_EQ(events[1].x, 0);
    EXPECT_EQ(collected.sharedEvents().size(), 2u);
}

TEST_F(ProCameraTest, StatisticsReportTheBytesAndEventsDecoded) {
    ASSERT_EQ(open(), 0);
    camera->setStatisticInfoCallback(statistics.callback());
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    Evt3TestEncoder encoder;
    for (uint64_t t = 1000; t < 1000 + 500 * 10; t += 10) {
        encoder.setTime(t).addEvent(Event2D(static_cast<uint16_t>(t % 1280), 7, 1, t));
    }
    const std::vector<uint16_t> words = encoder.takeWords();
    board.dvs->pushFrame(swappedWordBytes(words));
    EXPECT_TRUE(statistics.waitForTotals(words.size() * 2, 500));
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_EQ(statistics.totalBytes(), words.size() * 2);
    EXPECT_EQ(statistics.totalEvents(), 500u);
}

TEST_F(ProCameraTest, AFullStopReleasesABatchWaiterAndASecondStartSaysSo) {
    ASSERT_EQ(open(), 0);
    camera->setBatchEventsNum(1000);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    EXPECT_EQ(camera->start(FUSION_STREAM), 0);
    EXPECT_TRUE(logs->has(LOG_INFO, "Camera already started."));
    auto waiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> out;
        const bool got = camera->getNextBatch(out);
        return std::make_pair(got, out.size());
    });
    ASSERT_TRUE(eventually([&] { return Peer::countBatchWaiters(*camera) == 1; }));
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    const auto [got, size] = waiter.get();
    EXPECT_FALSE(got);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0) << "a stopped camera stops again quietly";
}

TEST_F(ProCameraTest, OnStopThePwmClocksGoOffBeforeTheStreamsStop) {
    ASSERT_EQ(open(), 0);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    // The clocks are configured switched off, both streams start, then the clocks go on.
    const std::string first = "pwm " + board.config.firstPwm.chipPath + "/pwm0/enable ";
    const std::string second = "pwm " + board.config.secondPwm.chipPath + "/pwm0/enable ";
    const std::string dvs = "streamon " + board.config.dvsStream.devicePath;
    const std::string aps = "streamon " + board.config.apsStream.devicePath;
    const auto started = io->trace();
    EXPECT_EQ(started, (std::vector<std::string>{first + "0", second + "0", dvs, aps, first + "1", second + "1"}));

    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);
    const auto all = io->trace();
    const std::vector<std::string> stopped(all.begin() + static_cast<std::ptrdiff_t>(started.size()), all.end());
    EXPECT_EQ(stopped, (std::vector<std::string>{first + "0", second + "0",
                                                 "streamoff " + board.config.apsStream.devicePath,
                                                 "streamoff " + board.config.dvsStream.devicePath}))
        << "the frame sensor stops before the event sensor";
}

TEST_F(ProCameraTest, AStartThePwmChipsRefuseLeavesNothingRunning) {
    ASSERT_EQ(open(), 0);
    board.firstChip->failWrites("pwm0/period", EIO);
    EXPECT_EQ(camera->start(FUSION_STREAM), -1);
    EXPECT_TRUE(logs->has(LOG_ERROR, "Failed to prepare fusion camera start."));
    EXPECT_FALSE(board.dvs->streaming());
    EXPECT_FALSE(board.aps->streaming());
}

TEST_F(ProCameraTest, AStartWhoseLastStepRefusesStopsWhatItStarted) {
    auto refusing = std::make_shared<RefusingProCamera>(proDescription(), board.config, board.io);
    ASSERT_EQ(Peer::init(*refusing), 0);
    EXPECT_EQ(refusing->start(FUSION_STREAM), -1);
    EXPECT_TRUE(logs->has(LOG_ERROR, "Failed to complete fusion camera start."));
    EXPECT_FALSE(board.dvs->streaming()) << "stopped again";
    EXPECT_FALSE(board.aps->streaming());
    EXPECT_TRUE(pwmDisabled());
}

TEST_F(ProCameraTest, ALostBoardStopsTheCameraWhichOpensAgainOnceItIsBack) {
    ASSERT_EQ(open(), 0);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    board.dvs->unplug();
    board.io->removeDevice(board.config.dvsStream.devicePath);
    ASSERT_TRUE(eventually([&] { return logs->has(LOG_INFO, "Ondrik loss connection."); }));
    EXPECT_FALSE(camera->isConnected());
    ASSERT_TRUE(eventually([&] { return pwmDisabled(); }));
    EXPECT_EQ(camera->start(FUSION_STREAM), -1) << "a lost camera is closed";
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);

    // The board is back: a new open builds the camera again.
    board.dvs = std::make_shared<mipisim::SimV4l2Capture>();
    board.io->addDevice(board.config.dvsStream.devicePath, board.dvs);
    ASSERT_EQ(open(), 0);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    Evt3TestEncoder encoder;
    encoder.setTime(5000).addEvent(Event2D(1, 1, 1, 5000));
    pushEvents(encoder);
    EXPECT_TRUE(collected.waitForEvents(1));
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
}

TEST_F(ProCameraTest, FramesOfAnotherSizeAreDropped) {
    ASSERT_EQ(open(), 0);
    camera->addApsFrameCallback(collected.frameCallback());
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    board.aps->pushFrame(std::vector<uint8_t>(APS_WIDTH * APS_HEIGHT, 50)); // the luma plane only
    const std::string expected = "Unexpected APS frame size: " + std::to_string(APS_WIDTH * APS_HEIGHT) +
                                 " (expected " + std::to_string(APS_WIDTH * APS_HEIGHT * 3 / 2) + ").";
    EXPECT_TRUE(eventually([&] { return logs->has(LOG_ERROR, expected); }));
    EXPECT_EQ(Peer::queuedFrames(*camera), 0u);
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
}

// The frame-sensor board's registers the configuration holds.
constexpr uint32_t APS_AUTO_GAIN_ADDRESS = 0x5005;
constexpr uint32_t APS_GAIN_ADDRESS = 0x5006;
constexpr uint32_t APS_BLACK_LEVEL_ADDRESS = 0x5004;
constexpr uint32_t CAMERA_RESET_ADDRESS = 0x6002;

TEST_F(ProCameraTest, TheExportedConfigurationLoadsBackAndExportsTheSameFile) {
    board.frameBoard->pokeValue(APS_SHUTTER_ADDRESS, 102, 4); // the board's own default: 65443 us
    board.frameBoard->pokeValue(APS_GAIN_ADDRESS, 120, 4);    // 36 dB
    board.frameBoard->pokeValue(APS_BLACK_LEVEL_ADDRESS, 50, 4);
    board.frameBoard->pokeValue(APS_AUTO_GAIN_ADDRESS, 1, 4);
    ASSERT_EQ(open(), 0);
    TempDir dir;
    const std::string first = dir.file("first.json");
    const std::string second = dir.file("second.json");
    ASSERT_TRUE(camera->exportCameraConfigParams(first));
    const auto exported = nlohmann::json::parse(readText(first));
    EXPECT_EQ(exported["ApsCtrl"]["exposure_time"], 65443);
    EXPECT_EQ(exported["ApsCtrl"]["gain"], 36.0);
    EXPECT_EQ(exported["ApsCtrl"]["black_level_offset"], 50);
    EXPECT_EQ(exported["ApsCtrl"]["auto_gain"], true);

    // Loading sets the board again from the file.
    board.frameBoard->pokeValue(APS_SHUTTER_ADDRESS, 0, 4);
    board.frameBoard->pokeValue(APS_GAIN_ADDRESS, 0, 4);
    EXPECT_TRUE(camera->loadCameraConfigParams(first));
    EXPECT_EQ(board.frameBoard->peekValue(APS_SHUTTER_ADDRESS, 4), 102u);
    EXPECT_EQ(board.frameBoard->peekValue(APS_GAIN_ADDRESS, 4), 120u);
    EXPECT_EQ(board.frameBoard->peek(CAMERA_RESET_ADDRESS, 32), std::vector<uint8_t>(32, 0))
        << "a reset command of mode 0";
    ASSERT_TRUE(camera->exportCameraConfigParams(second));
    EXPECT_EQ(readText(second), readText(first));
}

TEST_F(ProCameraTest, AFrameBoardThatDoesNotAnswerFailsTheExportAndItsValuesAreLeftOut) {
    ASSERT_EQ(open(), 0);
    board.blockBus->removeDevice(board.config.blockTarget.slaveAddress);
    TempDir dir;
    const std::string path = dir.file("config.json");
    logs->clear();
    EXPECT_FALSE(camera->exportCameraConfigParams(path));
    const auto exported = nlohmann::json::parse(readText(path));
    // The event sensor still answers; of the frame sensor only what needs no board read is there.
    EXPECT_TRUE(exported["Biases"].contains("bias_fo"));
    EXPECT_EQ(exported["ApsCtrl"], nlohmann::json({{"camera_reset", 0}}));
    for (const char* name : {"auto_exposure", "auto_gain", "auto_white_balance", "black_level_offset",
                             "exposure_time", "gain"}) {
        EXPECT_TRUE(logs->has(LOG_ERROR, "Cannot read ApsCtrl." + std::string(name) + ", left out of " + path))
            << name;
    }
    EXPECT_TRUE(logs->has(LOG_ERROR, "6 values could not be read and are missing from " + path));
}

// Every frame's timing: its trigger edge and the exposure read from the frame-sensor board.
class ProFrameTimingTest : public ProCameraTest {
protected:
    void SetUp() override {
        ProCameraTest::SetUp();
        ASSERT_EQ(open(), 0);
        camera->addApsFrameCallback(collected.frameCallback());
        ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    }

    // Rising edges timing the frames 1 to count (after the edge that is only counted), one period apart.
    static uint64_t edgeOf(size_t frame) { return 100000 + 33333 * static_cast<uint64_t>(frame); }
    void pushEdges(size_t count) {
        Evt3TestEncoder encoder;
        for (size_t frame = 0; frame <= count; ++frame) {
            encoder.addTrigger(EventTriggerIn(0, 1, edgeOf(frame)));
        }
        pushEvents(encoder);
    }

    // Every frame seen has the luma and exposure of the frame number given for it.
    void expectFrames(const std::vector<size_t>& numbers, const std::function<uint8_t(size_t)>& lumaOf) {
        ASSERT_TRUE(collected.waitForFrames(numbers.size()));
        const auto frames = collected.frames();
        ASSERT_EQ(frames.size(), numbers.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            const size_t n = numbers[i];
            for (uint8_t channel : frames[i].centerPixel) {
                EXPECT_NEAR(channel, greyLevelOf(lumaOf(n)), GREY_TOLERANCE) << "frame " << n;
            }
            EXPECT_EQ(frames[i].startTimestamp, edgeOf(n) - 200 - EXPOSURE_US) << "frame " << n;
            EXPECT_EQ(frames[i].endTimestamp, edgeOf(n) + 25720) << "frame " << n;
        }
    }
};

TEST_F(ProFrameTimingTest, AFrameOfTheWrongSizeGivesUpItsTimingAndTheNextFramesKeepTheirOwn) {
    pushEdges(3);
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == 3; }));
    board.aps->pushFrame(std::vector<uint8_t>(APS_WIDTH * APS_HEIGHT, 50)); // frame 1: the luma plane only
    pushFrame(120);
    pushFrame(200);
    expectFrames({2, 3}, [](size_t n) { return static_cast<uint8_t>(n == 2 ? 120 : 200); });
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_EQ(Peer::pairingLosses(*camera).lostFrames, 1u);
    EXPECT_EQ(Peer::pairingLosses(*camera).discardedTimings, 1u);
}

TEST_F(ProFrameTimingTest, AFrameTheDriverMarksBrokenGivesUpItsTimingAndTheNextFramesKeepTheirOwn) {
    pushEdges(3);
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == 3; }));
    board.aps->pushCorruptedFrame(greyNv12(APS_WIDTH, APS_HEIGHT, 50)); // frame 1
    pushFrame(120);
    pushFrame(200);
    expectFrames({2, 3}, [](size_t n) { return static_cast<uint8_t>(n == 2 ? 120 : 200); });
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_EQ(Peer::pairingLosses(*camera).lostFrames, 1u);
    EXPECT_EQ(Peer::pairingLosses(*camera).discardedTimings, 1u);
}

TEST_F(ProFrameTimingTest, AFramePushedOutByTheQueueLimitGivesUpItsTimingAndTheRestKeepTheirOwn) {
    const size_t count = OndrikCameraBase::FRAME_QUEUE_LIMIT + 1;
    auto lumaOf = [](size_t n) { return static_cast<uint8_t>(20 + 6 * n); };
    for (size_t n = 1; n <= count; ++n) {
        pushFrame(lumaOf(n));
    }
    ASSERT_TRUE(eventually([&] { return Peer::apsFrameCount(*camera) == count; }));
    EXPECT_EQ(Peer::queuedFrames(*camera), OndrikCameraBase::FRAME_QUEUE_LIMIT);
    pushEdges(count);
    std::vector<size_t> kept;
    for (size_t n = 2; n <= count; ++n) {
        kept.push_back(n);
    }
    expectFrames(kept, lumaOf);
    EXPECT_TRUE(eventually([&] { return Peer::timings(*camera).empty(); })) << "frame 1's timing is discarded";
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_EQ(Peer::pairingLosses(*camera).droppedFrames, 1u);
    EXPECT_EQ(Peer::pairingLosses(*camera).discardedTimings, 1u);
}

TEST_F(ProFrameTimingTest, TimingsWithoutFramesAreBoundedAndTheirFramesComeUntimed) {
    const size_t count = OndrikCameraBase::TIMING_QUEUE_LIMIT + 2;
    pushEdges(count);
    ASSERT_TRUE(eventually([&] { return Peer::pairingLosses(*camera).discardedTimings == 2; }));
    EXPECT_EQ(Peer::timings(*camera).size(), OndrikCameraBase::TIMING_QUEUE_LIMIT);
    EXPECT_EQ(Peer::timings(*camera).front().exposureEnd, edgeOf(3) + 25720);
    // Frames 1 and 2 lost their timings to the bound: untimed, never the next ones' times.
    pushFrame(10);
    pushFrame(20);
    pushFrame(30);
    ASSERT_TRUE(collected.waitForFrames(3));
    const auto frames = collected.frames();
    EXPECT_EQ(frames[0].endTimestamp, 0u);
    EXPECT_EQ(frames[0].startTimestamp, 0u);
    EXPECT_EQ(frames[1].endTimestamp, 0u);
    EXPECT_EQ(frames[2].endTimestamp, edgeOf(3) + 25720);
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
    EXPECT_EQ(Peer::pairingLosses(*camera).untimedFrames, 2u);
}

// The Pro starts its frame stream only with the fused one: after stop(APS_STREAM) the way back is a
// fused restart.
TEST_F(ProFrameTimingTest, TheFrameStreamStoppedInAFusedRunQueuesNoTimingsAndARestartPairsAfresh) {
    pushEdges(1);
    pushFrame(60);
    ASSERT_TRUE(collected.waitForFrames(1));

    ASSERT_EQ(camera->stop(APS_STREAM), 0);
    // The trigger input goes on while no frames come: nothing is queued for them.
    Evt3TestEncoder encoder;
    for (uint64_t t = 166666; t < 500000; t += 33333) {
        encoder.addTrigger(EventTriggerIn(0, 1, t));
    }
    encoder.setTime(520000).addEvent(Event2D(1, 1, 1, 520000));
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    pushEvents(encoder);
    ASSERT_TRUE(collected.waitForEvents(1));
    EXPECT_TRUE(Peer::timings(*camera).empty());
    EXPECT_EQ(camera->start(APS_STREAM), -1);

    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    // The first edge after the restart ends an exposure begun before it; the next times the first frame.
    encoder.addTrigger(EventTriggerIn(0, 1, 833333));
    encoder.addTrigger(EventTriggerIn(0, 1, 866666));
    pushEvents(encoder);
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == 1; }));
    pushFrame(180);
    ASSERT_TRUE(collected.waitForFrames(2));
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    const auto frames = collected.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].endTimestamp, edgeOf(1) + 25720);
    EXPECT_NEAR(frames[1].centerPixel[0], greyLevelOf(180), GREY_TOLERANCE);
    EXPECT_EQ(frames[1].startTimestamp, 866666u - 200 - EXPOSURE_US);
    EXPECT_EQ(frames[1].endTimestamp, 866666u + 25720u);
    EXPECT_TRUE(Peer::timings(*camera).empty());
}

TEST_F(ProFrameTimingTest, At60HzEveryExposureEndIsMarkedOnceInTimeOrder) {
    camera->addSyncSignalCallback(collected.syncCallback());
    using Triggers = SixtyHzTriggers;
    Evt3TestEncoder encoder;
    Triggers::encode(encoder);
    pushEvents(encoder);
    ASSERT_TRUE(collected.waitForSyncs(Triggers::MARKS));
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == Triggers::MARKS; }));
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    Triggers::expectMarks(collected.syncs());
}

// Fills the disk of `disk` with a file, so the next write there fails.
void fillDisk(const SmallTmpfs& disk) {
    std::ofstream filler(disk.file("filler"), std::ios::binary);
    const std::vector<char> block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
}

bool loggedErrorStartingWith(const LogCapture& log, const std::string& start) {
    for (const LogLine& line : log.lines()) {
        if (line.level == LOG_ERROR && line.text.rfind(start, 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST_F(ProCameraTest, ARawRecordingWhoseDiskFillsEndsThereAndSaysSoWhileItRuns) {
    SmallTmpfs disk("256k");
    if (!disk.mounted()) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    ASSERT_EQ(open(), 0);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    Peer::setRawChunkBytes(*camera, 16384); // written while the recording runs
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    ASSERT_EQ(camera->startRecording(disk.path(), "events", DVS_STREAM), 0);
    ASSERT_TRUE(eventually([&] { return Peer::rawRecordingActive(*camera); }));
    EXPECT_TRUE(camera->isRecordingHealthy(DVS_STREAM));

    // Blocks of events until the disk is full: about 400 KB.
    size_t sentEvents = 0;
    Evt3TestEncoder encoder;
    for (int block = 0; block < 20; ++block) {
        for (int i = 0; i < 3000; ++i, ++sentEvents) {
            const uint64_t t = 1000 + sentEvents;
            encoder.setTime(t).addEvent(Event2D(static_cast<uint16_t>(i % 1280), static_cast<uint16_t>(i % 720), 1, t));
        }
        pushEvents(encoder);
    }
    ASSERT_TRUE(collected.waitForEvents(sentEvents));
    const std::string path = disk.file("events.raw");
    ASSERT_TRUE(eventually([&] { return !camera->isRecordingHealthy(DVS_STREAM); }));
    EXPECT_FALSE(Peer::rawRecordingActive(*camera)) << "the recording takes no more data";
    EXPECT_EQ(logs->count(LOG_ERROR, "Raw recording " + path + " ended: write failed: No space left on device."), 1);
    EXPECT_EQ(camera->stopRecording(DVS_STREAM), -1);
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);

    const std::vector<Event2D> recorded = readAllEvents(path);
    ASSERT_GT(recorded.size(), 1000u);
    ASSERT_LT(recorded.size(), sentEvents);
    for (size_t i = 0; i < recorded.size(); ++i) {
        ASSERT_EQ(recorded[i].timestamp, 1000 + i) << "no hole in the file";
    }

    // The next recording starts healthy.
    std::filesystem::remove(path);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    ASSERT_EQ(camera->startRecording(disk.path(), "again", DVS_STREAM), 0);
    EXPECT_TRUE(camera->isRecordingHealthy(DVS_STREAM));
    EXPECT_EQ(camera->stopRecording(DVS_STREAM), 0);
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
}

TEST_F(ProCameraTest, AnMp4RecordingOnAFullDiskIsReportedByTheStop) {
    SmallTmpfs disk("256k");
    if (!disk.mounted()) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    ASSERT_EQ(open(), 0);
    camera->addApsFrameCallback(collected.frameCallback());
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    ASSERT_EQ(camera->startRecording(disk.path(), "frames", APS_STREAM), 0);
    fillDisk(disk); // after the file's header
    // Noise encodes to more than the last page of the file holds.
    constexpr int FRAMES = 10;
    Evt3TestEncoder encoder;
    for (int i = 0; i <= FRAMES; ++i) {
        encoder.addTrigger(EventTriggerIn(0, 1, 100000 + 33333 * static_cast<uint64_t>(i)));
    }
    pushEvents(encoder);
    ASSERT_TRUE(eventually([&] { return Peer::timings(*camera).size() == FRAMES; }));
    std::minstd_rand noise(17);
    for (int i = 0; i < FRAMES; ++i) {
        std::vector<uint8_t> frame = greyNv12(APS_WIDTH, APS_HEIGHT, 0);
        for (uint8_t& byte : frame) {
            byte = static_cast<uint8_t>(noise());
        }
        board.aps->pushFrame(std::move(frame));
    }
    ASSERT_TRUE(collected.waitForFrames(FRAMES));
    EXPECT_EQ(camera->stopRecording(APS_STREAM), -1);
    EXPECT_FALSE(camera->isRecordingHealthy(APS_STREAM));
    EXPECT_FALSE(camera->isRecordingHealthy(FUSION_STREAM));
    EXPECT_TRUE(camera->isRecordingHealthy(DVS_STREAM));
    EXPECT_TRUE(loggedErrorStartingWith(*logs, "APS recording " + disk.file("frames.mp4") + " ended: "));
    EXPECT_EQ(camera->stop(FUSION_STREAM), 0);
}

TEST_F(ProCameraTest, AStalledEncoderHoldsNoMoreThanTheFrameLimitAndTheDroppedFramesAreCounted) {
    TempDir dir;
    ASSERT_EQ(open(), 0);
    constexpr size_t LIMIT = 4;
    constexpr size_t FRAMES = 20;
    Peer::setRecordLimits(*camera, OndrikCameraBase::RAW_QUEUE_LIMIT_BYTES, LIMIT);
    ASSERT_EQ(camera->startRecording(dir.path(), "slow", APS_STREAM), 0);
    auto frame = [&](size_t i) {
        Peer::recordFrame(*camera, greyNv12(APS_WIDTH, APS_HEIGHT, static_cast<uint8_t>(10 + 10 * i)),
                          1000000 + 33333 * i);
    };
    // The first frame shows the writer past its start: it takes frames as they come.
    frame(0);
    ASSERT_TRUE(eventually([&] { return Peer::mp4QueuedFrames(*camera) == 0; }));
    {
        auto stalled = Peer::holdEncoder(*camera);
        // The writer takes the second frame and then waits for the encoder.
        frame(1);
        ASSERT_TRUE(eventually([&] { return Peer::mp4QueuedFrames(*camera) == 0; }));
        for (size_t i = 2; i < FRAMES; ++i) {
            frame(i);
            ASSERT_LE(Peer::mp4QueuedFrames(*camera), LIMIT) << "frame " << i;
        }
        EXPECT_EQ(Peer::mp4DroppedFrames(*camera), FRAMES - 2 - LIMIT);
        EXPECT_TRUE(logs->has(LOG_WARN, "APS recording fell behind: frames dropped: 1"));
    }
    EXPECT_EQ(camera->stopRecording(APS_STREAM), 0) << "the frames kept make a whole file";
    EXPECT_TRUE(camera->isRecordingHealthy(APS_STREAM));
    const std::string mp4 = dir.file("slow.mp4");
    EXPECT_EQ(videotest::probeVideoStream(mp4)["nb_read_frames"], std::to_string(LIMIT + 2));
    // The first two frames and the first LIMIT after them, at their own times.
    EXPECT_EQ(videotest::probeFrameTimes(mp4), (std::vector<uint64_t>{0, 33333, 66666, 99999, 133332, 166665}));
}

TEST_F(ProCameraTest, AStalledRawWriterEndsTheRecordingAtTheByteLimitWithAFileThatHasNoHole) {
    TempDir dir;
    ASSERT_EQ(open(), 0);
    // The raw file is a pipe that nobody reads yet: a disk that stops taking data.
    const std::string path = dir.file("slow.raw");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    // Should the test end early, the writer's next write fails (instead of blocking the camera's stop).
    ::signal(SIGPIPE, SIG_IGN);
    bool readerOpen = true;
    std::shared_ptr<void> closeReader(nullptr, [&](void*) {
        if (readerOpen) {
            ::close(reader);
        }
    });
    constexpr size_t CHUNK = 4096;
    constexpr size_t BUFFER = 5000; // every buffer hands one chunk over
    constexpr size_t LIMIT = 4 * BUFFER;
    Peer::setRawChunkBytes(*camera, CHUNK);
    Peer::setRecordLimits(*camera, LIMIT, OndrikCameraBase::MP4_QUEUE_LIMIT_FRAMES);
    ASSERT_EQ(camera->startRecording(dir.path(), "slow", DVS_STREAM), 0);
    ASSERT_TRUE(eventually([&] { return Peer::rawRecordingActive(*camera); }));

    std::vector<uint8_t> fed;
    size_t buffers = 0;
    auto feed = [&] {
        std::vector<uint8_t> bytes(BUFFER);
        for (size_t i = 0; i < BUFFER; ++i) {
            bytes[i] = static_cast<uint8_t>((buffers * 7 + i) % 251);
        }
        ++buffers;
        fed.insert(fed.end(), bytes.begin(), bytes.end());
        Peer::recordRaw(*camera, std::move(bytes));
    };
    // What the pipe takes is written at once (a pipe holds 16 pages, and a write of a buffer takes at most
    // three of them); the writer gets stuck once the pipe is full.
    constexpr size_t fitting = 4;
    for (size_t i = 0; i < fitting; ++i) {
        feed();
        ASSERT_TRUE(eventually([&] { return Peer::rawPendingBytes(*camera) == 0; })) << "buffer " << i;
    }
    while (buffers < 1000 && camera->isRecordingHealthy(DVS_STREAM)) {
        feed();
        ASSERT_LE(Peer::rawPendingBytes(*camera), LIMIT) << "buffer " << buffers;
    }
    ASSERT_FALSE(camera->isRecordingHealthy(DVS_STREAM));
    EXPECT_FALSE(Peer::rawRecordingActive(*camera));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Raw recording " + path + " ended: the writer fell behind by " +
                                         std::to_string(LIMIT + BUFFER) + " bytes (limit " + std::to_string(LIMIT) +
                                         ")."));

    // Read while the stop waits for the writer.
    auto drained = std::async(std::launch::async, [reader] {
        std::vector<uint8_t> all;
        std::vector<uint8_t> block(65536);
        for (;;) {
            const ssize_t got = ::read(reader, block.data(), block.size());
            if (got > 0) {
                all.insert(all.end(), block.begin(), block.begin() + got);
            } else if (got == 0) {
                return all; // the writer closed the file
            } else if (errno != EAGAIN && errno != EINTR) {
                return all;
            } else {
                struct pollfd ready = {reader, POLLIN, 0};
                ::poll(&ready, 1, 100);
            }
        }
    });
    EXPECT_EQ(camera->stopRecording(DVS_STREAM), -1);
    const std::vector<uint8_t> file = drained.get();
    ::close(reader);
    readerOpen = false;
    const std::string text(file.begin(), file.end());
    const size_t headerEnd = text.find("% end\n");
    ASSERT_NE(headerEnd, std::string::npos);
    const std::vector<uint8_t> data(file.begin() + static_cast<std::ptrdiff_t>(headerEnd + 6), file.end());
    EXPECT_GE(data.size(), fitting * BUFFER);
    EXPECT_EQ(data.size() % BUFFER, 0u) << "whole chunks only";
    EXPECT_LT(data.size(), fed.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), fed.begin())) << "what was written is the data from the start";
}

TEST_F(ProCameraTest, AFusedRecordingHoldsTheEventsFromTheFirstFrameOnAndEveryPairedFrame) {
    TempDir dir;
    ASSERT_EQ(open(), 0);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    Evt3TestEncoder encoder;
    encoder.addTrigger(EventTriggerIn(0, 1, 10000)); // only counted
    encoder.setTime(20000).addEvent(Event2D(10, 10, 1, 20000));
    pushEvents(encoder);
    ASSERT_EQ(camera->startRecording(dir.path(), "rec", FUSION_STREAM), 0);
    EXPECT_EQ(camera->startRecording(dir.path(), "rec", DVS_STREAM), -1);
    EXPECT_TRUE(logs->has(LOG_INFO, "Do not save again while saving."));

    // Three frames, timed by three rising edges; events around them.
    for (int i = 0; i < 3; ++i) {
        pushFrame(static_cast<uint8_t>(40 + 60 * i));
    }
    for (int i = 0; i < 3; ++i) {
        const uint64_t t = 100000 + 33333 * static_cast<uint64_t>(i);
        encoder.addTrigger(EventTriggerIn(0, 1, t));
        encoder.setTime(t + 10).addEvent(Event2D(static_cast<uint16_t>(100 + i), 20, 1, t + 10));
        pushEvents(encoder);
    }
    // All three frames taken and paired. Empty queues alone hold before anything arrived; a frame paired
    // later than the stop below would not be recorded.
    ASSERT_TRUE(eventually([&] {
        return Peer::apsFrameCount(*camera) == 3 && Peer::queuedFrames(*camera) == 0 && Peer::timings(*camera).empty();
    }));
    const auto losses = Peer::pairingLosses(*camera);
    EXPECT_EQ(losses.droppedFrames + losses.lostFrames + losses.untimedFrames + losses.discardedTimings, 0u);
    ASSERT_TRUE(eventually([&] { return Peer::rawRecordingActive(*camera); }));
    encoder.setTime(300000).addEvent(Event2D(500, 30, 0, 300000));
    pushEvents(encoder);
    // Stopping the camera ends both recordings, complete on return.
    ASSERT_EQ(camera->stop(FUSION_STREAM), 0);

    const std::string raw = dir.file("rec.raw");
    const std::string text = readText(raw);
    // The first frame's exposure ends 25720 us after its edge at 100000.
    EXPECT_EQ(text.rfind("% aps_start_timestamp 125720\n% camera_integrator_name Quelnor\n", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("rec.json"))) << "no calibration was read";
    DvsFileInfo info;
    const std::vector<Event2D> recorded = readAllEvents(raw, &info);
    EXPECT_EQ(info.serialNumber, "OndrikPro-MIPI-0");
    EXPECT_EQ(info.apsStartTimestamp, 125720u);
    EXPECT_EQ(info.width, 1280);
    EXPECT_EQ(info.height, 720);
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.back().timestamp, 300000u);
    EXPECT_EQ(recorded.back().x, 500) << "the file holds the sensor's words; only the camera mirrors x";
    for (const Event2D& e : recorded) {
        EXPECT_GT(e.timestamp, 20000u) << "events before the first recorded frame are not in the file";
    }

    const std::string mp4 = dir.file("rec.mp4");
    const auto stream = videotest::probeVideoStream(mp4);
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["width"], APS_WIDTH);
    EXPECT_EQ(stream["height"], APS_HEIGHT);
    EXPECT_EQ(stream["nb_read_frames"], "3");
    // Timed by their exposure ends, one trigger period apart.
    EXPECT_EQ(videotest::probeFrameTimes(mp4), (std::vector<uint64_t>{0, 33333, 66666}));
    Mp4FileReader reader(mp4);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame(APS_WIDTH, APS_HEIGHT);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader.getNextFrame(frame));
        const size_t center = (APS_HEIGHT / 2 * APS_WIDTH + APS_WIDTH / 2) * 3;
        EXPECT_NEAR(frame.data()[center], greyLevelOf(static_cast<uint8_t>(40 + 60 * i)), 4) << "frame " << i;
    }
}

TEST_F(ProCameraTest, ReleasingTheCameraWhileItRunsSwitchesTheClocksOff) {
    ASSERT_EQ(open(), 0);
    ASSERT_EQ(camera->start(FUSION_STREAM), 0);
    ASSERT_TRUE(pwmEnabled());
    camera.reset();
    EXPECT_TRUE(pwmDisabled());
    EXPECT_FALSE(board.dvs->streaming());
    EXPECT_FALSE(board.aps->streaming());
}

TEST_F(ProCameraTest, TheLastPointerDroppedInsideCallbacksReleasesTheCameraOnItsOwnThreads) {
    struct Case {
        const char* name;
        bool inFrameCallback;
    };
    for (const Case& c : {Case{"event callback", false}, Case{"frame callback", true}}) {
        SCOPED_TRACE(c.name);
        camera = std::make_shared<OndrikProCamera>(proDescription(), board.config, io);
        ASSERT_EQ(open(), 0);
        std::promise<void> released;
        auto holder = std::make_shared<std::shared_ptr<OndrikProCamera>>(camera);
        std::once_flag once;
        auto drop = [holder, &released, &once] {
            std::call_once(once, [&] {
                holder->reset();
                released.set_value();
            });
        };
        if (c.inFrameCallback) {
            camera->addApsFrameCallback([drop](ApsFrame) { drop(); });
        } else {
            camera->addEventsStreamHandleCallback([drop](Event2D*, Event2D*) { drop(); });
        }
        ASSERT_EQ(camera->start(FUSION_STREAM), 0);
        std::weak_ptr<OndrikProCamera> watch = camera;
        camera.reset();
        Evt3TestEncoder encoder;
        encoder.addTrigger(EventTriggerIn(0, 1, 1000));
        encoder.addTrigger(EventTriggerIn(0, 1, 2000));
        encoder.setTime(3000).addEvent(Event2D(1, 1, 1, 3000));
        pushFrame(90);
        pushEvents(encoder);
        ASSERT_EQ(released.get_future().wait_for(CAMERA_PATIENCE), std::future_status::ready);
        EXPECT_TRUE(eventually([&] { return watch.expired(); }));
        EXPECT_TRUE(eventually([&] { return pwmDisabled() && !board.dvs->streaming() && !board.aps->streaming(); }));
    }
}
