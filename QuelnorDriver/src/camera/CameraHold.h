#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "QuelnorBase/QnStatisticInfo.h"
#include "QuelnorHal/EventStream/Decoder.h"

namespace quelnor::detail {

// How the stream threads of the event and fusion cameras run camera code that may call the user:
// they hold the camera (when a shared pointer owns it: owned) only meanwhile, and never touch it again
// once that hold was the last pointer.
//
// Runs work under the hold, on the calling thread. False when the thread must end at once: the camera
// was already being destroyed on another thread, which waits for this one (work did not run), or the
// hold was the last pointer and the camera went with it.
template <class Camera, class Work>
bool runHeld(const std::weak_ptr<Camera>& owner, bool owned, Work&& work) {
    std::shared_ptr<Camera> hold = owner.lock();
    if (owned && !hold) {
        return false;
    }
    std::forward<Work>(work)();
    hold.reset();
    return !(owned && owner.expired());
}

// The decoder's counts for one statistics report: events, then bytes.
inline QnStatisticInfo decoderStatistics(Decoder& decoder) {
    const uint64_t eventCount = decoder.getDecodeEventCount();
    const uint64_t dataBandwidth = decoder.getDecodeDataBandwidth();
    return QnStatisticInfo(dataBandwidth, eventCount);
}

} // namespace quelnor::detail
