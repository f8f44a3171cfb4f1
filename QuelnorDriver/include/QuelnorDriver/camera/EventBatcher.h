#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "QuelnorBase/Event2D.h"

namespace quelnor {

class EventBatcherTestPeer;

// Gathers decoded events into batches by count or by time span and hands each finished batch to
// one getNextBatch caller. The mode is the one set last; until one is set nothing is batched.
//
// Threads: batchEvents is called by the one thread that decodes the event stream; getNextBatch,
// the setters and releaseWaiters may be called by any thread. Only the decoding thread touches the
// pending batches; a ready batch is touched only under its mode's mutex.
class EventBatcher {
public:
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_NUM = 131072;
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_TIME_US = 10000;
    // A count batch up to this size gets its room at once; a larger one grows as it fills.
    static constexpr uint64_t MAX_RESERVED_EVENTS = 4194304;

    enum BatchMode : int32_t {
        BATCH_NONE = 0,
        BATCH_BY_COUNT = 1,
        BATCH_BY_TIME = 2,
    };

    EventBatcher() = default;
    EventBatcher(const EventBatcher&) = delete;
    EventBatcher& operator=(const EventBatcher&) = delete;
    EventBatcher(EventBatcher&&) = delete;
    EventBatcher& operator=(EventBatcher&&) = delete;

    // Batches by count from now on; 0 is taken as 1.
    void setBatchEventsNum(uint64_t count);
    // Batches by time span (microseconds) from now on; 0 is taken as 1.
    void setBatchEventsTime(uint64_t microseconds);

    // Adds one decoded block to the pending batch of the current mode, handing over each batch it fills.
    void batchEvents(Event2D* first, Event2D* last);

    // Waits for the next batch of the current mode handed over after the call began. False without a
    // mode, while closed, or when releaseWaiters or close ended the wait first.
    bool getNextBatch(std::vector<Event2D>& out);
    // Ends every getNextBatch wait that began before (a stop).
    void releaseWaiters();
    // Ends every getNextBatch wait, and every later call returns false at once until open: a waiter
    // that races the close either sees it or is released by it. A batcher starts open.
    void close();
    void open();

private:
    friend class EventBatcherTestPeer;

    // The hand-over state of one batch mode, guarded by that mode's mutex. A waiter takes a batch only
    // when it was handed over after its call began, and each batch goes to one waiter.
    struct HandOverState {
        uint64_t handOvers = 0; // batches handed over so far
        bool untaken = false;   // the ready batch has not been taken yet
        uint64_t releases = 0;  // stops that released the waiters
        size_t waiters = 0;     // threads waiting in getNextBatch
        bool closed = false;    // getNextBatch returns false at once
    };

    // The batches of one mode.
    struct Lane {
        std::vector<Event2D> ready;
        std::vector<Event2D> pending;
        std::mutex mutex;
        std::condition_variable condition;
        HandOverState state;

        // Moves the pending batch into the ready one and wakes the waiters.
        void handOver();
        bool waitForBatch(std::vector<Event2D>& out);
        void releaseWaiters(bool close);
        void open();
    };

    BatchMode mode() const;
    void batchByCount(Event2D* first, Event2D* last);
    void batchByTime(Event2D* first, Event2D* last);

    // Read once per decoded block: an atomic, not a lock.
    std::atomic<int32_t> batchMode{BATCH_NONE};
    std::atomic<uint64_t> batchEventsNum{DEFAULT_BATCH_EVENTS_NUM};
    std::atomic<uint64_t> batchEventsTime{DEFAULT_BATCH_EVENTS_TIME_US};
    Lane countLane;
    Lane timeLane;
};

} // namespace quelnor
