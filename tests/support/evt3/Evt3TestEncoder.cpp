#include "evt3/Evt3TestEncoder.h"

#include <algorithm>

namespace quelnor::test {

namespace evt3word {
uint16_t make(unsigned type, unsigned payload) { return static_cast<uint16_t>(((type & 0xF) << 12) | (payload & 0xFFF)); }
uint16_t addrY(unsigned y) { return make(0x0, y); }
uint16_t addrYOther(unsigned payload) { return make(0x1, payload); }
uint16_t addrX(unsigned x, unsigned polarity) { return make(0x2, (x & 0x7FF) | ((polarity & 1) << 11)); }
uint16_t vectBaseX(unsigned x, unsigned polarity) { return make(0x3, (x & 0x7FF) | ((polarity & 1) << 11)); }
uint16_t vect12(unsigned bits) { return make(0x4, bits); }
uint16_t vect8(unsigned bits) { return make(0x5, bits & 0xFF); }
uint16_t timeLow(unsigned low) { return make(0x6, low); }
uint16_t continued4(unsigned payload) { return make(0x7, payload & 0xF); }
uint16_t timeHigh(unsigned high) { return make(0x8, high); }
uint16_t extTrigger(unsigned id, unsigned polarity) { return make(0xA, ((id & 0xF) << 8) | (polarity & 1)); }
uint16_t others(unsigned subtype) { return make(0xE, subtype); }
uint16_t continued12(unsigned payload) { return make(0xF, payload); }
} // namespace evt3word

Evt3TestEncoder& Evt3TestEncoder::setTime(uint64_t timestamp) {
    if (!timeKnown && timestamp >= (uint64_t(1) << 24)) {
        // A decoder takes the first TIME_HIGH as bits 12 to 23 only: count the periods up from 0.
        out.push_back(evt3word::timeHigh(0));
        out.push_back(evt3word::timeLow(0));
        timeKnown = true;
        time = 0;
    }
    const uint64_t high = timestamp >> 12;
    if (!timeKnown) {
        out.push_back(evt3word::timeHigh(high & 0xFFF));
        out.push_back(evt3word::timeLow(timestamp & 0xFFF));
    } else if (high != (time >> 12)) {
        // Every 4096 us step, as the camera writes them.
        for (uint64_t h = (time >> 12) + 1; h <= high; ++h) {
            out.push_back(evt3word::timeHigh(h & 0xFFF));
        }
        out.push_back(evt3word::timeLow(timestamp & 0xFFF));
    } else if (timestamp != time) {
        out.push_back(evt3word::timeLow(timestamp & 0xFFF));
    }
    timeKnown = true;
    time = timestamp;
    return *this;
}

void Evt3TestEncoder::selectRow(uint16_t y) {
    if (!rowKnown || row != y) {
        out.push_back(evt3word::addrY(y));
        rowKnown = true;
        row = y;
    }
}

Evt3TestEncoder& Evt3TestEncoder::addEvent(const Event2D& event) {
    setTime(event.timestamp);
    selectRow(event.y);
    out.push_back(evt3word::addrX(event.x, event.polarity));
    return *this;
}

Evt3TestEncoder& Evt3TestEncoder::addVector(uint16_t y, uint16_t baseX, uint8_t polarity, uint32_t mask,
                                            uint64_t timestamp, bool writeBase) {
    setTime(timestamp);
    selectRow(y);
    if (writeBase) {
        out.push_back(evt3word::vectBaseX(baseX, polarity));
    }
    out.push_back(evt3word::vect12(mask & 0xFFF));
    out.push_back(evt3word::vect12((mask >> 12) & 0xFFF));
    out.push_back(evt3word::vect8((mask >> 24) & 0xFF));
    return *this;
}

Evt3TestEncoder& Evt3TestEncoder::addTrigger(const EventTriggerIn& trigger) {
    setTime(trigger.timestamp);
    out.push_back(evt3word::extTrigger(static_cast<unsigned>(trigger.id), static_cast<unsigned>(trigger.polarity)));
    return *this;
}

Evt3TestEncoder& Evt3TestEncoder::addOthers(uint16_t subtype) {
    out.push_back(evt3word::others(subtype));
    if (subtype == 20 || subtype == 22) {
        out.push_back(evt3word::continued12(0x123));
        out.push_back(evt3word::continued12(0x456));
        out.push_back(evt3word::continued12(0x789));
    }
    return *this;
}

Evt3TestEncoder& Evt3TestEncoder::addWord(uint16_t word) {
    out.push_back(word);
    return *this;
}

Evt3TestEncoder& Evt3TestEncoder::addWords(const std::vector<uint16_t>& words) {
    out.insert(out.end(), words.begin(), words.end());
    return *this;
}

Evt3TestEncoder& Evt3TestEncoder::addStream(const std::vector<Event2D>& events,
                                            const std::vector<EventTriggerIn>& triggers, bool useVectors) {
    size_t t = 0;
    size_t i = 0;
    while (i < events.size() || t < triggers.size()) {
        if (t < triggers.size() && (i == events.size() || triggers[t].timestamp <= events[i].timestamp)) {
            addTrigger(triggers[t++]);
            continue;
        }
        const Event2D& first = events[i];
        size_t j = i + 1;
        if (useVectors) {
            // Events of one row, time and polarity with columns in [x, x + 32), increasing.
            while (j < events.size() && events[j].y == first.y && events[j].timestamp == first.timestamp &&
                   events[j].polarity == first.polarity && events[j].x > events[j - 1].x &&
                   events[j].x < first.x + 32) {
                ++j;
            }
        }
        if (j - i >= 2) {
            uint32_t mask = 0;
            for (size_t k = i; k < j; ++k) {
                mask |= uint32_t(1) << (events[k].x - first.x);
            }
            addVector(first.y, first.x, first.polarity, mask, first.timestamp);
        } else {
            addEvent(first);
        }
        i = j;
    }
    return *this;
}

std::vector<uint8_t> toBytes(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * 2);
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    return bytes;
}

std::vector<uint8_t> Evt3TestEncoder::bytes() const { return toBytes(out); }

std::vector<uint16_t> Evt3TestEncoder::takeWords() {
    std::vector<uint16_t> taken;
    taken.swap(out);
    return taken;
}

void Evt3TestEncoder::clear() {
    out.clear();
    timeKnown = false;
    time = 0;
    rowKnown = false;
    row = 0;
}

} // namespace quelnor::test
