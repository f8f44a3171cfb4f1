// Time jumps. Past the first 2^24 us a TIME_HIGH too far ahead of the time is refused as one
// corrupt word; a jump the stream goes on from (time lost without a reported gap) is taken once
// the TIME_HIGH words after it confirm it. TIME_HIGH words below the time are always refused.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
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
constexpr uint64_t STEP = 4096;  // one TIME_HIGH step
constexpr uint64_t SECOND = 1000000;
constexpr uint64_t MS = 1000;
constexpr uint64_t EVENT_EVERY = 700;
constexpr uint16_t ROW = 3;

uint64_t highOf(uint64_t t) { return t & ~(STEP - 1); }
unsigned highWord(uint64_t t) { return static_cast<unsigned>((t >> 12) & 0xFFF); }

size_t countLines(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

// A camera's stream of single events on one row, with the times the decoder must give them.
class Stream {
public:
    explicit Stream(uint64_t start) : now(start), nextEvent(start) {
        enc.setTime(start);
        take();
        prefix = words.size();
    }

    // Events every EVENT_EVERY us up to `to`. With `stuckHigh` not 0 the decoder must give them
    // that high part and their own low part; else their own time plus `shift`.
    Stream& run(uint64_t to, uint64_t stuckHigh = 0, uint64_t shift = 0) {
        for (; nextEvent < to; nextEvent += EVENT_EVERY) {
            const auto x = static_cast<uint16_t>(column++ % W);
            enc.addEvent(Event2D(x, ROW, 1, nextEvent));
            const uint64_t shown = stuckHigh != 0 ? stuckHigh | (nextEvent & (STEP - 1)) : nextEvent + shift;
            expected.emplace_back(x, ROW, 1, shown);
            now = nextEvent;
        }
        take();
        return *this;
    }
    // The time of the n-th TIME_HIGH step the camera writes after the current time.
    uint64_t stepsOn(unsigned n) const { return highOf(now) + n * STEP; }
    // The camera went on to `to` but the words up to there never arrived.
    Stream& lose(uint64_t to) {
        enc.setTime(to);
        enc.takeWords();
        now = to;
        nextEvent = to + 1;
        return *this;
    }
    // The stream starts again at `to`, below the time (a looped pattern).
    Stream& back(uint64_t to) {
        words.push_back(timeHigh(highWord(to)));
        enc.setTime(to);  // below the encoder's time: only the TIME_LOW
        take();
        now = to;
        nextEvent = to + 1;
        return *this;
    }
    Stream& word(uint16_t w) {
        words.push_back(w);
        return *this;
    }

    // The camera's time: of its last event, or where it was lost or went back to.
    uint64_t time() const { return now; }

    std::vector<uint16_t> words;
    std::vector<Event2D> expected;
    size_t prefix = 0;  // words that only bring the time past the first period

private:
    void take() {
        const std::vector<uint16_t> w = enc.takeWords();
        words.insert(words.end(), w.begin(), w.end());
    }

    Evt3TestEncoder enc;
    uint64_t now;
    uint64_t nextEvent;
    unsigned column = 0;
};

struct JumpCase {
    std::string name;
    Stream stream;
    uint64_t takenAt;  // the time the jump was taken at; 0: no jump is taken
};

// Starts past the first period, so the limit applies; the high part is 732, well away from both
// ends of its range.
const uint64_t START = PERIOD + 3 * SECOND + 123;

std::vector<JumpCase> jumpCases() {
    std::vector<JumpCase> cases;
    {
        Stream s(START);
        s.run(START + 20 * MS);
        s.word(timeHigh(highWord(s.time() + 5 * SECOND)));
        s.run(START + 50 * MS);
        cases.push_back({"a single corrupt TIME_HIGH 5 s ahead is refused", s, 0});
    }
    {
        Stream s(START);
        s.run(START + 20 * MS);
        const uint64_t junk = s.time() + 5 * SECOND;
        s.word(timeHigh(highWord(junk))).word(timeHigh(highWord(junk + STEP)));
        s.run(START + 50 * MS);
        cases.push_back({"two corrupt TIME_HIGH words leading on from one another are refused", s, 0});
    }
    {
        Stream s(START);
        s.run(START + 20 * MS);
        const uint64_t stuck = highOf(s.time());
        s.lose(s.time() + 2 * SECOND);
        const uint64_t taken = s.stepsOn(3);
        s.run(taken, stuck);
        s.run(taken + 30 * MS);
        cases.push_back({"2 s lost, then a steady stream: taken at its third TIME_HIGH", s, taken});
    }
    {
        // The high part wraps in the lost time: 3662 + 1709 steps.
        const uint64_t start = PERIOD + 15 * SECOND;
        Stream s(start);
        s.run(start + 20 * MS);
        const uint64_t stuck = highOf(s.time());
        s.lose(s.time() + 7 * SECOND);
        const uint64_t taken = s.stepsOn(3);
        s.run(taken, stuck);
        s.run(taken + 30 * MS);
        cases.push_back({"7 s lost over a wrap of the high part: taken in the next period", s, taken});
    }
    {
        Stream s(START);
        s.run(START + 20 * MS);
        const uint64_t t = s.time();
        for (uint64_t ahead : {5 * SECOND, 3 * SECOND, 5 * SECOND, 3 * SECOND, 5 * SECOND}) {
            s.word(timeHigh(highWord(t + ahead)));
        }
        s.run(START + 50 * MS);
        cases.push_back({"junk TIME_HIGH words that do not lead on from one another are refused", s, 0});
    }
    {
        Stream s(START);
        s.run(START + 20 * MS);
        const uint64_t junk = s.time() + 5 * SECOND;
        for (unsigned k = 0; k < 4; ++k) {
            s.word(timeHigh(highWord(junk + k * STEP)));
            s.run(s.stepsOn(1) + EVENT_EVERY);  // the camera's own TIME_HIGH moves the time in between
        }
        s.run(START + 60 * MS);
        cases.push_back({"junk leading on between the camera's own TIME_HIGH words is refused", s, 0});
    }
    {
        Stream s(START);
        s.run(START + 20 * MS);
        const uint64_t stuck = highOf(s.time());
        s.back(s.time() - 2 * SECOND);
        s.run(s.time() + 300 * MS, stuck);
        cases.push_back({"a timeline 2 s back stays refused: high part kept, low part taken", s, 0});
    }
    {
        // The high part falls by 2441 steps, half its range or more: read as a wrap, so the new
        // timeline lies 2^24 us - 10 s ahead, and is taken like any forward jump.
        const uint64_t start = PERIOD + 12 * SECOND;
        Stream s(start);
        s.run(start + 20 * MS);
        const uint64_t stuck = highOf(s.time());
        s.back(s.time() - 10 * SECOND);
        const uint64_t taken = s.stepsOn(2);  // the TIME_HIGH that began it was the first
        s.run(taken, stuck);
        s.run(taken + 30 * MS, 0, PERIOD);
        cases.push_back({"a timeline 10 s back reads as a wrap and a jump ahead: taken", s, taken + PERIOD});
    }
    return cases;
}

class Evt3TimeJump : public ::testing::TestWithParam<JumpCase> {};

TEST_P(Evt3TimeJump, DeliversTheStatedTimes) {
    const JumpCase& c = GetParam();
    const std::vector<uint16_t>& words = c.stream.words;
    const std::vector<uint8_t> bytes = toBytes(words);

    EVT3Decoder whole(W, H);
    Delivery got;
    got.attach(whole);
    ::testing::internal::CaptureStdout();
    decodeWords(whole, words);
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(got.events, c.stream.expected);
    EXPECT_EQ(countLines(log, "DVS timestamp jumped from "), c.takenAt != 0 ? 1u : 0u) << log;
    if (c.takenAt != 0) {
        EXPECT_EQ(countLines(log, " to " + std::to_string(c.takenAt) + " ("), 1u) << log;
    }

    const Evt3ReferenceResult ref = referenceDecode(words, W, H);
    EXPECT_EQ(ref.events, c.stream.expected);
    EXPECT_EQ(ref.lastTimestamp, whole.getLastTimeStamp());

    for (size_t chunk : {size_t(0), size_t(2), size_t(6), size_t(22), size_t(1000)}) {
        EXPECT_TRUE(countsLikeDecode(bytes, chunk, W, H));
    }

    // Cut at every word after the start: the same decoder over two buffers, and a new decoder
    // going on from the first one's stream state, deliver the same events. (The jump warnings of
    // these decodes are not wanted in the test's output.)
    std::string failure;
    ::testing::internal::CaptureStdout();
    for (size_t cut = c.stream.prefix; cut <= words.size() && failure.empty(); ++cut) {
        const std::vector<uint16_t> first(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(cut));
        const std::vector<uint16_t> second(words.begin() + static_cast<std::ptrdiff_t>(cut), words.end());
        EVT3Decoder cutDecoder(W, H);
        Delivery cutGot;
        cutGot.attach(cutDecoder);
        decodeWords(cutDecoder, first);
        const size_t firstEvents = cutGot.events.size();
        const EVT3Decoder::StreamState saved = cutDecoder.getStreamState();
        decodeWords(cutDecoder, second);
        if (cutGot.events != c.stream.expected) {
            failure = "two buffers cut at " + std::to_string(cut);
        }

        EVT3Decoder successor(W, H);
        successor.setStreamState(saved);
        Delivery rest;
        rest.attach(successor);
        decodeWords(successor, second);
        if (!sameState(successor.getStreamState(), whole.getStreamState())) {
            failure = "stream state after going on from a cut at " + std::to_string(cut);
        }
        std::vector<Event2D> joined(cutGot.events.begin(),
                                    cutGot.events.begin() + static_cast<std::ptrdiff_t>(firstEvents));
        joined.insert(joined.end(), rest.events.begin(), rest.events.end());
        if (joined != c.stream.expected) {
            failure = "events going on from a cut at " + std::to_string(cut);
        }
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(failure, "");
}

// A looped pattern puts the stream in refusal (its time went back); then an EXT_TRIGGER comes with
// a TIME_HIGH of its own 1.5 s ahead of the decoder's time. That TIME_HIGH alone is refused like
// any single one, so the trigger carries the high part the decoder holds with the low part of the
// TIME_LOW before it. The scan, with its 10 s limit, takes that TIME_HIGH instead.
TEST(Evt3TimeJumpTrigger, ATriggerAfterALoneTimeHighAheadCarriesTheDecodersTime) {
    Stream s(START);
    s.run(START + 20 * MS);
    const uint64_t stuck = highOf(s.time());
    s.back(s.time() - 2 * SECOND);
    s.run(s.time() + 30 * MS, stuck);
    const uint64_t ahead = stuck + 3 * SECOND / 2;  // ahead of the decoder's time, not the pattern's
    s.word(timeHigh(highWord(ahead))).word(timeLow(0x123)).word(extTrigger(4, 1));
    s.run(s.time() + 10 * MS, stuck);
    const std::vector<uint16_t>& words = s.words;

    const EventTriggerIn expected(4, 1, stuck | 0x123);
    EVT3Decoder decoder(W, H);
    Delivery got;
    got.attach(decoder);
    decodeWords(decoder, words);
    EXPECT_EQ(got.triggers, std::vector<EventTriggerIn>{expected});
    EXPECT_EQ(got.events, s.expected);
    EXPECT_EQ(referenceDecode(words, W, H).triggers, std::vector<EventTriggerIn>{expected});

    EVT3Decoder counting(W, H);
    std::vector<EventTriggerIn> counted;
    counting.setTriggerInCallback([&](EventTriggerIn t) { counted.push_back(t); });
    std::vector<uint8_t> bytes = toBytes(words);
    counting.countEvents(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(counted, std::vector<EventTriggerIn>{expected});

    EVT3Decoder scanner(W, H);
    std::vector<EventTriggerIn> scanned;
    ::testing::internal::CaptureStdout();
    scanner.preprocessEventData(bytes.data(), bytes.data() + bytes.size(), scanned);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(scanned, std::vector<EventTriggerIn>{EventTriggerIn(4, 1, highOf(ahead) | 0x123)});
}

// The scans take a jump past their own limit (10 s) once the stream confirms it, like decode()
// does past 1 s; a lone TIME_HIGH past it stays refused. Cut anywhere, the scans end the same.
TEST(Evt3TimeJumpScan, TheScansTakeAConfirmedJumpPastTheirLimit) {
    Stream s(START);
    s.run(START + 20 * MS);
    s.lose(s.time() + 12 * SECOND);
    s.run(s.time() + 30 * MS);
    const std::vector<uint16_t> words = [&] {
        std::vector<uint16_t> w = s.words;
        w.push_back(extTrigger(2, 0));
        return w;
    }();
    const uint64_t last = s.time();
    const std::vector<uint8_t> bytes = toBytes(words);

    for (size_t cut = s.prefix; cut <= words.size(); ++cut) {
        SCOPED_TRACE(cut);
        auto* middle = const_cast<uint8_t*>(bytes.data()) + 2 * cut;
        auto* begin = const_cast<uint8_t*>(bytes.data());
        auto* end = begin + bytes.size();
        ::testing::internal::CaptureStdout();
        EVT3Decoder timeScan(W, H);
        timeScan.decodeTimeStamp(begin, middle);
        timeScan.decodeTimeStamp(middle, end);
        EVT3Decoder triggerScan(W, H);
        std::vector<EventTriggerIn> triggers;
        triggerScan.preprocessEventData(begin, middle, triggers);
        triggerScan.preprocessEventData(middle, end, triggers);
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(timeScan.getLastTimeStamp(), last);
        ASSERT_EQ(triggers, std::vector<EventTriggerIn>{EventTriggerIn(2, 0, last)});
    }

    // A lone TIME_HIGH 12 s ahead, and the TIME_LOW after it, change nothing for the time scan.
    Stream lone(START);
    lone.run(START + 20 * MS);
    lone.word(timeHigh(highWord(lone.time() + 12 * SECOND))).word(timeLow(0xFFF));
    std::vector<uint8_t> loneBytes = toBytes(lone.words);
    EVT3Decoder timeScan(W, H);
    timeScan.decodeTimeStamp(loneBytes.data(), loneBytes.data() + loneBytes.size());
    EXPECT_EQ(timeScan.getLastTimeStamp(), lone.time());
}

// The confirmation so far is stream state: saved and given back it goes on, and reset() and
// notifyGap() drop it, so a series broken by them starts again.
TEST(Evt3TimeJumpState, ResetAndGapDropTheConfirmation) {
    Stream s(START);
    s.run(START + 20 * MS);
    const uint64_t time = s.time();
    const uint64_t junk = time + 5 * SECOND;
    const std::vector<uint16_t> twoAhead = {timeHigh(highWord(junk)), timeHigh(highWord(junk + STEP))};
    const std::vector<uint16_t> third = {timeHigh(highWord(junk + 2 * STEP)), timeLow(0x10)};

    EVT3Decoder decoder(W, H);
    decodeWords(decoder, s.words);
    decodeWords(decoder, twoAhead);
    const EVT3Decoder::StreamState saved = decoder.getStreamState();
    EXPECT_EQ(saved.jumpWords, 2u);
    EXPECT_EQ(saved.lastTimestamp, time);

    EVT3Decoder restored(W, H);
    restored.setStreamState(saved);
    ::testing::internal::CaptureStdout();
    decodeWords(restored, third);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(restored.getLastTimeStamp(), highOf(junk + 2 * STEP) | 0x10);

    EVT3Decoder afterReset(W, H);
    afterReset.setStreamState(saved);
    afterReset.reset();
    EXPECT_EQ(afterReset.getStreamState().jumpWords, 0u);

    // After a gap the first TIME_HIGH may go anywhere ahead; the series from before it is gone.
    EVT3Decoder afterGap(W, H);
    afterGap.setStreamState(saved);
    afterGap.notifyGap();
    EXPECT_EQ(afterGap.getStreamState().jumpWords, 0u);
    decodeWords(afterGap, {timeHigh(highWord(time)), timeLow(0x20), addrY(1), addrX(1, 1)});
    decodeWords(afterGap, third);
    EXPECT_EQ(afterGap.getLastTimeStamp(), highOf(time) | 0x10);
}

// A broken stream may jump again and again: both jumps are taken, but the warning is written at
// most once a second (the first at once).
TEST(Evt3TimeJumpLog, JumpsInQuickSuccessionGiveOneWarning) {
    Stream s(START);
    s.run(START + 20 * MS);
    uint64_t stuck = highOf(s.time());
    s.lose(s.time() + 2 * SECOND);
    uint64_t taken = s.stepsOn(3);
    s.run(taken, stuck).run(taken + 30 * MS);
    stuck = highOf(s.time());
    s.lose(s.time() + 3 * SECOND);
    taken = s.stepsOn(3);
    s.run(taken, stuck).run(taken + 30 * MS);

    const auto begun = std::chrono::steady_clock::now();
    EVT3Decoder decoder(W, H);
    Delivery got;
    got.attach(decoder);
    ::testing::internal::CaptureStdout();
    decodeWords(decoder, s.words);
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(got.events, s.expected);
    // (On a machine too slow to decode this within 0.9 s the count is not checked.)
    if (std::chrono::steady_clock::now() - begun < std::chrono::milliseconds(900)) {
        EXPECT_EQ(countLines(log, "DVS timestamp jumped from "), 1u) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Evt3TimeJump, ::testing::ValuesIn(jumpCases()), caseName<JumpCase>);

} // namespace
