#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quelnor::test::mipisim {

// Wakes threads waiting in a simulated poll or a blocking request when a simulated device changes.
// Waiters remember generation() before they look at the devices, so no change is missed.
class SimSignal {
public:
    uint64_t generation() const;
    void notify();
    // Waits until the generation differs from seen or the deadline passes; true when it changed.
    bool waitChange(uint64_t seen, std::chrono::steady_clock::time_point deadline);
    void waitChange(uint64_t seen);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    uint64_t m_generation = 0;
};

} // namespace quelnor::test::mipisim
