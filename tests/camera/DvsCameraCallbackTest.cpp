// Callbacks of an event camera changed from everywhere: every add, remove, replacement, stop and
// batch read, made from inside each kind of callback and from another thread, while the stream runs.
// None may hang (each case runs under a watchdog that fails the test instead), a removed callback
// is not started again once the removal returned, an added one is called. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cameralab/CameraCollectors.h"
#include "cameralab/ScriptedCamera.h"
#include "rawfile/SyntheticRecording.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

// Longer than any case takes even under the sanitizer; reaching it means a hang.
constexpr auto WATCHDOG = std::chrono::seconds(120);

// Runs `body` on a thread of its own; a body that does not end in time fails the whole test program
// at once, since a hung thread cannot be cleaned up.
void underWatchdog(const std::string& name, const std::function<void()>& body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(WATCHDOG) != std::future_status::ready) {
        std::fprintf(stderr, "HUNG: %s did not finish within %lld s\n", name.c_str(),
                     static_cast<long long>(WATCHDOG.count()));
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }
    done.get();
}

enum class Where { EventCallback, TriggerCallback, StatisticsCallback, OtherThread };
enum class Action {
    AddEventCallback,
    RemoveEventCallback,
    AddTriggerCallback,
    RemoveTriggerCallback,
    ReplaceStatisticsCallback,
    ClearStatisticsCallback,
    Stop,
    GetNextBatch,
};

const char* nameOf(Where where) {
    switch (where) {
    case Where::EventCallback: return "InsideEventCallback";
    case Where::TriggerCallback: return "InsideTriggerCallback";
    case Where::StatisticsCallback: return "InsideStatisticsCallback";
    case Where::OtherThread: return "FromAnotherThread";
    }
    return "?";
}

const char* nameOf(Action action) {
    switch (action) {
    case Action::AddEventCallback: return "AddEventCallback";
    case Action::RemoveEventCallback: return "RemoveEventCallback";
    case Action::AddTriggerCallback: return "AddTriggerCallback";
    case Action::RemoveTriggerCallback: return "RemoveTriggerCallback";
    case Action::ReplaceStatisticsCallback: return "ReplaceStatisticsCallback";
    case Action::ClearStatisticsCallback: return "ClearStatisticsCallback";
    case Action::Stop: return "Stop";
    case Action::GetNextBatch: return "GetNextBatch";
    }
    return "?";
}

// One callback the case may remove: counts its calls and every call that began (or, when removed
// from another thread, was still running) after the removal returned.
struct Victim {
    std::atomic<uint64_t> calls{0};
    std::atomic<bool> removed{false};
    std::atomic<bool> checkExit{false};
    std::atomic<int> late{0};

    void enter() {
        ++calls;
        late += removed.load() ? 1 : 0;
    }
    void leave() { late += checkExit.load() && removed.load() ? 1 : 0; }
};

// A synthetic stream with triggers, cut into raw buffers.
std::vector<std::vector<uint8_t>> streamBuffers() {
    SyntheticOptions options;
    options.items = 20000;
    options.triggerEvery = 200;
    const std::vector<uint8_t> bytes = makeSyntheticStream(options).bytes();
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t at = 0; at < bytes.size(); at += 4096) {
        buffers.emplace_back(bytes.begin() + static_cast<long>(at),
                             bytes.begin() + static_cast<long>(std::min(bytes.size(), at + 4096)));
    }
    return buffers;
}

struct Case {
    Where where;
    Action action;
};

class CallbackChanges : public testing::TestWithParam<Case> {};

TEST_P(CallbackChanges, NeitherHangsNorMissesARemoval) {
    const Case c = GetParam();
    const std::string name = std::string(nameOf(c.where)) + "/" + nameOf(c.action);
    static const std::vector<std::vector<uint8_t>> buffers = streamBuffers();
    underWatchdog(name, [&] {
        Victim events;
        Victim triggers;
        Victim statistics;
        std::atomic<uint64_t> witness{0};    // an event callback nobody removes
        std::atomic<uint64_t> added{0};      // calls of the callback the action added
        std::atomic<bool> acted{false};      // the action has begun
        std::atomic<bool> actionDone{false}; // ... and returned
        std::atomic<int> stopResult{1};
        std::atomic<int> batchResult{-1};
        auto camera = std::make_shared<ScriptedCamera>();
        ASSERT_EQ(camera->open(), 0);
        camera->setBatchEventsNum(500);
        std::atomic<uint32_t> eventsId{0};
        std::atomic<uint32_t> triggersId{0};

        // The action, made on whatever thread reaches it first for its place.
        const std::function<void(bool)> act = [&](bool onLoopThread) {
            switch (c.action) {
            case Action::AddEventCallback:
                camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) { ++added; });
                break;
            case Action::RemoveEventCallback:
                EXPECT_TRUE(camera->removeEventsStreamHandleCallback(eventsId));
                events.removed = true;
                break;
            case Action::AddTriggerCallback:
                camera->addTriggerInCallback([&](EventTriggerIn) { ++added; });
                break;
            case Action::RemoveTriggerCallback:
                EXPECT_TRUE(camera->removeTriggerInCallback(triggersId));
                triggers.removed = true;
                break;
            case Action::ReplaceStatisticsCallback:
                camera->setStatisticInfoCallback([&](QnStatisticInfo) { ++added; });
                statistics.removed = true;
                break;
            case Action::ClearStatisticsCallback:
                camera->setStatisticInfoCallback(nullptr);
                statistics.removed = true;
                break;
            case Action::Stop:
                stopResult = camera->stop();
                break;
            case Action::GetNextBatch: {
                std::vector<Event2D> out;
                batchResult = camera->getNextBatch(out) ? 1 : 0;
                if (onLoopThread) {
                    EXPECT_EQ(batchResult.load(), 0) << "refused on the camera-loop thread";
                }
                break;
            }
            }
            actionDone = true;
        };
        const auto actHere = [&](Where here, bool onLoopThread) {
            if (c.where == here && !acted.exchange(true)) {
                act(onLoopThread);
            }
        };

        eventsId = camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
            events.enter();
            actHere(Where::EventCallback, true);
            events.leave();
        });
        camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) { ++witness; });
        triggersId = camera->addTriggerInCallback([&](EventTriggerIn) {
            triggers.enter();
            actHere(Where::TriggerCallback, true);
            triggers.leave();
        });
        camera->setStatisticInfoCallback([&](QnStatisticInfo) {
            statistics.enter();
            actHere(Where::StatisticsCallback, false);
            statistics.leave();
        });
        if (c.where == Where::OtherThread) {
            events.checkExit = true;
            triggers.checkExit = true;
            statistics.checkExit = true;
        }

        // Keeps the stream flowing until the case ends.
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            uint64_t delivered = 0;
            while (feeding) {
                camera->transfer().script(buffers);
                delivered += buffers.size();
                while (feeding && !camera->transfer().waitDelivered(delivered, 0.05)) {
                }
            }
        });
        ASSERT_EQ(camera->start(), 0);
        ASSERT_TRUE(eventually([&] { return witness.load() > 0; }));
        if (c.where == Where::OtherThread) {
            actHere(Where::OtherThread, false);
        }
        EXPECT_TRUE(eventually([&] { return actionDone.load(); })) << "the action never returned";

        // What the action must have done, seen while the stream goes on.
        switch (c.action) {
        case Action::AddEventCallback:
        case Action::AddTriggerCallback:
        case Action::ReplaceStatisticsCallback:
            EXPECT_TRUE(eventually([&] { return added.load() > 0; })) << "the added callback is called";
            break;
        case Action::RemoveEventCallback:
        case Action::RemoveTriggerCallback:
        case Action::ClearStatisticsCallback: {
            const uint64_t seen = witness.load();
            EXPECT_TRUE(eventually([&] { return witness.load() > seen + 20; }));
            if (c.action == Action::ClearStatisticsCallback) {
                // One more statistics period: a new callback is called, the cleared one not.
                camera->setStatisticInfoCallback([&](QnStatisticInfo) { ++added; });
                EXPECT_TRUE(eventually([&] { return added.load() > 0; }));
            }
            break;
        }
        case Action::Stop:
            EXPECT_EQ(stopResult.load(), 0);
            break;
        case Action::GetNextBatch:
            break;
        }
        // Removed from inside a callback on another thread, remove does not wait: the one call already
        // past the registry's check may still begin its body after the removal returned. One thread runs
        // each callback, so a second late call is a fault, and the stream went on for 20 more blocks.
        const bool fromStatisticsThread = c.where == Where::StatisticsCallback;
        const bool fromLoopThread = c.where == Where::EventCallback || c.where == Where::TriggerCallback;
        EXPECT_LE(events.late.load(), fromStatisticsThread ? 1 : 0)
            << "the event callback ran after its removal returned";
        EXPECT_LE(triggers.late.load(), fromStatisticsThread ? 1 : 0)
            << "the trigger callback ran after its removal returned";
        EXPECT_LE(statistics.late.load(), fromLoopThread ? 1 : 0)
            << "the statistics callback ran after its removal returned";

        EXPECT_EQ(camera->stop(), 0);
        feeding = false;
        feeder.join();
        // A stopped camera starts again and goes.
        EXPECT_EQ(camera->start(), 0);
        EXPECT_EQ(camera->stop(), 0);
        camera.reset();
    });
}

std::vector<Case> everyCase() {
    std::vector<Case> cases;
    for (Where where : {Where::EventCallback, Where::TriggerCallback, Where::StatisticsCallback, Where::OtherThread}) {
        for (Action action : {Action::AddEventCallback, Action::RemoveEventCallback, Action::AddTriggerCallback,
                              Action::RemoveTriggerCallback, Action::ReplaceStatisticsCallback,
                              Action::ClearStatisticsCallback, Action::Stop, Action::GetNextBatch}) {
            cases.push_back({where, action});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(, CallbackChanges, testing::ValuesIn(everyCase()), [](const auto& info) {
    return std::string(nameOf(info.param.where)) + "_" + nameOf(info.param.action);
});

// The deadlock of two allowed uses at once: the statistics callback adds an event callback while an
// event callback stops the camera (which waits for the statistics thread).
TEST(CallbackTwoUses, AStatisticsCallbackAddingWhileAnEventCallbackStops) {
    static const std::vector<std::vector<uint8_t>> buffers = streamBuffers();
    underWatchdog("statistics adds while an event callback stops", [&] {
        for (int round = 0; round < 3; ++round) {
            auto camera = std::make_shared<ScriptedCamera>();
            ASSERT_EQ(camera->open(), 0);
            std::atomic<bool> statisticsRan{false};
            std::atomic<int> stopped{1};
            camera->setStatisticInfoCallback([&](QnStatisticInfo) {
                statisticsRan = true;
                camera->addEventsStreamHandleCallback([](Event2D*, Event2D*) {});
            });
            camera->addEventsStreamHandleCallback([&](Event2D*, Event2D*) {
                if (statisticsRan && stopped == 1) {
                    stopped = camera->stop();
                }
            });
            ASSERT_EQ(camera->start(), 0);
            std::atomic<bool> feeding{true};
            std::thread feeder([&] {
                uint64_t delivered = 0;
                while (feeding) {
                    camera->transfer().script(buffers);
                    delivered += buffers.size();
                    while (feeding && !camera->transfer().waitDelivered(delivered, 0.05)) {
                    }
                }
            });
            EXPECT_TRUE(eventually([&] { return stopped.load() != 1; }));
            EXPECT_EQ(stopped.load(), 0);
            feeding = false;
            feeder.join();
            // A start waits for the loop that the callback stopped to end, so nothing of this round
            // runs on once the camera goes.
            EXPECT_EQ(camera->start(), 0);
            EXPECT_EQ(camera->stop(), 0);
            camera.reset();
        }
    });
}

} // namespace
