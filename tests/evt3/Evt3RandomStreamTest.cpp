// Random word streams against the reference decoder. The decoder takes runs of row, column and
// time words in windows of many words at once and everything else word by word; these streams mix
// the two at every distance from window and buffer edges, with the rows, columns and times at and
// beyond their limits that the run must treat exactly like the word-by-word path.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

constexpr uint16_t W = 640;
constexpr uint16_t H = 480;

// How often each kind of word is drawn, in parts of the whole.
struct Mix {
    const char* name;
    unsigned event;       // ADDR_Y then ADDR_X
    unsigned column;      // ADDR_X alone (a second event on the row)
    unsigned row;         // ADDR_Y alone
    unsigned low;         // TIME_LOW
    unsigned highRepeat;  // TIME_HIGH with the high part as it is
    unsigned highStep;    // TIME_HIGH one step on
    unsigned highJump;    // TIME_HIGH anywhere (wraps and anomalies)
    unsigned outside;     // ADDR_Y at or beyond the height, ADDR_X at or beyond the width
    unsigned other;       // any other word or group
};

// Like the recordings: mostly events between time words, now and then something else.
constexpr Mix RECORDING_LIKE{"RecordingLike", 60, 4, 2, 30, 15, 3, 0, 2, 2};
// Every kind about as often.
constexpr Mix EVERYTHING{"Everything", 10, 10, 10, 10, 10, 5, 3, 10, 15};

class StreamMaker {
public:
    StreamMaker(uint32_t seed, const Mix& mix) : rng(seed), mix(mix) { high = pick(0x1000); }

    std::vector<uint16_t> make(size_t count, bool timeFirst) {
        std::vector<uint16_t> w;
        if (timeFirst) {
            w.push_back(timeHigh(high));
            w.push_back(timeLow(pick(0x1000)));
        }
        const unsigned total = mix.event + mix.column + mix.row + mix.low + mix.highRepeat + mix.highStep +
                               mix.highJump + mix.outside + mix.other;
        while (w.size() < count) {
            unsigned r = pick(total);
            if (r < mix.event) {
                w.push_back(addrY(pick(H)));
                w.push_back(addrX(pick(W), pick(2)));
            } else if ((r -= mix.event) < mix.column) {
                w.push_back(addrX(pick(W), pick(2)));
            } else if ((r -= mix.column) < mix.row) {
                w.push_back(addrY(pick(H)));
            } else if ((r -= mix.row) < mix.low) {
                w.push_back(timeLow(pick(0x1000)));
            } else if ((r -= mix.low) < mix.highRepeat) {
                w.push_back(timeHigh(high));
            } else if ((r -= mix.highRepeat) < mix.highStep) {
                high = (high + 1) & 0xFFF;
                w.push_back(timeHigh(high));
            } else if ((r -= mix.highStep) < mix.highJump) {
                high = pick(0x1000);
                w.push_back(timeHigh(high));
            } else if ((r -= mix.highJump) < mix.outside) {
                if (pick(2)) {
                    w.push_back(addrY(H + pick(0x1000 - H)));
                } else {
                    w.push_back(addrX(W + pick(0x800 - W), pick(2)));
                }
                w.push_back(pick(2) ? addrX(pick(W), 1) : addrY(H - 1));
            } else {
                addOther(w);
            }
        }
        return w;
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng); }

    void addOther(std::vector<uint16_t>& w) {
        switch (pick(9)) {
        case 0:
            w.push_back(addrYOther(pick(0x1000)));
            break;
        case 1:  // a vector group, its base now and then too close to the edge
            w.push_back(vectBaseX(pick(W), pick(2)));
            w.push_back(vect12(pick(0x1000)));
            w.push_back(vect12(pick(0x1000)));
            w.push_back(vect8(pick(0x100)));
            break;
        case 2:
            w.push_back(others(pick(2) ? 20 : 22));
            w.push_back(continued12(pick(0x1000)));
            w.push_back(continued12(pick(0x1000)));
            w.push_back(continued4(pick(0x10)));
            break;
        case 3:
            w.push_back(others(pick(0x1000)));
            break;
        case 4:
            w.push_back(extTrigger(pick(16), pick(2)));
            break;
        case 5:
            w.push_back(vect8(pick(0x1000)));
            break;
        case 6:
            w.push_back(continued4(pick(0x1000)));
            break;
        case 7:
            w.push_back(continued12(pick(0x1000)));
            break;
        default: {
            static constexpr unsigned UNNAMED[] = {9, 11, 12, 13};
            w.push_back(evt3word::make(UNNAMED[pick(4)], pick(0x1000)));
            break;
        }
        }
    }

    std::mt19937 rng;
    Mix mix;
    unsigned high = 0;
};

struct Decoded {
    Delivery delivery;
    uint64_t lastTimestamp = 0;
    uint64_t returned = 0;
    size_t buffers = 0;
    size_t statesDiffering = 0;  // buffers after which the state differs from a word-by-word decode
};

// Decodes the words in buffers of `chunk` bytes (0: all at once). A second decoder is given the
// same words one at a time (too few for a run to be taken at once); after each buffer the two
// must be in the same state.
Decoded decodeStream(const std::vector<uint16_t>& words, size_t chunk, bool flip, uint64_t customTrigger = 0) {
    EVT3Decoder decoder(W, H);
    EVT3Decoder wordByWord(W, H);
    decoder.setFlipX(flip);
    Decoded d;
    d.delivery.attach(decoder);
    decoder.setCustomTriggerIn(customTrigger);
    const std::vector<uint8_t> bytes = toBytes(words);
    const size_t step = chunk == 0 ? bytes.size() : chunk;
    std::vector<uint8_t> piece;
    for (size_t pos = 0; pos < bytes.size(); pos += step) {
        const size_t n = std::min(step, bytes.size() - pos);
        piece.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                     bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
        d.returned += decoder.decode(piece);
        for (size_t i = 0; i < n; i += 2) {
            wordByWord.decode(piece.data() + i, piece.data() + i + 2);
        }
        ++d.buffers;
        d.statesDiffering += sameState(decoder.getStreamState(), wordByWord.getStreamState()) ? 0 : 1;
    }
    d.lastTimestamp = decoder.getLastTimeStamp();
    return d;
}

std::vector<Event2D> mirrored(std::vector<Event2D> events) {
    for (Event2D& e : events) {
        e.x = static_cast<uint16_t>(W - 1 - e.x);
    }
    return events;
}

// Events delivered before the custom trigger (polarity 2), from the order of blocks and triggers.
size_t eventsBeforeCustomTrigger(const Delivery& d) {
    size_t events = 0;
    for (const std::string& item : d.order) {
        if (item[0] == 'B') {
            events += std::stoul(item.substr(1));
        } else if (item.rfind("T0:2@", 0) == 0) {
            return events;
        }
    }
    return events;
}

struct StreamCase {
    const Mix* mix;
    uint32_t seed;
    bool timeFirst;
};

std::string streamCaseName(const ::testing::TestParamInfo<StreamCase>& info) {
    return std::string(info.param.mix->name) + "Seed" + std::to_string(info.param.seed) +
           (info.param.timeFirst ? "" : "EventsBeforeTime");
}

class Evt3RandomStream : public ::testing::TestWithParam<StreamCase> {};

// Buffer sizes in bytes: word by word, across the window of the fast path, a camera buffer.
const size_t CHUNKS[] = {0, 2, 4, 6, 14, 126, 128, 130, 254, 1000, 4096};

TEST_P(Evt3RandomStream, EveryBufferSizeGivesTheReferenceEventsAndTriggers) {
    const StreamCase& c = GetParam();
    const std::vector<uint16_t> words = StreamMaker(c.seed, *c.mix).make(6000, c.timeFirst);
    const Evt3ReferenceResult ref = referenceDecode(words, W, H);
    ASSERT_GT(ref.events.size(), 300u);
    for (size_t chunk : CHUNKS) {
        for (bool flip : {false, true}) {
            const Decoded d = decodeStream(words, chunk, flip);
            ASSERT_EQ(d.delivery.events, flip ? mirrored(ref.events) : ref.events)
                << "chunk " << chunk << (flip ? " flipped" : "");
            ASSERT_EQ(d.delivery.triggers, ref.triggers) << "chunk " << chunk;
            EXPECT_EQ(d.returned, ref.events.size()) << "chunk " << chunk;
            EXPECT_EQ(d.statesDiffering, 0u) << "chunk " << chunk << " of " << d.buffers << " buffers";
            if (c.timeFirst) {
                EXPECT_EQ(d.lastTimestamp, ref.lastTimestamp) << "chunk " << chunk;
            }
            for (size_t size : d.delivery.blocks) {
                ASSERT_GT(size, 0u);
                ASSERT_LE(size, EVT3Decoder::BLOCK_SIZE);
            }
        }
    }
}

TEST_P(Evt3RandomStream, CustomTriggerComesAtTheFirstLowTimeThatReachesIt) {
    const StreamCase& c = GetParam();
    const std::vector<uint16_t> words = StreamMaker(c.seed, *c.mix).make(6000, c.timeFirst);
    const Evt3ReferenceResult all = referenceDecode(words, W, H);
    ASSERT_GT(all.events.size(), 300u);
    // Times of events spread over the stream, one after it, and the times just around them.
    std::vector<uint64_t> times = {all.lastTimestamp + 1};
    for (size_t i = 1; i < 8; ++i) {
        const uint64_t t = all.events[all.events.size() * i / 8].timestamp;
        times.insert(times.end(), {t, t + 1, t > 1 ? t - 1 : 1});
    }
    for (uint64_t t : times) {
        const Evt3ReferenceResult ref = referenceDecode(words, W, H, t);
        for (size_t chunk : {size_t(0), size_t(6), size_t(130), size_t(4096)}) {
            const Decoded d = decodeStream(words, chunk, false, t);
            ASSERT_EQ(d.delivery.events, ref.events) << "trigger " << t << " chunk " << chunk;
            ASSERT_EQ(d.delivery.triggers, ref.triggers) << "trigger " << t << " chunk " << chunk;
            const bool fired = std::any_of(ref.triggers.begin(), ref.triggers.end(),
                                           [](const EventTriggerIn& x) { return x.polarity == 2; });
            if (fired) {
                EXPECT_EQ(eventsBeforeCustomTrigger(d.delivery), ref.eventsBeforeCustomTrigger)
                    << "trigger " << t << " chunk " << chunk;
            }
        }
    }
}

// Sensor sizes for counting: the streams' own (rows and columns beyond it), one that no row or
// column of the words reaches, one beyond the 16-bit signed range, and a small one.
struct Sensor {
    uint16_t width;
    uint16_t height;
};
constexpr Sensor COUNT_SENSORS[] = {{W, H}, {0x800, 0x1000}, {0xFFFF, 0xFFFF}, {W / 4, H / 4}};

TEST_P(Evt3RandomStream, CountingTellsWhatTheDecodeDelivers) {
    const StreamCase& c = GetParam();
    const std::vector<uint16_t> words = StreamMaker(c.seed, *c.mix).make(6000, c.timeFirst);
    const std::vector<uint8_t> bytes = toBytes(words);
    for (const Sensor& sensor : COUNT_SENSORS) {
        for (size_t chunk : CHUNKS) {
            EXPECT_TRUE(countsLikeDecode(bytes, chunk, sensor.width, sensor.height));
        }
    }
    EXPECT_TRUE(countsLikeDecode(bytes, 130, W, H, true));
    // A custom trigger in the middle of the stream's time.
    const Evt3ReferenceResult ref = referenceDecode(words, W, H);
    ASSERT_FALSE(ref.events.empty());
    const uint64_t t = ref.events[ref.events.size() / 2].timestamp;
    for (size_t chunk : {size_t(0), size_t(6), size_t(130), size_t(4096)}) {
        EXPECT_TRUE(countsLikeDecode(bytes, chunk, W, H, false, t));
    }
}

// Vector groups between dense single events: the decode hands a block over before a group that
// may not fit, at every fill level, and a full block in the middle of a window of single events.
TEST(Evt3RandomStreamRuns, CountingFollowsTheBlocksAroundVectorGroups) {
    std::mt19937 rng(77);
    auto pick = [&rng](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng); };
    std::vector<uint16_t> words = {timeHigh(5), timeLow(0)};
    unsigned high = 5;
    while (words.size() < 40000) {
        const unsigned r = pick(100);
        if (r < 8) {
            words.push_back(vectBaseX(pick(W + 40), pick(2)));
            words.push_back(vect12(pick(0x1000)));
            words.push_back(vect12(pick(0x1000)));
            words.push_back(vect8(pick(0x100)));
        } else if (r < 60) {
            words.push_back(addrX(pick(W + 8), pick(2)));
        } else if (r < 75) {
            words.push_back(addrY(pick(H + 8)));
        } else if (r < 93) {
            words.push_back(timeLow(pick(0x1000)));  // now and then back in time
        } else if (r < 97) {
            words.push_back(timeHigh(high));
        } else if (r < 99) {
            high = (high + 1) & 0xFFF;
            words.push_back(timeHigh(high));
        } else {
            words.push_back(extTrigger(pick(16), pick(2)));
        }
    }
    const std::vector<uint8_t> bytes = toBytes(words);
    for (size_t chunk : {size_t(0), size_t(2), size_t(6), size_t(128), size_t(130), size_t(1000), size_t(65536)}) {
        EXPECT_TRUE(countsLikeDecode(bytes, chunk, W, H));
        EXPECT_TRUE(countsLikeDecode(bytes, chunk, 0x800, 0x1000));
    }
}

std::vector<StreamCase> streamCases() {
    std::vector<StreamCase> cases;
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        cases.push_back({&RECORDING_LIKE, seed, true});
        cases.push_back({&EVERYTHING, seed, true});
    }
    cases.push_back({&RECORDING_LIKE, 5, false});
    cases.push_back({&EVERYTHING, 5, false});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Streams, Evt3RandomStream, ::testing::ValuesIn(streamCases()), streamCaseName);

// A trigger time set from inside the events callback, in the middle of a run of events, is seen
// at the next TIME_LOW that reaches it.
TEST(Evt3RandomStreamRuns, CustomTriggerSetWhenABlockIsDeliveredMidRun) {
    Evt3TestEncoder enc;
    std::vector<Event2D> events;
    for (uint64_t i = 0; i < 1000; ++i) {
        events.emplace_back(static_cast<uint16_t>(i % W), static_cast<uint16_t>(i % H), i & 1, 5000 + i / 3);
    }
    enc.addStream(events, {}, false);
    std::vector<uint8_t> bytes = enc.bytes();

    EVT3Decoder decoder(W, H);
    Delivery got;
    got.attach(decoder);
    bool set = false;
    decoder.setEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
        got.events.insert(got.events.end(), first, last);
        got.order.push_back("B" + std::to_string(last - first));
        if (!set) {
            set = true;
            decoder.setCustomTriggerIn(got.events.back().timestamp + 10);
        }
    });
    decoder.decode(bytes);
    EXPECT_EQ(got.events, events);
    ASSERT_EQ(got.triggers.size(), 1u);
    const uint64_t expected = events[EVT3Decoder::BLOCK_SIZE - 1].timestamp + 10;
    EXPECT_EQ(got.triggers[0].timestamp, expected);
    const size_t before = eventsBeforeCustomTrigger(got);
    EXPECT_EQ(events[before - 1].timestamp, expected - 1);
    EXPECT_EQ(events[before].timestamp, expected);
}

// Column words before any row word in a run use the row as it stood; a type-1 word or a row beyond
// the height in front of them deselects it for the whole run.
TEST(Evt3RandomStreamRuns, ColumnsBeforeTheRunsFirstRowUseTheRowAsItStood) {
    for (uint16_t rowWord : {addrY(7), addrY(H), addrYOther(7)}) {
        std::vector<uint16_t> words = {timeHigh(1), timeLow(2), rowWord, vect8(0)};
        for (unsigned i = 0; i < 100; ++i) {
            words.push_back(addrX(i, i & 1));
            words.push_back(timeLow(3 + i));
        }
        words.push_back(addrY(9));
        words.push_back(addrX(5, 1));
        const Evt3ReferenceResult ref = referenceDecode(words, W, H);
        for (size_t chunk : {size_t(0), size_t(2), size_t(130)}) {
            const Decoded d = decodeStream(words, chunk, false);
            EXPECT_EQ(d.delivery.events, ref.events) << "row word " << rowWord << " chunk " << chunk;
        }
        EXPECT_EQ(ref.events.size(), rowWord == addrY(7) ? 101u : 1u);
    }
}

// OTHERS words and groups change nothing but the position, and the three words of a group after its
// first are not read, even when they look like rows, columns or times. The run takes lone OTHERS
// words and the groups that lie wholly in its window; a group that reaches past the window, and a
// group start inside another group, stay with the switch. Each shape at every place of a window.
TEST(Evt3RandomStreamRuns, OthersWordsAndGroupsAtEveryPlaceOfAWindow) {
    struct Shape {
        const char* name;
        std::vector<uint16_t> words;
    };
    const std::vector<Shape> shapes = {
        {"group", {others(20), continued12(0x123), continued12(0x456), continued4(0x7)}},
        {"other group", {others(22), continued12(0xFFF), continued12(0), continued4(0xF)}},
        {"group of event-like words", {others(20), addrY(3), addrX(9, 1), timeLow(0xABC)}},
        {"lone", {others(25)}},
        {"two lone", {others(0), others(0xFFF)}},
        {"start inside a group", {others(20), others(22), addrX(4, 0), timeLow(5), addrY(6), addrX(7, 1)}},
        {"lone then group", {others(1), others(22), addrY(H + 2), addrX(W + 1, 0), timeLow(1)}},
        {"group then row outside", {others(22), continued12(1), continued12(2), continued4(3), addrY(H)}},
    };
    for (const Shape& shape : shapes) {
        for (size_t place = 0; place < 140; ++place) {
            std::vector<uint16_t> words = {timeHigh(1), timeLow(2), addrY(5)};
            for (unsigned i = 0; words.size() < 3 + place; ++i) {
                words.push_back(i % 3 == 2 ? timeLow(3 + i) : addrX(i % W, i & 1));
            }
            words.insert(words.end(), shape.words.begin(), shape.words.end());
            for (unsigned i = 0; i < 150; ++i) {
                words.push_back(i % 4 == 0 ? addrY(i % H) : addrX((7 * i) % W, i & 1));
            }
            const Evt3ReferenceResult ref = referenceDecode(words, W, H);
            for (size_t chunk : {size_t(0), size_t(130)}) {
                const Decoded d = decodeStream(words, chunk, false);
                ASSERT_EQ(d.delivery.events, ref.events) << shape.name << " at " << place << ", chunk " << chunk;
                ASSERT_EQ(d.statesDiffering, 0u) << shape.name << " at " << place << ", chunk " << chunk;
            }
            ASSERT_TRUE(countsLikeDecode(toBytes(words), 0, W, H)) << shape.name << " at " << place;
        }
    }
}

} // namespace
