// Batches of an event camera: the count and time rules on decoded blocks, the hand-over to
// getNextBatch, and the waits that only a hand-over or a stop ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "cameralab/CameraCollectors.h"
#include "cameralab/CameraTestPeer.h"
#include "cameralab/ScriptedCamera.h"
#include "rawfile/SyntheticRecording.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr size_t DECODER_BLOCK = 320;

std::vector<Event2D> eventsAt(const std::vector<uint64_t>& times) {
    std::vector<Event2D> events;
    for (uint64_t t : times) {
        events.emplace_back(static_cast<uint16_t>(t % 1280), static_cast<uint16_t>(t % 720), static_cast<uint8_t>(t & 1),
                            t);
    }
    return events;
}

// Events numbered from `first` (the number is the time stamp).
std::vector<Event2D> numbered(uint64_t first, size_t count) {
    std::vector<uint64_t> times;
    for (size_t i = 0; i < count; ++i) {
        times.push_back(first + i);
    }
    return eventsAt(times);
}

std::vector<uint64_t> timesOf(const std::vector<Event2D>& events) {
    std::vector<uint64_t> times;
    for (const Event2D& e : events) {
        times.push_back(e.timestamp);
    }
    return times;
}

// A camera, opened and running on an idle script, so blocks can be fed from the test's thread.
class BatchTest : public testing::Test {
protected:
    void SetUp() override {
        camera = std::make_shared<ScriptedCamera>();
        ASSERT_EQ(camera->open(), 0);
    }
    void TearDown() override { camera->stop(); }

    void startCamera() { ASSERT_EQ(camera->start(), 0); }

    // Feeds events in decoder-sized blocks.
    void feedInBlocks(const std::vector<Event2D>& events) {
        for (size_t at = 0; at < events.size(); at += DECODER_BLOCK) {
            const size_t end = std::min(events.size(), at + DECODER_BLOCK);
            camera->feed(std::vector<Event2D>(events.begin() + static_cast<long>(at), events.begin() + static_cast<long>(end)));
        }
    }

    std::future<std::pair<bool, std::vector<Event2D>>> waitForBatch() {
        return std::async(std::launch::async, [this] {
            std::vector<Event2D> out;
            const bool got = camera->getNextBatch(out);
            return std::make_pair(got, out);
        });
    }

    void untilWaiting(size_t waiters, bool byTime = false) {
        ASSERT_TRUE(eventually([&] {
            return (byTime ? DvsCameraPrivateTestPeer::timeBatchWaiters(*camera)
                           : DvsCameraPrivateTestPeer::countBatchWaiters(*camera)) == waiters;
        }));
    }

    std::shared_ptr<ScriptedCamera> camera;
};

} // namespace

TEST_F(BatchTest, WithTheDefaultSizeTheFirstBatchGoesWhenEvent131073Arrives) {
    camera->setBatchEventsNum(131072);
    const auto events = numbered(1, 131072 + DECODER_BLOCK);
    feedInBlocks(std::vector<Event2D>(events.begin(), events.begin() + 131072));
    EXPECT_TRUE(camera->countReady().empty()) << "a full pending batch waits for the next event";
    EXPECT_EQ(camera->countPending().size(), 131072u);

    feedInBlocks(std::vector<Event2D>(events.begin() + 131072, events.end()));
    const auto ready = camera->countReady();
    ASSERT_EQ(ready.size(), 131072u);
    EXPECT_EQ(ready.front().timestamp, 1u);
    EXPECT_EQ(ready.back().timestamp, 131072u);
    ASSERT_EQ(camera->countPending().size(), DECODER_BLOCK);
    EXPECT_EQ(camera->countPending().front().timestamp, 131073u);
}

TEST_F(BatchTest, ABlockLargerThanTheBatchGoesOutInSeveralBatches) {
    camera->setBatchEventsNum(100);
    camera->feed(numbered(0, 320));
    // Three batches of 100 went out; the newest is ready, 20 events stay pending.
    EXPECT_EQ(timesOf(camera->countReady()), timesOf(numbered(200, 100)));
    EXPECT_EQ(timesOf(camera->countPending()), timesOf(numbered(300, 20)));
}

TEST_F(BatchTest, LoweringTheSizeBelowWhatIsPendingHandsThePendingBatchOverAtOnce) {
    camera->setBatchEventsNum(1000);
    camera->feed(numbered(0, 300));
    camera->setBatchEventsNum(100);
    camera->feed(numbered(300, 50));
    EXPECT_EQ(timesOf(camera->countReady()), timesOf(numbered(0, 300)));
    EXPECT_EQ(timesOf(camera->countPending()), timesOf(numbered(300, 50)));
}

TEST_F(BatchTest, SizeAndSpanZeroAreTakenAsOne) {
    camera->setBatchEventsNum(0);
    camera->feed(numbered(0, 3));
    EXPECT_EQ(timesOf(camera->countReady()), std::vector<uint64_t>{1});
    EXPECT_EQ(timesOf(camera->countPending()), std::vector<uint64_t>{2});

    camera->setBatchEventsTime(0);
    camera->feed(eventsAt({10, 13}));
    // {10} at 11, {} at 12 (no event), 13 pending.
    EXPECT_EQ(timesOf(camera->timeReady()), std::vector<uint64_t>{});
    EXPECT_EQ(timesOf(camera->timePending()), std::vector<uint64_t>{13});
}

TEST_F(BatchTest, TimeBatchesFollowTheBoundariesWithinABlock) {
    struct Case {
        std::vector<uint64_t> times;
        uint64_t span;
        std::vector<uint64_t> lastReady;
        std::vector<uint64_t> pending;
    };
    // {0, 5000} at 10000, {12000} at 20000, {} at 30000; and {0, 5000} at 10000, {} at 20000.
    const std::vector<Case> cases = {
        {{0, 5000, 12000, 31000}, 10000, {}, {31000}},
        {{0, 5000, 25000}, 10000, {}, {25000}},
        {{0, 5000, 12000}, 10000, {0, 5000}, {12000}},
        {{0, 10000}, 10000, {}, {0, 10000}}, // an event on the boundary stays with the batch before it
    };
    for (const Case& c : cases) {
        auto fresh = std::make_shared<ScriptedCamera>();
        ASSERT_EQ(fresh->open(), 0);
        fresh->setBatchEventsTime(c.span);
        fresh->feed(eventsAt(c.times));
        EXPECT_EQ(timesOf(fresh->timeReady()), c.lastReady);
        EXPECT_EQ(timesOf(fresh->timePending()), c.pending);
    }
}

TEST_F(BatchTest, EachBlockTakesItsFirstBoundaryFromThePendingBatch) {
    camera->setBatchEventsTime(10000);
    camera->feed(eventsAt({0, 5000}));
    camera->feed(eventsAt({12000, 13000}));
    EXPECT_EQ(timesOf(camera->timeReady()), (std::vector<uint64_t>{0, 5000}));
    camera->feed(eventsAt({31000}));
    // The boundary is 12000 + 10000 = 22000, then 32000.
    EXPECT_EQ(timesOf(camera->timeReady()), (std::vector<uint64_t>{12000, 13000}));
    EXPECT_EQ(timesOf(camera->timePending()), std::vector<uint64_t>{31000});
}

TEST_F(BatchTest, ModesKeepTheirOwnBatches) {
    camera->setBatchEventsNum(2);
    camera->feed(numbered(0, 1));
    camera->setBatchEventsTime(10);
    camera->feed(eventsAt({100, 105}));
    camera->setBatchEventsNum(2);
    camera->feed(numbered(1, 2));
    EXPECT_EQ(timesOf(camera->countReady()), (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(timesOf(camera->countPending()), std::vector<uint64_t>{2});
    EXPECT_EQ(timesOf(camera->timePending()), (std::vector<uint64_t>{100, 105}));
}

TEST_F(BatchTest, WithoutABatchModeGetNextBatchReturnsFalseAtOnce) {
    std::vector<Event2D> out = numbered(0, 3);
    EXPECT_FALSE(camera->getNextBatch(out));
    EXPECT_TRUE(out.empty());
}

TEST_F(BatchTest, AWaiterGetsTheNextBatchHandedOverAfterItsCallBegan) {
    startCamera();
    camera->setBatchEventsNum(10);
    camera->feed(numbered(0, 11)); // batch 1
    camera->feed(numbered(11, 10)); // batch 2: replaces batch 1, nobody took it
    auto batch = waitForBatch();
    untilWaiting(1);
    camera->feed(numbered(21, 10)); // batch 3
    const auto [got, events] = batch.get();
    EXPECT_TRUE(got);
    EXPECT_EQ(timesOf(events), timesOf(numbered(20, 10)));
}

TEST_F(BatchTest, SpuriousWakeUpsDoNotEndTheWait) {
    startCamera();
    camera->setBatchEventsNum(5);
    camera->feed(numbered(0, 6)); // a batch nobody takes: stale for the waiter below
    auto batch = waitForBatch();
    untilWaiting(1);
    // Wake the waiter again and again without a hand-over: it must go back to waiting.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until) {
        camera->wakeBatchWaiters();
        ASSERT_EQ(batch.wait_for(std::chrono::milliseconds(1)), std::future_status::timeout)
            << "the wait ended without a new batch";
    }
    EXPECT_EQ(DvsCameraPrivateTestPeer::countBatchWaiters(*camera), 1u);
    camera->feed(numbered(6, 5));
    const auto [got, events] = batch.get();
    EXPECT_TRUE(got);
    EXPECT_EQ(timesOf(events), timesOf(numbered(5, 5)));
}

TEST_F(BatchTest, EachBatchGoesToOneWaiter) {
    startCamera();
    camera->setBatchEventsNum(4);
    auto first = waitForBatch();
    auto second = waitForBatch();
    untilWaiting(2);
    camera->feed(numbered(0, 5));
    untilWaiting(1);
    camera->feed(numbered(5, 4));
    auto a = first.get();
    auto b = second.get();
    EXPECT_TRUE(a.first);
    EXPECT_TRUE(b.first);
    std::vector<uint64_t> both = timesOf(a.second);
    const auto more = timesOf(b.second);
    both.insert(both.end(), more.begin(), more.end());
    std::sort(both.begin(), both.end());
    EXPECT_EQ(both, timesOf(numbered(0, 8)));
}

TEST_F(BatchTest, StopReleasesEveryWaiterOfEitherMode) {
    startCamera();
    camera->setBatchEventsNum(100);
    auto byCount1 = waitForBatch();
    auto byCount2 = waitForBatch();
    untilWaiting(2);
    camera->setBatchEventsTime(1000);
    auto byTime = waitForBatch();
    untilWaiting(1, true);

    ASSERT_EQ(camera->stop(), 0);
    for (auto* waiter : {&byCount1, &byCount2, &byTime}) {
        ASSERT_EQ(waiter->wait_for(CAMERA_PATIENCE), std::future_status::ready);
        const auto [got, events] = waiter->get();
        EXPECT_FALSE(got) << "released by the stop without a batch";
        EXPECT_TRUE(events.empty());
    }
}

// While the camera does not run, getNextBatch returns false at once in either mode: before the first
// start, after a stop, after a stop from inside a callback, after a loss.
TEST(BatchNotRunning, GetNextBatchReturnsFalseAtOnce) {
    struct Case {
        const char* name;
        std::function<void(ScriptedCamera&)> prepare;
    };
    const std::vector<Case> cases = {
        {"before start", [](ScriptedCamera&) {}},
        {"after stop",
         [](ScriptedCamera& camera) {
             ASSERT_EQ(camera.start(), 0);
             ASSERT_EQ(camera.stop(), 0);
         }},
        {"after a stop from a callback",
         [](ScriptedCamera& camera) {
             // Shared with the callback, which outlives this function.
             auto stopped = std::make_shared<std::atomic<bool>>(false);
             camera.addEventsStreamHandleCallback([stopped, &camera](Event2D*, Event2D*) {
                 if (!stopped->exchange(true)) {
                     camera.stop();
                 }
             });
             ASSERT_EQ(camera.start(), 0);
             SyntheticOptions options;
             options.items = 2000;
             camera.transfer().script({makeSyntheticStream(options).bytes()});
             ASSERT_TRUE(eventually([&] { return stopped->load(); }));
         }},
        {"after a loss",
         [](ScriptedCamera& camera) {
             LogCapture log;
             ASSERT_EQ(camera.start(), 0);
             camera.device().setConnected(false);
             ASSERT_TRUE(eventually([&] { return log.has(LOG_INFO, "Stop camera successfully."); }));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto camera = std::make_shared<ScriptedCamera>();
        ASSERT_EQ(camera->open(), 0);
        c.prepare(*camera);
        for (const bool byTime : {false, true}) {
            if (byTime) {
                camera->setBatchEventsTime(1000);
            } else {
                camera->setBatchEventsNum(10);
            }
            auto call = std::async(std::launch::async, [&] {
                std::vector<Event2D> out = numbered(0, 2);
                const bool got = camera->getNextBatch(out);
                return std::make_pair(got, out.size());
            });
            ASSERT_EQ(call.wait_for(std::chrono::milliseconds(100)), std::future_status::ready)
                << (byTime ? "by time" : "by count");
            const auto [got, size] = call.get();
            EXPECT_FALSE(got);
            EXPECT_EQ(size, 0u);
        }
        camera->stop();
    }
}

// A reader looping on getNextBatch is let go within 100 ms of a stop, whether the stop finds it
// waiting or busy between two calls (its last call returns false at once); the next start serves it
// again.
TEST_F(BatchTest, AReaderThatRacesTheStopIsReleased) {
    using Clock = std::chrono::steady_clock;
    camera->setBatchEventsNum(4);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        startCamera();
        std::atomic<Clock::rep> lastCallBegan{0};
        std::promise<Clock::time_point> ended;
        std::future<Clock::time_point> endedFuture = ended.get_future();
        std::thread reader([&] {
            std::vector<Event2D> out;
            for (;;) {
                lastCallBegan = Clock::now().time_since_epoch().count();
                if (!camera->getNextBatch(out)) {
                    break;
                }
                for (int spin = 0; spin < round * 50; ++spin) {
                    std::this_thread::yield(); // busy with the batch when the stop may come
                }
            }
            ended.set_value(Clock::now());
        });
        for (int i = 0; i < round % 4; ++i) {
            camera->feed(numbered(static_cast<uint64_t>(i) * 5, 5));
        }
        ASSERT_EQ(camera->stop(), 0);
        const Clock::time_point stopped = Clock::now();
        const bool released = endedFuture.wait_for(CAMERA_PATIENCE) == std::future_status::ready;
        EXPECT_TRUE(released) << "the reader still waits after the stop";
        while (endedFuture.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
            camera->start(); // frees a reader the stop missed, so the test can go on
            camera->stop();
        }
        reader.join();
        if (!released) {
            return;
        }
        // From the stop, or from the last call when it began later, to its return.
        const Clock::time_point from =
            std::max(stopped, Clock::time_point(Clock::duration(lastCallBegan.load())));
        EXPECT_LT(endedFuture.get() - from, std::chrono::milliseconds(100));
    }
}
