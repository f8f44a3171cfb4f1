#include "QuelnorDriver/camera/EventBatcher.h"

#include <algorithm>

#include "QuelnorHal/EventStream/BinarySearchTimestamp.h"

namespace quelnor {

void EventBatcher::setBatchEventsNum(uint64_t count) {
    batchEventsNum.store(std::max<uint64_t>(count, 1));
    batchMode.store(BATCH_BY_COUNT);
}

void EventBatcher::setBatchEventsTime(uint64_t microseconds) {
    batchEventsTime.store(std::max<uint64_t>(microseconds, 1));
    batchMode.store(BATCH_BY_TIME);
}

EventBatcher::BatchMode EventBatcher::mode() const { return static_cast<BatchMode>(batchMode.load()); }

void EventBatcher::batchEvents(Event2D* first, Event2D* last) {
    const BatchMode current = mode();
    if (first == last) {
        return;
    }
    if (current == BATCH_BY_COUNT) {
        batchByCount(first, last);
    } else if (current == BATCH_BY_TIME) {
        batchByTime(first, last);
    }
}

void EventBatcher::batchByCount(Event2D* first, Event2D* last) {
    const uint64_t size = batchEventsNum.load();
    std::vector<Event2D>& pending = countLane.pending;
    // After the size was lowered, what is already pending goes at once.
    if (pending.size() >= size) {
        countLane.handOver();
    }
    // Room for a whole batch at once, so filling it never moves the events already in it.
    const auto whole = static_cast<size_t>(std::min<uint64_t>(size, MAX_RESERVED_EVENTS));
    if (pending.capacity() < whole) {
        pending.reserve(whole);
    }
    Event2D* cursor = first;
    uint64_t left = static_cast<uint64_t>(last - first);
    while (left > 0) {
        const uint64_t room = size - pending.size();
        if (left > room) {
            pending.insert(pending.end(), cursor, cursor + room);
            countLane.handOver();
            cursor += room;
            left -= room;
        } else {
            pending.insert(pending.end(), cursor, last);
            left = 0;
        }
    }
}

void EventBatcher::batchByTime(Event2D* first, Event2D* last) {
    const uint64_t span = batchEventsTime.load();
    std::vector<Event2D>& pending = timeLane.pending;
    Event2D* cursor = first;
    uint64_t boundary = (pending.empty() ? first->timestamp : pending.front().timestamp) + span;
    while (cursor != last) {
        if ((last - 1)->timestamp <= boundary) {
            pending.insert(pending.end(), cursor, last);
            break;
        }
        Event2D* split = binarySearchTimestamp(boundary, cursor, last);
        pending.insert(pending.end(), cursor, split);
        timeLane.handOver();
        cursor = split;
        boundary += span;
    }
}

bool EventBatcher::getNextBatch(std::vector<Event2D>& out) {
    out.clear();
    switch (mode()) {
    case BATCH_BY_COUNT:
        return countLane.waitForBatch(out);
    case BATCH_BY_TIME:
        return timeLane.waitForBatch(out);
    default:
        return false;
    }
}

void EventBatcher::releaseWaiters() {
    countLane.releaseWaiters(false);
    timeLane.releaseWaiters(false);
}

void EventBatcher::close() {
    countLane.releaseWaiters(true);
    timeLane.releaseWaiters(true);
}

void EventBatcher::open() {
    countLane.open();
    timeLane.open();
}

void EventBatcher::Lane::handOver() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A batch not taken yet is replaced; the swap keeps both vectors' memory in use.
        ready.swap(pending);
        ++state.handOvers;
        state.untaken = true;
    }
    pending.clear();
    condition.notify_all();
}

bool EventBatcher::Lane::waitForBatch(std::vector<Event2D>& out) {
    std::unique_lock<std::mutex> lock(mutex);
    if (state.closed) {
        return false;
    }
    const uint64_t seen = state.handOvers;
    const uint64_t releases = state.releases;
    const auto batchForMe = [&] { return state.untaken && state.handOvers != seen; };
    ++state.waiters;
    condition.wait(lock, [&] { return batchForMe() || state.releases != releases; });
    --state.waiters;
    if (!batchForMe()) {
        return false;
    }
    out.swap(ready);
    ready.clear();
    state.untaken = false;
    return true;
}

void EventBatcher::Lane::releaseWaiters(bool close) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++state.releases;
        state.closed = state.closed || close;
    }
    condition.notify_all();
}

void EventBatcher::Lane::open() {
    std::lock_guard<std::mutex> lock(mutex);
    state.closed = false;
}

} // namespace quelnor
