// An event camera's threads and life cycle over a scripted stream: callbacks on the loop thread,
// stops that decode and record everything the stream delivered, losses, restarts, a camera released
// from inside its own callbacks, recording refusals, statistics, and everything at once (these tests
// run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "cameralab/CameraCollectors.h"
#include "cameralab/ScriptedCamera.h"
#include "rawfile/SmallDisk.h"
#include "rawfile/SyntheticRecording.h"
#include "rawfile/TempDir.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr const char* LOSS_MESSAGE = "Loss connection to the camera, camera loop thread exited.";
constexpr const char* STOPPED_MESSAGE = "Stop camera successfully.";

// A camera-like EVT3 stream cut into raw buffers, with what it encodes.
struct ScriptedStream {
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    std::vector<uint8_t> bytes;
};

ScriptedStream makeStream(size_t items, size_t bufferBytes, uint64_t seed = 1) {
    SyntheticOptions options;
    options.seed = seed;
    options.items = items;
    options.triggerEvery = 500;
    const SyntheticStream synthetic = makeSyntheticStream(options);
    ScriptedStream stream;
    stream.bytes = synthetic.bytes();
    stream.events = synthetic.events;
    stream.triggers = synthetic.triggers;
    for (size_t at = 0; at < stream.bytes.size(); at += bufferBytes) {
        const size_t end = std::min(stream.bytes.size(), at + bufferBytes);
        stream.buffers.emplace_back(stream.bytes.begin() + static_cast<long>(at), stream.bytes.begin() + static_cast<long>(end));
    }
    return stream;
}

// Holds the camera loop inside a callback until released.
class Gate {
public:
    void enterAndWait() {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return opened; });
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, CAMERA_PATIENCE, [&] { return entered; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            opened = true;
        }
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool opened = false;
};

bool sameEvents(const std::vector<Event2D>& a, const std::vector<Event2D>& b) { return a == b; }

class CameraLifeTest : public testing::Test {
protected:
    void SetUp() override {
        camera = std::make_shared<ScriptedCamera>();
        ASSERT_EQ(camera->open(), 0);
    }
    void TearDown() override {
        if (camera) {
            camera->stop();
        }
    }

    // Before the camera: they outlive its callbacks.
    EventCollector collected;
    StatisticCollector statistics;
    std::shared_ptr<ScriptedCamera> camera;
};

} // namespace

TEST_F(CameraLifeTest, EventsAndTriggersReachTheCallbacksOnTheLoopThread) {
    const ScriptedStream stream = makeStream(20000, 4096);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    camera->addTriggerInCallback(collected.triggerCallback());
    std::mutex threadsLock;
    std::set<std::thread::id> threads;
    camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        std::lock_guard<std::mutex> lock(threadsLock);
        threads.insert(std::this_thread::get_id());
    });
    ASSERT_EQ(camera->start(), 0);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    ASSERT_EQ(camera->stop(), 0);

    EXPECT_TRUE(sameEvents(collected.takeEvents(), stream.events));
    EXPECT_EQ(collected.takeTriggers().size(), stream.triggers.size());
    std::lock_guard<std::mutex> lock(threadsLock);
    ASSERT_EQ(threads.size(), 1u) << "one loop thread delivers every block";
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST_F(CameraLifeTest, CallbackIdsCountFromZeroAndAreNeverGivenOutAgain) {
    std::atomic<int> firstCalls{0};
    EXPECT_EQ(camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) { ++firstCalls; }), 0u);
    EXPECT_EQ(camera->addEventsStreamHandleCallback([](Event2D*, Event2D*) {}), 1u);
    EXPECT_FALSE(camera->removeEventsStreamHandleCallback(7));
    EXPECT_TRUE(camera->removeEventsStreamHandleCallback(0));
    EXPECT_FALSE(camera->removeEventsStreamHandleCallback(0));
    EXPECT_EQ(camera->addEventsStreamHandleCallback([](Event2D*, Event2D*) {}), 2u);

    EXPECT_EQ(camera->addTriggerInCallback([](EventTriggerIn) {}), 0u);
    EXPECT_TRUE(camera->removeTriggerInCallback(0));
    EXPECT_FALSE(camera->removeTriggerInCallback(0));
    EXPECT_EQ(camera->addTriggerInCallback([](EventTriggerIn) {}), 1u);

    // A removed callback is not called.
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(), 0);
    const ScriptedStream stream = makeStream(1000, 512);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_EQ(firstCalls.load(), 0);
}

TEST_F(CameraLifeTest, OpeningAgainChangesNothingAlsoWhileRunning) {
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(), 0);
    EXPECT_EQ(camera->open(), 0);
    EXPECT_EQ(camera->start(), 0) << "already running";
    const ScriptedStream stream = makeStream(2000, 1024);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_EQ(camera->open(), 0);
    EXPECT_TRUE(sameEvents(collected.takeEvents(), stream.events));
}

TEST(CameraLife, BeforeOpeningStartAndRecordingThrowAndStopDoesNothing) {
    auto camera = std::make_shared<ScriptedCamera>();
    try {
        camera->start();
        FAIL() << "start before open";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Camera is not inited");
    }
    EXPECT_THROW(camera->startRecording("/tmp/never.raw"), std::runtime_error);
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_EQ(camera->stopRecording(), 0);
    EXPECT_FALSE(camera->isConnected());
}

// A stop waits for the buffer in hand only: the backlog behind it is dropped and counted.
TEST_F(CameraLifeTest, StopFinishesTheBufferInHandAndDropsAndCountsTheRest) {
    const ScriptedStream stream = makeStream(30000, 2048);
    Gate gate;
    std::atomic<bool> first{true};
    camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (first.exchange(false)) {
            gate.enterAndWait();
        }
    });
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(), 0);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(gate.waitEntered());
    // The loop is held in its first block while the stream delivers everything else.
    ASSERT_TRUE(camera->transfer().waitDelivered(stream.buffers.size()));
    auto stopped = std::async(std::launch::async, [&] { return camera->stop(); });
    ASSERT_TRUE(eventually([&] { return camera->sensorCounts()->stops.load() == 1; }))
        << "the sensor stops while the loop is still held";
    gate.open();
    ASSERT_EQ(stopped.get(), 0);
    const StreamLossInfo loss = camera->getStreamLossInfo();
    EXPECT_EQ(loss.droppedBuffers, stream.buffers.size() - 1) << "all but the buffer in hand";
    EXPECT_EQ(loss.droppedBytes, stream.bytes.size() - stream.buffers.front().size());
    const std::vector<Event2D> decoded = collected.takeEvents();
    ASSERT_FALSE(decoded.empty());
    ASSERT_LT(decoded.size(), stream.events.size());
    EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), stream.events.begin())) << "the first buffer's events";
}

// A callback slower than the stream: what waits for the decoder stays under the stream's limit,
// the oldest buffers are dropped and counted, warnings come at most once a second, a stop takes
// well under a second, and the pool has given the backlog's buffers back afterwards.
TEST_F(CameraLifeTest, ASlowCallbackKeepsMemoryBoundedAndTheStopQuick) {
    constexpr uint64_t LIMIT = 1024 * 1024;
    camera->stream().setQueueLimitBytes(LIMIT);
    const ScriptedStream stream = makeStream(20000, 4096);
    std::atomic<uint64_t> blocks{0};
    camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        ++blocks;
        std::this_thread::sleep_for(std::chrono::microseconds(300)); // the slow consumer
    });
    LogCapture log;
    const auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(camera->start(), 0);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        uint64_t delivered = 0;
        while (feeding) {
            camera->transfer().script(stream.buffers);
            delivered += stream.buffers.size();
            while (feeding && !camera->transfer().waitDelivered(delivered, 0.05)) {
            }
        }
    });
    uint64_t mostQueued = 0;
    ASSERT_TRUE(eventually([&] {
        mostQueued = std::max(mostQueued, camera->stream().getQueuedBytes());
        return camera->getStreamLossInfo().droppedBuffers > 500;
    }));
    EXPECT_LE(mostQueued, LIMIT);
    EXPECT_GT(mostQueued, LIMIT / 2) << "the backlog did reach the limit";
    const StreamLossInfo running = camera->getStreamLossInfo();
    EXPECT_LE(running.droppedBytes, running.droppedBuffers * 4096);
    EXPECT_GT(running.droppedBytes, (running.droppedBuffers - running.droppedBuffers / 10) * 4096);

    const auto stopBegan = std::chrono::steady_clock::now();
    ASSERT_EQ(camera->stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopBegan, std::chrono::seconds(1));
    const auto elapsed = std::chrono::steady_clock::now() - began;
    feeding = false;
    feeder.join();
    EXPECT_GE(camera->getStreamLossInfo().droppedBuffers, running.droppedBuffers);
    EXPECT_EQ(camera->stream().getQueuedBytes(), 0u);
    EXPECT_LE(camera->transfer().pooledBuffers(), DataTransfer::POOL_BUFFERS + 1) << "the pool gave the backlog back";
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    // Only the drop warning counts: the feeder plays the script again from its start, which the decoder
    // may also report as time going back.
    int dropWarnings = 0;
    for (const LogLine& line : log.lines()) {
        dropWarnings += line.level == LOG_WARN && line.text.rfind("Event stream dropped", 0) == 0;
    }
    EXPECT_GE(dropWarnings, 1);
    EXPECT_LE(dropWarnings, seconds + 1) << "at most one warning a second";
    EXPECT_GT(blocks.load(), 0u);
}

TEST_F(CameraLifeTest, ARecordingMadeWhileStreamingHoldsEveryByteAndReadsBackAsTheEvents) {
    TempDir dir;
    const std::string path = dir.file("stream.raw");
    const ScriptedStream stream = makeStream(40000, 4096);
    Gate gate;
    std::atomic<bool> first{true};
    camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
        if (first.exchange(false)) {
            gate.enterAndWait();
        }
    });
    ASSERT_EQ(camera->start(), 0);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->startRecording(path), 0);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(gate.waitEntered());
    ASSERT_TRUE(camera->transfer().waitDelivered(stream.buffers.size()));
    // The backlog is decoded (and recorded) while the camera runs.
    gate.open();
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    ASSERT_EQ(camera->stop(), 0);
    EXPECT_EQ(camera->stopRecording(), 0);

    const std::vector<uint8_t> file = readFileBytes(path);
    ASSERT_GE(file.size(), stream.bytes.size());
    EXPECT_TRUE(std::equal(stream.bytes.begin(), stream.bytes.end(), file.end() - static_cast<long>(stream.bytes.size())))
        << "the file ends with every byte of the stream";
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    std::vector<Event2D> read;
    for (;;) {
        auto batch = reader.getNEvents(65536);
        if (!batch || batch->empty()) {
            break;
        }
        read.insert(read.end(), batch->begin(), batch->end());
    }
    EXPECT_TRUE(sameEvents(read, stream.events)) << read.size() << " events read, " << stream.events.size() << " sent";
}

TEST_F(CameraLifeTest, RecordingCallsAreRefusedWhileRecording) {
    TempDir dir;
    const std::string first = dir.file("first.raw");
    const std::string second = dir.file("second.raw");
    const std::string cacheDir = dir.file("cache");
    std::filesystem::create_directory(cacheDir);
    ASSERT_EQ(camera->start(), 0);
    ASSERT_EQ(camera->startRecording(first), 0);
    LogCapture log;
    EXPECT_EQ(camera->startRecording(second), -1);
    EXPECT_FALSE(std::filesystem::exists(second)) << "the refused call reaches no file";
    camera->setFileCacheTime(1, cacheDir);
    EXPECT_GE(log.countAt(LOG_ERROR), 2);

    const ScriptedStream stream = makeStream(5000, 1024);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_EQ(camera->stopRecording(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(cacheDir)) << "no cache was started";
    const auto bytes = readFileBytes(first);
    ASSERT_GE(bytes.size(), stream.bytes.size());
    EXPECT_TRUE(std::equal(stream.bytes.begin(), stream.bytes.end(), bytes.end() - static_cast<long>(stream.bytes.size())));

    // After the stop both calls work again.
    EXPECT_EQ(camera->startRecording(second), 0);
    EXPECT_EQ(camera->stopRecording(), 0);
    EXPECT_TRUE(std::filesystem::exists(second));
    EXPECT_EQ(camera->stopRecording(), 0) << "nothing to stop";
}

// A recording on a disk that runs full, in either mode: the camera tells it while recording and
// stopRecording returns -1; the file holds a readable prefix of the stream.
TEST_F(CameraLifeTest, ARecordingOnAFullDiskIsReportedAndReadsBackAsAPrefix) {
    for (const bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cache mode" : "direct mode");
        SmallDisk disk;
        if (!disk.ok()) {
            GTEST_SKIP() << "mounting a tmpfs needs root";
        }
        TempDir roomy;
        // In cache mode the segments fill the small disk, the file itself lies elsewhere.
        const std::string path = cached ? roomy.file("full.raw") : disk.file("full.raw");
        const ScriptedStream stream = makeStream(2500000, 65536, cached ? 2 : 1);
        ASSERT_GT(stream.bytes.size(), 2 * SmallDisk::SIZE);
        camera->setFileCacheTime(cached ? 5 : 0, disk.path());
        EventCollector decoded;
        auto listener = camera->addEventsStreamHandleCallback(decoded.eventsCallback());
        ASSERT_EQ(camera->start(), 0);
        ASSERT_EQ(camera->startRecording(path), 0);
        EXPECT_TRUE(camera->isRecordingHealthy());
        LogCapture log;
        camera->transfer().script(stream.buffers);
        ASSERT_TRUE(decoded.waitForEvents(stream.events.size()));
        if (!cached) {
            // The writer meets the full disk while the recording runs.
            EXPECT_TRUE(eventually([&] { return !camera->isRecordingHealthy(); }));
        }
        EXPECT_EQ(camera->stopRecording(), -1);
        EXPECT_FALSE(camera->isRecordingHealthy());
        int failures = 0;
        for (const LogLine& line : log.lines()) {
            failures += line.level == LOG_ERROR && line.text.find(disk.path()) != std::string::npos &&
                        line.text.find("No space left on device") != std::string::npos;
        }
        EXPECT_EQ(failures, 1) << "one error line with the file and the cause";
        ASSERT_EQ(camera->stop(), 0);
        camera->removeEventsStreamHandleCallback(listener);
        camera->setFileCacheTime(0, disk.path());

        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        std::vector<Event2D> read;
        for (;;) {
            auto batch = reader.getNEvents(65536);
            if (!batch || batch->empty()) {
                break;
            }
            read.insert(read.end(), batch->begin(), batch->end());
        }
        ASSERT_FALSE(read.empty());
        ASSERT_LT(read.size(), stream.events.size());
        EXPECT_TRUE(std::equal(read.begin(), read.end(), stream.events.begin())) << "a prefix of the stream";
    }
}

TEST(CameraLife, TheFileCacheCanBeSetBeforeOpening) {
    TempDir dir;
    auto camera = std::make_shared<ScriptedCamera>();
    camera->setFileCacheTime(1, dir.path());
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->start(), 0);
    // More than one recorder block, so the cache thread writes a segment.
    const ScriptedStream stream = makeStream(400000, 65536);
    ASSERT_GT(stream.bytes.size(), DvsFileRecorder::BLOCK_SIZE);
    camera->transfer().script(stream.buffers);
    EXPECT_TRUE(eventually([&] { return !std::filesystem::is_empty(dir.path()); })) << "segments are written";
    camera->stop();
    camera->setFileCacheTime(0, dir.path());
}

TEST_F(CameraLifeTest, ALostDeviceStopsTheCameraWhichStartsAgainOnceItIsBack) {
    LogCapture log;
    ASSERT_EQ(camera->start(), 0);
    camera->device().setConnected(false);
    ASSERT_TRUE(eventually([&] { return log.has(LOG_INFO, LOSS_MESSAGE); }));
    EXPECT_EQ(log.count(LOG_INFO, STOPPED_MESSAGE), 1);
    EXPECT_EQ(camera->sensorCounts()->stops.load(), 1);
    EXPECT_FALSE(camera->isConnected());
    EXPECT_EQ(camera->stop(), 0) << "already stopped";
    EXPECT_EQ(camera->sensorCounts()->stops.load(), 1);

    // The loop that ended by itself is released before a new one starts.
    camera->device().setConnected(true);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(), 0);
    const ScriptedStream stream = makeStream(3000, 1024);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_TRUE(sameEvents(collected.takeEvents(), stream.events));
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_EQ(log.count(LOG_INFO, LOSS_MESSAGE), 1);
}

TEST(CameraLife, ACameraReleasedInsideItsEventCallbackGoesOnItsLoopThread) {
    auto camera = std::make_shared<ScriptedCamera>();
    ASSERT_EQ(camera->open(), 0);
    const auto counts = camera->sensorCounts();
    std::weak_ptr<ScriptedCamera> watch = camera;
    // The callback drops the last pointer outside the camera once the test has dropped its own.
    auto last = std::make_shared<std::shared_ptr<ScriptedCamera>>(camera);
    std::promise<void> testDropped;
    std::shared_future<void> dropped = testDropped.get_future().share();
    auto released = std::make_shared<std::atomic<bool>>(false);
    camera->addEventsStreamHandleCallback([last, dropped, released](Event2D*, Event2D*) {
        if (!released->exchange(true)) {
            dropped.wait();
            last->reset();
        }
    });
    camera->transfer().script(makeStream(2000, 1024).buffers); // delivered once started
    ASSERT_EQ(camera->start(), 0);
    camera.reset();
    testDropped.set_value();
    ASSERT_TRUE(eventually([&] { return watch.expired() && counts->destroyed.load() == 1; }));
    EXPECT_EQ(counts->stops.load(), 1);
}

TEST(CameraLife, ACameraReleasedInsideItsStatisticsCallbackGoesOnThatThread) {
    auto camera = std::make_shared<ScriptedCamera>();
    ASSERT_EQ(camera->open(), 0);
    const auto counts = camera->sensorCounts();
    std::weak_ptr<ScriptedCamera> watch = camera;
    auto last = std::make_shared<std::shared_ptr<ScriptedCamera>>(camera);
    std::promise<void> testDropped;
    std::shared_future<void> dropped = testDropped.get_future().share();
    camera->setStatisticInfoCallback([last, dropped](QnStatisticInfo) {
        dropped.wait();
        last->reset();
    });
    ASSERT_EQ(camera->start(), 0);
    camera.reset();
    testDropped.set_value();
    ASSERT_TRUE(eventually([&] { return watch.expired() && counts->destroyed.load() == 1; }));
    EXPECT_EQ(counts->stops.load(), 1);
}

TEST_F(CameraLifeTest, AStopFromInsideACallbackEndsTheLoopAndTheApplicationStartsItAgain) {
    std::atomic<int> stopResult{1};
    std::atomic<int> startResult{1};
    std::atomic<bool> once{true};
    ScriptedCamera* raw = camera.get();
    camera->addEventsStreamHandleCallback([&, raw](Event2D*, Event2D*) {
        if (once.exchange(false)) {
            stopResult = raw->stop();
            startResult = raw->start(); // its own loop has not ended yet
        }
    });
    LogCapture log;
    ASSERT_EQ(camera->start(), 0);
    camera->transfer().script(makeStream(2000, 1 << 20).buffers); // one buffer
    ASSERT_TRUE(eventually([&] { return startResult.load() != 1; }));
    EXPECT_EQ(stopResult.load(), 0);
    EXPECT_EQ(startResult.load(), -1);
    EXPECT_EQ(log.count(LOG_INFO, STOPPED_MESSAGE), 1);

    // The new start waits for the old loop to finish its buffer.
    ASSERT_EQ(camera->start(), 0);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    const ScriptedStream stream = makeStream(3000, 1024, 7);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_TRUE(sameEvents(collected.takeEvents(), stream.events));
    EXPECT_EQ(camera->stop(), 0); // before the flags its first callback reads go
}

TEST_F(CameraLifeTest, StatisticsAddUpToTheBytesAndEventsDecoded) {
    camera->setStatisticInfoCallback(statistics.callback());
    ASSERT_EQ(camera->start(), 0);
    const ScriptedStream stream = makeStream(50000, 8192);
    camera->transfer().script(stream.buffers);
    ASSERT_TRUE(statistics.waitForTotals(stream.bytes.size(), stream.events.size()));
    EXPECT_EQ(statistics.totalBytes(), stream.bytes.size());
    EXPECT_EQ(statistics.totalEvents(), stream.events.size());
    // Reports go on once a second with nothing new.
    const size_t reports = statistics.takeReports().size();
    ASSERT_TRUE(statistics.waitForReports(reports + 1));
    EXPECT_EQ(statistics.takeReports().back().dataBandwidth, 0u);
}

// A stop right after the data came: the part of the last second not reported yet is reported before
// stop returns, so the reports of every run add up to what it decoded.
TEST_F(CameraLifeTest, StopReportsTheRestOfTheLastSecond) {
    camera->setStatisticInfoCallback(statistics.callback());
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    uint64_t bytes = 0;
    uint64_t events = 0;
    for (uint64_t run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(camera->start(), 0);
        const ScriptedStream stream = makeStream(20000, 4096, run);
        camera->transfer().script(stream.buffers);
        ASSERT_TRUE(collected.waitForEvents(events + stream.events.size()));
        ASSERT_EQ(camera->stop(), 0);
        bytes += stream.bytes.size();
        events += stream.events.size();
        EXPECT_EQ(statistics.totalBytes(), bytes);
        EXPECT_EQ(statistics.totalEvents(), events);
    }
}

TEST_F(CameraLifeTest, EverythingAtOnceFromSeveralThreads) {
    TempDir dir;
    camera->setFileCacheTime(1, dir.file(""));
    std::atomic<bool> done{false};
    ASSERT_EQ(camera->start(), 0);
    std::vector<ScriptedStream> streams;
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        streams.push_back(makeStream(20000, 3000, seed));
    }
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!done) {
            const uint32_t id = camera->addEventsStreamHandleCallback([](Event2D*, Event2D*) {});
            camera->removeEventsStreamHandleCallback(id);
            const uint32_t trigger = camera->addTriggerInCallback([](EventTriggerIn) {});
            camera->removeTriggerInCallback(trigger);
        }
    });
    threads.emplace_back([&] {
        for (uint64_t i = 1; !done; ++i) {
            if (i % 2 == 0) {
                camera->setBatchEventsNum(100 + i % 1000);
            } else {
                camera->setBatchEventsTime(50 + i % 500);
            }
            camera->setStatisticInfoCallback([](QnStatisticInfo) {});
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        std::vector<Event2D> batch;
        while (!done) {
            camera->getNextBatch(batch);
        }
    });
    threads.emplace_back([&] {
        while (!done) {
            (void)camera->isConnected();
            (void)camera->getWidth();
            std::this_thread::yield();
        }
    });
    for (const ScriptedStream& stream : streams) {
        camera->transfer().script(stream.buffers);
        ASSERT_TRUE(eventually([&] { return camera->transfer().scriptEmpty(); }));
    }
    done = true;
    ASSERT_EQ(camera->stop(), 0);
    for (auto& thread : threads) {
        thread.join();
    }
    camera->setFileCacheTime(0, dir.path());
}
