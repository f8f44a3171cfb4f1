#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "evt3/Evt3TestEncoder.h"

namespace quelnor {

// Readable events and triggers in test failures.
inline void PrintTo(const Event2D& e, std::ostream* os) {
    *os << "(" << e.x << ", " << e.y << ", " << int(e.polarity) << ", " << e.timestamp << ")";
}
inline void PrintTo(const EventTriggerIn& t, std::ostream* os) {
    *os << "T(id " << t.id << ", pol " << t.polarity << ", " << t.timestamp << ")";
}

} // namespace quelnor

namespace quelnor::test {

// Records what a decoder delivers: the events, the block sizes, the triggers, and the order of
// blocks and triggers ("B<size>" / "T<id>:<polarity>@<time>").
struct Delivery {
    std::vector<Event2D> events;
    std::vector<size_t> blocks;
    std::vector<EventTriggerIn> triggers;
    std::vector<std::string> order;

    void attach(Decoder& decoder) {
        decoder.setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) {
            events.insert(events.end(), first, last);
            blocks.push_back(static_cast<size_t>(last - first));
            order.push_back("B" + std::to_string(last - first));
        });
        decoder.setTriggerInCallback([this](EventTriggerIn t) {
            triggers.push_back(t);
            order.push_back("T" + std::to_string(t.id) + ":" + std::to_string(t.polarity) + "@" +
                            std::to_string(t.timestamp));
        });
    }
};

inline uint32_t decodeWords(Decoder& decoder, const std::vector<uint16_t>& words) {
    std::vector<uint8_t> bytes = toBytes(words);
    return decoder.decode(bytes);
}

// Decodes `bytes` cut into pieces of `chunk` bytes (the last one shorter); each piece is copied
// into a buffer of its own so nothing outside it can be read.
inline void decodeInChunks(Decoder& decoder, const std::vector<uint8_t>& bytes, size_t chunk) {
    std::vector<uint8_t> piece;
    for (size_t pos = 0; pos < bytes.size(); pos += chunk) {
        const size_t n = std::min(chunk, bytes.size() - pos);
        piece.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                     bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
        decoder.decode(piece);
    }
}

} // namespace quelnor::test
