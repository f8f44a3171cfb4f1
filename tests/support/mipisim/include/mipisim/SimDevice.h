#pragma once

#include <memory>

#include "mipisim/SimFile.h"
#include "mipisim/SimSignal.h"

namespace quelnor::test::mipisim {

// A simulated character device node. SimDeviceIo attaches its signal when the node is added, so the
// device can wake threads waiting for it.
class SimDevice : public std::enable_shared_from_this<SimDevice> {
public:
    virtual ~SimDevice();

    // A new open file, or nullptr with errno set.
    virtual std::shared_ptr<SimFile> open(int flags) = 0;

    void attach(std::shared_ptr<SimSignal> signal);

protected:
    // Wakes pollers; call after a change, without holding the device's lock.
    void notify();
    std::shared_ptr<SimSignal> signal() const;

private:
    std::shared_ptr<SimSignal> m_signal = std::make_shared<SimSignal>();
};

} // namespace quelnor::test::mipisim
