#pragma once

#include <cstdint>

namespace quelnor {

// One change event: column, row, polarity (1 = ON, 0 = OFF) and time in microseconds.
struct Event2D {
    uint16_t x;
    uint16_t y;
    uint8_t polarity;
    uint64_t timestamp;

    Event2D() : x(0), y(0), polarity(0), timestamp(0) {}
    Event2D(uint16_t x_, uint16_t y_, uint8_t polarity_, uint64_t timestamp_)
        : x(x_), y(y_), polarity(polarity_), timestamp(timestamp_) {}
    Event2D(const Event2D&) = default;
    Event2D(Event2D&&) = default;
    Event2D& operator=(const Event2D& other) {
        x = other.x;
        y = other.y;
        polarity = other.polarity;
        timestamp = other.timestamp;
        return *this;
    }
    Event2D& operator=(Event2D&& other) {
        x = other.x;
        y = other.y;
        polarity = other.polarity;
        timestamp = other.timestamp;
        return *this;
    }
    bool operator==(const Event2D& o) const {
        return x == o.x && y == o.y && polarity == o.polarity && timestamp == o.timestamp;
    }
};

} // namespace quelnor
