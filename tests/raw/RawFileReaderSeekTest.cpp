// Seeking by time and by event number: after a seek the reader delivers exactly what a straight
// decode of the file delivers from that point on. Checked on the real recordings (against the
// reference decoder), on synthetic recordings (against the events encoded) and on recordings built
// so that bookmarks fall inside word groups and between a row word and its events.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "RawTestSupport.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3ReferenceDecoder.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr size_t CHUNK_WORDS = RawFileReader::READ_BUFFER_SIZE / 2;
constexpr size_t PROBE = 64;

size_t firstAtOrAfter(const std::vector<Event2D>& events, uint64_t t) {
    return static_cast<size_t>(std::find_if(events.begin(), events.end(), [t](const Event2D& e) { return e.timestamp >= t; }) -
                               events.begin());
}

// The next events after a seek equal the expected ones from `index` on.
void expectNextEvents(RawFileReader& reader, const std::vector<Event2D>& events, size_t index) {
    ASSERT_EQ(reader.getCurrentPosEventNum(), index);
    const auto batch = reader.getNEvents(PROBE);
    const size_t n = std::min(PROBE, events.size() - index);
    ASSERT_EQ(batch->size(), n);
    ASSERT_TRUE(std::equal(batch->begin(), batch->end(), events.begin() + static_cast<std::ptrdiff_t>(index)))
        << "events after position " << index;
}

void checkSeeks(RawFileReader& reader, const std::vector<Event2D>& events, uint64_t seed) {
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t total = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(total);
    ASSERT_EQ(total, events.size());

    std::vector<uint64_t> times = {start, start + 1, end, end - 1};
    std::vector<uint64_t> numbers = {0, 1, total - 1, total};
    for (const auto& [key, bookmark] : reader.getAllBookmarks()) {
        times.push_back(key);
        times.push_back(key + 1);
        if (key > start) {
            times.push_back(key - 1);
        }
        for (uint64_t d : {uint64_t(0), uint64_t(1)}) {
            if (bookmark.eventCount + d <= total) {
                numbers.push_back(bookmark.eventCount + d);
            }
            if (bookmark.eventCount >= d) {
                numbers.push_back(bookmark.eventCount - d);
            }
        }
    }
    std::mt19937_64 random(seed);
    for (int i = 0; i < 60; ++i) {
        times.push_back(start + random() % (end - start + 1));
        numbers.push_back(random() % (total + 1));
    }
    for (uint64_t t : times) {
        if (t < start || t > end) {
            continue;
        }
        SCOPED_TRACE("seekTime " + std::to_string(t));
        ASSERT_TRUE(reader.seekTime(t));
        EXPECT_EQ(reader.getCurrentPosTimeStamp(), t);
        expectNextEvents(reader, events, firstAtOrAfter(events, t));
    }
    for (uint64_t n : numbers) {
        SCOPED_TRACE("seekNEvents " + std::to_string(n));
        ASSERT_TRUE(reader.seekNEvents(n));
        if (n < total) {
            EXPECT_EQ(reader.getCurrentPosTimeStamp(), events[n].timestamp);
        }
        expectNextEvents(reader, events, n);
    }
    // A few seeks read on to the end: the rest of the file, once.
    for (uint64_t n : {total / 3, total / 2 + 17}) {
        ASSERT_TRUE(reader.seekNEvents(n));
        const std::vector<Event2D> rest = readAllByCount(reader, 10007);
        ASSERT_TRUE(std::equal(rest.begin(), rest.end(), events.begin() + static_cast<std::ptrdiff_t>(n)));
        ASSERT_EQ(rest.size(), total - n);
    }
    const uint64_t t = start + (end - start) / 2;
    ASSERT_TRUE(reader.seekTime(t));
    const std::vector<Event2D> rest = readAllByTime(reader, 1500);
    const size_t from = firstAtOrAfter(events, t);
    ASSERT_EQ(rest.size(), total - from);
    ASSERT_TRUE(std::equal(rest.begin(), rest.end(), events.begin() + static_cast<std::ptrdiff_t>(from)));
}

// ---- Real recordings ----

class RealRecordingSeeks : public ::testing::TestWithParam<const char*> {};

TEST_P(RealRecordingSeeks, EveryPositionGivesTheStraightDecode) {
    const std::string path = realRecording(GetParam());
    const Evt3RawFile file = loadEvt3RawFile(path);
    const Evt3ReferenceResult ref = referenceDecode(file.words(), 1280, 720);
    TempDir dir;
    const std::string copy = dir.file("recording.raw");
    writeFileBytes(copy, file.header, file.data);
    auto reader = loadReader(copy);
    ASSERT_TRUE(reader);
    uint64_t start = 0;
    uint64_t end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    EXPECT_EQ(start, ref.events.front().timestamp);
    EXPECT_EQ(end, ref.lastTimestamp);
    EXPECT_TRUE(readAllByCount(*reader, 4096) == ref.events);
    EXPECT_EQ(reader->getTriggerList(), ref.triggers);
    checkSeeks(*reader, ref.events, 11);
}

INSTANTIATE_TEST_SUITE_P(Recordings, RealRecordingSeeks,
                         ::testing::Values("ecc_evt3_trigger_1280x720.raw", "ecpy_test_events_1_640x480.raw",
                                           "derived_ecc_evt3_trigger_thwrap.raw"));

// ---- Synthetic recordings ----

struct SyntheticCase {
    const char* name;
    SyntheticOptions options;
    int64_t headerOffset;  // header start time minus the first item's time
};

void PrintTo(const SyntheticCase& c, std::ostream* out) { *out << c.name; }

SyntheticOptions options(uint64_t seed, size_t items, uint64_t start, unsigned vectors, uint32_t gapNs) {
    SyntheticOptions o;
    o.seed = seed;
    o.items = items;
    o.startTime = start;
    o.vectorPercent = vectors;
    o.meanGapNs = gapNs;
    return o;
}

class SyntheticSeeks : public ::testing::TestWithParam<SyntheticCase> {};

TEST_P(SyntheticSeeks, EveryPositionGivesTheEncodedEvents) {
    const SyntheticCase& c = GetParam();
    TempDir dir;
    const SyntheticFile file = writeSynthetic(dir, "s.raw", c.options, c.options.startTime + c.headerOffset);
    auto reader = loadReader(file.path);
    ASSERT_TRUE(reader);
    // The fixture cuts word groups at bookmarks.
    size_t cut = 0;
    for (const auto& [key, bookmark] : reader->getAllBookmarks()) {
        cut += bookmark.decoderStatus.missingWords != 0;
    }
    RecordProperty("bookmarks_inside_groups", static_cast<int>(cut));
    EXPECT_TRUE(readAllByCount(*reader, 3000) == file.stream.events);
    checkSeeks(*reader, file.stream.events, c.options.seed);
}

const SyntheticCase SYNTHETIC_CASES[] = {
    {"dense_vectors", options(3, 300000, 2000, 80, 200), 0},
    {"sparse_single_events", options(4, 60000, 5000, 0, 20000), 0},
    {"past_the_first_period", options(5, 200000, 40000000, 30, 300), 0},
    {"across_the_period_wrap", options(6, 200000, (uint64_t(1) << 24) - 30000, 30, 300), 0},
    // The header says the recording started later than its data (a cache's pre-roll).
    {"header_after_the_data", options(7, 200000, 50000000, 30, 300), 700000},
    {"header_before_the_data", options(8, 100000, 50000000, 30, 300), -3000000},
    {"header_zero", options(9, 100000, 3000, 30, 300), -3000},
};

INSTANTIATE_TEST_SUITE_P(Cases, SyntheticSeeks, ::testing::ValuesIn(SYNTHETIC_CASES),
                         [](const ::testing::TestParamInfo<SyntheticCase>& info) { return std::string(info.param.name); });

TEST(SyntheticTimes, AHeaderLaterThanTheDataKeepsTheDataTimes) {
    // A cache recording's header carries a segment's start, read after its first bytes were written.
    TempDir dir;
    SyntheticOptions o = options(12, 50000, 60000000, 30, 300);
    const SyntheticFile file = writeSynthetic(dir, "late.raw", o, o.startTime + 900000);
    auto reader = loadReader(file.path);
    ASSERT_TRUE(reader);
    uint64_t start = 0;
    reader->getStartTimeStamp(start);
    EXPECT_EQ(start, file.stream.events.front().timestamp);
    const auto first = reader->getNEvents(10);
    EXPECT_TRUE(std::equal(first->begin(), first->end(), file.stream.events.begin()));
    EXPECT_TRUE(reader->seekTime(file.stream.events.front().timestamp));
}

// ---- Bookmarks inside word groups and between a row word and its events ----

// One event per step on a filler row, then, at chosen word positions, the item that should straddle
// a chunk boundary, all at one time so no time word comes between.
class StraddleBuilder {
public:
    void fillTo(size_t wordIndex) {
        while (encoder.words().size() + 6 < wordIndex) {
            ++time;
            add(Event2D(static_cast<uint16_t>(time % 1200), FILLER_ROW, 1, time));
        }
        if (encoder.words().size() + 3 < wordIndex) {
            add(Event2D(static_cast<uint16_t>(time % 1200 + 1), FILLER_ROW, 0, time));
        }
        while (encoder.words().size() < wordIndex) {
            encoder.addWord(evt3word::continued4(5));
        }
    }
    void vector(uint16_t base, uint32_t mask) {
        const uint16_t row = rowNow;
        encoder.addVector(row, base, 1, mask, time);
        for (unsigned b = 0; b < 32; ++b) {
            if (mask & (uint32_t(1) << b)) {
                events.emplace_back(static_cast<uint16_t>(base + b), row, 1, time);
            }
        }
    }
    void add(const Event2D& e) {
        encoder.addEvent(e);
        events.push_back(e);
        rowNow = e.y;
    }
    Evt3TestEncoder encoder;
    std::vector<Event2D> events;
    uint64_t time = 1000;
    uint16_t rowNow = FILLER_ROW;
    static constexpr uint16_t FILLER_ROW = 100;
};

struct Straddled {
    std::vector<uint8_t> data;
    std::vector<Event2D> events;
};

Straddled buildStraddled() {
    StraddleBuilder b;
    b.add(Event2D(1, StraddleBuilder::FILLER_ROW, 1, b.time));
    b.fillTo(1 * CHUNK_WORDS - 2);  // VECT_12 is the chunk's last word: the group lacks 2 words
    b.vector(64, 0x80000005u);
    b.fillTo(2 * CHUNK_WORDS - 3);  // two group words in, one out
    b.vector(96, 0x0000F00Fu);
    b.fillTo(3 * CHUNK_WORDS - 2);  // a long OTHERS group cut after two words
    b.encoder.addOthers(20);
    b.fillTo(4 * CHUNK_WORDS - 1);  // a new row's ADDR_Y ends the chunk, its ADDR_X begins the next
    b.add(Event2D(700, 300, 1, b.time));
    b.fillTo(5 * CHUNK_WORDS - 1);  // VECT_BASE_X ends the chunk, the group begins the next
    b.vector(1200, 0xFFFFFFFFu);
    b.fillTo(5 * CHUNK_WORDS + 40000);
    return {b.encoder.bytes(), b.events};
}

TEST(StraddlingBookmarks, EachCutStateIsSavedAndResumed) {
    const Straddled s = buildStraddled();
    TempDir dir;
    const std::string path = dir.file("straddle.raw");
    const std::string header = headerFor(1000);
    writeFileBytes(path, header, s.data);
    auto reader = loadReader(path);
    ASSERT_TRUE(reader);
    std::map<uint64_t, RawFileReader::Bookmark> byOffset;
    for (const auto& [key, bookmark] : reader->getAllBookmarks()) {
        byOffset[bookmark.bytePosition - header.size()] = bookmark;
    }
    for (size_t k = 1; k <= 5; ++k) {
        ASSERT_EQ(byOffset.count(k * RawFileReader::READ_BUFFER_SIZE), 1u) << "no bookmark at chunk end " << k;
    }
    const auto& at1 = byOffset[1 * RawFileReader::READ_BUFFER_SIZE].decoderStatus;
    const auto& at2 = byOffset[2 * RawFileReader::READ_BUFFER_SIZE].decoderStatus;
    const auto& at3 = byOffset[3 * RawFileReader::READ_BUFFER_SIZE].decoderStatus;
    const auto& at4 = byOffset[4 * RawFileReader::READ_BUFFER_SIZE].decoderStatus;
    const auto& at5 = byOffset[5 * RawFileReader::READ_BUFFER_SIZE].decoderStatus;
    EXPECT_EQ(at1.missingWords, 2u);
    EXPECT_EQ(at1.carryCount, 1u);
    EXPECT_EQ(at2.missingWords, 1u);
    EXPECT_EQ(at2.carryCount, 2u);
    EXPECT_EQ(at3.missingWords, 2u);
    EXPECT_EQ(at3.carryCount, 2u);
    EXPECT_EQ(at4.missingWords, 0u);
    EXPECT_TRUE(at4.rowSelected);
    EXPECT_EQ(at4.status.lastPayload[0], 300);
    EXPECT_TRUE(at5.vectorBaseValid);
    EXPECT_EQ(at5.status.lastPayload[3] & 0x7FF, 1200);

    EXPECT_TRUE(readAllByCount(*reader, 5000) == s.events);
    checkSeeks(*reader, s.events, 13);
    // The bookmark at each cut: its own time is shared by the events just before it.
    for (size_t k = 1; k <= 5; ++k) {
        const auto& bookmark = byOffset[k * RawFileReader::READ_BUFFER_SIZE];
        ASSERT_TRUE(reader->seekTime(bookmark.timestamp));
        const size_t first = firstAtOrAfter(s.events, bookmark.timestamp);
        EXPECT_LT(first, bookmark.eventCount) << k;
        expectNextEvents(*reader, s.events, first);
        ASSERT_TRUE(reader->seekNEvents(bookmark.eventCount));
        expectNextEvents(*reader, s.events, bookmark.eventCount);
    }
}

// ---- Failed seeks ----

TEST(FailedSeeks, MoveThePositionOutsideTheDataAndReadNothingBeyond) {
    TempDir dir;
    const SyntheticFile file = writeSynthetic(dir, "f.raw", options(21, 50000, 10000, 30, 300), 10000);
    auto reader = loadReader(file.path);
    ASSERT_TRUE(reader);
    uint64_t end = 0;
    uint64_t total = 0;
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(total);

    reader->getNEvents(100);
    EXPECT_FALSE(reader->seekNEvents(total + 1));
    EXPECT_EQ(reader->getCurrentPosEventNum(), total + 1);
    EXPECT_TRUE(reader->reachedEndOfEvents());
    EXPECT_TRUE(reader->getNEvents(10)->empty());
    EXPECT_TRUE(reader->getNTimeEvents(10)->empty());
    EXPECT_TRUE(reader->getNEventsGivenStartEvent(total + 1, 10)->empty());

    reader->seekNEvents(0);
    reader->getNEvents(100);
    EXPECT_FALSE(reader->seekTime(end + 1));
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), end + 1);
    EXPECT_TRUE(reader->reachedEndOfEvents());
    EXPECT_TRUE(reader->getNEvents(10)->empty());
    EXPECT_TRUE(reader->getNTimeEventsGivenStartTimeStamp(end + 1, 10)->empty());

    EXPECT_TRUE(reader->seekNEvents(total));
    EXPECT_TRUE(reader->reachedEndOfEvents());
    EXPECT_TRUE(reader->getNEvents(10)->empty());
    EXPECT_TRUE(reader->seekTime(end));
    EXPECT_TRUE(reader->getNEventsGivenStartEvent(5, 3)->size() == 3);
    EXPECT_EQ((*reader->getNEventsGivenStartTimeStamp(file.stream.events[9].timestamp, 1))[0].timestamp,
              file.stream.events[9].timestamp);
    EXPECT_EQ(reader->getNTimeEventsGivenStartEvent(0, 1)->front(), file.stream.events.front());
}

} // namespace
