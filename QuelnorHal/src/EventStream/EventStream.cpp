#include "QuelnorHal/EventStream/EventStream.h"

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
    m_gapPending = false;
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
    {
        std::lock_guard<std::mutex> queue(m_queueLock);
        if (m_running.load() != 1 || !buffer || buffer->empty()) {
            return;
        }
        m_queue.push_back(Entry{std::move(buffer), m_gapPending});
        m_gapPending = false;
    }
    m_bufferSignal.notify_one();
}

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
    std::lock_guard<std::mutex> queue(m_queueLock);
    gapBefore = false;
    if (m_queue.empty()) {
        return std::nullopt;
    }
    Entry front = std::move(m_queue.front());
    m_queue.pop_front();
    gapBefore = front.gapBefore;
    return std::move(front.buffer);
}

} // namespace quelnor
