#pragma once

// Collectors for what a camera hands to its callbacks and batches, safe to fill on the camera's
// threads and read on the test's. Include "cameralab/CameraCollectors.h".

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/QnStatisticInfo.h"
#include "QuelnorDriver/camera/DvsCamera.h"

namespace quelnor::test {

// Generous: the sanitizer builds on a loaded machine are slow.
constexpr auto CAMERA_PATIENCE = std::chrono::seconds(60);

// Waits on a condition of shared state that a camera thread changes.
class Signal {
public:
    // Notifies under the lock, so a waiter that returns may destroy the signal at once.
    template <typename Change>
    void update(Change&& change) {
        std::lock_guard<std::mutex> guard(lock);
        change();
        changed.notify_all();
    }
    // True when the condition (evaluated under the lock) held before the time-out.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = CAMERA_PATIENCE) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, timeout, condition);
    }
    std::mutex lock;

private:
    std::condition_variable changed;
};

// Every event and trigger a camera's callbacks delivered, in order.
class EventCollector {
public:
    DvsCamera::EventsCallback eventsCallback() {
        return [this](Event2D* first, Event2D* last) {
            signal.update([&] {
                events.insert(events.end(), first, last);
                ++blocks;
            });
        };
    }
    DvsCamera::TriggerInCallback triggerCallback() {
        return [this](EventTriggerIn trigger) { signal.update([&] { triggers.push_back(trigger); }); };
    }
    bool waitForEvents(size_t count) {
        return signal.waitFor([&] { return events.size() >= count; });
    }
    std::vector<Event2D> takeEvents() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return events;
    }
    std::vector<EventTriggerIn> takeTriggers() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return triggers;
    }
    size_t eventCount() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return events.size();
    }

private:
    Signal signal;
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    uint64_t blocks = 0;
};

// The statistics reports of a camera and their sums.
class StatisticCollector {
public:
    DvsCamera::StatisticInfoCallback callback() {
        return [this](QnStatisticInfo info) {
            signal.update([&] {
                reports.push_back(info);
                bytes += info.dataBandwidth;
                events += info.eventCount;
            });
        };
    }
    // Waits until the reports add up to at least these figures.
    bool waitForTotals(uint64_t totalBytes, uint64_t totalEvents) {
        return signal.waitFor([&] { return bytes >= totalBytes && events >= totalEvents; });
    }
    bool waitForReports(size_t count) {
        return signal.waitFor([&] { return reports.size() >= count; });
    }
    std::vector<QnStatisticInfo> takeReports() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return reports;
    }
    uint64_t totalBytes() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return bytes;
    }
    uint64_t totalEvents() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return events;
    }

private:
    Signal signal;
    std::vector<QnStatisticInfo> reports;
    uint64_t bytes = 0;
    uint64_t events = 0;
};

// Polls a condition without a signal to wait on (for state the library changes on its own threads).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = CAMERA_PATIENCE) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace quelnor::test
