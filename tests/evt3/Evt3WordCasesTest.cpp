// Word streams in, events and triggers out: one table of cases, each stated as the words a camera
// sends (through the test encoder's word builders) and the events the decoder must deliver.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "Evt3TestSupport.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "evt3/Evt3ReferenceDecoder.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::test;
using namespace quelnor::test::evt3word;

namespace {

constexpr uint16_t W = 1280;
constexpr uint16_t H = 720;
constexpr uint64_t PERIOD = uint64_t(1) << 24;

using Words = std::vector<uint16_t>;

Words cat(std::initializer_list<Words> parts) {
    Words all;
    for (const Words& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

Words repeat(size_t n, const Words& part) {
    Words all;
    for (size_t i = 0; i < n; ++i) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Words xs(size_t n, unsigned firstColumn = 0) {
    Words all;
    for (size_t i = 0; i < n; ++i) {
        all.push_back(addrX(static_cast<unsigned>((firstColumn + i) % W), 1));
    }
    return all;
}

std::vector<Event2D> rowEvents(size_t n, uint16_t y, uint64_t t, unsigned firstColumn = 0) {
    std::vector<Event2D> all;
    for (size_t i = 0; i < n; ++i) {
        all.emplace_back(static_cast<uint16_t>((firstColumn + i) % W), y, 1, t);
    }
    return all;
}

Words group(uint32_t mask) { return {vect12(mask & 0xFFF), vect12((mask >> 12) & 0xFFF), vect8(mask >> 24)}; }

// Time words bringing the stream to `t` (the encoder writes every TIME_HIGH step, as a camera does).
Words timeTo(uint64_t t) {
    Evt3TestEncoder enc;
    enc.setTime(t);
    return enc.words();
}

// The common start: time 4096 + 16 us.
const uint64_t T0 = 4096 + 16;
const Words START = {timeHigh(1), timeLow(16)};

struct WordCase {
    std::string name;
    std::vector<Words> buffers;
    std::vector<Event2D> events;
    std::vector<std::string> order = {};     // blocks and triggers in delivery order; empty: not checked
    std::vector<uint32_t> returns = {};      // decode() result per buffer; empty: not checked
    bool flip = false;
    uint64_t customTrigger = 0;
};

std::vector<WordCase> wordCases() {
    std::vector<WordCase> cases;
    // Row selection and columns.
    cases.push_back({"ADDR_X at the last column gives one event",
                     {cat({START, {addrY(5), addrX(1279, 1)}})},
                     {{1279, 5, 1, T0}}});
    cases.push_back({"columns at or past the width give nothing",
                     {cat({START, {addrY(5), addrX(1280, 0), addrX(2047, 1), addrX(0, 0)}})},
                     {{0, 5, 0, T0}}});
    cases.push_back({"flip mirrors columns of ADDR_X and vector events",
                     {cat({START, {addrY(5), addrX(1279, 1), addrX(0, 0), vectBaseX(100, 1)}, group(0x5)})},
                     {{0, 5, 1, T0}, {1279, 5, 0, T0}, {1179, 5, 1, T0}, {1177, 5, 1, T0}},
                     {},
                     {},
                     true});
    cases.push_back({"ADDR_X before any ADDR_Y gives nothing", {cat({START, {addrX(3, 1), addrX(4, 0)}})}, {}});
    cases.push_back({"a type-1 word deselects the row until the next ADDR_Y",
                     {cat({START, {addrY(5), addrX(1, 1), addrYOther(5), addrX(2, 1), addrY(6), addrX(3, 0)}})},
                     {{1, 5, 1, T0}, {3, 6, 0, T0}}});
    cases.push_back({"ADDR_Y at or past the height deselects the row",
                     {cat({START, {addrY(720), addrX(1, 1), addrY(719), addrX(2, 1), addrY(0xFFF), addrX(3, 1)}})},
                     {{2, 719, 1, T0}}});
    cases.push_back({"stored word types leave the row and time alone",
                     {cat({START,
                           {addrY(5), vect8(0xFF), continued4(3), make(9, 1), make(11, 2), make(12, 3), make(13, 4),
                            continued12(0xFFF), others(0x0FF), addrX(7, 1)}})},
                     {{7, 5, 1, T0}}});
    // Vector groups.
    cases.push_back({"vector group from base 100 with bits 0 and 2, then the base moves on by 32",
                     {cat({START, {addrY(3), vectBaseX(100, 0)}, group(0x5), group(0x80001001)})},
                     {{100, 3, 0, T0}, {102, 3, 0, T0}, {132, 3, 0, T0}, {144, 3, 0, T0}, {163, 3, 0, T0}}});
    cases.push_back({"vector polarity comes from VECT_BASE_X bit 11",
                     {cat({START, {addrY(3), vectBaseX(200, 1)}, group(0x1000)})},
                     {{212, 3, 1, T0}}});
    cases.push_back({"a group reaching past the width gives nothing; the next VECT_BASE_X makes groups valid",
                     {cat({START, {addrY(3), vectBaseX(1249, 0)}, group(0x1), {vectBaseX(1248, 1)}, group(0x80000001)})},
                     {{1248, 3, 1, T0}, {1279, 3, 1, T0}}});
    cases.push_back({"a refused base stays invalid while it advances back into the sensor",
                     // 1249 + 25 * 32 = 2049: column 1, polarity bit set by the carry.
                     {cat({START, {addrY(3), vectBaseX(1249, 0)}, repeat(26, group(0xFFFFFFFF)), {vectBaseX(1, 1)},
                           group(0x1)})},
                     {{1, 3, 1, T0}}});
    cases.push_back({"a group before any VECT_BASE_X gives nothing", {cat({START, {addrY(3)}, group(0x3)})}, {}});
    cases.push_back({"a group with no row selected is skipped and does not move the base",
                     {cat({START, {vectBaseX(100, 0)}, group(0x1), {addrY(3)}, group(0x1)})},
                     {{100, 3, 0, T0}}});
    cases.push_back({"the second and third words of a group are taken as mask bits whatever their type",
                     {cat({START, {addrY(3), vectBaseX(10, 0), vect12(0), addrX(1, 0), timeLow(0x80), addrX(5, 1)}})},
                     {{22, 3, 0, T0}, {41, 3, 0, T0}, {5, 3, 1, T0}}});
    // Time.
    cases.push_back({"TIME_HIGH 0xFFF then 0x000 moves into the next 2^24 us period",
                     {{timeHigh(0xFFF), timeLow(5), addrY(1), addrX(1, 1), timeHigh(0), timeLow(6), addrX(2, 1)}},
                     {{1, 1, 1, 0xFFF005}, {2, 1, 1, PERIOD + 6}}});
    cases.push_back({"TIME_HIGH 0x800 after 0xFFF lies in the past and is ignored",
                     {{timeHigh(0xFFF), timeLow(5), timeHigh(0x800), addrY(1), addrX(1, 1), timeLow(7), addrX(2, 1)}},
                     {{1, 1, 1, 0xFFF005}, {2, 1, 1, 0xFFF007}}});
    cases.push_back({"a repeated TIME_HIGH keeps the low part, a new one clears it",
                     {{timeHigh(2), timeLow(9), timeHigh(2), addrY(1), addrX(1, 1), timeHigh(3), addrX(2, 1)}},
                     {{1, 1, 1, 2 * 4096 + 9}, {2, 1, 1, 3 * 4096}}});
    cases.push_back({"before the first wrap any forward TIME_HIGH step is taken",
                     {{timeHigh(1), timeLow(0), timeHigh(0x7FF), addrY(1), addrX(1, 1)}},
                     {{1, 1, 1, 0x7FF000}}});
    {
        const uint64_t from = PERIOD + 5 * 4096 + 3520;  // + 1000000 = PERIOD + 250 * 4096
        cases.push_back({"past 2^24 a TIME_HIGH jump of exactly 1 s is taken",
                         {cat({timeTo(from), {timeHigh(250), addrY(1), addrX(1, 1)}})},
                         {{1, 1, 1, PERIOD + 250 * 4096}}});
        cases.push_back({"past 2^24 a TIME_HIGH jump of 1 s + 1 us is ignored",
                         {cat({timeTo(from - 1), {timeHigh(250), addrY(1), addrX(1, 1)}})},
                         {{1, 1, 1, from - 1}}});
    }
    // Blocks.
    cases.push_back({"700 events arrive in blocks of 320, 320 and 60",
                     {cat({START, {addrY(2)}, xs(700)})},
                     rowEvents(700, 2, T0),
                     {"B320", "B320", "B60"},
                     {700}});
    cases.push_back({"a vector group that might not fit flushes the block first",
                     {cat({START, {addrY(2)}, xs(288), {vectBaseX(400, 1)}, group(0xFFFFFFFF)})},
                     [] {
                         auto e = rowEvents(288, 2, T0);
                         auto v = rowEvents(32, 2, T0, 400);
                         e.insert(e.end(), v.begin(), v.end());
                         return e;
                     }(),
                     {"B288", "B32"}});
    cases.push_back({"a vector group that fits stays in the block",
                     {cat({START, {addrY(2)}, xs(287), {vectBaseX(400, 1)}, group(0xFFFFFFFF)})},
                     [] {
                         auto e = rowEvents(287, 2, T0);
                         auto v = rowEvents(32, 2, T0, 400);
                         e.insert(e.end(), v.begin(), v.end());
                         return e;
                     }(),
                     {"B319"}});
    // Triggers.
    cases.push_back({"EXT_TRIGGER delivers the events before it, then the trigger",
                     {cat({START, {addrY(2)}, xs(10), {make(0xA, (5 << 8) | 0xF1)}, xs(1, 10)})},
                     rowEvents(11, 2, T0),
                     {"B10", "T5:1@4112", "B1"}});
    cases.push_back({"EXT_TRIGGER channel 15 falling edge, before any event",
                     {cat({START, {extTrigger(15, 0), addrY(2)}, xs(2)})},
                     rowEvents(2, 2, T0),
                     {"T15:0@4112", "B2"}});
    cases.push_back({"a custom trigger fires once at the first TIME_LOW at or past its time",
                     {cat({START, {addrY(2)}, xs(3), {timeLow(100)}, xs(1, 3), {timeLow(200)}, xs(1, 4),
                           {timeLow(300), timeLow(400)}})},
                     [] {
                         auto e = rowEvents(3, 2, T0);
                         e.emplace_back(3, 2, 1, 4096 + 100);
                         e.emplace_back(4, 2, 1, 4096 + 200);
                         return e;
                     }(),
                     {"B4", "T0:2@4296", "B1"},
                     {},
                     false,
                     4096 + 150});
    // OTHERS.
    cases.push_back({"OTHERS 20 and 22 skip four words, other subtypes one",
                     {cat({START, {addrY(2), others(20)}, xs(3, 1), xs(1, 4), {others(22)}, xs(3, 1), xs(1, 5),
                           {others(25)}, xs(1, 6)})},
                     {{4, 2, 1, T0}, {5, 2, 1, T0}, {6, 2, 1, T0}}});
    // Groups cut at buffer edges.
    cases.push_back({"a buffer ending in two words of a group: its events come at the next call",
                     {cat({START, {addrY(1), vectBaseX(10, 0), vect12(1), vect12(1)}}), {vect8(0), addrX(100, 1)}},
                     {{10, 1, 0, T0}, {22, 1, 0, T0}, {100, 1, 1, T0}},
                     {"B3"},
                     {0, 3}});
    cases.push_back({"a group cut after one word and a one-word buffer: the events come at the third call",
                     {cat({START, {addrY(1), vectBaseX(10, 0), vect12(1)}}), {vect12(1)}, {vect8(0x80), addrX(100, 1)}},
                     {{10, 1, 0, T0}, {22, 1, 0, T0}, {41, 1, 0, T0}, {100, 1, 1, T0}},
                     {"B4"},
                     {0, 0, 4}});
    cases.push_back({"an OTHERS group cut after its first word is skipped whole",
                     {cat({START, {addrY(1), others(20)}}), xs(3, 1), xs(1, 4)},
                     {{4, 1, 1, T0}},
                     {},
                     {0, 0, 1}});
    cases.push_back({"events before a cut group are delivered by the call that cut it",
                     {cat({START, {addrY(1), addrX(7, 0), vectBaseX(10, 0), vect12(1)}}), {vect12(0), vect8(0)}},
                     {{7, 1, 0, T0}, {10, 1, 0, T0}},
                     {"B1", "B1"},
                     {1, 1}});
    return cases;
}

class Evt3WordCases : public ::testing::TestWithParam<WordCase> {};

TEST_P(Evt3WordCases, DeliverTheStatedEvents) {
    const WordCase& c = GetParam();
    EVT3Decoder decoder(W, H);
    decoder.setFlipX(c.flip);
    if (c.customTrigger != 0) {
        decoder.setCustomTriggerIn(c.customTrigger);
    }
    Delivery got;
    got.attach(decoder);
    std::vector<uint32_t> returns;
    for (const Words& buffer : c.buffers) {
        returns.push_back(decodeWords(decoder, buffer));
    }
    EXPECT_EQ(got.events, c.events);
    if (!c.order.empty()) {
        EXPECT_EQ(got.order, c.order);
    }
    if (!c.returns.empty()) {
        EXPECT_EQ(returns, c.returns);
    }
    for (size_t b : got.blocks) {
        EXPECT_LE(b, EVT3Decoder::BLOCK_SIZE);
    }

    // The whole stream in one buffer, and the reference decoder, agree with the cut decode.
    if (!c.flip && c.customTrigger == 0) {
        Words all;
        for (const Words& buffer : c.buffers) {
            all.insert(all.end(), buffer.begin(), buffer.end());
        }
        EVT3Decoder whole(W, H);
        Delivery one;
        one.attach(whole);
        decodeWords(whole, all);
        EXPECT_EQ(one.events, c.events);
        const Evt3ReferenceResult ref = referenceDecode(all, W, H);
        EXPECT_EQ(ref.events, c.events);
        EXPECT_EQ(ref.triggers, got.triggers);
    }
}

INSTANTIATE_TEST_SUITE_P(WordStreams, Evt3WordCases, ::testing::ValuesIn(wordCases()), caseName<WordCase>);

} // namespace
