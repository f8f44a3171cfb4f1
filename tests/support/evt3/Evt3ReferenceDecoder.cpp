#include "evt3/Evt3ReferenceDecoder.h"

#include <cstddef>

namespace quelnor::test {

Evt3ReferenceResult referenceDecode(const std::vector<uint16_t>& words, unsigned width, unsigned height,
                                    uint64_t customTrigger) {
    Evt3ReferenceResult r;
    // Time as three parts: number of 2^24 us periods, the 12-bit high part, the 12-bit low part.
    uint64_t periods = 0;
    unsigned high = 0;
    unsigned low = 0;
    auto now = [&] { return (periods << 24) | (uint64_t(high) << 12) | low; };
    // The time a TIME_HIGH with payload h gives after time t: a fall of half the range or more is a wrap.
    auto timeAfter = [](uint64_t t, unsigned h) {
        const unsigned old = (t >> 12) & 0xFFF;
        const uint64_t p = (t >> 24) + (old >= h + 2048 ? 1 : 0);
        const uint64_t l = h == old ? (t & 0xFFF) : 0;
        return (p << 24) | (uint64_t(h) << 12) | l;
    };
    // Back in time, or past the first period more than 1 s ahead.
    auto tooFar = [](uint64_t t, uint64_t candidate) {
        return candidate < t || (candidate >= (uint64_t(1) << 24) && candidate - t > 1000000);
    };
    // Refused forward TIME_HIGH words in succession: how many, the time the last led to, and the
    // time's high part (bits 12 and up) when they began.
    unsigned jumpWords = 0;
    uint64_t jumpTo = 0;
    uint64_t jumpFromHigh = 0;

    unsigned y = 0;
    bool yIsRow = false;   // the last type-0/1 word was type 0
    unsigned base = 0;     // VECT_BASE_X payload, 16-bit arithmetic
    bool baseValid = false;

    size_t i = 0;
    const size_t n = words.size();
    while (i < n) {
        const unsigned type = words[i] >> 12;
        const unsigned value = words[i] & 0xFFF;
        const bool rowOn = yIsRow && y < height;
        if (type == 0x0) {
            y = value;
            yIsRow = true;
        } else if (type == 0x1) {
            yIsRow = false;
        } else if (type == 0x2) {
            const unsigned x = value & 0x7FF;
            if (rowOn && x < width) {
                r.events.emplace_back(x, y, (value >> 11) & 1, now());
            }
        } else if (type == 0x3) {
            base = value;
            baseValid = true;
        } else if (type == 0x4) {
            if (i + 3 > n) {
                break;  // incomplete group at the very end
            }
            if (rowOn) {
                const unsigned col = base & 0x7FF;
                const uint32_t bits = (words[i] & 0xFFFu) | ((words[i + 1] & 0xFFFu) << 12) |
                                      ((words[i + 2] & 0xFFu) << 24);
                if (baseValid && col + 32 <= width) {
                    for (unsigned b = 0; b < 32; ++b) {
                        if (bits & (uint32_t(1) << b)) {
                            r.events.emplace_back(col + b, y, (base >> 11) & 1, now());
                        }
                    }
                } else {
                    baseValid = false;
                    ++r.rejectedVectors;
                    for (unsigned b = 0; b < 32; ++b) {
                        if ((bits & (uint32_t(1) << b)) && col + b < width) {
                            ++r.lostVectorEvents;
                        }
                    }
                }
                base = (base + 32) & 0xFFFF;
            }
            i += 3;
            continue;
        } else if (type == 0x6) {
            low = value;
            if (customTrigger != 0 && now() >= customTrigger) {
                r.triggers.emplace_back(0, 2, now());
                r.eventsBeforeCustomTrigger = r.events.size();
                customTrigger = 0;
            }
        } else if (type == 0x8) {
            const uint64_t before = now();
            const uint64_t candidate = timeAfter(before, value);
            if (!tooFar(before, candidate)) {
                periods = candidate >> 24;
                high = value;
                low = static_cast<unsigned>(candidate & 0xFFF);
            } else {
                // Refused. Three in succession, each leading on from the one before while the time
                // stood still, are a jump the stream really made: the third is taken.
                const uint64_t highPart = before >> 12;
                const uint64_t next = timeAfter(jumpTo, value);
                if (jumpWords != 0 && jumpFromHigh == highPart && !tooFar(jumpTo, next)) {
                    jumpTo = next;
                    ++jumpWords;
                } else if (candidate >= before) {
                    jumpWords = 1;
                    jumpTo = candidate;
                    jumpFromHigh = highPart;
                } else {
                    jumpWords = 0;
                }
                if (jumpWords == 3) {
                    periods = jumpTo >> 24;
                    high = value;
                    low = static_cast<unsigned>(jumpTo & 0xFFF);
                    jumpWords = 0;
                } else {
                    ++r.anomalies;
                }
            }
        } else if (type == 0xA) {
            r.triggers.emplace_back(static_cast<int16_t>((value >> 8) & 0xF), static_cast<int16_t>(value & 1), now());
        } else if (type == 0xE && (value == 20 || value == 22)) {
            if (i + 4 > n) {
                break;
            }
            i += 4;
            continue;
        }
        ++i;
    }
    r.lastTimestamp = now();
    return r;
}

bool isOrderedSubsequence(const std::vector<Event2D>& part, const std::vector<Event2D>& whole) {
    size_t j = 0;
    for (const Event2D& e : part) {
        while (j < whole.size() && !(whole[j].x == e.x && whole[j].y == e.y && whole[j].polarity == e.polarity &&
                                     whole[j].timestamp == e.timestamp)) {
            ++j;
        }
        if (j == whole.size()) {
            return false;
        }
        ++j;
    }
    return true;
}

bool timeNeverStepsBack(const std::vector<Event2D>& events) {
    for (size_t i = 1; i < events.size(); ++i) {
        if (events[i].timestamp < events[i - 1].timestamp) {
            return false;
        }
    }
    return true;
}

} // namespace quelnor::test
