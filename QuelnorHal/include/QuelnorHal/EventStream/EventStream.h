#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/RawBuffer.h"

namespace quelnor {

// Owns a data transfer and queues the buffers its worker delivers, oldest first, without limit.
// start and stop come from the camera's thread; waitNextBuffer and getLatestBuffer from the consumer
// thread; buffers arrive on the transfer's worker. Lock order: control lock, then queue lock.
class EventStream {
public:
    static constexpr int WAIT_TIMEOUT_MS = 100;

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

private:
    struct Entry {
        RawBuffer buffer;
        bool gapBefore = false;
    };

    void onNewBufferArrived(RawBuffer buffer);
    void onGap();

    std::unique_ptr<DataTransfer> m_transfer;
    std::deque<Entry> m_queue;
    bool m_gapPending = false; // a gap reported after the last queued buffer, marks the next one
    std::mutex m_controlLock;
    std::atomic<int32_t> m_running{0};
    std::mutex m_queueLock;
    std::condition_variable m_bufferSignal;
};

} // namespace quelnor
