#pragma once

// Collects the raw buffers a data transfer delivers (on its worker thread) for a test to wait on.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "QuelnorHal/EventStream/DataTransfer.h"

namespace quelnor::test {

class FrameSink {
public:
    // Generous: sanitizer builds on a loaded machine are slow; a passing test never waits this long.
    static constexpr std::chrono::seconds TIMEOUT{20};

    void attach(DataTransfer& transfer) {
        transfer.registerNewBufferCallback([this](RawBuffer buffer) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_frames.push_back(*buffer);
                m_capacities.push_back(buffer->capacity());
            }
            m_arrived.notify_all();
        });
    }

    // True when at least count frames arrived in time.
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_arrived.wait_for(lock, TIMEOUT, [&] { return m_frames.size() >= count; });
    }

    std::vector<std::vector<uint8_t>> frames() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_frames;
    }

    std::vector<size_t> capacities() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_capacities;
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<std::vector<uint8_t>> m_frames;
    std::vector<size_t> m_capacities;
};

// A frame of `size` bytes whose content tells it apart from the others.
inline std::vector<uint8_t> numberedFrame(uint8_t number, size_t size) {
    std::vector<uint8_t> frame(size);
    for (size_t i = 0; i < size; ++i) {
        frame[i] = static_cast<uint8_t>(number * 31 + i);
    }
    return frame;
}

} // namespace quelnor::test
