#include "mipisim/SimI2cRegisterDevice.h"

namespace quelnor::test::mipisim {

SimI2cRegisterDevice::SimI2cRegisterDevice(uint8_t addressWidth, Layout layout)
    : m_addressWidth(addressWidth), m_layout(layout) {}

uint32_t SimI2cRegisterDevice::addressMask() const {
    return m_addressWidth >= 4 ? 0xFFFFFFFFu : (uint32_t(1) << (8 * m_addressWidth)) - 1;
}

std::pair<uint32_t, uint32_t> SimI2cRegisterDevice::locate(uint32_t address, uint32_t offset) const {
    if (m_layout == Layout::REGISTERS) {
        return {address & addressMask(), offset};
    }
    return {(address + offset) & addressMask(), 0};
}

void SimI2cRegisterDevice::store(uint32_t address, uint32_t offset, uint8_t byte) {
    m_bytes[locate(address, offset)] = byte;
}

uint8_t SimI2cRegisterDevice::load(uint32_t address, uint32_t offset) const {
    auto it = m_bytes.find(locate(address, offset));
    return it == m_bytes.end() ? 0 : it->second;
}

void SimI2cRegisterDevice::poke(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (size_t i = 0; i < bytes.size(); ++i) {
        store(address, static_cast<uint32_t>(i), bytes[i]);
    }
}

std::vector<uint8_t> SimI2cRegisterDevice::peek(uint32_t address, size_t count) const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<uint8_t> bytes(count, 0);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = load(address, static_cast<uint32_t>(i));
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

void SimI2cRegisterDevice::setDoneBits(uint32_t address, uint32_t mask, uint8_t width) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (uint8_t i = 0; i < width; ++i) {
        const auto bits = static_cast<uint8_t>(mask >> (8 * (width - 1 - i)));
        if (bits != 0) {
            m_doneBits[locate(address, i)] |= bits;
        }
    }
}

uint32_t SimI2cRegisterDevice::pointer() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pointer;
}

// The pointer advances one byte at a time: in BYTES to the next address, in REGISTERS to the next byte
// of the same register.
void SimI2cRegisterDevice::receive(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t i = 0;
    if (size > 0) {
        uint32_t pointer = 0;
        for (; i < size && i < m_addressWidth; ++i) {
            pointer = (pointer << 8) | data[i];
        }
        m_pointer = pointer & addressMask();
        m_offset = 0;
    }
    for (; i < size; ++i) {
        store(m_pointer, m_offset, data[i]);
        advance();
    }
}

void SimI2cRegisterDevice::transmit(uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (size_t i = 0; i < size; ++i) {
        data[i] = load(m_pointer, m_offset);
        auto done = m_doneBits.find(locate(m_pointer, m_offset));
        if (done != m_doneBits.end()) {
            data[i] |= done->second;
        }
        advance();
    }
}

void SimI2cRegisterDevice::advance() {
    if (m_layout == Layout::REGISTERS) {
        ++m_offset;
    } else {
        m_pointer = (m_pointer + 1) & addressMask();
    }
}

} // namespace quelnor::test::mipisim
