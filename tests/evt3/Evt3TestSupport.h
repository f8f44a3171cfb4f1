#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// A test name for a table case: its index, then its `name` with everything but letters and digits
// turned into '_'.
template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (char ch : info.param.name) {
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return std::to_string(info.index) + "_" + name;
}

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

inline bool sameState(const EVT3Decoder::StreamState& a, const EVT3Decoder::StreamState& b) {
    return a.status.lastPayload == b.status.lastPayload && a.rowSelected == b.rowSelected &&
           a.rowWordIsY == b.rowWordIsY && a.vectorBaseValid == b.vectorBaseValid && a.timeLowSeen == b.timeLowSeen &&
           a.timeHighSeen == b.timeHighSeen && a.firstTimestampSet == b.firstTimestampSet &&
           a.lastTimestamp == b.lastTimestamp && a.firstTimestamp == b.firstTimestamp && a.carryCount == b.carryCount &&
           std::equal(a.carryWords.begin(), a.carryWords.begin() + a.carryCount, b.carryWords.begin()) &&
           a.missingWords == b.missingWords && a.resyncNeeds == b.resyncNeeds &&
           a.jumpWords == b.jumpWords && a.jumpCandidate == b.jumpCandidate && a.jumpFrom == b.jumpFrom;
}

// Decodes `bytes` in buffers of `chunk` bytes (0: all at once) with decode() on one decoder and
// countEvents() on another of the same size. After each buffer the count must tell what the
// decode delivered in it (events, first and last time, the latest time ending a block), and both
// must have the same triggers so far, stream state, times and counters.
inline ::testing::AssertionResult countsLikeDecode(const std::vector<uint8_t>& bytes, size_t chunk, uint16_t width,
                                                   uint16_t height, bool flip = false, uint64_t customTrigger = 0) {
    EVT3Decoder full(width, height);
    EVT3Decoder counting(width, height);
    full.setFlipX(flip);
    counting.setFlipX(flip);
    std::vector<Event2D> callEvents;
    std::vector<uint64_t> blockEnds;
    full.setEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
        callEvents.insert(callEvents.end(), first, last);
        if (first != last) {
            blockEnds.push_back((last - 1)->timestamp);
        }
    });
    size_t countingDeliveries = 0;
    counting.setEventsStreamHandleCallback([&](Event2D*, Event2D*) { ++countingDeliveries; });
    counting.setSharedEventsStreamHandleCallback([&](std::shared_ptr<std::vector<Event2D>>) { ++countingDeliveries; });
    std::vector<EventTriggerIn> fullTriggers;
    std::vector<EventTriggerIn> countingTriggers;
    full.setTriggerInCallback([&](EventTriggerIn t) { fullTriggers.push_back(t); });
    counting.setTriggerInCallback([&](EventTriggerIn t) { countingTriggers.push_back(t); });
    full.setCustomTriggerIn(customTrigger);
    counting.setCustomTriggerIn(customTrigger);

    const size_t step = chunk == 0 ? std::max<size_t>(bytes.size(), 1) : chunk;
    std::vector<uint8_t> piece;
    size_t buffer = 0;
    for (size_t pos = 0; pos < bytes.size(); pos += step, ++buffer) {
        const size_t n = std::min(step, bytes.size() - pos);
        // A buffer of its own, so that nothing beyond it can be read.
        piece.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                     bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
        callEvents.clear();
        blockEnds.clear();
        const uint32_t returned = full.decode(piece.data(), piece.data() + n);
        const EVT3Decoder::EventCount c = counting.countEvents(piece.data(), piece.data() + n);
        EVT3Decoder::EventCount want;
        want.events = callEvents.size();
        if (!callEvents.empty()) {
            want.firstTime = callEvents.front().timestamp;
            want.lastTime = callEvents.back().timestamp;
            want.latestBlockEnd = *std::max_element(blockEnds.begin(), blockEnds.end());
        }
        auto fail = [&]() {
            return ::testing::AssertionFailure() << "buffer " << buffer << " at byte " << pos << " (chunk " << chunk
                                                 << ", sensor " << width << "x" << height << "): ";
        };
        if (c.events != want.events || returned != want.events) {
            return fail() << "events " << c.events << ", decode " << want.events << " (returned " << returned << ")";
        }
        if (c.firstTime != want.firstTime || c.lastTime != want.lastTime) {
            return fail() << "times " << c.firstTime << ".." << c.lastTime << ", decode " << want.firstTime << ".."
                          << want.lastTime;
        }
        if (c.latestBlockEnd != want.latestBlockEnd) {
            return fail() << "latest block end " << c.latestBlockEnd << ", decode " << want.latestBlockEnd;
        }
        if (countingTriggers != fullTriggers) {
            return fail() << countingTriggers.size() << " triggers, decode " << fullTriggers.size();
        }
        if (!sameState(counting.getStreamState(), full.getStreamState())) {
            return fail() << "stream states differ";
        }
        if (counting.getLastTimeStamp() != full.getLastTimeStamp() ||
            counting.getFirstTimeStamp() != full.getFirstTimeStamp()) {
            return fail() << "last/first time stamps differ";
        }
        if (counting.getDecodeEventCount() != full.getDecodeEventCount() ||
            counting.getDecodeDataBandwidth() != full.getDecodeDataBandwidth()) {
            return fail() << "counters differ";
        }
        if (countingDeliveries != 0) {
            return fail() << "counting delivered events";
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace quelnor::test
