#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace quelnor::test::mipisim {

// A register device on a simulated I2C bus: the first addressWidth bytes of a write message set its
// register pointer (most significant byte first), further bytes are stored from the pointer on, and a
// read message answers bytes from the pointer on; the pointer stays where it is between messages. Bytes
// never written read as 0. Thread safe.
//
// Two layouts:
// - BYTES, as sensors and EEPROMs behave: one byte per address, the pointer moves one address per byte.
// - REGISTERS, as a board controller behaves: each address names a register holding its own run of
//   bytes (a 32-bit setting, a 64-byte identity block), so registers one address apart never overlap;
//   the pointer moves through the addressed register's bytes and never into the next register.
class SimI2cRegisterDevice {
public:
    enum class Layout { BYTES, REGISTERS };

    explicit SimI2cRegisterDevice(uint8_t addressWidth, Layout layout = Layout::BYTES);

    uint8_t addressWidth() const { return m_addressWidth; }

    // Test side.
    void poke(uint32_t address, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> peek(uint32_t address, size_t count) const;
    // A value of `width` bytes at address, most significant byte first.
    void pokeValue(uint32_t address, uint32_t value, uint8_t width);
    uint32_t peekValue(uint32_t address, uint8_t width) const;
    uint32_t pointer() const;
    // Bits a sensor sets by itself once an operation is done (a status flag): the `width`-byte register
    // at address answers reads over the bus with `mask` set, whatever was written there.
    void setDoneBits(uint32_t address, uint32_t mask, uint8_t width);

    // Bus side: one message addressed to this device.
    void receive(const uint8_t* data, size_t size);
    void transmit(uint8_t* data, size_t size);

private:
    uint32_t addressMask() const;
    // The byte `offset` bytes past `address` in the device's layout: (address + offset, 0) for BYTES,
    // (address, offset) for REGISTERS.
    std::pair<uint32_t, uint32_t> locate(uint32_t address, uint32_t offset) const;
    void store(uint32_t address, uint32_t offset, uint8_t byte);
    uint8_t load(uint32_t address, uint32_t offset) const;
    void advance();

    const uint8_t m_addressWidth;
    const Layout m_layout;
    mutable std::mutex m_lock;
    std::map<std::pair<uint32_t, uint32_t>, uint8_t> m_bytes;
    std::map<std::pair<uint32_t, uint32_t>, uint8_t> m_doneBits;
    uint32_t m_pointer = 0;
    uint32_t m_offset = 0; // within the addressed register (REGISTERS only)
};

} // namespace quelnor::test::mipisim
