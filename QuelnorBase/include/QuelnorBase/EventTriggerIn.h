#pragma once

#include <cstdint>

namespace quelnor {

// One edge on a trigger input. Polarity 0 falling, 1 rising; 2 marks a trigger made by the
// decoder itself. Note the constructor order (id, polarity, timestamp) differs from the fields.
struct EventTriggerIn {
    int16_t polarity;
    uint64_t timestamp;
    int16_t id;

    EventTriggerIn() : polarity(0), timestamp(0), id(0) {}
    EventTriggerIn(int16_t id_, int16_t polarity_, uint64_t timestamp_)
        : polarity(polarity_), timestamp(timestamp_), id(id_) {}
    EventTriggerIn(const EventTriggerIn&) = default;
    EventTriggerIn(EventTriggerIn&&) = default;
    EventTriggerIn& operator=(const EventTriggerIn& other) {
        polarity = other.polarity;
        timestamp = other.timestamp;
        id = other.id;
        return *this;
    }
    EventTriggerIn& operator=(EventTriggerIn&& other) {
        polarity = other.polarity;
        timestamp = other.timestamp;
        id = other.id;
        return *this;
    }
    bool operator==(const EventTriggerIn& o) const {
        return polarity == o.polarity && timestamp == o.timestamp && id == o.id;
    }
};

} // namespace quelnor
