#pragma once

#include <cstdint>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"

namespace quelnor::test {

// Single EVT3 words: type in bits 12 to 15, payload in bits 0 to 11.
namespace evt3word {
uint16_t make(unsigned type, unsigned payload);
uint16_t addrY(unsigned y);                        // 0x0
uint16_t addrYOther(unsigned payload);             // 0x1: deselects the row
uint16_t addrX(unsigned x, unsigned polarity);     // 0x2
uint16_t vectBaseX(unsigned x, unsigned polarity); // 0x3
uint16_t vect12(unsigned bits);                    // 0x4
uint16_t vect8(unsigned bits);                     // 0x5
uint16_t timeLow(unsigned low);                    // 0x6
uint16_t continued4(unsigned payload);             // 0x7
uint16_t timeHigh(unsigned high);                  // 0x8
uint16_t extTrigger(unsigned id, unsigned polarity); // 0xA
uint16_t others(unsigned subtype);                 // 0xE
uint16_t continued12(unsigned payload);            // 0xF
} // namespace evt3word

// Turns events and triggers into EVT3 words, so tests state events, not hex.
// Time words are written as a camera writes them: a TIME_HIGH for every 4096 us step (so gaps and
// the 2^24 us wrap are followed), a TIME_LOW when the low part changes. Rows are written only
// when they change; a run of events on one row at one time within 32 columns can go out as a
// vector group (VECT_BASE_X, VECT_12, VECT_12, VECT_8).
class Evt3TestEncoder {
public:
    Evt3TestEncoder() = default;

    // Moves the stream time to `timestamp` (never backwards in normal use).
    Evt3TestEncoder& setTime(uint64_t timestamp);
    // One event through ADDR_Y (when the row changes) and ADDR_X.
    Evt3TestEncoder& addEvent(const Event2D& event);
    // A vector group at the current row/time: bit i of `mask` is column baseX + i. Writes
    // VECT_BASE_X unless `writeBase` is false (then the decoder's advanced base is used).
    Evt3TestEncoder& addVector(uint16_t y, uint16_t baseX, uint8_t polarity, uint32_t mask, uint64_t timestamp,
                               bool writeBase = true);
    Evt3TestEncoder& addTrigger(const EventTriggerIn& trigger);
    // An OTHERS word; subtypes 20 and 22 are followed by three CONTINUED_12 words.
    Evt3TestEncoder& addOthers(uint16_t subtype);
    Evt3TestEncoder& addWord(uint16_t word);
    Evt3TestEncoder& addWords(const std::vector<uint16_t>& words);

    // Events (in time order) and triggers merged by time; a trigger goes before events of the same
    // time. With `useVectors`, runs on one row, time and polarity within 32 columns become groups.
    Evt3TestEncoder& addStream(const std::vector<Event2D>& events, const std::vector<EventTriggerIn>& triggers,
                               bool useVectors);

    const std::vector<uint16_t>& words() const { return out; }
    // Hands out the words written so far and goes on from the same time and row, so a long stream
    // can be written piece by piece.
    std::vector<uint16_t> takeWords();
    // Little-endian bytes, as a camera delivers them.
    std::vector<uint8_t> bytes() const;
    void clear();

private:
    void selectRow(uint16_t y);

    std::vector<uint16_t> out;
    bool timeKnown = false;
    uint64_t time = 0;
    bool rowKnown = false;
    uint16_t row = 0;
};

std::vector<uint8_t> toBytes(const std::vector<uint16_t>& words);

} // namespace quelnor::test
