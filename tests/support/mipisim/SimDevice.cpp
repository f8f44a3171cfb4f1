#include "mipisim/SimDevice.h"

#include <atomic>
#include <utility>

namespace quelnor::test::mipisim {

SimDevice::~SimDevice() = default;

void SimDevice::attach(std::shared_ptr<SimSignal> signal) {
    std::atomic_store(&m_signal, std::move(signal));
}

void SimDevice::notify() { signal()->notify(); }

std::shared_ptr<SimSignal> SimDevice::signal() const { return std::atomic_load(&m_signal); }

} // namespace quelnor::test::mipisim
