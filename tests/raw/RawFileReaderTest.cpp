// The raw file reader: choosing a reader, reading the header, loading, and reading batches of a
// synthetic recording whose events are known.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>

#include <sys/stat.h>

#include "LogCapture.h"
#include "RawTestSupport.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

TEST(CreateFileReader, ChoosesTheReaderByTheExactExtension) {
    struct Case {
        const char* path;
        bool reader;
    };
    const Case cases[] = {
        {"a.raw", true}, {"dir.x/a.raw", true}, {"/tmp/x.raw.raw", true}, {"a.RAW", false},
        {"a.raw.bak", false}, {"a", false}, {"dir.raw/a", false}, {"a.mp4", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto reader = DvsFileReader::createFileReader(c.path);
        EXPECT_EQ(reader != nullptr, c.reader);
        if (reader) {
            EXPECT_NE(dynamic_cast<RawFileReader*>(reader.get()), nullptr);
            uint64_t value = 7;
            EXPECT_TRUE(reader->getMaxEvents(value));
            EXPECT_EQ(value, 0u);
            EXPECT_EQ(reader->getWidth(), 1280);
            EXPECT_EQ(reader->getHeight(), 720);
            EXPECT_FALSE(reader->reachedEndOfEvents());
        }
    }
}

// A small stream: two events on one row and a trigger.
std::vector<uint8_t> smallData() {
    Evt3TestEncoder encoder;
    encoder.addEvent(Event2D(10, 20, 1, 5000)).addTrigger(EventTriggerIn(1, 1, 5001)).addEvent(Event2D(11, 20, 0, 5002));
    return encoder.bytes();
}

TEST(RawFileReaderLoad, OnlyARegularFileLoads) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        bool refused; // with its error line
    };
    const Case cases[] = {
        {"missing", [](const std::string&) {}, false},
        {"directory", [](const std::string& path) { std::filesystem::create_directory(path); }, true},
        // A FIFO without a writer: opening it for reading would block.
        {"fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("d.raw");
        c.make(path);
        LogCapture log;
        RawFileReader reader(path);
        EXPECT_FALSE(reader.loadFile());
        EXPECT_EQ(log.has(LOG_ERROR, "Loading raw file failed. " + path + " is not a regular file."), c.refused);
        EXPECT_FALSE(std::filesystem::exists(dir.file("d.qnmark.tmp")));
        uint64_t total = 9;
        reader.getMaxEvents(total);
        EXPECT_EQ(total, 0u);
        EXPECT_TRUE(reader.getNEvents(10)->empty());
        EXPECT_FALSE(reader.seekTime(0));
    }
    // A link to a recording is a recording.
    TempDir dir;
    writeFileBytes(dir.file("real.raw"), headerFor(100), smallData());
    std::filesystem::create_symlink(dir.file("real.raw"), dir.file("link.raw"));
    RawFileReader reader(dir.file("link.raw"));
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(readAllByCount(reader, 10).size(), 2u);
}

struct HeaderCase {
    const char* name;
    std::string header;
    bool loads;
    const char* stderrText;
    uint16_t width;
    uint16_t height;
};

TEST(RawFileReaderHeader, ReadsOrRejectsEachKindOfLine) {
    const HeaderCase cases[] = {
        {"no format lines", "% end\n", true, "", 1280, 720},
        {"no end line", "% serial_number S\n", true, "", 1280, 720},
        {"evt 2.0", "% evt 2.0\n% end\n", false, "Error : detected non-EVT3 input file.''\n", 1280, 720},
        {"format EVT2", "% format EVT2;height=480;width=640\n% end\n", false,
         "Error : detected non-EVT3 input file ''\n", 1280, 720},
        {"format sizes", "% evt 3.0\n% format EVT3;height=480;width=640\n% end\n", true, "", 640, 480},
        {"blanks around format keys", "% format EVT3; height = 480; width = 640\n% end\n", true, "", 1280, 720},
        {"geometry", "% geometry 320x320\n% end\n", true, "", 320, 320},
        {"written header", headerFor(0, 320, 320), true, "", 320, 320},
        {"unknown lines", "% plugin_name x\n% anything\n% end\n", true, "", 1280, 720},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("h.raw");
        writeFileBytes(path, c.header, smallData());
        RawFileReader reader(path);
        testing::internal::CaptureStderr();
        const bool loaded = reader.loadFile();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(loaded, c.loads);
        EXPECT_EQ(err, c.stderrText);
        EXPECT_EQ(reader.getWidth(), c.width);
        EXPECT_EQ(reader.getHeight(), c.height);
        if (loaded) {
            EXPECT_EQ(readAllByCount(reader, 100).size(), 2u);
        }
    }
}

TEST(RawFileReaderHeader, ReadsTheRecordingDescription) {
    TempDir dir;
    const std::string path = dir.file("d.raw");
    const auto date = std::chrono::system_clock::time_point(std::chrono::microseconds(1709647629004211LL));
    const std::string header = "% serial_number QN-42 x\n% dvs_start_timestamp 4000\n% aps_start_timestamp 77\n"
                               "% date " + timePointToString(date) + "\n% end\n";
    writeFileBytes(path, header, smallData());
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    DvsFileInfo info;
    EXPECT_TRUE(reader.getFileInfo(info));
    EXPECT_EQ(info.serialNumber, "QN-42 x");
    EXPECT_EQ(info.dvsStartTimestamp, 4000u);
    EXPECT_EQ(info.apsStartTimestamp, 77u);
    // Local time text read back as local time without daylight saving.
    const auto back = parseLocalTimeString(timePointToString(date));
    EXPECT_EQ(info.date, back);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(info.date.time_since_epoch()).count() % 1000000,
              4211);
}

TEST(RawFileReaderHeader, NumbersThatDoNotParseReachTheCaller) {
    TempDir dir;
    const std::string path = dir.file("n.raw");
    writeFileBytes(path, "% dvs_start_timestamp abc\n% end\n", smallData());
    EXPECT_THROW(RawFileReader(path).loadFile(), std::invalid_argument);
    writeFileBytes(path, "% geometry 1280y720\n% end\n", smallData());
    EXPECT_THROW(RawFileReader(path).loadFile(), std::invalid_argument);
    writeFileBytes(path, "% geometry 99999x720\n% end\n", smallData());
    EXPECT_THROW(RawFileReader(path).loadFile(), std::out_of_range);
    writeFileBytes(path, "% date no digits\n% end\n", smallData());
    EXPECT_THROW(RawFileReader(path).loadFile(), std::runtime_error);
    // A date the clock cannot hold is malformed text too.
    writeFileBytes(path, "% date 1000-01-01 00:00:00\n% end\n", smallData());
    EXPECT_THROW(RawFileReader(path).loadFile(), std::runtime_error);
}

TEST(RawFileReaderLoad, AFileWithoutDataLoadsEmpty) {
    TempDir dir;
    const std::string path = dir.file("empty.raw");
    writeFileBytes(path, headerFor(1234), {});
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t total = 9;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(total);
    EXPECT_EQ(start, 1234u);
    EXPECT_EQ(end, 1234u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(reader.getAllBookmarks().size(), 1u);
    EXPECT_TRUE(reader.getNEvents(5)->empty());
    EXPECT_TRUE(reader.getNTimeEvents(5)->empty());
    EXPECT_TRUE(reader.reachedEndOfEvents());
}

// ---- A synthetic recording whose events are known ----

class SyntheticReading : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        SyntheticOptions options;
        options.items = 200000;
        options.seed = 7;
        options.startTime = 30000000;  // past 2^24 us: the header places the time words
        file = new SyntheticFile(writeSynthetic(*dir, "synthetic.raw", options, options.startTime));
    }
    static void TearDownTestSuite() {
        delete file;
        delete dir;
    }
    static TempDir* dir;
    static SyntheticFile* file;
};
TempDir* SyntheticReading::dir = nullptr;
SyntheticFile* SyntheticReading::file = nullptr;

TEST_F(SyntheticReading, LoadsTheFigures) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    const auto& events = file->stream.events;
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t total = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(total);
    EXPECT_EQ(total, events.size());
    EXPECT_EQ(start, 30000000u);
    EXPECT_LE(start, events.front().timestamp);
    EXPECT_GE(end, events.back().timestamp);
    EXPECT_LT(end, events.back().timestamp + 4096);
    EXPECT_EQ(reader->getCurrentPosEventNum(), 0u);
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), start);
    EXPECT_GT(reader->getAllBookmarks().size(), 10u);
}

TEST_F(SyntheticReading, BatchesByCountReturnEveryEventOnce) {
    for (uint64_t n : {uint64_t(1), uint64_t(7), uint64_t(320), uint64_t(4099), uint64_t(131072), uint64_t(1000000)}) {
        SCOPED_TRACE(n);
        auto reader = loadReader(file->path);
        ASSERT_TRUE(reader);
        const std::vector<Event2D> all = readAllByCount(*reader, n);
        ASSERT_EQ(all.size(), file->stream.events.size());
        EXPECT_TRUE(all == file->stream.events);
        EXPECT_EQ(reader->getCurrentPosEventNum(), file->stream.events.size());
        EXPECT_EQ(reader->getCurrentPosTimeStamp(), file->stream.events.back().timestamp + 1);
        EXPECT_TRUE(reader->reachedEndOfEvents());
    }
}

TEST_F(SyntheticReading, TwoHalfBatchesEqualOneWholeBatch) {
    auto a = loadReader(file->path);
    auto b = loadReader(file->path);
    ASSERT_TRUE(a && b);
    for (int i = 0; i < 5; ++i) {
        std::vector<Event2D> halves(*a->getNEvents(5000));
        const auto second = a->getNEvents(5000);
        halves.insert(halves.end(), second->begin(), second->end());
        const auto whole = b->getNEvents(10000);
        ASSERT_EQ(halves.size(), 10000u);
        ASSERT_TRUE(halves == *whole) << i;
    }
}

TEST_F(SyntheticReading, BatchesByTimeKeepTheirWindows) {
    const auto& events = file->stream.events;
    for (uint64_t span : {uint64_t(1), uint64_t(333), uint64_t(10000), uint64_t(5000000)}) {
        SCOPED_TRACE(span);
        auto reader = loadReader(file->path);
        ASSERT_TRUE(reader);
        std::vector<Event2D> all;
        uint64_t windowStart = reader->getCurrentPosTimeStamp();
        while (!reader->reachedEndOfEvents()) {
            const auto batch = reader->getNTimeEvents(span);
            for (const Event2D& e : *batch) {
                ASSERT_GE(e.timestamp, windowStart);
                ASSERT_LT(e.timestamp, windowStart + span);
            }
            all.insert(all.end(), batch->begin(), batch->end());
            windowStart += span;
            ASSERT_EQ(reader->getCurrentPosTimeStamp(), windowStart);
            ASSERT_EQ(reader->getCurrentPosEventNum(), all.size());
        }
        ASSERT_TRUE(all == events);
    }
}

TEST_F(SyntheticReading, CountAndTimeBatchesMixed) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    std::vector<Event2D> all;
    for (int i = 0; !reader->reachedEndOfEvents(); ++i) {
        const auto batch = i % 2 == 0 ? reader->getNEvents(777) : reader->getNTimeEvents(97);
        all.insert(all.end(), batch->begin(), batch->end());
        ASSERT_EQ(reader->getCurrentPosEventNum(), all.size());
    }
    EXPECT_TRUE(all == file->stream.events);
}

TEST_F(SyntheticReading, ZeroEventsLeaveThePositionAlone) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    reader->getNEvents(100);
    const uint64_t time = reader->getCurrentPosTimeStamp();
    EXPECT_TRUE(reader->getNEvents(0)->empty());
    EXPECT_EQ(reader->getCurrentPosEventNum(), 100u);
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), time);
    EXPECT_TRUE(*reader->getNEvents(1) == std::vector<Event2D>{file->stream.events[100]});
}

TEST_F(SyntheticReading, TheResultBufferIsReusedByTheNextCall) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    const auto first = reader->getNEvents(10);
    const std::vector<Event2D> copy(*first);
    const auto second = reader->getNEvents(3);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(first->size(), 3u);
    EXPECT_TRUE(std::equal(first->begin(), first->end(), file->stream.events.begin() + 10));
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), file->stream.events.begin()));
}

TEST_F(SyntheticReading, AskingForMoreThanRemainsWarnsAndReturnsTheRest) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    const size_t total = file->stream.events.size();
    ASSERT_TRUE(reader->seekNEvents(total - 5));
    LogCapture log;
    const auto batch = reader->getNEvents(100);
    EXPECT_EQ(batch->size(), 5u);
    EXPECT_EQ(log.count(LOG_WARN, "Requested number of events exceeds total number of events."), 1);
    EXPECT_TRUE(reader->reachedEndOfEvents());
}

TEST_F(SyntheticReading, TimeWindowsOutsideTheDataWarn) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    uint64_t start = 0;
    uint64_t end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    {
        LogCapture log;
        EXPECT_FALSE(reader->seekTime(start - 1000));
        EXPECT_EQ(reader->getCurrentPosTimeStamp(), start - 1);
        EXPECT_TRUE(reader->getNTimeEvents(0)->empty());
        EXPECT_EQ(log.count(LOG_WARN, "Requested interval is before start timestamp."), 1);
        EXPECT_EQ(reader->getCurrentPosEventNum(), 0u);
        // The position stays just before the first event: nothing is lost.
        const auto next = reader->getNTimeEvents(100);
        ASSERT_FALSE(next->empty());
        EXPECT_EQ(next->front(), file->stream.events.front());
    }
    {
        ASSERT_TRUE(reader->seekTime(end - 10));
        LogCapture log;
        reader->getNTimeEvents(1000);
        EXPECT_EQ(log.count(LOG_WARN, "Requested interval exceeds end timestamp."), 1);
        EXPECT_TRUE(reader->reachedEndOfEvents());
        EXPECT_TRUE(reader->getNTimeEvents(1000)->empty());
        EXPECT_EQ(log.count(LOG_WARN, "Current read pos exceeds end timestamp."), 1);
        EXPECT_EQ(reader->getCurrentPosEventNum(), file->stream.events.size());
    }
}

TEST_F(SyntheticReading, EventsOfTheEndTimeLeftByACountBatchComeWithTheNextWindow) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    const auto& events = file->stream.events;
    // Stop a count batch inside the run of events that share the last time.
    size_t firstOfLastTime = events.size() - 1;
    while (firstOfLastTime > 0 && events[firstOfLastTime - 1].timestamp == events.back().timestamp) {
        --firstOfLastTime;
    }
    uint64_t end = 0;
    reader->getEndTimeStamp(end);
    if (events.size() - firstOfLastTime < 2 || end != events.back().timestamp) {
        GTEST_SKIP() << "the last time holds one event only";
    }
    ASSERT_TRUE(reader->seekNEvents(firstOfLastTime));
    ASSERT_EQ(reader->getNEvents(1)->size(), 1u);
    const auto rest = reader->getNTimeEvents(10);
    EXPECT_EQ(rest->size(), events.size() - firstOfLastTime - 1);
}

TEST_F(SyntheticReading, TheTriggerListHoldsEachTriggerOnce) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    const auto& expected = file->stream.triggers;
    ASSERT_GT(expected.size(), 10u);
    EXPECT_EQ(reader->getTriggerList(), expected);
    std::vector<EventTriggerIn> seen;
    const uint32_t id = reader->addTriggerInCallback([&seen](EventTriggerIn t) { seen.push_back(t); });
    readAllByCount(*reader, 5000);
    EXPECT_EQ(seen, expected);
    // Reading does not add to the list.
    EXPECT_EQ(reader->getTriggerList(), expected);
    // Per bookmark, the triggers of its stretch, in file order.
    std::vector<EventTriggerIn> joined;
    for (const auto& [key, bookmark] : reader->getAllBookmarks()) {
        EXPECT_EQ(reader->getTriggerListForBookmark(key), bookmark.triggers);
        joined.insert(joined.end(), bookmark.triggers.begin(), bookmark.triggers.end());
        for (const EventTriggerIn& t : bookmark.triggers) {
            EXPECT_GE(t.timestamp, key);
        }
    }
    EXPECT_EQ(joined, expected);
    EXPECT_TRUE(reader->getTriggerListForBookmark(1).empty());
    EXPECT_TRUE(reader->removeTriggerInCallback(id));
    EXPECT_FALSE(reader->removeTriggerInCallback(id));
    reader->clearTriggerList();
    EXPECT_TRUE(reader->getTriggerList().empty());
}

TEST_F(SyntheticReading, CallbackIdsCountUpFromZero) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->addTriggerInCallback([](EventTriggerIn) {}), 0u);
    EXPECT_EQ(reader->addTriggerInCallback([](EventTriggerIn) {}), 1u);
    EXPECT_TRUE(reader->removeTriggerInCallback(0));
    EXPECT_EQ(reader->addTriggerInCallback([](EventTriggerIn) {}), 2u);
    EXPECT_FALSE(reader->removeTriggerInCallback(7));
}

TEST_F(SyntheticReading, ASeekDeliversTheTriggersFromThePositionOn) {
    auto reader = loadReader(file->path);
    ASSERT_TRUE(reader);
    const auto& triggers = file->stream.triggers;
    const EventTriggerIn& middle = triggers[triggers.size() / 2];
    std::vector<EventTriggerIn> seen;
    reader->addTriggerInCallback([&seen](EventTriggerIn t) { seen.push_back(t); });
    ASSERT_TRUE(reader->seekTime(middle.timestamp));
    readAllByCount(*reader, 10000);
    const auto from = std::find_if(triggers.begin(), triggers.end(),
                                   [&](const EventTriggerIn& t) { return t.timestamp >= middle.timestamp; });
    EXPECT_EQ(seen, std::vector<EventTriggerIn>(from, triggers.end()));
}

TEST(RawFileReaderLoad, ADataPartOfWholeChunksIsReadCompletely) {
    // Single events on one row with fixed word counts, padded to exactly two chunks of data.
    Evt3TestEncoder encoder;
    std::vector<Event2D> events;
    uint64_t time = 100;
    while (encoder.words().size() < 2 * RawFileReader::READ_BUFFER_SIZE / 2 - 8) {
        const Event2D e(static_cast<uint16_t>(time % 1280), 3, 1, time);
        encoder.addEvent(e);
        events.push_back(e);
        time += 3;
    }
    while (encoder.words().size() < 2 * RawFileReader::READ_BUFFER_SIZE / 2) {
        encoder.addWord(evt3word::continued4(0));
    }
    ASSERT_EQ(encoder.bytes().size(), 2 * RawFileReader::READ_BUFFER_SIZE);
    TempDir dir;
    const std::string path = dir.file("chunks.raw");
    writeFileBytes(path, headerFor(100), encoder.bytes());
    auto reader = loadReader(path);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(readAllByCount(*reader, 999) == events);
}

} // namespace
