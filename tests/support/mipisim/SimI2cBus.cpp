#include "mipisim/SimI2cBus.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cerrno>
#include <thread>

namespace quelnor::test::mipisim {

namespace {

class I2cFile : public SimFile {
public:
    explicit I2cFile(std::shared_ptr<SimI2cBus> bus) : m_bus(std::move(bus)) {}

    int ioctl(unsigned long request, void* argument) override {
        switch (request) {
        case I2C_RDWR:
            return m_bus->transfer(argument);
        case I2C_FUNCS:
            if (argument == nullptr) {
                return fail(EFAULT);
            }
            *static_cast<unsigned long*>(argument) = I2C_FUNC_I2C;
            return 0;
        default:
            return fail(ENOTTY);
        }
    }

    void release() override { m_bus->closed(); }

private:
    std::shared_ptr<SimI2cBus> m_bus;
};

} // namespace

std::shared_ptr<SimI2cRegisterDevice> SimI2cBus::addRegisterDevice(uint16_t address, uint8_t addressWidth,
                                                                   SimI2cRegisterDevice::Layout layout) {
    auto device = std::make_shared<SimI2cRegisterDevice>(addressWidth, layout);
    std::lock_guard<std::mutex> lock(m_lock);
    m_devices[address] = device;
    return device;
}

void SimI2cBus::removeDevice(uint16_t address) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_devices.erase(address);
}

void SimI2cBus::setPauseAfterTransfer(std::chrono::microseconds pause) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pause = pause;
}

void SimI2cBus::failNextTransfers(int count, int error) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failCount = count;
    m_failError = error;
}

std::vector<SimI2cBus::Transfer> SimI2cBus::transfers() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_transfers;
}

void SimI2cBus::clearTransfers() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_transfers.clear();
}

int SimI2cBus::openFiles() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_openFiles;
}

std::shared_ptr<SimFile> SimI2cBus::open(int) {
    auto self = std::static_pointer_cast<SimI2cBus>(shared_from_this());
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_openFiles;
    return std::make_shared<I2cFile>(std::move(self));
}

void SimI2cBus::closed() {
    std::lock_guard<std::mutex> lock(m_lock);
    --m_openFiles;
}

int SimI2cBus::transfer(void* argument) {
    std::chrono::microseconds pause;
    const int result = process(argument, pause);
    const int error = errno;
    if (pause.count() > 0) {
        std::this_thread::sleep_for(pause);
    }
    errno = error;
    return result;
}

int SimI2cBus::process(void* argument, std::chrono::microseconds& pause) {
    pause = std::chrono::microseconds{0};
    auto* request = static_cast<i2c_rdwr_ioctl_data*>(argument);
    if (request == nullptr || request->msgs == nullptr) {
        return SimFile::fail(EFAULT);
    }
    if (request->nmsgs > MAX_MESSAGES) {
        return SimFile::fail(EINVAL);
    }
    for (uint32_t i = 0; i < request->nmsgs; ++i) {
        if (request->msgs[i].len > MAX_MESSAGE_BYTES) {
            return SimFile::fail(EINVAL);
        }
        if (request->msgs[i].buf == nullptr && request->msgs[i].len > 0) {
            return SimFile::fail(EFAULT);
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    pause = m_pause;
    if (m_failCount > 0) {
        --m_failCount;
        return SimFile::fail(m_failError);
    }
    Transfer recorded;
    for (uint32_t i = 0; i < request->nmsgs; ++i) {
        i2c_msg& message = request->msgs[i];
        auto device = m_devices.find(message.addr);
        if (device == m_devices.end()) {
            // Nobody acknowledged the address: the adapter ends the transfer here.
            m_transfers.push_back(std::move(recorded));
            return SimFile::fail(ENXIO);
        }
        if (message.flags & I2C_M_RD) {
            device->second->transmit(message.buf, message.len);
        } else {
            device->second->receive(message.buf, message.len);
        }
        recorded.push_back({message.addr, message.flags, std::vector<uint8_t>(message.buf, message.buf + message.len)});
    }
    m_transfers.push_back(std::move(recorded));
    return static_cast<int>(request->nmsgs);
}

} // namespace quelnor::test::mipisim
