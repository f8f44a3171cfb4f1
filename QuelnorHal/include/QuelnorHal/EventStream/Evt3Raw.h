#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quelnor {
namespace Evt3Raw {

static_assert(std::endian::native == std::endian::little, "EVT3 words are read as little-endian 16-bit values");

// One 16-bit EVT3 word as it lies in a raw buffer: type in bits 12 to 15, payload in bits 0 to 11.
// Byte-aligned, so a buffer may start at any address (raw files have a text header of any length).
struct RawEvent {
    uint8_t bytes[2];

    uint16_t value() const {
        uint16_t word;
        std::memcpy(&word, bytes, sizeof(word));
        return word;
    }
    unsigned type() const { return value() >> 12; }
    uint16_t payload() const { return value() & 0x0FFFu; }
};
static_assert(sizeof(RawEvent) == 2 && alignof(RawEvent) == 1);

enum WordType : unsigned {
    ADDR_Y = 0x0,
    ADDR_Y_OTHER = 0x1,
    ADDR_X = 0x2,
    VECT_BASE_X = 0x3,
    VECT_12 = 0x4,
    VECT_8 = 0x5,
    TIME_LOW = 0x6,
    CONTINUED_4 = 0x7,
    TIME_HIGH = 0x8,
    EXT_TRIGGER = 0xA,
    OTHERS = 0xE,
    CONTINUED_12 = 0xF,
};

} // namespace Evt3Raw
} // namespace quelnor
