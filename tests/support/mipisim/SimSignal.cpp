#include "mipisim/SimSignal.h"

namespace quelnor::test::mipisim {

uint64_t SimSignal::generation() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_generation;
}

void SimSignal::notify() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_generation;
    }
    m_changed.notify_all();
}

bool SimSignal::waitChange(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_until(lock, deadline, [&] { return m_generation != seen; });
}

void SimSignal::waitChange(uint64_t seen) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [&] { return m_generation != seen; });
}

} // namespace quelnor::test::mipisim
