#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "mipisim/SimDevice.h"
#include "mipisim/SimI2cRegisterDevice.h"

namespace quelnor::test::mipisim {

// An I2C adapter node (/dev/i2c-N) with register devices at 7-bit addresses. It answers I2C_RDWR as the
// kernel's i2c-dev does: at most 42 messages of at most 8192 bytes (EINVAL beyond), the messages of one
// request joined by repeated starts, an address with no device answering ENXIO (no acknowledge). It
// records every request. I2C_FUNCS answers plain I2C; other requests answer ENOTTY.
// Thread safe.
class SimI2cBus : public SimDevice {
public:
    static constexpr uint32_t MAX_MESSAGES = 42;
    static constexpr uint16_t MAX_MESSAGE_BYTES = 8192;

    struct Message {
        uint16_t address;
        uint16_t flags;            // I2C_M_RD for a read
        std::vector<uint8_t> data; // bytes written, or bytes answered to a read
        bool operator==(const Message&) const = default;
    };
    // One I2C_RDWR request that reached the bus.
    using Transfer = std::vector<Message>;

    std::shared_ptr<SimI2cRegisterDevice> addRegisterDevice(
        uint16_t address, uint8_t addressWidth,
        SimI2cRegisterDevice::Layout layout = SimI2cRegisterDevice::Layout::BYTES);
    void removeDevice(uint16_t address);
    // The next `count` requests fail with `error` (a bus fault) without reaching any device.
    void failNextTransfers(int count, int error);
    // Each request returns only after this pause (taken outside the bus's lock), which widens the gaps in
    // which other threads' requests can come between two requests of one caller.
    void setPauseAfterTransfer(std::chrono::microseconds pause);

    std::vector<Transfer> transfers() const;
    void clearTransfers();
    int openFiles() const;

    std::shared_ptr<SimFile> open(int flags) override;

    // Bus side of I2C_RDWR.
    int transfer(void* argument);
    void closed();

private:
    int process(void* argument, std::chrono::microseconds& pause);

    mutable std::mutex m_lock;
    std::map<uint16_t, std::shared_ptr<SimI2cRegisterDevice>> m_devices;
    std::vector<Transfer> m_transfers;
    int m_failCount = 0;
    int m_failError = 0;
    int m_openFiles = 0;
    std::chrono::microseconds m_pause{0};
};

} // namespace quelnor::test::mipisim
