#include "transfer/ScriptedDataTransfer.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace quelnor::test {

ScriptedDataTransfer::ScriptedDataTransfer(uint32_t bufferSize, bool dropWhenNoBuffer, uint32_t rawEventSizeBytes)
    : DataTransfer(rawEventSizeBytes, dropWhenNoBuffer, bufferSize) {}

ScriptedDataTransfer::~ScriptedDataTransfer() { stop(); }

void ScriptedDataTransfer::script(std::vector<std::vector<uint8_t>> payloads) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& payload : payloads) {
            m_script.push_back(std::move(payload));
        }
    }
    m_changed.notify_all();
}

void ScriptedDataTransfer::setEndless(bool endless, size_t endlessSize) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_endless = endless;
        m_endlessSize = endlessSize < sizeof(uint64_t) ? sizeof(uint64_t) : endlessSize;
    }
    m_changed.notify_all();
}

void ScriptedDataTransfer::failNextStart(std::string message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startFailure = std::move(message);
}

int ScriptedDataTransfer::startImplCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_startImplCalls;
}

int ScriptedDataTransfer::stopImplCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopImplCalls;
}

uint64_t ScriptedDataTransfer::delivered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

uint64_t ScriptedDataTransfer::dropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

bool ScriptedDataTransfer::waitDelivered(uint64_t n, double seconds) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return m_delivered >= n; });
}

bool ScriptedDataTransfer::scriptEmpty() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.empty();
}

void ScriptedDataTransfer::start_impl() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_startImplCalls;
    if (m_startFailure) {
        const std::string message = *m_startFailure;
        m_startFailure.reset();
        throw std::runtime_error(message);
    }
    m_stopping = false;
}

void ScriptedDataTransfer::stop_impl() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_stopImplCalls;
        m_stopping = true;
    }
    m_changed.notify_all();
}

void ScriptedDataTransfer::run_impl() {
    std::vector<uint8_t> payload;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_stopping || m_endless || !m_script.empty(); });
        if (m_stopping) {
            return;
        }
        if (m_endless) {
            payload.resize(m_endlessSize);
            const uint64_t counter = m_counter++;
            std::memcpy(payload.data(), &counter, sizeof(counter));
        } else {
            payload = std::move(m_script.front());
            m_script.pop_front();
        }
    }
    // As a transport does: a pooled buffer, filled, cut to what arrived, handed on.
    RawBuffer buffer = createBuffer(getBufferSize());
    buffer->resize(payload.size());
    if (!payload.empty()) {
        std::memcpy(buffer->data(), payload.data(), payload.size());
    }
    const bool wasDropped = transferData(std::move(buffer));
    count(wasDropped);
}

void ScriptedDataTransfer::flush() {}

void ScriptedDataTransfer::count(bool wasDropped) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_delivered;
        m_dropped += wasDropped ? 1 : 0;
    }
    m_changed.notify_all();
}

} // namespace quelnor::test
