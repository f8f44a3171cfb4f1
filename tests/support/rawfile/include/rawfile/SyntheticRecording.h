#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"

namespace quelnor::test {

// A camera-like EVT3 stream made by the test encoder, with the events and triggers it encodes in
// decoding order: single events (ADDR_Y when the row changes, ADDR_X), vector groups of 2 to 32
// events, trigger edges and long OTHERS groups, in time order.
struct SyntheticOptions {
    uint64_t seed = 1;
    size_t items = 100000;         // events, vector groups, triggers and OTHERS groups together
    uint64_t startTime = 1000;     // time of the first item (us)
    uint32_t meanGapNs = 250;      // mean time between two items
    uint16_t width = 1280;
    uint16_t height = 720;
    unsigned vectorPercent = 30;   // items that are vector groups
    unsigned triggerEvery = 5000;  // one trigger edge per this many items; 0: none
    unsigned othersEvery = 3000;   // one long OTHERS group per this many items; 0: none
};

struct SyntheticStream {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    std::vector<uint16_t> words;

    std::vector<uint8_t> bytes() const;
};

// Times at or above 2^24 us are written as a camera writes them: the time words carry the low 24
// bits only, so a reader needs the header's start time to place them.
SyntheticStream makeSyntheticStream(const SyntheticOptions& options);

// Figures of a stream written straight to a file (too large to keep its events in memory).
struct SyntheticFileFigures {
    uint64_t events = 0;
    uint64_t triggers = 0;
    uint64_t dataBytes = 0;
    uint64_t firstTime = 0;
    uint64_t lastTime = 0;
    uint64_t headerBytes = 0;
};

// Writes the header of `options.startTime` and the data of a stream of at least `dataBytes` bytes.
SyntheticFileFigures writeSyntheticRawFile(const std::string& path, SyntheticOptions options, uint64_t dataBytes);

} // namespace quelnor::test
