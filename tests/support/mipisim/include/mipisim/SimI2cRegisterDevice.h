#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace quelnor::test::mipisim {

// A register device on a simulated I2C bus, as sensors and EEPROMs behave: the first addressWidth bytes
// of a write message set its register pointer (most significant byte first), further bytes are stored
// from the pointer on, and a read message answers bytes from the pointer on; the pointer moves one address
// per byte and stays where it is between messages. Byte-addressed; bytes never written read as 0.
// Thread safe.
class SimI2cRegisterDevice {
public:
    explicit SimI2cRegisterDevice(uint8_t addressWidth);

    uint8_t addressWidth() const { return m_addressWidth; }

    // Test side.
    void poke(uint32_t address, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> peek(uint32_t address, size_t count) const;
    // A value of `width` bytes at address, most significant byte first.
    void pokeValue(uint32_t address, uint32_t value, uint8_t width);
    uint32_t peekValue(uint32_t address, uint8_t width) const;
    uint32_t pointer() const;

    // Bus side: one message addressed to this device.
    void receive(const uint8_t* data, size_t size);
    void transmit(uint8_t* data, size_t size);

private:
    uint32_t addressMask() const;

    const uint8_t m_addressWidth;
    mutable std::mutex m_lock;
    std::map<uint32_t, uint8_t> m_bytes;
    uint32_t m_pointer = 0;
};

} // namespace quelnor::test::mipisim
