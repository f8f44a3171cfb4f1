#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Evt3TestSupport.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorHal/EventStream/BinarySearchTimestamp.h"
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

size_t countLines(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

std::vector<uint16_t> group3() { return {vect12(0xABC), vect12(0x123), vect8(0x45)}; }

// A stream with every kind of word group: single events, vector groups, OTHERS groups, triggers,
// time steps, so that cutting it anywhere cuts every kind of group somewhere.
std::vector<uint16_t> mixedStream() {
    Evt3TestEncoder enc;
    uint64_t t = 1000;
    for (int round = 0; round < 40; ++round) {
        enc.addEvent(Event2D(static_cast<uint16_t>(round * 7), static_cast<uint16_t>(round % 720), round & 1, t));
        enc.addVector(static_cast<uint16_t>(round + 1), static_cast<uint16_t>(32 * (round % 39)), round & 1,
                      0x80000001u | (0x1111u << (round % 16)), t);
        enc.addWords(group3());
        enc.addOthers(round % 2 ? 20 : 22);
        enc.addOthers(0x0FF);
        if (round % 5 == 0) {
            enc.addTrigger(EventTriggerIn(static_cast<int16_t>(round % 16), round & 1, t));
        }
        t += 700 + 37 * round;
    }
    return enc.words();
}

} // namespace


TEST(Evt3Decoder, CuttingAStreamAnywhereChangesNothing) {
    const std::vector<uint16_t> words = mixedStream();
    EVT3Decoder whole(W, H);
    Delivery expected;
    expected.attach(whole);
    decodeWords(whole, words);
    const Evt3ReferenceResult ref = referenceDecode(words, W, H);
    ASSERT_EQ(expected.events, ref.events);
    ASSERT_EQ(expected.triggers, ref.triggers);
    ASSERT_GT(ref.events.size(), 400u);
    ASSERT_EQ(ref.triggers.size(), 8u);

    // Every cut into two buffers, and cuts into three buffers close together (1- and 2-word middles).
    for (size_t cut = 0; cut <= words.size(); ++cut) {
        for (size_t middle : {size_t(0), size_t(1), size_t(2), size_t(3)}) {
            if (cut + middle > words.size()) {
                continue;
            }
            EVT3Decoder decoder(W, H);
            Delivery got;
            got.attach(decoder);
            decodeWords(decoder, {words.begin(), words.begin() + static_cast<std::ptrdiff_t>(cut)});
            decodeWords(decoder, {words.begin() + static_cast<std::ptrdiff_t>(cut),
                                  words.begin() + static_cast<std::ptrdiff_t>(cut + middle)});
            decodeWords(decoder, {words.begin() + static_cast<std::ptrdiff_t>(cut + middle), words.end()});
            ASSERT_EQ(got.events, expected.events) << "cut at " << cut << " + " << middle;
            ASSERT_EQ(got.triggers, expected.triggers) << "cut at " << cut << " + " << middle;
        }
    }
}

TEST(Evt3Decoder, BuffersAtAnyAddressDecodeTheSame) {
    const std::vector<uint8_t> bytes = toBytes(mixedStream());
    std::vector<uint8_t> shifted(bytes.size() + 1);
    std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    EVT3Decoder aligned(W, H);
    EVT3Decoder odd(W, H);
    Delivery a;
    Delivery b;
    a.attach(aligned);
    b.attach(odd);
    std::vector<uint8_t> copy = bytes;
    aligned.decode(copy);
    odd.decode(shifted.data() + 1, shifted.data() + shifted.size());
    EXPECT_EQ(a.events, b.events);
    EXPECT_FALSE(a.events.empty());
}

TEST(Evt3Decoder, CountsBytesAndEventsUntilRead) {
    EVT3Decoder decoder(W, H);
    Delivery got;
    got.attach(decoder);
    std::vector<uint8_t> bytes = toBytes({timeHigh(1), timeLow(1), addrY(1), addrX(1, 1), addrX(2, 1)});
    bytes.push_back(0x21);  // a trailing odd byte is not decoded
    EXPECT_EQ(decoder.decode(bytes), 2u);
    EXPECT_EQ(decoder.getDecodeDataBandwidth(), 10u);
    EXPECT_EQ(decoder.getDecodeDataBandwidth(), 0u);
    EXPECT_EQ(decoder.getDecodeEventCount(), 2u);
    EXPECT_EQ(decoder.getDecodeEventCount(), 0u);

    std::vector<uint8_t> none;
    EXPECT_EQ(decoder.decode(none), 0u);
    EXPECT_EQ(decoder.getDecodeDataBandwidth(), 0u);
    EXPECT_EQ(got.events.size(), 2u);
}

TEST(Evt3Decoder, TimeIsReportedOnlyOnceBothTimeWordsWereSeen) {
    EVT3Decoder decoder(W, H);
    decodeWords(decoder, {timeHigh(3), timeHigh(4)});
    EXPECT_EQ(decoder.getLastTimeStamp(), 0u);
    EXPECT_EQ(decoder.getFirstTimeStamp(), 0u);
    uint64_t t = 123456;
    decoder.setLastTimeStamp(t);
    EXPECT_EQ(decoder.getLastTimeStamp(), 0u);  // the flags are not changed by setting the time
    decoder.reset();
    decodeWords(decoder, {timeHigh(3), timeLow(7), timeLow(9), timeHigh(4), timeLow(1)});
    EXPECT_EQ(decoder.getLastTimeStamp(), 4u * 4096 + 1);
    EXPECT_EQ(decoder.getFirstTimeStamp(), 3u * 4096 + 7);
    decoder.setLastTimeStamp(t);
    EXPECT_EQ(decoder.getLastTimeStamp(), t);
}

TEST(Evt3Decoder, TimeScanAllowsLongerJumpsAndSkipsTheWordAfterARejectedOne) {
    // Past the first period, a 5 s step is too long for decode() but fine for the scan; 11 s is not.
    const uint64_t start = PERIOD + 4096;
    Evt3TestEncoder enc;
    enc.setTime(start);
    const std::vector<uint16_t> toStart = enc.words();
    const unsigned h5s = static_cast<unsigned>(((start + 5000000) >> 12) & 0xFFF);

    EVT3Decoder decoder(W, H);
    decodeWords(decoder, toStart);
    decodeWords(decoder, {timeHigh(h5s), timeLow(0)});
    EXPECT_EQ(decoder.getLastTimeStamp(), start);

    EVT3Decoder scanner(W, H);
    Delivery got;
    got.attach(scanner);
    std::vector<uint8_t> bytes = toBytes(toStart);
    ASSERT_TRUE(scanner.decodeTimeStamp(bytes.data(), bytes.data() + bytes.size()));
    EXPECT_EQ(scanner.getLastTimeStamp(), start);
    bytes = toBytes({timeHigh(h5s), timeLow(0), addrY(1), addrX(1, 1), extTrigger(1, 1)});
    scanner.decodeTimeStamp(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(scanner.getLastTimeStamp(), ((start + 5000000) >> 12) << 12);
    const uint64_t after5s = scanner.getLastTimeStamp();
    const unsigned h11s = static_cast<unsigned>(((after5s + 11000000) >> 12) & 0xFFF);
    // Rejected: and the TIME_LOW right after it is skipped with it.
    bytes = toBytes({timeHigh(h11s), timeLow(0x777)});
    scanner.decodeTimeStamp(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(scanner.getLastTimeStamp(), after5s);
    // A TIME_LOW that would move the time back is not applied by the scan.
    bytes = toBytes({timeLow(0x500), timeLow(0x100)});
    scanner.decodeTimeStamp(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(scanner.getLastTimeStamp(), after5s + 0x500);
    EXPECT_TRUE(got.events.empty());
    EXPECT_TRUE(got.triggers.empty());
    EXPECT_EQ(scanner.getDecodeDataBandwidth(), 0u);
}

TEST(Evt3Decoder, TimeScanWrapsAtHalfTheHighRange) {
    struct Case {
        unsigned oldHigh;
        unsigned newHigh;
        uint64_t expected;
    };
    const Case cases[] = {
        {0x900, 0x100, PERIOD + (0x100 << 12)},  // fell by 2048: next period
        {0x8FF, 0x100, 0x8FF000 + 5},            // fell by 2047: in the past, ignored
        {0xFFF, 0x000, PERIOD},
        {0x100, 0x900, 0x900000},                // forward inside the period
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oldHigh);
        EVT3Decoder scanner(W, H);
        std::vector<uint8_t> bytes = toBytes({timeHigh(c.oldHigh), timeLow(5), timeHigh(c.newHigh), make(0x9, 0)});
        scanner.decodeTimeStamp(bytes.data(), bytes.data() + bytes.size());
        EXPECT_EQ(scanner.getLastTimeStamp(), c.expected);
    }
}

TEST(Evt3Decoder, TriggerPreScanFindsTriggersWithTheirTimes) {
    EVT3Decoder decoder(W, H);
    std::vector<EventTriggerIn> fromCallback;
    Delivery got;
    got.attach(decoder);
    decoder.setTriggerInCallback([&](EventTriggerIn t) { fromCallback.push_back(t); });
    const std::vector<uint16_t> words = {timeHigh(2),       timeLow(10),      addrY(1),   addrX(1, 1),
                                         extTrigger(3, 1),  timeLow(20),      extTrigger(3, 0),
                                         timeHigh(1),  // in the past: skipped alone
                                         timeLow(5),        extTrigger(12, 1)};
    std::vector<uint8_t> bytes = toBytes(words);
    std::vector<EventTriggerIn> triggers = {EventTriggerIn(9, 9, 9)};
    ::testing::internal::CaptureStdout();
    const uint32_t scanned = decoder.preprocessEventData(bytes.data(), bytes.data() + bytes.size(), triggers);
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(scanned, words.size());
    const std::vector<EventTriggerIn> expected = {EventTriggerIn(9, 9, 9), EventTriggerIn(3, 1, 2 * 4096 + 10),
                                                  EventTriggerIn(3, 0, 2 * 4096 + 20),
                                                  EventTriggerIn(12, 1, 2 * 4096 + 5)};
    EXPECT_EQ(triggers, expected);
    EXPECT_EQ(fromCallback, std::vector<EventTriggerIn>(expected.begin() + 1, expected.end()));
    EXPECT_EQ(countLines(log, "EVT3Decoder::preprocessEventData - Found trigger: id="), 3u) << log;
    EXPECT_EQ(countLines(log, "Found trigger: id=3, pol=1, ts=8202"), 1u) << log;
    EXPECT_TRUE(got.events.empty());
}

TEST(Evt3Decoder, TriggersWithoutACallbackLeaveTheBlockWhole) {
    EVT3Decoder decoder(W, H);
    std::vector<size_t> blocks;
    decoder.setEventsStreamHandleCallback([&](Event2D* a, Event2D* b) { blocks.push_back(size_t(b - a)); });
    decoder.setCustomTriggerIn(4096 + 5);
    decodeWords(decoder, {timeHigh(1), timeLow(1), addrY(1), addrX(1, 1), extTrigger(1, 1), timeLow(9), addrX(2, 1)});
    EXPECT_EQ(blocks, std::vector<size_t>{2});
    // The custom trigger was passed without a callback: it is gone.
    std::vector<EventTriggerIn> triggers;
    decoder.setTriggerInCallback([&](EventTriggerIn t) { triggers.push_back(t); });
    decodeWords(decoder, {timeLow(20)});
    EXPECT_TRUE(triggers.empty());
}

TEST(Evt3Decoder, ACustomTriggerSetFromItsOwnCallbackIsKept) {
    EVT3Decoder decoder(W, H);
    std::vector<EventTriggerIn> triggers;
    decoder.setTriggerInCallback([&](EventTriggerIn t) {
        triggers.push_back(t);
        if (triggers.size() == 1) {
            decoder.setCustomTriggerIn(t.timestamp + 100);
        }
    });
    decoder.setCustomTriggerIn(4096 + 50);
    decodeWords(decoder, {timeHigh(1), timeLow(60), timeLow(100), timeLow(170), timeLow(300)});
    const std::vector<EventTriggerIn> expected = {EventTriggerIn(0, 2, 4096 + 60), EventTriggerIn(0, 2, 4096 + 170)};
    EXPECT_EQ(triggers, expected);
}

TEST(Evt3Decoder, PendingCustomTriggersComeOnceEachInTimeOrder) {
    struct Case {
        const char* name;
        std::vector<uint64_t> set;        // in the order they are set, before decoding
        std::vector<uint16_t> lows;       // TIME_LOW payloads after TIME_HIGH 1
        std::vector<uint64_t> expected;   // times of the reports
    };
    const uint64_t base = 4096;
    const std::vector<Case> cases = {
        {"a new mark does not replace one still due", {base + 50, base + 80}, {40, 60, 70, 90},
         {base + 60, base + 90}},
        {"set out of order", {base + 80, base + 50}, {60, 90}, {base + 60, base + 90}},
        {"one time word reaching two marks reports both", {base + 10, base + 20}, {30}, {base + 30, base + 30}},
        {"a time set twice is one mark", {base + 10, base + 10}, {30, 40}, {base + 30}},
        {"0 forgets the pending marks", {base + 10, base + 20, 0, base + 35}, {30, 40}, {base + 40}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EVT3Decoder decoder(W, H);
        std::vector<uint64_t> got;
        decoder.setTriggerInCallback([&](EventTriggerIn t) {
            EXPECT_EQ(t.polarity, 2);
            got.push_back(t.timestamp);
        });
        for (uint64_t t : c.set) {
            decoder.setCustomTriggerIn(t);
        }
        std::vector<uint16_t> words{timeHigh(1)};
        for (uint16_t low : c.lows) {
            words.push_back(timeLow(low));
        }
        decodeWords(decoder, words);
        EXPECT_EQ(got, c.expected);
    }
}

TEST(Evt3Decoder, MarksBeyondTheSlotsAreRefusedWithAWarningAndTheOthersStillCome) {
    EVT3Decoder decoder(W, H);
    std::vector<uint64_t> got;
    decoder.setTriggerInCallback([&](EventTriggerIn t) { got.push_back(t.timestamp); });
    ::testing::internal::CaptureStdout();
    for (uint64_t i = 1; i <= EVT3Decoder::CUSTOM_TRIGGER_SLOTS + 1; ++i) {
        decoder.setCustomTriggerIn(4096 + i);
    }
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(countLines(log, "Custom trigger at " + std::to_string(4096 + EVT3Decoder::CUSTOM_TRIGGER_SLOTS + 1) +
                                  " refused: 16 are pending."),
              1u)
        << log;
    decodeWords(decoder, {timeHigh(1), timeLow(100)});
    EXPECT_EQ(got.size(), EVT3Decoder::CUSTOM_TRIGGER_SLOTS);
}

TEST(Evt3Decoder, SharedBlocksStayValidWhileHeldAndTheEventsCallbackComesFirst) {
    std::vector<std::shared_ptr<std::vector<Event2D>>> kept;
    std::vector<std::string> order;
    {
        EVT3Decoder decoder(W, H);
        decoder.setEventsStreamHandleCallback([&](Event2D* a, Event2D* b) { order.push_back("E" + std::to_string(b - a)); });
        decoder.setSharedEventsStreamHandleCallback([&](std::shared_ptr<std::vector<Event2D>> block) {
            order.push_back("S" + std::to_string(block->size()));
            kept.push_back(std::move(block));
        });
        std::vector<uint16_t> words = {timeHigh(1), timeLow(1), addrY(4)};
        for (unsigned i = 0; i < 1000; ++i) {
            words.push_back(addrX(i, i & 1));
        }
        for (int call = 0; call < 3; ++call) {
            EXPECT_EQ(decodeWords(decoder, words), 1000u);
        }
    }
    // The decoder is gone; the blocks it handed out are still whole and distinct.
    ASSERT_EQ(kept.size(), 12u);
    const std::vector<std::string> perCall = {"E320", "S320", "E320", "S320", "E320", "S320", "E40", "S40"};
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i], perCall[i % perCall.size()]);
    }
    for (size_t b = 0; b < kept.size(); ++b) {
        const size_t first = (b % 4) * 320;
        for (size_t i = 0; i < kept[b]->size(); ++i) {
            ASSERT_EQ((*kept[b])[i], Event2D(static_cast<uint16_t>(first + i), 4, (first + i) & 1, 4097));
        }
        for (size_t c = b + 1; c < kept.size(); ++c) {
            EXPECT_NE(kept[b].get(), kept[c].get());
        }
    }
}

TEST(Evt3Decoder, StatusHoldsTheStoredPayloadsAndSettingItDropsACarriedGroup) {
    EVT3Decoder decoder(W, H);
    Delivery got;
    got.attach(decoder);
    decodeWords(decoder, {addrY(5), vectBaseX(0x8AB, 0), timeLow(0x123), make(9, 0x456), continued12(0x789),
                          vectBaseX(10, 0), vect12(1)});
    EVT3Decoder::EVT3DecoderStatus status = decoder.getDecodeStatus();
    EXPECT_EQ(status.lastPayload[0], 5);
    EXPECT_EQ(status.lastPayload[3], 10);
    EXPECT_EQ(status.lastPayload[6], 0x123);
    EXPECT_EQ(status.lastPayload[9], 0x456);
    EXPECT_EQ(status.lastPayload[15], 0x789);
    decoder.setDecodeStatus(status);
    // With the cut group still carried, these two words would complete it.
    decodeWords(decoder, {vect8(0), addrX(7, 1)});
    EXPECT_EQ(got.events, (std::vector<Event2D>{{7, 5, 1, 0x123}}));
}

TEST(Evt3Decoder, SettingAStatusSelectsTheRowItCarries) {
    EVT3Decoder decoder(W, H);
    Delivery got;
    got.attach(decoder);
    decodeWords(decoder, {timeHigh(1), timeLow(2), addrY(5), addrX(1, 1)});
    EVT3Decoder::EVT3DecoderStatus status = decoder.getDecodeStatus();

    // A status whose row lies outside the sensor leaves no row selected: no event below the geometry.
    status.lastPayload[0] = H + 80;
    decoder.setDecodeStatus(status);
    decodeWords(decoder, {addrX(2, 1)});
    // Back to a row inside the sensor, also without an ADDR_Y word.
    status.lastPayload[0] = 7;
    decoder.setDecodeStatus(status);
    decodeWords(decoder, {addrX(3, 0), continued4(1), addrX(4, 0)});
    // After a type-1 word a status does not select the row again.
    decodeWords(decoder, {addrYOther(0)});
    decoder.setDecodeStatus(status);
    decodeWords(decoder, {addrX(5, 0)});
    EXPECT_EQ(got.events, (std::vector<Event2D>{{1, 5, 1, 4098}, {3, 7, 0, 4098}, {4, 7, 0, 4098}}));
}

TEST(Evt3Decoder, ResetForgetsTheStreamButKeepsCountersAndCustomTrigger) {
    EVT3Decoder decoder(W, H);
    Delivery got;
    got.attach(decoder);
    decoder.setCustomTriggerIn(3 * 4096);
    decodeWords(decoder, {timeHigh(2), timeLow(1), addrY(5), addrX(1, 1), vectBaseX(40, 0), vect12(1)});
    decoder.reset();
    EXPECT_EQ(decoder.getLastTimeStamp(), 0u);
    EXPECT_EQ(decoder.getFirstTimeStamp(), 0u);
    EXPECT_EQ(decoder.getDecodeStatus().lastPayload[0], 0);
    // No row after reset; the cut group is gone (these words start fresh).
    decodeWords(decoder, {addrX(2, 1), vect8(0), timeHigh(3), timeLow(0), addrY(6), addrX(3, 0)});
    EXPECT_EQ(got.events, (std::vector<Event2D>{{1, 5, 1, 2 * 4096 + 1}, {3, 6, 0, 3 * 4096}}));
    EXPECT_EQ(got.triggers, (std::vector<EventTriggerIn>{EventTriggerIn(0, 2, 3 * 4096)}));
    EXPECT_EQ(decoder.getDecodeEventCount(), 2u);
    EXPECT_EQ(decoder.getDecodeDataBandwidth(), 24u);
}

TEST(Evt3Decoder, StreamStateRestoresADecodeAtAnyPoint) {
    const std::vector<uint16_t> words = mixedStream();
    EVT3Decoder whole(W, H);
    Delivery all;
    all.attach(whole);
    decodeWords(whole, words);

    for (size_t cut = 0; cut <= words.size(); cut += 3) {
        EVT3Decoder first(W, H);
        Delivery head;
        head.attach(first);
        decodeWords(first, {words.begin(), words.begin() + static_cast<std::ptrdiff_t>(cut)});
        const EVT3Decoder::StreamState state = first.getStreamState();

        // A decoder that saw other data before takes the state over.
        EVT3Decoder second(W, H);
        decodeWords(second, {timeHigh(0x700), timeLow(3), addrY(9), vectBaseX(5, 1), vect12(3)});
        Delivery tail;
        tail.attach(second);
        second.setStreamState(state);
        decodeWords(second, {words.begin() + static_cast<std::ptrdiff_t>(cut), words.end()});

        std::vector<Event2D> joined = head.events;
        joined.insert(joined.end(), tail.events.begin(), tail.events.end());
        ASSERT_EQ(joined, all.events) << "cut at " << cut;
        EXPECT_EQ(second.getLastTimeStamp(), whole.getLastTimeStamp());
        EXPECT_EQ(second.getFirstTimeStamp(), whole.getFirstTimeStamp());
    }
}

TEST(Evt3Decoder, AnomalyWarningIsWrittenAtMostOncePerSecond) {
    const auto built = std::chrono::steady_clock::now();
    EVT3Decoder decoder(W, H);
    const std::vector<uint16_t> backwards = {timeHigh(0x10), timeLow(0), timeHigh(0x5), timeHigh(0x4), timeHigh(0x3)};
    ::testing::internal::CaptureStdout();
    decodeWords(decoder, backwards);
    std::string log = ::testing::internal::GetCapturedStdout();
    // Within the first second after construction anomalies are only counted. (On a machine too
    // slow to get here within 0.9 s the exact figures below are not checked.)
    const bool quick = std::chrono::steady_clock::now() - built < std::chrono::milliseconds(900);
    if (quick) {
        EXPECT_EQ(countLines(log, "DVS timestamp anomalies"), 0u) << log;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ::testing::internal::CaptureStdout();
    decodeWords(decoder, {timeHigh(0x2), timeHigh(0x1), timeHigh(0x1), timeHigh(0x0)});
    log = ::testing::internal::GetCapturedStdout();
    // The first of these is the fourth anomaly since the last warning; the rest are only counted.
    if (quick) {
        EXPECT_EQ(countLines(log, "DVS timestamp anomalies in the last second: 4 (latest new=8192, last=65536)"), 1u)
            << log;
        EXPECT_EQ(countLines(log, "DVS timestamp anomalies"), 1u) << log;
    }
    EXPECT_EQ(decoder.getLastTimeStamp(), 0x10000u);
}

// Every value of every byte of a vector mask, alone and mixed, at bases up to the right edge and
// with the block filled to every level before a group (so groups land next to a block's end): the
// events are the reference decoder's, mirrored when flipped, and no block exceeds its size.
TEST(Evt3Decoder, EveryByteOfAVectorMaskGivesItsColumns) {
    std::vector<uint16_t> words = {timeHigh(3), timeLow(0x123), addrY(17)};
    unsigned step = 0;
    auto addGroup = [&](uint32_t mask) {
        for (unsigned k = 0; k < step % 11; ++k) {
            words.push_back(addrX((step * 37 + k) % W, k & 1));
        }
        const unsigned base = (step * 97) % (W - 31);  // base + 32 reaches the width now and then
        words.push_back(vectBaseX(base, step & 1));
        words.push_back(vect12(mask & 0xFFF));
        words.push_back(vect12((mask >> 12) & 0xFFF));
        words.push_back(vect8(mask >> 24));
        if (step % 5 == 0) {
            words.push_back(timeLow((0x123 + step) & 0xFFF));
        }
        ++step;
    };
    for (unsigned byte = 0; byte < 4; ++byte) {
        for (uint32_t value = 0; value < 256; ++value) {
            addGroup(value << (8 * byte));
        }
    }
    for (uint32_t value = 0; value < 256; ++value) {
        addGroup(value * 0x01010101u);
        addGroup(~(value * 0x01000193u));
    }
    const Evt3ReferenceResult ref = referenceDecode(words, W, H);
    ASSERT_GT(ref.events.size(), 20000u);
    for (bool flip : {false, true}) {
        EVT3Decoder decoder(W, H);
        decoder.setFlipX(flip);
        Delivery delivery;
        delivery.attach(decoder);
        decodeWords(decoder, words);
        std::vector<Event2D> expected = ref.events;
        if (flip) {
            for (Event2D& e : expected) {
                e.x = static_cast<uint16_t>(W - 1 - e.x);
            }
        }
        ASSERT_EQ(delivery.events, expected) << (flip ? "flipped" : "");
        EXPECT_LE(*std::max_element(delivery.blocks.begin(), delivery.blocks.end()), EVT3Decoder::BLOCK_SIZE);
    }
}

TEST(BinarySearchTimestamp, FindsTheFirstEventNotBeforeTheTime) {
    std::vector<Event2D> events = {{0, 0, 0, 10}, {1, 0, 0, 20}, {2, 0, 0, 20}, {3, 0, 0, 20}, {4, 0, 0, 35}};
    Event2D* first = events.data();
    Event2D* last = first + events.size();
    struct Case {
        uint64_t t;
        ptrdiff_t index;
    };
    const Case cases[] = {{0, 0}, {10, 0}, {11, 1}, {20, 1}, {21, 4}, {35, 4}, {36, 5}, {UINT64_MAX, 5}};
    for (const Case& c : cases) {
        EXPECT_EQ(binarySearchTimestamp(c.t, first, last) - first, c.index) << c.t;
    }
    EXPECT_EQ(binarySearchTimestamp(5, first, first), first);
}

TEST(Decoder, FlipXMirrorsTheColumn) {
    Event2D e(0, 7, 1, 9);
    Decoder::flipX(e, 1280);
    EXPECT_EQ(e, Event2D(1279, 7, 1, 9));
}
