// A gap in the stream (Decoder::notifyGap): nothing from either side of the hole is combined, and
// nothing is delivered until time and row come again from the stream itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "Evt3TestSupport.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3ReferenceDecoder.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::test;
using namespace quelnor::test::evt3word;

namespace {

constexpr uint16_t W = 1280;
constexpr uint16_t H = 720;

bool sameEvent(const Event2D& a, const Event2D& b) {
    return a.x == b.x && a.y == b.y && a.polarity == b.polarity && a.timestamp == b.timestamp;
}

// Time 0x5800 on row 7: the state the cases below start from, with one event delivered.
std::vector<uint16_t> settledStart() {
    return {timeHigh(5), timeLow(0x800), addrY(7), addrX(10, 1)};
}

struct GapCase {
    const char* name;
    std::vector<uint16_t> before; // decoded, then the gap
    std::vector<uint16_t> after;  // the first buffer after the gap
    std::vector<Event2D> expected; // events of `after`
    size_t triggers;               // triggers of `after`
};

} // namespace

TEST(Evt3Gap, NothingIsCombinedAcrossTheHoleAndNothingComesBeforeTimeAndRow) {
    const std::vector<GapCase> cases = {
        {"a vector group cut by the gap is dropped",
         {timeHigh(5), timeLow(0x800), addrY(7), vectBaseX(100, 0), vect12(0xFFF)},
         // The first two would complete the group (32 events at the old row and time). Taken alone,
         // they look like the start of a group that swallows the TIME_HIGH after them.
         {vect12(0xFFF), vect8(0xFF), timeHigh(6), timeHigh(6), timeLow(0x10), addrY(8), addrX(3, 0)},
         {Event2D(3, 8, 0, 0x6010)},
         0},
        {"an OTHERS group cut by the gap is dropped, the words after it are decoded",
         {timeHigh(5), timeLow(0x800), addrY(7), others(20), continued12(1)},
         // Without the gap, two of these words would complete the group.
         {timeHigh(6), timeLow(0x20), addrY(9), addrX(4, 1)},
         {Event2D(4, 9, 1, 0x6020)},
         0},
        {"no event before a row word",
         settledStart(),
         {timeHigh(6), timeLow(0x30), addrX(1, 0), addrX(2, 0), addrY(11), addrX(5, 0)},
         {Event2D(5, 11, 0, 0x6030)},
         0},
        {"no event before a TIME_HIGH: a TIME_LOW alone would put the time back",
         settledStart(),
         // The camera had moved to 0x6xxx; its TIME_HIGH was in the hole.
         {timeLow(0x100), addrY(7), addrX(20, 0), timeHigh(7), addrX(21, 0), timeLow(0x5), addrX(22, 1)},
         {Event2D(22, 7, 1, 0x7005)},
         0},
        {"no event before a TIME_LOW after the TIME_HIGH",
         settledStart(),
         {addrY(3), timeHigh(6), addrX(1, 0), timeLow(0x40), addrX(2, 0)},
         {Event2D(2, 3, 0, 0x6040)},
         0},
        {"a vector group needs a vector base from after the gap",
         {timeHigh(5), timeLow(0x800), addrY(7), vectBaseX(100, 0)},
         {timeHigh(6), timeLow(0x50), addrY(2), vect12(0x001), vect12(0), vect8(0), vectBaseX(200, 1), vect12(0x003),
          vect12(0), vect8(0)},
         {Event2D(200, 2, 1, 0x6050), Event2D(201, 2, 1, 0x6050)},
         0},
        {"a vector base seen while resynchronising still moves on with its groups",
         settledStart(),
         {vectBaseX(64, 0), addrY(2), vect12(0x001), vect12(0), vect8(0), timeHigh(6), timeLow(0x60), vect12(0x001),
          vect12(0), vect8(0)},
         {Event2D(96, 2, 0, 0x6060)},
         0},
        {"no trigger before time and row",
         settledStart(),
         {extTrigger(1, 1), timeHigh(6), extTrigger(2, 1), timeLow(0x70), addrY(1), extTrigger(3, 0)},
         {},
         1},
        {"a TIME_HIGH that would go back does not count",
         settledStart(),
         {timeHigh(4), timeLow(0x1), addrY(1), addrX(1, 0), timeHigh(6), timeLow(0x2), addrX(2, 0)},
         {Event2D(2, 1, 0, 0x6002)},
         0},
    };
    for (const GapCase& c : cases) {
        SCOPED_TRACE(c.name);
        EVT3Decoder decoder(W, H);
        Delivery delivery;
        decodeWords(decoder, c.before);
        delivery.attach(decoder);
        decoder.notifyGap();
        decodeWords(decoder, c.after);
        ASSERT_EQ(delivery.events.size(), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_TRUE(sameEvent(delivery.events[i], c.expected[i])) << i;
        }
        EXPECT_EQ(delivery.triggers.size(), c.triggers);
        EXPECT_GE(decoder.getLastTimeStamp(), 0x5800u) << "the time never goes back";
    }
}

// Resynchronising also works when the words it waits for are cut over several buffers, and a group
// cut off while resynchronising is skipped whole.
TEST(Evt3Gap, ResynchronisationGoesOnOverBufferEdges) {
    const std::vector<uint16_t> after = {vectBaseX(64, 0), addrY(2), vect12(0x001), vect12(0), vect8(0),
                                         timeHigh(6), others(22), continued12(0), continued12(0), continued12(0),
                                         timeLow(0x60), vect12(0x001), vect12(0), vect8(0), addrX(9, 1)};
    const std::vector<uint8_t> bytes = toBytes(after);
    for (size_t chunk = 2; chunk <= 8; chunk += 2) {
        SCOPED_TRACE(chunk);
        EVT3Decoder decoder(W, H);
        decodeWords(decoder, settledStart());
        Delivery delivery;
        delivery.attach(decoder);
        decoder.notifyGap();
        decodeInChunks(decoder, bytes, chunk);
        ASSERT_EQ(delivery.events.size(), 2u);
        EXPECT_TRUE(sameEvent(delivery.events[0], Event2D(96, 2, 0, 0x6060)));
        EXPECT_TRUE(sameEvent(delivery.events[1], Event2D(9, 2, 1, 0x6060)));
    }
}

// A gap at a clean point of a stream that states time and row again loses nothing.
TEST(Evt3Gap, AStreamThatStatesItsStateAgainLosesNothingAtTheGap) {
    const std::vector<uint16_t> first = {timeHigh(5), timeLow(0x800), addrY(7), addrX(10, 1)};
    const std::vector<uint16_t> second = {timeHigh(5), timeLow(0x900), addrY(7), addrX(11, 1), addrX(12, 0)};
    EVT3Decoder decoder(W, H);
    Delivery delivery;
    delivery.attach(decoder);
    decodeWords(decoder, first);
    decoder.notifyGap();
    decodeWords(decoder, second);
    ASSERT_EQ(delivery.events.size(), 3u);
    EXPECT_TRUE(sameEvent(delivery.events[2], Event2D(12, 7, 0, 0x5900)));
}

// Saved and restored, a decoder that waits for time and row after a gap goes on waiting.
TEST(Evt3Gap, StreamStateKeepsTheResynchronisation) {
    EVT3Decoder decoder(W, H);
    decodeWords(decoder, settledStart());
    decoder.notifyGap();
    decodeWords(decoder, {timeHigh(6)});
    const EVT3Decoder::StreamState saved = decoder.getStreamState();
    EVT3Decoder other(W, H);
    other.setStreamState(saved);
    Delivery delivery;
    delivery.attach(other);
    decodeWords(other, {addrY(1), addrX(1, 0), timeLow(0x3), addrX(2, 0)});
    ASSERT_EQ(delivery.events.size(), 1u);
    EXPECT_TRUE(sameEvent(delivery.events[0], Event2D(2, 1, 0, 0x6003)));
}

// Streams cut into packets of 1400 bytes with packets lost here and there: every event delivered was
// in the stream, in its order, and time never steps back, for generated streams with every kind of
// word group and for real recordings.
TEST(Evt3Gap, LostPacketsNeverMakeEventsTheCameraDidNotSend) {
    struct Source {
        const char* name;
        std::vector<uint16_t> words;
        unsigned width;
        unsigned height;
    };
    std::vector<Source> sources;
    {
        std::mt19937 rng(16);
        Evt3TestEncoder enc;
        uint64_t t = 100;
        std::vector<Event2D> events;
        for (int i = 0; i < 60000; ++i) {
            t += rng() % 40;
            const auto y = static_cast<uint16_t>(rng() % H);
            const auto x = static_cast<uint16_t>(rng() % (W - 40));
            const int n = 1 + static_cast<int>(rng() % 6);
            for (int k = 0; k < n; ++k) {
                events.emplace_back(static_cast<uint16_t>(x + k * (1 + rng() % 3)), y, int(rng() & 1), t);
            }
        }
        std::vector<EventTriggerIn> triggers;
        for (uint64_t tt = 500; tt < t; tt += 9000) {
            triggers.emplace_back(0, 1, tt);
        }
        enc.addStream(events, triggers, true);
        sources.push_back({"generated with vectors", enc.words(), W, H});
    }
    for (const char* file : {"ecc_evt3_trigger_1280x720.raw", "ecpy_test_events_1_640x480.raw"}) {
        const Evt3RawFile raw = loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/" + file);
        sources.push_back({file, raw.words(), raw.width, raw.height});
    }

    constexpr size_t PACKET_WORDS = 700;
    for (const Source& source : sources) {
        SCOPED_TRACE(source.name);
        const Evt3ReferenceResult whole = referenceDecode(source.words, source.width, source.height);
        for (unsigned burst : {1u, 2u, 50u}) {
            SCOPED_TRACE(burst);
            std::mt19937 rng(burst);
            EVT3Decoder decoder(static_cast<uint16_t>(source.width), static_cast<uint16_t>(source.height));
            Delivery delivery;
            delivery.attach(decoder);
            const size_t packets = (source.words.size() + PACKET_WORDS - 1) / PACKET_WORDS;
            size_t lost = 0;
            for (size_t p = 0; p < packets; ++p) {
                if (p > 0 && rng() % 100 == 0) {
                    p += burst - 1; // this packet and burst - 1 more go missing
                    lost += burst;
                    decoder.notifyGap();
                    continue;
                }
                const size_t first = p * PACKET_WORDS;
                const size_t last = std::min(first + PACKET_WORDS, source.words.size());
                decodeWords(decoder, std::vector<uint16_t>(source.words.begin() + static_cast<std::ptrdiff_t>(first),
                                                           source.words.begin() + static_cast<std::ptrdiff_t>(last)));
            }
            ASSERT_GT(lost, 0u);
            EXPECT_LT(delivery.events.size(), whole.events.size());
            EXPECT_GT(delivery.events.size(), whole.events.size() / 2);
            EXPECT_TRUE(timeNeverStepsBack(delivery.events));
            EXPECT_TRUE(isOrderedSubsequence(delivery.events, whole.events));
            for (const EventTriggerIn& t : delivery.triggers) {
                EXPECT_TRUE(std::any_of(whole.triggers.begin(), whole.triggers.end(), [&](const EventTriggerIn& w) {
                    return w.id == t.id && w.polarity == t.polarity && w.timestamp == t.timestamp;
                }));
            }
        }
    }
}
