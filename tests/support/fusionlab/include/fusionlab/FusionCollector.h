#pragma once

// Collects what a fusion camera hands to its callbacks, safe to fill on the camera's threads and read on
// the test's. Include "fusionlab/FusionCollector.h".

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelnorBase/ApsFrame.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorDriver/camera/FusionCamera.h"
#include "cameralab/CameraCollectors.h"

namespace quelnor::test {

// One frame as a frame callback saw it. Pixels are kept whole for small frames only.
struct FrameSeen {
    static constexpr size_t KEEP_PIXELS_UP_TO = 1 << 20;

    uint64_t startTimestamp = 0;
    uint64_t endTimestamp = 0;
    int width = 0;
    int height = 0;
    uint64_t bytes = 0;
    std::array<uint8_t, 3> firstPixel{};
    std::array<uint8_t, 3> centerPixel{};
    std::array<uint8_t, 3> lastPixel{};
    std::vector<uint8_t> pixels;
};

class FusionCollector {
public:
    FusionCamera::EventsCallback eventsCallback() {
        return [this](Event2D* first, Event2D* last) {
            signal.update([&] { eventList.insert(eventList.end(), first, last); });
        };
    }
    FusionCamera::SharedEventsCallback sharedCallback() {
        return [this](std::shared_ptr<std::vector<Event2D>> block) {
            signal.update([&] {
                sharedList.insert(sharedList.end(), block->begin(), block->end());
                ++sharedBlocks;
            });
        };
    }
    FusionCamera::SyncSignalCallback syncCallback() {
        return [this](EventTriggerIn trigger) { signal.update([&] { syncList.push_back(trigger); }); };
    }
    FusionCamera::ApsFrameCallback frameCallback() {
        return [this](ApsFrame frame) {
            FrameSeen seen;
            seen.startTimestamp = frame.startTimestamp;
            seen.endTimestamp = frame.endTimestamp;
            seen.width = frame.width();
            seen.height = frame.height();
            seen.bytes = frame.getDataSize();
            const uint8_t* data = frame.data();
            const size_t pixels = static_cast<size_t>(frame.width()) * static_cast<size_t>(frame.height());
            if (data != nullptr && pixels > 0) {
                const size_t center = (static_cast<size_t>(frame.height() / 2) * frame.width() + frame.width() / 2) * 3;
                for (size_t i = 0; i < 3; ++i) {
                    seen.firstPixel[i] = data[i];
                    seen.centerPixel[i] = data[center + i];
                    seen.lastPixel[i] = data[(pixels - 1) * 3 + i];
                }
                if (seen.bytes <= FrameSeen::KEEP_PIXELS_UP_TO) {
                    seen.pixels.assign(data, data + seen.bytes);
                }
            }
            signal.update([&] { frameList.push_back(std::move(seen)); });
        };
    }

    bool waitForEvents(size_t count) {
        return signal.waitFor([&] { return eventList.size() >= count; });
    }
    bool waitForShared(size_t count) {
        return signal.waitFor([&] { return sharedList.size() >= count; });
    }
    bool waitForSyncs(size_t count) {
        return signal.waitFor([&] { return syncList.size() >= count; });
    }
    bool waitForFrames(size_t count) {
        return signal.waitFor([&] { return frameList.size() >= count; });
    }

    std::vector<Event2D> events() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return eventList;
    }
    std::vector<Event2D> sharedEvents() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return sharedList;
    }
    size_t sharedBlockCount() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return sharedBlocks;
    }
    std::vector<EventTriggerIn> syncs() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return syncList;
    }
    std::vector<FrameSeen> frames() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return frameList;
    }
    size_t frameCount() {
        std::lock_guard<std::mutex> guard(signal.lock);
        return frameList.size();
    }

private:
    Signal signal;
    std::vector<Event2D> eventList;
    std::vector<Event2D> sharedList;
    size_t sharedBlocks = 0;
    std::vector<EventTriggerIn> syncList;
    std::vector<FrameSeen> frameList;
};

} // namespace quelnor::test
