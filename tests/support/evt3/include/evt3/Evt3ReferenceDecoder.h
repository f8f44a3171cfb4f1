#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"

namespace quelnor::test {

// A plain decoder of a whole EVT3 word stream, written from the word table and kept simple on
// purpose: it is what the product decoder is checked against. No buffers, no blocks, no flip.
struct Evt3ReferenceResult {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    uint64_t anomalies = 0;       // TIME_HIGH words rejected
    uint64_t rejectedVectors = 0; // vector groups refused by the base check while a row was selected
    uint64_t lostVectorEvents = 0; // set bits in refused groups that lay inside the width
    uint64_t lastTimestamp = 0;
    size_t eventsBeforeCustomTrigger = 0; // events made before the custom trigger, when it came
};

// With `customTrigger` not 0, the first TIME_LOW word that brings the time to it or later also
// gives a trigger (id 0, polarity 2) at that time, once.
Evt3ReferenceResult referenceDecode(const std::vector<uint16_t>& words, unsigned width, unsigned height,
                                    uint64_t customTrigger = 0);

// What a decode of a stream with holes may deliver: every event of `part` is an event of `whole`
// (all four fields), in the same order. Linear in both sizes.
bool isOrderedSubsequence(const std::vector<Event2D>& part, const std::vector<Event2D>& whole);
// No event's time is below the one before it.
bool timeNeverStepsBack(const std::vector<Event2D>& events);

} // namespace quelnor::test
