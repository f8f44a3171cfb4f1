// The decoder on real camera recordings, checked against figures of the reference decoder (written
// from the word table) and against facts of the files themselves.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Evt3TestSupport.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3ReferenceDecoder.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr uint64_t PERIOD = uint64_t(1) << 24;

struct Recording {
    std::string file;
    unsigned width;
    unsigned height;
    size_t events;
    size_t onEvents;
    std::map<std::pair<int, int>, size_t> triggers;  // (id, polarity) -> count
    uint64_t firstTime;
    uint64_t lastTime;
};

// Figures of the recordings (from the reference decoder; the files hold no vector groups).
const Recording RECORDINGS[] = {
    {"ecc_evt3_trigger_1280x720.raw", 1280, 720, 82469, 41439, {{{0, 0}, 1}, {{0, 1}, 1}}, 14224870, 15476187},
    {"ecpy_test_events_1_640x480.raw", 640, 480, 343474, 125183, {{{6, 0}, 2078}, {{6, 1}, 2079}}, 7139845, 9218023},
    {"derived_ecc_evt3_trigger_thwrap.raw", 1280, 720, 82469, 41439, {{{0, 0}, 1}, {{0, 1}, 1}}, 16154086,
     17405403},
};

Evt3RawFile load(const std::string& name) { return loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/" + name); }

class Evt3RealData : public ::testing::TestWithParam<Recording> {};

TEST_P(Evt3RealData, MatchesTheRecordingsFigures) {
    const Recording& r = GetParam();
    const Evt3RawFile file = load(r.file);
    ASSERT_EQ(file.width, r.width);
    ASSERT_EQ(file.height, r.height);
    EVT3Decoder decoder(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
    Delivery got;
    got.attach(decoder);
    std::vector<uint8_t> data = file.data;
    EXPECT_EQ(decoder.decode(data), r.events);

    ASSERT_EQ(got.events.size(), r.events);
    size_t on = 0;
    for (size_t i = 0; i < got.events.size(); ++i) {
        const Event2D& e = got.events[i];
        on += e.polarity;
        ASSERT_LT(e.x, r.width);
        ASSERT_LT(e.y, r.height);
        ASSERT_LE(e.polarity, 1);
        if (i > 0) {
            ASSERT_GE(e.timestamp, got.events[i - 1].timestamp) << i;
        }
    }
    EXPECT_EQ(on, r.onEvents);
    EXPECT_EQ(got.events.front().timestamp, r.firstTime);
    EXPECT_EQ(got.events.back().timestamp, r.lastTime);
    std::map<std::pair<int, int>, size_t> triggers;
    for (const EventTriggerIn& t : got.triggers) {
        ++triggers[{t.id, t.polarity}];
        EXPECT_GE(t.timestamp, r.firstTime - 10);
        EXPECT_LE(t.timestamp, r.lastTime);
    }
    EXPECT_EQ(triggers, r.triggers);
    EXPECT_EQ(decoder.getDecodeDataBandwidth(), file.data.size());
    EXPECT_EQ(decoder.getDecodeEventCount(), r.events);

    const Evt3ReferenceResult ref = referenceDecode(file.words(), r.width, r.height);
    EXPECT_EQ(ref.events.size(), r.events);
    EXPECT_EQ(ref.anomalies, 0u);
    EXPECT_EQ(decoder.getLastTimeStamp(), ref.lastTimestamp);
}

TEST_P(Evt3RealData, AnyEvenBufferSizeGivesTheReferenceEvents) {
    const Recording& r = GetParam();
    const Evt3RawFile file = load(r.file);
    const Evt3ReferenceResult ref = referenceDecode(file.words(), r.width, r.height);
    for (size_t chunk : {size_t(2), size_t(4), size_t(6), size_t(4096), size_t(131072)}) {
        SCOPED_TRACE(chunk);
        EVT3Decoder decoder(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
        Delivery got;
        got.attach(decoder);
        decodeInChunks(decoder, file.data, chunk);
        ASSERT_EQ(got.events.size(), ref.events.size());
        for (size_t i = 0; i < ref.events.size(); ++i) {
            ASSERT_EQ(got.events[i], ref.events[i]) << "event " << i;
        }
        EXPECT_EQ(got.triggers, ref.triggers);
        for (size_t b : got.blocks) {
            ASSERT_LE(b, EVT3Decoder::BLOCK_SIZE);
        }
    }
}

TEST_P(Evt3RealData, ScansFollowTheSameTimeAndTriggers) {
    const Recording& r = GetParam();
    const Evt3RawFile file = load(r.file);
    std::vector<uint8_t> data = file.data;

    EVT3Decoder full(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
    Delivery decoded;
    decoded.attach(full);
    full.decode(data);

    EVT3Decoder timeOnly(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
    EXPECT_TRUE(timeOnly.decodeTimeStamp(data.data(), data.data() + data.size()));
    EXPECT_EQ(timeOnly.getLastTimeStamp(), full.getLastTimeStamp());

    EVT3Decoder preScan(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
    std::vector<EventTriggerIn> triggers;
    const LogLevelType level = Logger::Instance().getLogLevel();
    Logger::Instance().setLogLevel(LOG_WARN);  // one info line per trigger
    EXPECT_EQ(preScan.preprocessEventData(data.data(), data.data() + data.size(), triggers), data.size() / 2);
    Logger::Instance().setLogLevel(level);
    EXPECT_EQ(triggers, decoded.triggers);
    EXPECT_EQ(preScan.getLastTimeStamp(), full.getLastTimeStamp());
}

TEST_P(Evt3RealData, StreamStateSavedAtBufferEdgesResumesTheDecode) {
    const Recording& r = GetParam();
    const Evt3RawFile file = load(r.file);
    const Evt3ReferenceResult ref = referenceDecode(file.words(), r.width, r.height);
    // Save the state after every buffer of an odd number of words (so groups are cut), and resume
    // from a few of them in a fresh decoder.
    const size_t chunk = 2 * 4099;
    EVT3Decoder decoder(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
    Delivery got;
    got.attach(decoder);
    struct Mark {
        size_t offset;
        size_t events;
        EVT3Decoder::StreamState state;
    };
    std::vector<Mark> marks;
    std::vector<uint8_t> piece;
    for (size_t pos = 0; pos < file.data.size(); pos += chunk) {
        const size_t n = std::min(chunk, file.data.size() - pos);
        piece.assign(file.data.begin() + static_cast<std::ptrdiff_t>(pos),
                     file.data.begin() + static_cast<std::ptrdiff_t>(pos + n));
        decoder.decode(piece);
        marks.push_back({pos + n, got.events.size(), decoder.getStreamState()});
    }
    ASSERT_EQ(got.events, ref.events);
    size_t carried = 0;
    for (size_t m = 0; m < marks.size(); m += 7) {
        carried += marks[m].state.missingWords != 0;
        EVT3Decoder resumed(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
        Delivery rest;
        rest.attach(resumed);
        resumed.setStreamState(marks[m].state);
        std::vector<uint8_t> tail(file.data.begin() + static_cast<std::ptrdiff_t>(marks[m].offset), file.data.end());
        resumed.decode(tail);
        ASSERT_EQ(rest.events.size(), ref.events.size() - marks[m].events) << "mark " << m;
        ASSERT_TRUE(std::equal(rest.events.begin(), rest.events.end(), ref.events.begin() + static_cast<std::ptrdiff_t>(marks[m].events)))
            << "mark " << m;
    }
    RecordProperty("marks_with_carried_group", static_cast<int>(carried));
}

std::string recordingName(const ::testing::TestParamInfo<Recording>& info) {
    std::string name = info.param.file.substr(0, info.param.file.find('.'));
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) {
            ch = '_';
        }
    }
    return name;
}

// Counting tells what the decode delivers, at the recording's size, at the largest sensor the raw
// reader decodes for, and at a small one whose limits cut many events.
TEST_P(Evt3RealData, CountingTellsWhatTheDecodeDelivers) {
    const Recording& r = GetParam();
    const Evt3RawFile file = load(r.file);
    struct Sensor {
        unsigned width;
        unsigned height;
    };
    const Sensor sensors[] = {{r.width, r.height}, {1280, 720}, {r.width / 3, r.height / 5}};
    for (const Sensor& sensor : sensors) {
        for (size_t chunk : {size_t(0), size_t(130), size_t(1002), size_t(4096), size_t(131072)}) {
            EXPECT_TRUE(countsLikeDecode(file.data, chunk, static_cast<uint16_t>(sensor.width),
                                         static_cast<uint16_t>(sensor.height)));
        }
    }
    EVT3Decoder counting(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
    std::vector<uint8_t> data = file.data;
    const EVT3Decoder::EventCount all = counting.countEvents(data.data(), data.data() + data.size());
    EXPECT_EQ(all.events, r.events);
    EXPECT_EQ(all.firstTime, r.firstTime);
    EXPECT_EQ(all.lastTime, r.lastTime);
}

INSTANTIATE_TEST_SUITE_P(Recordings, Evt3RealData, ::testing::ValuesIn(RECORDINGS), recordingName);

TEST(Evt3RealDataWrap, TheDerivedFileFollowsTheOriginalAcrossTheWrap) {
    // Every TIME_HIGH of the derived file is the original's plus 471 (mod 4096), so each event is the
    // original event 471 * 4096 us later, also past 2^24 us.
    const Evt3RawFile original = load("ecc_evt3_trigger_1280x720.raw");
    const Evt3RawFile derived = load("derived_ecc_evt3_trigger_thwrap.raw");
    EVT3Decoder a(1280, 720);
    EVT3Decoder b(1280, 720);
    Delivery da;
    Delivery db;
    da.attach(a);
    db.attach(b);
    decodeInChunks(a, original.data, 131072);
    decodeInChunks(b, derived.data, 6);
    ASSERT_EQ(da.events.size(), db.events.size());
    const uint64_t shift = 471 * 4096;
    size_t pastWrap = 0;
    for (size_t i = 0; i < da.events.size(); ++i) {
        Event2D expected = da.events[i];
        expected.timestamp += shift;
        ASSERT_EQ(db.events[i], expected) << i;
        pastWrap += db.events[i].timestamp >= PERIOD;
    }
    EXPECT_GT(pastWrap, 1000u);
    EXPECT_LT(pastWrap, db.events.size() - 1000);
    ASSERT_EQ(da.triggers.size(), db.triggers.size());
    for (size_t i = 0; i < da.triggers.size(); ++i) {
        EXPECT_EQ(db.triggers[i].timestamp, da.triggers[i].timestamp + shift);
    }
}

} // namespace
