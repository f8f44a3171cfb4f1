#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"

namespace quelnor::bench {

// The yardstick of the decoder benchmarks: a plain EVT3 decoder written word by word from the word
// table, one switch per word and one test per mask bit, with no fast paths. It decodes buffer by
// buffer as the product decoder does (a group cut off at the end of a buffer is completed from the
// next one) and hands its events on in blocks of up to 320, so both pay the same for delivery.
// Gives the same events; one thread at a time.
class PlainEvt3Decoder {
public:
    static constexpr size_t BLOCK_SIZE = 320;
    using EventsCallback = std::function<void(Event2D* first, Event2D* last)>;
    using TriggerCallback = std::function<void(EventTriggerIn)>;

    PlainEvt3Decoder(unsigned width, unsigned height);

    void setEventsCallback(EventsCallback callback) { eventsCallback = std::move(callback); }
    void setTriggerCallback(TriggerCallback callback) { triggerCallback = std::move(callback); }

    // Decodes a buffer of little-endian words (a trailing odd byte is ignored); returns the events.
    uint64_t decode(const std::vector<uint8_t>& buffer);
    // Back to the state of a new decoder.
    void reset();

private:
    static constexpr size_t MAX_GROUP_WORDS = 4;

    // Decodes words[0, count); returns how many words of a group cut off at the end are missing,
    // with `used` the words taken before that group.
    unsigned decodeWords(const uint16_t* words, size_t count, size_t& used);
    void emit(unsigned x, unsigned polarity);
    void flush();

    unsigned width;
    unsigned height;
    EventsCallback eventsCallback;
    TriggerCallback triggerCallback;

    uint64_t time = 0;
    unsigned row = 0;
    bool rowIsY = false;
    unsigned vectorBase = 0;
    bool vectorBaseValid = false;

    std::array<uint16_t, MAX_GROUP_WORDS> carry{};
    size_t carryCount = 0;
    unsigned missing = 0;

    std::vector<Event2D> block;
    size_t fill = 0;
    uint64_t events = 0;
};

} // namespace quelnor::bench
