#include "mipisim/SimI2cRegisterDevice.h"

namespace quelnor::test::mipisim {

SimI2cRegisterDevice::SimI2cRegisterDevice(uint8_t addressWidth) : m_addressWidth(addressWidth) {}

uint32_t SimI2cRegisterDevice::addressMask() const {
    return m_addressWidth >= 4 ? 0xFFFFFFFFu : (uint32_t(1) << (8 * m_addressWidth)) - 1;
}

void SimI2cRegisterDevice::poke(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (size_t i = 0; i < bytes.size(); ++i) {
        m_bytes[(address + static_cast<uint32_t>(i)) & addressMask()] = bytes[i];
    }
}

std::vector<uint8_t> SimI2cRegisterDevice::peek(uint32_t address, size_t count) const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<uint8_t> bytes(count, 0);
    for (size_t i = 0; i < count; ++i) {
        auto it = m_bytes.find((address + static_cast<uint32_t>(i)) & addressMask());
        if (it != m_bytes.end()) {
            bytes[i] = it->second;
        }
    }
    return bytes;
}

void SimI2cRegisterDevice::pokeValue(uint32_t address, uint32_t value, uint8_t width) {
    std::vector<uint8_t> bytes(width);
    for (uint8_t i = 0; i < width; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
    poke(address, bytes);
}

uint32_t SimI2cRegisterDevice::peekValue(uint32_t address, uint8_t width) const {
    uint32_t value = 0;
    for (uint8_t byte : peek(address, width)) {
        value = (value << 8) | byte;
    }
    return value;
}

uint32_t SimI2cRegisterDevice::pointer() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pointer;
}

void SimI2cRegisterDevice::receive(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t i = 0;
    if (size > 0) {
        uint32_t pointer = 0;
        for (; i < size && i < m_addressWidth; ++i) {
            pointer = (pointer << 8) | data[i];
        }
        m_pointer = pointer & addressMask();
    }
    for (; i < size; ++i) {
        m_bytes[m_pointer] = data[i];
        m_pointer = (m_pointer + 1) & addressMask();
    }
}

void SimI2cRegisterDevice::transmit(uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (size_t i = 0; i < size; ++i) {
        auto it = m_bytes.find(m_pointer);
        data[i] = it == m_bytes.end() ? 0 : it->second;
        m_pointer = (m_pointer + 1) & addressMask();
    }
}

} // namespace quelnor::test::mipisim
