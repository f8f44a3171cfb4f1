#include "QuelnorHal/EventStream/EventStream.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

EventStream::EventStream(std::unique_ptr<DataTransfer> transfer) : m_transfer(std::move(transfer)) {
    if (m_transfer) {
        m_transfer->registerNewBufferCallback([this](RawBuffer buffer) { onNewBufferArrived(std::move(buffer)); });
        m_transfer->registerGapCallback([this] { onGap(); });
    } else {
        QN_ERROR("EventStream created without a data transfer");
    }
}

EventStream::~EventStream() {
    stop();
    m_transfer.reset();
}

void EventStream::start() {
    std::lock_guard<std::mutex> control(m_controlLock);
    std::lock_guard<std::mutex> queue(m_queueLock);
    if (m_running.load() == 1) {
        return; // what is queued is the consumer's: a second start drops none of it
    }
    m_queue.clear();
    m_queuedBytes = 0;
    m_gapPending = false;
    m_droppedBuffers.store(0);
    m_droppedBytes.store(0);
    if (!m_transfer) {
        QN_ERROR("EventStream has no data transfer to start");
        return;
    }
    m_transfer->start();
    m_running.store(1);
}

void EventStream::stop() {
    std::lock_guard<std::mutex> control(m_controlLock);
    if (m_transfer) {
        m_transfer->stop();
    }
    {
        // What the worker delivered up to its end stays queued for the consumer; start empties it.
        std::lock_guard<std::mutex> queue(m_queueLock);
        m_running.store(0);
    }
    m_bufferSignal.notify_all();
}

void EventStream::onNewBufferArrived(RawBuffer buffer) {
    bool warn = false;
    {
        std::lock_guard<std::mutex> queue(m_queueLock);
        if (m_running.load() != 1 || !buffer || buffer->empty()) {
            return;
        }
        const uint64_t size = buffer->size();
        bool dropped = false;
        // The oldest go first, whole buffers only: the decoder resynchronises at the gap mark.
        while (!m_queue.empty() && m_queuedBytes + size > m_limitBytes) {
            const uint64_t oldest = m_queue.front().buffer->size();
            m_queuedBytes -= oldest;
            m_queue.pop_front();
            warn = countDropLocked(oldest) || warn;
            dropped = true;
        }
        if (dropped && !m_queue.empty()) {
            m_queue.front().gapBefore = true;
        }
        m_queue.push_back(Entry{std::move(buffer), m_gapPending || (dropped && m_queue.empty())});
        m_queuedBytes += size;
        m_peakBuffers = std::max(m_peakBuffers, m_queue.size());
        m_gapPending = false;
    }
    m_bufferSignal.notify_one();
    if (warn) {
        warnDrops();
    }
}

bool EventStream::countDropLocked(uint64_t bytes) {
    m_droppedBuffers.fetch_add(1);
    m_droppedBytes.fetch_add(bytes);
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastDropWarning < std::chrono::milliseconds(DROP_WARN_PERIOD_MS) &&
        m_lastDropWarning != std::chrono::steady_clock::time_point{}) {
        return false;
    }
    m_lastDropWarning = now;
    return true;
}

void EventStream::warnDrops() {
    QN_WARN("Event stream dropped %llu buffers (%llu bytes) since its start: the consumer falls behind",
            static_cast<unsigned long long>(m_droppedBuffers.load()),
            static_cast<unsigned long long>(m_droppedBytes.load()));
}

void EventStream::dropQueued() {
    bool warn = false;
    std::deque<Entry> dropped;
    {
        std::lock_guard<std::mutex> queue(m_queueLock);
        for (const Entry& entry : m_queue) {
            warn = countDropLocked(entry.buffer->size()) || warn;
        }
        dropped.swap(m_queue);
        m_queuedBytes = 0;
        m_gapPending = m_gapPending || !dropped.empty();
    }
    dropped.clear();
    if (m_transfer) {
        m_transfer->trimBufferPool();
    }
    if (warn) {
        warnDrops();
    }
}

void EventStream::setQueueLimitBytes(uint64_t bytes) {
    std::lock_guard<std::mutex> queue(m_queueLock);
    m_limitBytes = bytes;
}

uint64_t EventStream::getQueueLimitBytes() const {
    std::lock_guard<std::mutex> queue(m_queueLock);
    return m_limitBytes;
}

uint64_t EventStream::getQueuedBytes() const {
    std::lock_guard<std::mutex> queue(m_queueLock);
    return m_queuedBytes;
}

uint64_t EventStream::getDroppedBuffers() const { return m_droppedBuffers.load(); }

uint64_t EventStream::getDroppedBytes() const { return m_droppedBytes.load(); }

void EventStream::onGap() {
    std::lock_guard<std::mutex> queue(m_queueLock);
    if (m_running.load() == 1) {
        m_gapPending = true;
    }
}

int16_t EventStream::waitNextBuffer() {
    std::unique_lock<std::mutex> queue(m_queueLock);
    m_bufferSignal.wait_for(queue, std::chrono::milliseconds(WAIT_TIMEOUT_MS),
                            [this] { return !m_queue.empty() || m_running.load() == 0; });
    return m_queue.empty() ? -1 : 1;
}

std::optional<RawBuffer> EventStream::getLatestBuffer() {
    bool gapBefore = false;
    return getLatestBuffer(gapBefore);
}

std::optional<RawBuffer> EventStream::getLatestBuffer(bool& gapBefore) {
    bool trim = false;
    Entry front;
    {
        std::lock_guard<std::mutex> queue(m_queueLock);
        gapBefore = false;
        if (m_queue.empty()) {
            return std::nullopt;
        }
        front = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= front.buffer->size();
        if (m_queue.empty() && m_peakBuffers > TRIM_AFTER_BUFFERS) {
            m_peakBuffers = 0;
            trim = true;
        }
    }
    gapBefore = front.gapBefore;
    if (trim && m_transfer) {
        // The backlog is gone: the buffers it made the pool grow by go back to the system.
        m_transfer->trimBufferPool();
    }
    return std::move(front.buffer);
}

} // namespace quelnor
