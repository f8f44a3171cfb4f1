#include "QuelnorHal/EventStream/DataTransfer.h"

#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

DataTransfer::DataTransfer(uint32_t rawEventSizeBytes, bool dropWhenNoBuffer, uint32_t bufferSize)
    : m_rawEventSizeBytes(rawEventSizeBytes),
      m_dropWhenNoBuffer(dropWhenNoBuffer),
      m_bufferSize(bufferSize),
      m_bufferPool(POOL_BUFFERS, false, static_cast<size_t>(bufferSize)) {}

DataTransfer::~DataTransfer() {
    // Owners stop a transfer before destroying it; this only keeps a forgotten worker from
    // terminating the process. The derived steps are gone by now, so only the loop is ended.
    if (m_worker.joinable()) {
        QN_ERROR("DataTransfer destroyed while its worker runs");
        setState(STATE_STOPPED);
        m_wakeUp.notify_all();
        m_worker.join();
    }
}

void DataTransfer::start() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleLock);
    if (m_worker.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_state.store(STATE_RUNNING);
    }
    try {
        start_impl();
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_state.store(STATE_STOPPED);
        throw;
    }
    m_worker = std::thread([this] { workerLoop(); });
    m_wakeUp.notify_all();
}

void DataTransfer::stop() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleLock);
    if (!m_worker.joinable()) {
        return;
    }
    stop_impl();
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_state.store(STATE_STOPPED);
    }
    m_wakeUp.notify_all();
    m_worker.join();
}

void DataTransfer::workerLoop() {
    while (m_state.load() == STATE_RUNNING) {
        run_impl();
    }
}

void DataTransfer::registerNewBufferCallback(NewBufferCallback callback) {
    std::lock_guard<std::mutex> lock(m_callbackLock);
    m_newBufferCallback = std::move(callback);
}

void DataTransfer::registerGapCallback(GapCallback callback) {
    std::lock_guard<std::mutex> lock(m_callbackLock);
    m_gapCallback = std::move(callback);
}

void DataTransfer::transferGap() {
    GapCallback callback;
    {
        std::lock_guard<std::mutex> lock(m_callbackLock);
        callback = m_gapCallback;
    }
    if (callback) {
        callback();
    }
}

void DataTransfer::trimBufferPool() { m_bufferPool.trim(POOL_BUFFERS); }

size_t DataTransfer::freePooledBuffers() const { return m_bufferPool.size(); }

bool DataTransfer::hasAvailableBuffer() const { return !m_bufferPool.isBounded() || !m_bufferPool.empty(); }

RawBuffer DataTransfer::createBuffer(const uint64_t& size) { return m_bufferPool.acquire(static_cast<size_t>(size)); }

void DataTransfer::stop_impl() {}

bool DataTransfer::transferData(RawBuffer buffer) {
    if (m_dropWhenNoBuffer && !hasAvailableBuffer()) {
        transferGap(); // what follows must not be decoded as a continuation of what came before
        return true;
    }
    if (buffer && !buffer->empty()) {
        NewBufferCallback callback;
        {
            std::lock_guard<std::mutex> lock(m_callbackLock);
            callback = m_newBufferCallback;
        }
        if (callback) {
            callback(std::move(buffer));
        }
    }
    return false;
}

uint32_t DataTransfer::getRawEventSizeBytes() const { return m_rawEventSizeBytes; }

uint32_t DataTransfer::getBufferSize() const { return m_bufferSize; }

int32_t DataTransfer::getState() const { return m_state.load(); }

void DataTransfer::setState(int32_t state) { m_state.store(state); }

bool DataTransfer::isRunning() const { return m_state.load() == STATE_RUNNING; }

} // namespace quelnor
