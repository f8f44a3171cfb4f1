// EVT3 decoder. Input: a flags byte (bit 0: a 320 x 320 sensor instead of 1280 x 720), a count of
// cuts (up to 8) with a 16-bit word index each, then the EVT3 words.
// Checks: the events and triggers are the same whether the words come in one buffer or cut into
// buffers; the counting pass tells what each decode delivers and leaves the same stream state; every
// event lies inside the sensor; a stream state exported at a cut and imported into a new decoder goes
// on exactly as the first decoder did; the mirrored decode mirrors the columns; the trigger pre-scan
// finds every trigger word.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

constexpr unsigned MAX_CUTS = 8;
constexpr uint16_t TRIGGER_MARK = 0xFFFF; // column of the items that stand for a trigger

// What a decoder delivered, events and triggers in the order they came.
struct Delivery {
    std::vector<Event2D> items;
    std::vector<EventTriggerIn> triggers;
    uint64_t latestBlockEnd = 0;
    uint64_t events = 0;
};

void attach(EVT3Decoder& decoder, Delivery& out) {
    decoder.setEventsStreamHandleCallback([&out](Event2D* first, Event2D* last) {
        FUZZ_CHECK(first < last);
        FUZZ_CHECK(last - first <= static_cast<std::ptrdiff_t>(EVT3Decoder::BLOCK_SIZE));
        out.items.insert(out.items.end(), first, last);
        out.events += static_cast<uint64_t>(last - first);
        out.latestBlockEnd = std::max(out.latestBlockEnd, (last - 1)->timestamp);
    });
    decoder.setTriggerInCallback([&out](EventTriggerIn trigger) {
        out.triggers.push_back(trigger);
        out.items.emplace_back(TRIGGER_MARK, 0, 0, trigger.timestamp);
    });
}

bool sameState(const EVT3Decoder::StreamState& a, const EVT3Decoder::StreamState& b) {
    return a.status.lastPayload == b.status.lastPayload && a.rowSelected == b.rowSelected &&
           a.rowWordIsY == b.rowWordIsY && a.vectorBaseValid == b.vectorBaseValid && a.timeLowSeen == b.timeLowSeen &&
           a.timeHighSeen == b.timeHighSeen && a.firstTimestampSet == b.firstTimestampSet &&
           a.lastTimestamp == b.lastTimestamp && a.firstTimestamp == b.firstTimestamp &&
           a.carryCount == b.carryCount && std::equal(a.carryWords.begin(), a.carryWords.begin() + a.carryCount,
                                                      b.carryWords.begin()) &&
           a.missingWords == b.missingWords &&
           a.jumpWords == b.jumpWords && a.jumpCandidate == b.jumpCandidate && a.jumpFrom == b.jumpFrom;
}

uint8_t* at(std::vector<uint16_t>& words, size_t index) { return reinterpret_cast<uint8_t*>(words.data() + index); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLogger();
    Input in(data, size);
    const uint8_t flags = in.u8();
    const uint16_t width = (flags & 1) ? 320 : 1280;
    const uint16_t height = (flags & 1) ? 320 : 720;
    const unsigned cutCount = in.u8() % (MAX_CUTS + 1);
    std::vector<size_t> cutWords;
    for (unsigned i = 0; i < cutCount; ++i) {
        cutWords.push_back(in.u16());
    }
    // Aligned copy of the words.
    std::vector<uint16_t> words(in.restSize() / 2);
    if (!words.empty()) {
        std::memcpy(words.data(), in.rest(), words.size() * 2);
    }
    const size_t n = words.size();
    std::vector<size_t> bounds{0};
    for (size_t c : cutWords) {
        bounds.push_back(n == 0 ? 0 : c % (n + 1));
    }
    bounds.push_back(n);
    std::sort(bounds.begin(), bounds.end());

    // One buffer.
    EVT3Decoder whole(width, height);
    Delivery all;
    attach(whole, all);
    const uint32_t returned = whole.decode(at(words, 0), at(words, n));
    FUZZ_CHECK(returned == all.events);
    for (const Event2D& e : all.items) {
        if (e.x != TRIGGER_MARK) {
            FUZZ_CHECK(e.x < width);
            FUZZ_CHECK(e.y < height);
            FUZZ_CHECK(e.polarity <= 1);
        }
    }
    for (const EventTriggerIn& t : all.triggers) {
        FUZZ_CHECK(t.id >= 0 && t.id <= 15);
        FUZZ_CHECK(t.polarity == 0 || t.polarity == 1);
    }

    // The counting pass over one buffer tells the same.
    {
        EVT3Decoder counter(width, height);
        Delivery counted;
        attach(counter, counted);
        const EVT3Decoder::EventCount c = counter.countEvents(at(words, 0), at(words, n));
        FUZZ_CHECK(counted.events == 0);
        FUZZ_CHECK(c.events == all.events);
        FUZZ_CHECK(counted.triggers == all.triggers);
        FUZZ_CHECK(c.latestBlockEnd == all.latestBlockEnd);
        FUZZ_CHECK(sameState(counter.getStreamState(), whole.getStreamState()));
        FUZZ_CHECK(counter.getLastTimeStamp() == whole.getLastTimeStamp());
        FUZZ_CHECK(counter.getFirstTimeStamp() == whole.getFirstTimeStamp());
    }

    // Cut into buffers: the same items; the counting pass agrees buffer by buffer.
    EVT3Decoder pieces(width, height);
    Delivery cut;
    attach(pieces, cut);
    EVT3Decoder counter(width, height);
    Delivery counted;
    attach(counter, counted);
    // A decoder that takes over from `pieces` at the first cut.
    const size_t handover = bounds.size() > 2 ? bounds[1] : n / 2;
    bool handedOver = false;
    EVT3Decoder successor(width, height);
    Delivery before;
    Delivery after;
    attach(successor, after);
    for (size_t i = 0; i + 1 < bounds.size(); ++i) {
        const size_t from = bounds[i];
        const size_t to = bounds[i + 1];
        if (!handedOver && from >= handover) {
            before = cut;
            successor.setStreamState(pieces.getStreamState());
            handedOver = true;
        }
        const size_t eventsBefore = cut.events;
        const uint64_t blockEndBefore = cut.latestBlockEnd;
        cut.latestBlockEnd = 0;
        const size_t itemsBefore = cut.items.size();
        const uint32_t got = pieces.decode(at(words, from), at(words, to));
        FUZZ_CHECK(got == cut.events - eventsBefore);
        const EVT3Decoder::EventCount c = counter.countEvents(at(words, from), at(words, to));
        FUZZ_CHECK(c.events == got);
        FUZZ_CHECK(c.latestBlockEnd == cut.latestBlockEnd);
        if (got != 0) {
            const auto firstEvent = std::find_if(cut.items.begin() + static_cast<std::ptrdiff_t>(itemsBefore),
                                                 cut.items.end(), [](const Event2D& e) { return e.x != TRIGGER_MARK; });
            const auto lastEvent = std::find_if(cut.items.rbegin(), cut.items.rend(),
                                                [](const Event2D& e) { return e.x != TRIGGER_MARK; });
            FUZZ_CHECK(c.firstTime == firstEvent->timestamp);
            FUZZ_CHECK(c.lastTime == lastEvent->timestamp);
        }
        FUZZ_CHECK(sameState(counter.getStreamState(), pieces.getStreamState()));
        cut.latestBlockEnd = std::max(cut.latestBlockEnd, blockEndBefore);
        if (handedOver) {
            successor.decode(at(words, from), at(words, to));
        }
    }
    FUZZ_CHECK(cut.items == all.items);
    FUZZ_CHECK(counted.triggers == all.triggers);
    FUZZ_CHECK(sameState(pieces.getStreamState(), whole.getStreamState()));
    if (handedOver) {
        std::vector<Event2D> joined = before.items;
        joined.insert(joined.end(), after.items.begin(), after.items.end());
        FUZZ_CHECK(joined == all.items);
        FUZZ_CHECK(sameState(successor.getStreamState(), whole.getStreamState()));
        FUZZ_CHECK(successor.getLastTimeStamp() == whole.getLastTimeStamp());
    }

    // Mirrored columns.
    {
        EVT3Decoder mirrored(width, height);
        mirrored.setFlipX(true);
        Delivery flipped;
        attach(mirrored, flipped);
        mirrored.decode(at(words, 0), at(words, n));
        FUZZ_CHECK(flipped.items.size() == all.items.size());
        for (size_t i = 0; i < all.items.size(); ++i) {
            Event2D expected = all.items[i];
            if (expected.x != TRIGGER_MARK) {
                expected.x = static_cast<uint16_t>(width - 1 - expected.x);
            }
            FUZZ_CHECK(flipped.items[i] == expected);
        }
    }

    // The time-only scan and the trigger pre-scan read every word and nothing more.
    {
        EVT3Decoder scanner(width, height);
        FUZZ_CHECK(scanner.decodeTimeStamp(at(words, 0), at(words, n)));
        EVT3Decoder prescan(width, height);
        std::vector<EventTriggerIn> triggers;
        FUZZ_CHECK(prescan.preprocessEventData(at(words, 0), at(words, n), triggers) == n);
        const size_t triggerWords = static_cast<size_t>(
            std::count_if(words.begin(), words.end(), [](uint16_t w) { return (w >> 12) == Evt3Raw::EXT_TRIGGER; }));
        FUZZ_CHECK(triggers.size() == triggerWords);
    }
    return 0;
}
