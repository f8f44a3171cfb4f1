#include "PlainEvt3Decoder.h"

#include <algorithm>
#include <cstring>

namespace quelnor::bench {

namespace {
constexpr uint64_t TIME_PERIOD = uint64_t(1) << 24;
constexpr uint64_t TIME_JUMP_LIMIT = 1000000;
constexpr unsigned VECTOR_GROUP_WORDS = 3;
constexpr unsigned OTHERS_GROUP_WORDS = 4;
constexpr unsigned VECTOR_EVENTS = 32;
} // namespace

PlainEvt3Decoder::PlainEvt3Decoder(unsigned width_, unsigned height_)
    : width(width_), height(height_), block(BLOCK_SIZE) {}

void PlainEvt3Decoder::reset() {
    time = 0;
    row = 0;
    rowIsY = false;
    vectorBase = 0;
    vectorBaseValid = false;
    carryCount = 0;
    missing = 0;
    fill = 0;
}

uint64_t PlainEvt3Decoder::decode(const std::vector<uint8_t>& buffer) {
    events = 0;
    const size_t count = buffer.size() / 2;
    const auto* words = reinterpret_cast<const uint16_t*>(buffer.data());  // little-endian host
    size_t at = 0;
    if (missing != 0) {
        const size_t take = std::min<size_t>(missing, count);
        std::memcpy(carry.data() + carryCount, words, take * 2);
        carryCount += take;
        missing -= static_cast<unsigned>(take);
        at = take;
        if (missing != 0) {
            return 0;
        }
        size_t used = 0;
        decodeWords(carry.data(), carryCount, used);
        carryCount = 0;
    }
    size_t used = 0;
    missing = decodeWords(words + at, count - at, used);
    if (missing != 0) {
        carryCount = count - at - used;
        std::memcpy(carry.data(), words + at + used, carryCount * 2);
    }
    flush();
    return events;
}

unsigned PlainEvt3Decoder::decodeWords(const uint16_t* words, size_t count, size_t& used) {
    size_t i = 0;
    while (i < count) {
        const uint16_t word = words[i];
        const unsigned type = word >> 12;
        const unsigned payload = word & 0xFFFu;
        switch (type) {
        case 0x0:  // ADDR_Y
            row = payload;
            rowIsY = true;
            break;
        case 0x1:
            rowIsY = false;
            break;
        case 0x2:  // ADDR_X
            if (rowIsY && row < height && (payload & 0x7FFu) < width) {
                emit(payload & 0x7FFu, (payload >> 11) & 1u);
            }
            break;
        case 0x3:  // VECT_BASE_X
            vectorBase = payload;
            vectorBaseValid = true;
            break;
        case 0x4: {  // VECT_12, VECT_12, VECT_8
            if (count - i < VECTOR_GROUP_WORDS) {
                used = i;
                return VECTOR_GROUP_WORDS - static_cast<unsigned>(count - i);
            }
            if (rowIsY && row < height) {
                const unsigned base = vectorBase & 0x7FFu;
                if (vectorBaseValid && base + VECTOR_EVENTS <= width) {
                    const uint32_t mask = uint32_t(payload) | (uint32_t(words[i + 1] & 0xFFFu) << 12) |
                                          (uint32_t(words[i + 2] & 0xFFu) << 24);
                    if (fill + VECTOR_EVENTS > BLOCK_SIZE) {
                        flush();
                    }
                    const auto polarity = static_cast<uint8_t>((vectorBase >> 11) & 1u);
                    for (unsigned bit = 0; bit < VECTOR_EVENTS; ++bit) {
                        if (mask & (uint32_t(1) << bit)) {
                            block[fill++] = Event2D(static_cast<uint16_t>(base + bit), static_cast<uint16_t>(row),
                                                    polarity, time);
                        }
                    }
                } else {
                    vectorBaseValid = false;
                }
                vectorBase = (vectorBase + VECTOR_EVENTS) & 0xFFFFu;
            }
            i += VECTOR_GROUP_WORDS;
            continue;
        }
        case 0x6:  // TIME_LOW
            time = (time & ~uint64_t(0xFFF)) | payload;
            break;
        case 0x8: {  // TIME_HIGH
            uint64_t candidate = time;
            const uint64_t old = (candidate >> 12) & 0xFFFu;
            if (old >= payload + 2048u) {
                candidate += TIME_PERIOD;
            }
            if (payload != old) {
                candidate &= ~uint64_t(0xFFF);
            }
            candidate = (candidate & ~(uint64_t(0xFFF) << 12)) | (uint64_t(payload) << 12);
            const bool anomaly =
                candidate < time || (candidate >= TIME_PERIOD && candidate - time > TIME_JUMP_LIMIT);
            if (!anomaly) {
                time = candidate;
            }
            break;
        }
        case 0xA:  // EXT_TRIGGER
            if (triggerCallback) {
                flush();
                triggerCallback(EventTriggerIn(static_cast<int16_t>((payload >> 8) & 0xFu),
                                               static_cast<int16_t>(payload & 1u), time));
            }
            break;
        case 0xE:  // OTHERS
            if (payload == 20 || payload == 22) {
                if (count - i < OTHERS_GROUP_WORDS) {
                    used = i;
                    return OTHERS_GROUP_WORDS - static_cast<unsigned>(count - i);
                }
                i += OTHERS_GROUP_WORDS;
                continue;
            }
            break;
        default:
            break;
        }
        ++i;
    }
    used = count;
    return 0;
}

void PlainEvt3Decoder::emit(unsigned x, unsigned polarity) {
    block[fill++] = Event2D(static_cast<uint16_t>(x), static_cast<uint16_t>(row), static_cast<uint8_t>(polarity), time);
    if (fill == BLOCK_SIZE) {
        flush();
    }
}

void PlainEvt3Decoder::flush() {
    if (fill == 0) {
        return;
    }
    events += fill;
    if (eventsCallback) {
        eventsCallback(block.data(), block.data() + fill);
    }
    fill = 0;
}

} // namespace quelnor::bench
