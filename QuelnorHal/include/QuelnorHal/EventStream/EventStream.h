#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/RawBuffer.h"

namespace quelnor {

// Owns a data transfer and queues the buffers its worker delivers, oldest first.
// start and stop come from the camera's thread; waitNextBuffer and getLatestBuffer from the consumer
// thread; buffers arrive on the transfer's worker. Lock order: control lock, then queue lock.
//
// What waits in the queue is bounded in bytes: a buffer that would take it past the limit first
// drops the oldest whole buffers, and the buffer after the last one dropped carries the gap mark, so
// the consumer tells its decoder. Drops are counted (since the last start) and warned about at most
// once a second. Once a backlog is gone the transfer's pool gives its extra buffers back.
class EventStream {
public:
    static constexpr int WAIT_TIMEOUT_MS = 100;
    static constexpr uint64_t DEFAULT_QUEUE_LIMIT_BYTES = 64ull * 1024 * 1024;
    static constexpr int DROP_WARN_PERIOD_MS = 1000;
    // A backlog of more buffers than this trims the transfer's pool once the queue is empty again.
    static constexpr size_t TRIM_AFTER_BUFFERS = 2 * DataTransfer::POOL_BUFFERS;

    explicit EventStream(std::unique_ptr<DataTransfer> transfer);
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;
    ~EventStream();

    // Empties the queue (what a stopped stream still held) and starts the transfer; an exception from
    // the transfer leaves the stream stopped. Does nothing while the stream runs.
    void start();
    // Stops the transfer (joins its worker). The buffers it delivered, its last one included, stay
    // queued: the consumer takes them with getLatestBuffer until none is left.
    void stop();
    // The oldest queued buffer, removed from the queue, or empty.
    std::optional<RawBuffer> getLatestBuffer();
    // The same; gapBefore tells whether data was lost right before this buffer (the transfer reported
    // a gap), so the consumer can tell its decoder (Decoder::notifyGap) before decoding it. The plain
    // overload drops that mark.
    std::optional<RawBuffer> getLatestBuffer(bool& gapBefore);
    // Waits up to 100 ms for a buffer: 1 when one is queued, -1 otherwise (at once when stopped).
    int16_t waitNextBuffer();

    // The byte limit of the queue (at least one buffer is always kept). Any thread; queue lock.
    void setQueueLimitBytes(uint64_t bytes);
    uint64_t getQueueLimitBytes() const;
    // Bytes waiting in the queue now. Any thread; queue lock.
    uint64_t getQueuedBytes() const;
    // Buffers, and their bytes, dropped since the last start: at the limit, and by dropQueued. Any
    // thread; one atomic read each.
    uint64_t getDroppedBuffers() const;
    uint64_t getDroppedBytes() const;
    // Drops (and counts) everything queued, for a consumer that stops taking buffers. Any thread.
    void dropQueued();

private:
    struct Entry {
        RawBuffer buffer;
        bool gapBefore = false;
    };

    void onNewBufferArrived(RawBuffer buffer);
    void onGap();
    // Counts a drop and says whether a warning is due; the caller holds the queue lock.
    bool countDropLocked(uint64_t bytes);
    void warnDrops();

    std::unique_ptr<DataTransfer> m_transfer;
    std::deque<Entry> m_queue;
    bool m_gapPending = false; // a gap reported after the last queued buffer, marks the next one
    std::mutex m_controlLock;
    std::atomic<int32_t> m_running{0};
    mutable std::mutex m_queueLock;
    std::condition_variable m_bufferSignal;
    // Guarded by the queue lock.
    uint64_t m_queuedBytes = 0;
    uint64_t m_limitBytes = DEFAULT_QUEUE_LIMIT_BYTES;
    size_t m_peakBuffers = 0; // most buffers queued since the pool was last trimmed
    std::chrono::steady_clock::time_point m_lastDropWarning{};
    std::atomic<uint64_t> m_droppedBuffers{0};
    std::atomic<uint64_t> m_droppedBytes{0};
};

} // namespace quelnor
