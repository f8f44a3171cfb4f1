// Cutting a time range out of a recording: the new file is a valid raw file whose events (and
// triggers) are exactly those of the range, whatever state the decoder was in at the cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "LogCapture.h"
#include "RawTestSupport.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3ReferenceDecoder.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

namespace fs = std::filesystem;

std::vector<Event2D> inRange(const std::vector<Event2D>& events, uint64_t a, uint64_t b, bool toTheEnd) {
    // Events from the first at or after a up to the first at or after b, in file order.
    auto first = std::find_if(events.begin(), events.end(), [a](const Event2D& e) { return e.timestamp >= a; });
    auto last = toTheEnd ? events.end()
                         : std::find_if(first, events.end(), [b](const Event2D& e) { return e.timestamp >= b; });
    return std::vector<Event2D>(first, last);
}

std::vector<EventTriggerIn> triggersInRange(const std::vector<EventTriggerIn>& triggers, uint64_t a, uint64_t b,
                                            bool toTheEnd) {
    std::vector<EventTriggerIn> out;
    for (const EventTriggerIn& t : triggers) {
        if (t.timestamp >= a && (toTheEnd || t.timestamp < b)) {
            out.push_back(t);
        }
    }
    return out;
}

class Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        SyntheticOptions o;
        o.items = 150000;
        o.seed = 41;
        o.startTime = 25000000;
        o.triggerEvery = 900;
        o.vectorPercent = 50;
        file = writeSynthetic(dir, "source.raw", o, o.startTime);
        reader = loadReader(file.path);
        ASSERT_TRUE(reader);
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
    }

    void checkRange(uint64_t a, uint64_t b) {
        SCOPED_TRACE("range " + std::to_string(a) + " .. " + std::to_string(b));
        // Each range is written over the previous one; the previous one's side file goes with it.
        const std::string out = dir.file("cut.raw");
        const bool toTheEnd = b >= end;
        const std::vector<Event2D> expected = inRange(file.stream.events, a, b, toTheEnd);
        ASSERT_TRUE(reader->extractEventData(a, b, out));
        EXPECT_FALSE(fs::exists(dir.file("cut.qnmark.tmp")));
        EXPECT_EQ(reader->getCurrentPosTimeStamp(), a);

        auto cut = loadReader(out);
        ASSERT_TRUE(cut);
        DvsFileInfo info;
        cut->getFileInfo(info);
        EXPECT_EQ(info.dvsStartTimestamp, a);
        EXPECT_EQ(info.serialNumber, "TEST0001");
        uint64_t total = 0;
        cut->getMaxEvents(total);
        EXPECT_EQ(total, expected.size());
        EXPECT_TRUE(readAllByCount(*cut, 4000) == expected);
        EXPECT_EQ(cut->getTriggerList(), triggersInRange(file.stream.triggers, a, b, toTheEnd));

        // The source's bytes follow, unchanged, after at most four state words.
        const Evt3RawFile written = loadEvt3RawFile(out);
        const Evt3RawFile source = loadEvt3RawFile(file.path);
        ASSERT_GE(written.data.size(), 8u);
        const auto body = written.data.begin() + 8;
        const auto found = std::search(source.data.begin(), source.data.end(), body, written.data.end());
        EXPECT_NE(found, source.data.end());
    }

    TempDir dir;
    SyntheticFile file;
    std::unique_ptr<RawFileReader> reader;
    uint64_t start = 0;
    uint64_t end = 0;
};

TEST_F(Extraction, TheWholeFileCopiesTheWholeDataPart) {
    const std::string out = dir.file("all.raw");
    ASSERT_TRUE(reader->extractEventData(start, end, out));
    const Evt3RawFile written = loadEvt3RawFile(out);
    const Evt3RawFile source = loadEvt3RawFile(file.path);
    EXPECT_EQ(written.data, source.data);
    EXPECT_NE(written.header.find("% dvs_start_timestamp " + std::to_string(start) + "\n"), std::string::npos);
    auto cut = loadReader(out);
    ASSERT_TRUE(cut);
    EXPECT_TRUE(readAllByCount(*cut, 100000) == file.stream.events);
}

TEST_F(Extraction, RangesGiveExactlyTheirEvents) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges = {
        {start, start + 5000}, {start + 7000, end}, {start + 12345, start + 12346}, {start + 1000, start + 30001}};
    // Ranges that begin and end at bookmarks (whose time the events before them share).
    std::vector<uint64_t> keys;
    for (const auto& [key, bookmark] : reader->getAllBookmarks()) {
        keys.push_back(key);
    }
    ASSERT_GE(keys.size(), 6u);
    ranges.push_back({keys[1], keys[3]});
    ranges.push_back({keys[2] + 1, keys[4] - 1});
    ranges.push_back({keys[keys.size() - 2], end});
    for (const auto& [a, b] : ranges) {
        checkRange(a, b);
    }
}

TEST_F(Extraction, ABadRangeIsRefused) {
    LogCapture log;
    EXPECT_FALSE(reader->extractEventData(start + 100, start + 100, dir.file("x.raw")));
    EXPECT_TRUE(log.has(LOG_ERROR, "There is no data in the interval."));
    EXPECT_FALSE(reader->extractEventData(start - 1, start + 100, dir.file("x.raw")));
    EXPECT_TRUE(log.has(LOG_ERROR, "No start timestamp found."));
    EXPECT_FALSE(reader->extractEventData(start, end + 1, dir.file("x.raw")));
    EXPECT_TRUE(log.has(LOG_ERROR, "No end timestamp found."));
    EXPECT_FALSE(reader->extractEventData(start + 20000, start + 100, dir.file("x.raw")));
    EXPECT_TRUE(log.has(LOG_ERROR, "Start time must be less than or equal to end time."));
    EXPECT_FALSE(fs::exists(dir.file("x.raw")));

    EXPECT_FALSE(reader->extractEventData(start, start + 1000, dir.path()));
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to open output file: " + dir.path() + "."));
}

TEST_F(Extraction, NeverOverwritesItsOwnRecording) {
    const std::vector<uint8_t> before = readFileBytes(file.path);
    EXPECT_FALSE(reader->extractEventData(start, start + 1000, file.path));
    EXPECT_FALSE(reader->extractEventData(start, start + 1000, dir.path() + "/./source.raw"));
    EXPECT_EQ(readFileBytes(file.path), before);
    EXPECT_TRUE(readAllByCount(*reader, 50000).size() > 0);
}

TEST(ExtractionCuts, CutsInsideGroupsAndRowsKeepEveryEvent) {
    // A stream on a single row and whose vector groups are long: a cut almost always falls
    // where a fresh decoder would know neither row nor vector base.
    TempDir dir;
    SyntheticOptions o;
    o.items = 80000;
    o.seed = 43;
    o.height = 1;
    o.vectorPercent = 90;
    o.startTime = 9000;
    const SyntheticFile file = writeSynthetic(dir, "rows.raw", o, o.startTime);
    auto reader = loadReader(file.path);
    ASSERT_TRUE(reader);
    uint64_t start = 0;
    uint64_t end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    for (uint64_t a = start + 1; a + 997 < end; a += 1733) {
        const uint64_t b = a + 997;
        const std::string out = dir.file("c.raw");
        fs::remove(out);
        fs::remove(dir.file("c.qnmark.tmp"));
        ASSERT_TRUE(reader->extractEventData(a, b, out)) << a;
        auto cut = loadReader(out);
        ASSERT_TRUE(cut);
        ASSERT_TRUE(readAllByCount(*cut, 10000) == inRange(file.stream.events, a, b, false)) << a;
    }
}

TEST(ExtractionCuts, RealRecordingsCutToTheirRanges) {
    for (const char* name : {"ecc_evt3_trigger_1280x720.raw", "ecpy_test_events_1_640x480.raw"}) {
        SCOPED_TRACE(name);
        const Evt3RawFile file = loadEvt3RawFile(realRecording(name));
        const Evt3ReferenceResult ref = referenceDecode(file.words(), 1280, 720);
        TempDir dir;
        const std::string path = dir.file("r.raw");
        writeFileBytes(path, file.header, file.data);
        auto reader = loadReader(path);
        ASSERT_TRUE(reader);
        uint64_t start = 0;
        uint64_t end = 0;
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
        const uint64_t span = end - start;
        for (const auto& [a, b] : std::vector<std::pair<uint64_t, uint64_t>>{
                 {start + span / 5, start + span / 2}, {start + span / 3, end}, {start, start + span / 7}}) {
            const std::string out = dir.file("cut.raw");
            fs::remove(out);
            fs::remove(dir.file("cut.qnmark.tmp"));
            ASSERT_TRUE(reader->extractEventData(a, b, out));
            auto cut = loadReader(out);
            ASSERT_TRUE(cut);
            EXPECT_TRUE(readAllByCount(*cut, 5000) == inRange(ref.events, a, b, b >= end)) << a << " " << b;
            // From the start time on, the copy begins with the data (and any trigger before the first event).
            EXPECT_EQ(cut->getTriggerList(), triggersInRange(ref.triggers, a <= start ? 0 : a, b, b >= end));
        }
    }
}

} // namespace
