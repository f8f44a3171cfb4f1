// The bookmark side file: its path, its bytes (checked against bytes built here from the layout),
// reuse by later loads, and a rebuild on every check that fails, damaged files included.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <type_traits>

#include "LogCapture.h"
#include "RawTestSupport.h"
#include "evt3/Evt3ReferenceDecoder.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

namespace fs = std::filesystem;

static_assert(std::is_same_v<decltype(RawFileReader::Bookmark::eventCount), uint64_t>,
              "event counts pass 2^32 at high rates");

// CRC-8 with polynomial 0x07, initial value 0, no reflection, no final XOR.
uint8_t crc8(const std::vector<uint8_t>& bytes, size_t size) {
    uint8_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int b = 0; b < 8; ++b) {
            crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}
uint8_t crc8(const std::vector<uint8_t>& bytes) { return crc8(bytes, bytes.size()); }

TEST(BookmarkCrc, MatchesTheCheckValues) {
    EXPECT_EQ(crc8(std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xF4);
    EXPECT_EQ(crc8(std::vector<uint8_t>{'a', 'b', 'c'}), 0x5F);
    EXPECT_EQ(crc8(std::vector<uint8_t>{}), 0x00);
}

// Little-endian writer for the expected bytes.
struct Bytes {
    std::vector<uint8_t> v;
    void text(const std::string& s) { v.insert(v.end(), s.begin(), s.end()); }
    void u8(uint8_t x) { v.push_back(x); }
    void u16(uint16_t x) {
        u8(static_cast<uint8_t>(x));
        u8(static_cast<uint8_t>(x >> 8));
    }
    void u32(uint32_t x) {
        for (int i = 0; i < 4; ++i) {
            u8(static_cast<uint8_t>(x >> (8 * i)));
        }
    }
    void u64(uint64_t x) {
        for (int i = 0; i < 8; ++i) {
            u8(static_cast<uint8_t>(x >> (8 * i)));
        }
    }
    void crc() { v.push_back(crc8(v)); }
};

void textPart(Bytes& b, const std::string& version, uint64_t size, unsigned width, unsigned height) {
    b.text("version:" + version + "\n");
    b.text("max_byte:" + std::to_string(size) + "\n");
    b.text("sensor_width:" + std::to_string(width) + "\n");
    b.text("sensor_height:" + std::to_string(height) + "\n");
    b.u8(0);
}

void state(Bytes& b, const EVT3Decoder::StreamState& s) {
    for (uint16_t p : s.status.lastPayload) {
        b.u16(p);
    }
    b.u8(static_cast<uint8_t>((s.rowSelected ? 1 : 0) | (s.rowWordIsY ? 2 : 0) | (s.vectorBaseValid ? 4 : 0) |
                              (s.timeLowSeen ? 8 : 0) | (s.timeHighSeen ? 16 : 0) | (s.firstTimestampSet ? 32 : 0)));
    b.u64(s.lastTimestamp);
    b.u64(s.firstTimestamp);
    b.u8(s.carryCount);
    for (uint16_t w : s.carryWords) {
        b.u16(w);
    }
    b.u64(s.missingWords);
}

Bytes expectedSideFile(const std::map<uint64_t, RawFileReader::Bookmark>& bookmarks, uint64_t rawSize, unsigned width,
                       unsigned height) {
    Bytes b;
    textPart(b, "2.0.0", rawSize, width, height);
    b.u64(bookmarks.size());
    for (const auto& [key, bm] : bookmarks) {
        b.u64(key);
        b.u64(bm.bytePosition);
        state(b, bm.decoderStatus);
        b.u64(bm.timestamp);
        b.u64(bm.eventCount);
        b.u64(bm.triggers.size());
        for (const EventTriggerIn& t : bm.triggers) {
            b.u16(static_cast<uint16_t>(t.id));
            b.u16(static_cast<uint16_t>(t.polarity));
            b.u64(t.timestamp);
        }
    }
    b.crc();
    return b;
}

class SideFile : public ::testing::Test {
protected:
    void SetUp() override {
        SyntheticOptions o;
        o.items = 120000;
        o.seed = 31;
        o.startTime = 20000;
        o.triggerEvery = 700;
        file = writeSynthetic(dir, "rec.raw", o, o.startTime);
        side = dir.file("rec.qnmark.tmp");
    }

    // Loads a reader, expecting a rebuild (with the given warning) or not.
    std::unique_ptr<RawFileReader> load(bool rebuild, const std::string& warning = "") {
        LogCapture log;
        auto reader = loadReader(file.path);
        EXPECT_TRUE(reader);
        if (!reader) {
            return reader;
        }
        EXPECT_EQ(log.count(LOG_WARN, "Bookmark file check failed, re-initialize bookmarks."), rebuild ? 1 : 0);
        if (!warning.empty()) {
            EXPECT_EQ(log.count(LOG_WARN, warning), 1) << warning;
        }
        uint64_t total = 0;
        reader->getMaxEvents(total);
        EXPECT_EQ(total, file.stream.events.size());
        EXPECT_EQ(reader->getTriggerList(), file.stream.triggers);
        return reader;
    }

    // Puts `content` (without CRC) in the side file with a correct CRC.
    void writeSide(std::vector<uint8_t> content) {
        content.push_back(crc8(content));
        writeFileBytes(side, "", content);
    }

    TempDir dir;
    SyntheticFile file;
    std::string side;
};

TEST_F(SideFile, HoldsTheBookmarksInTheLaidOutBytes) {
    auto reader = load(false);
    ASSERT_TRUE(reader);
    const auto& bookmarks = reader->getAllBookmarks();
    const uint64_t rawSize = fs::file_size(file.path);
    const std::vector<uint8_t> bytes = readFileBytes(side);
    EXPECT_EQ(bytes, expectedSideFile(bookmarks, rawSize, 1280, 720).v);
    EXPECT_FALSE(fs::exists(side + ".part"));

    // The records themselves: from the start of the data to the end of the file, each count the
    // events a straight decode gives before its offset.
    const uint64_t dataStart = file.header.size();
    ASSERT_GE(bookmarks.size(), 3u);
    EXPECT_EQ(bookmarks.begin()->second.bytePosition, dataStart);
    EXPECT_EQ(bookmarks.begin()->second.eventCount, 0u);
    EXPECT_EQ(bookmarks.rbegin()->second.bytePosition, rawSize);
    EXPECT_EQ(bookmarks.rbegin()->second.eventCount, file.stream.events.size());
    const std::vector<uint16_t>& words = file.stream.words;
    uint64_t previousKey = 0;
    for (const auto& [key, bm] : bookmarks) {
        EXPECT_EQ(bm.timestamp, key);
        EXPECT_TRUE(key == bookmarks.begin()->first || key >= previousKey + RawFileReader::bookmark_period_us ||
                    bm.bytePosition == rawSize);
        previousKey = key;
        const size_t prefixWords = static_cast<size_t>(bm.bytePosition - dataStart) / 2;
        const std::vector<uint16_t> prefix(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(prefixWords));
        const Evt3ReferenceResult ref = referenceDecode(prefix, 1280, 720);
        EXPECT_EQ(bm.eventCount, ref.events.size()) << "bookmark " << key;
        // Events after a bookmark are not earlier than its time.
        if (bm.eventCount < file.stream.events.size()) {
            EXPECT_GE(file.stream.events[bm.eventCount].timestamp, key);
        }
    }
}

TEST_F(SideFile, ALaterLoadReusesIt) {
    auto first = load(false);
    ASSERT_TRUE(first);
    const std::vector<uint8_t> before = readFileBytes(side);
    // Mark the file: a reload that rebuilt it would write it anew.
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(side, stamp);
    auto second = load(false);
    ASSERT_TRUE(second);
    EXPECT_EQ(fs::last_write_time(side), stamp);
    EXPECT_EQ(readFileBytes(side), before);
    EXPECT_EQ(second->getAllBookmarks().size(), first->getAllBookmarks().size());
    EXPECT_TRUE(readAllByCount(*second, 7777) == file.stream.events);
    EXPECT_TRUE(second->seekNEvents(file.stream.events.size() / 2));
    EXPECT_EQ(second->getNEvents(1)->front(), file.stream.events[file.stream.events.size() / 2]);
}

TEST_F(SideFile, EachFailedCheckRebuildsIt) {
    load(false);
    const std::vector<uint8_t> good = readFileBytes(side);
    const uint64_t rawSize = fs::file_size(file.path);
    const size_t textEnd = static_cast<size_t>(std::find(good.begin(), good.end(), 0) - good.begin());
    std::vector<uint8_t> records(good.begin() + static_cast<std::ptrdiff_t>(textEnd + 1), good.end() - 1);

    auto withText = [&](const std::string& version, uint64_t size, unsigned w, unsigned h) {
        Bytes b;
        textPart(b, version, size, w, h);
        b.v.insert(b.v.end(), records.begin(), records.end());
        return b.v;
    };
    struct Case {
        const char* name;
        const char* warning;
        std::function<void()> damage;
    };
    const Case cases[] = {
        {"wrong crc", "The file has changed",
         [&] {
             auto bad = good;
             bad[bad.size() / 2] ^= 0x10;
             writeFileBytes(side, "", bad);
         }},
        {"empty", "The file content is insufficient to perform CRC validation!", [&] { writeFileBytes(side, "", {}); }},
        {"no text", "Bookmark file has no version information, need to regenerate",
         [&] {
             std::vector<uint8_t> c{0};
             c.insert(c.end(), records.begin(), records.end());
             writeSide(c);
         }},
        {"older version", "Bookmark file version mismatch: expected 2.0.0, got 1.0.1",
         [&] { writeSide(withText("1.0.1", rawSize, 1280, 720)); }},
        {"other raw size", "The file has changed", [&] { writeSide(withText("2.0.0", rawSize - 2, 1280, 720)); }},
        {"no raw size", "The file has changed",
         [&] {
             Bytes b;
             b.text("version:2.0.0\nsensor_width:1280\nsensor_height:720\n");
             b.u8(0);
             b.v.insert(b.v.end(), records.begin(), records.end());
             writeSide(b.v);
         }},
        {"other sensor", "The sensor resolution has been changed ", [&] { writeSide(withText("2.0.0", rawSize, 640, 720)); }},
        {"too large", "The tmp file is too large!",
         [&] {
             writeFileBytes(side, "", good);
             ASSERT_EQ(truncate(side.c_str(), static_cast<off_t>(RawFileReader::MAX_BOOKMARK_FILE_SIZE + 1)), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.damage();
        auto reader = load(true, c.warning);
        ASSERT_TRUE(reader);
        EXPECT_EQ(readFileBytes(side), good);
        EXPECT_TRUE(readAllByCount(*reader, 50000) == file.stream.events);
    }
}

TEST_F(SideFile, AnOlderVersionIsRebuilt) {
    load(false);
    const std::vector<uint8_t> good = readFileBytes(side);
    // The first version's layout: 32-bit counts and one status byte per record.
    Bytes b;
    textPart(b, "1.0.0", fs::file_size(file.path), 1280, 720);
    b.u64(2);
    for (uint64_t key : {uint64_t(20000), uint64_t(30000)}) {
        b.u64(key);
        b.u64(key == 20000 ? file.header.size() : fs::file_size(file.path));
        b.u8(0);
        b.u64(key);
        b.u32(key == 20000 ? 0 : 5);
        b.u64(0);
    }
    b.crc();
    writeFileBytes(side, "", b.v);
    auto reader = load(true, "Bookmark file version mismatch: expected 2.0.0, got 1.0.0");
    ASSERT_TRUE(reader);
    EXPECT_EQ(readFileBytes(side), good);
}

// Damage that a CRC cannot see (a file written with a correct CRC over wrong records): every count is
// checked against the bytes that remain, and the records against each other and the recording.
TEST_F(SideFile, InconsistentRecordsAreRebuiltWithoutReadingPastThem) {
    load(false);
    const std::vector<uint8_t> good = readFileBytes(side);
    const size_t textEnd = static_cast<size_t>(std::find(good.begin(), good.end(), 0) - good.begin());
    const size_t countAt = textEnd + 1;
    const size_t first = countAt + 8;  // first record
    constexpr size_t STATE = 66;
    constexpr size_t FIXED = 8 + 8 + STATE + 8 + 8 + 8;
    const size_t positionAt = first + 8;
    const size_t carryAt = first + 16 + 32 + 1 + 8 + 8;
    const size_t triggersAt = first + 16 + STATE + 16;
    auto put64 = [](std::vector<uint8_t>& v, size_t at, uint64_t x) {
        for (int i = 0; i < 8; ++i) {
            v[at + static_cast<size_t>(i)] = static_cast<uint8_t>(x >> (8 * i));
        }
    };
    auto get64 = [](const std::vector<uint8_t>& v, size_t at) {
        uint64_t x = 0;
        for (int i = 7; i >= 0; --i) {
            x = (x << 8) | v[at + static_cast<size_t>(i)];
        }
        return x;
    };
    std::vector<uint8_t> base(good.begin(), good.end() - 1);
    const uint64_t count = get64(base, countAt);
    ASSERT_GE(count, 3u);
    std::vector<size_t> starts;
    for (size_t at = first, i = 0; i <= count; ++i) {
        starts.push_back(at);
        if (i < count) {
            at += FIXED + 12 * static_cast<size_t>(get64(base, at + 16 + STATE + 16));
        }
    }
    ASSERT_EQ(starts.back(), base.size());
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> make;
    };
    const Case cases[] = {
        {"huge bookmark count", [&] { auto v = base; put64(v, countAt, uint64_t(1) << 60); return v; }},
        {"count one too many", [&] { auto v = base; put64(v, countAt, count + 1); return v; }},
        {"count one too few", [&] { auto v = base; put64(v, countAt, count - 1); return v; }},
        {"zero bookmarks", [&] { auto v = base; put64(v, countAt, 0); v.resize(countAt + 8); return v; }},
        {"huge trigger count", [&] { auto v = base; put64(v, triggersAt, uint64_t(1) << 58); return v; }},
        {"truncated", [&] { auto v = base; v.resize(v.size() - 5); return v; }},
        {"no separator", [&] { auto v = base; v.resize(textEnd); return v; }},
        {"first not at the data", [&] { auto v = base; put64(v, positionAt, 2); return v; }},
        {"offset past the file", [&] { auto v = base; put64(v, starts[1] + 8, uint64_t(1) << 40); return v; }},
        {"impossible carry", [&] { auto v = base; v[carryAt] = 9; return v; }},
        {"records swapped",
         [&] {
             // The second and third records change places: keys and offsets run backwards.
             std::vector<uint8_t> v(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(starts[1]));
             v.insert(v.end(), base.begin() + static_cast<std::ptrdiff_t>(starts[2]),
                      base.begin() + static_cast<std::ptrdiff_t>(starts[3]));
             v.insert(v.end(), base.begin() + static_cast<std::ptrdiff_t>(starts[1]),
                      base.begin() + static_cast<std::ptrdiff_t>(starts[2]));
             v.insert(v.end(), base.begin() + static_cast<std::ptrdiff_t>(starts[3]), base.end());
             return v;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeSide(c.make());
        auto reader = load(true);
        ASSERT_TRUE(reader);
        EXPECT_EQ(readFileBytes(side), good);
    }
}

TEST_F(SideFile, CountsPast32BitsTravelThroughTheFile) {
    auto built = load(false);
    ASSERT_TRUE(built);
    // Every count but the first moved up by 2^32: a recording of more than 2^32 events as its side
    // file would say it.
    const uint64_t shift = uint64_t(1) << 32;
    std::map<uint64_t, RawFileReader::Bookmark> shifted = built->getAllBookmarks();
    for (auto& [key, bm] : shifted) {
        if (bm.eventCount != 0) {
            bm.eventCount += shift;
        }
    }
    writeFileBytes(side, "", expectedSideFile(shifted, fs::file_size(file.path), 1280, 720).v);
    LogCapture log;
    auto reader = loadReader(file.path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(log.count(LOG_WARN, "Bookmark file check failed, re-initialize bookmarks."), 0);
    uint64_t total = 0;
    reader->getMaxEvents(total);
    EXPECT_EQ(total, file.stream.events.size() + shift);
    EXPECT_EQ(reader->getAllBookmarks().rbegin()->second.eventCount, file.stream.events.size() + shift);
}

TEST_F(SideFile, AppendingToTheRecordingRebuildsIt) {
    load(false);
    {
        std::ofstream out(file.path, std::ios::binary | std::ios::app);
        const uint16_t word = evt3word::continued4(1);
        out.write(reinterpret_cast<const char*>(&word), 2);
    }
    auto reader = load(true, "The file has changed");
    ASSERT_TRUE(reader);
    const std::vector<uint8_t> bytes = readFileBytes(side);
    EXPECT_EQ(bytes, expectedSideFile(reader->getAllBookmarks(), fs::file_size(file.path), 1280, 720).v);
}

TEST(SideFilePath, IsBesideTheRecordingAndNeverTheRecording) {
    TempDir dir;
    Evt3TestEncoder encoder;
    encoder.addEvent(Event2D(1, 2, 1, 100)).addEvent(Event2D(2, 2, 1, 5000));
    struct Case {
        const char* name;
        const char* side;
    };
    for (const Case& c : {Case{"x.raw", "x.qnmark.tmp"}, Case{"x.raw.raw", "x.raw.qnmark.tmp"},
                          Case{"rec.dat", "rec.dat.qnmark.tmp"}, Case{"noext", "noext.qnmark.tmp"}}) {
        SCOPED_TRACE(c.name);
        writeFileBytes(dir.file(c.name), headerFor(100), encoder.bytes());
        RawFileReader reader(dir.file(c.name));
        ASSERT_TRUE(reader.loadFile());
        EXPECT_TRUE(fs::exists(dir.file(c.side)));
    }
    // A side path that is the recording itself (a link to it) is left alone.
    fs::create_directory(dir.file("d"));
    const std::string raw = dir.file("d/a.raw");
    writeFileBytes(raw, headerFor(100), encoder.bytes());
    const std::vector<uint8_t> before = readFileBytes(raw);
    fs::create_symlink(raw, dir.file("d/a.qnmark.tmp"));
    LogCapture log;
    RawFileReader reader(raw);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(readFileBytes(raw), before);
    EXPECT_EQ(readAllByCount(reader, 10).size(), 2u);
    EXPECT_GE(log.countAt(LOG_WARN), 1);
}

TEST(SideFilePath, AnUnwritableSideFileKeepsTheIndexInMemory) {
    TempDir dir;
    SyntheticOptions o;
    o.items = 20000;
    const SyntheticFile file = writeSynthetic(dir, "w.raw", o, o.startTime);
    fs::create_directory(dir.file("w.qnmark.tmp.part"));  // the side file's temporary name is taken
    LogCapture log;
    auto reader = loadReader(file.path);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to open file for writing"));
    EXPECT_FALSE(fs::exists(dir.file("w.qnmark.tmp")));
    EXPECT_TRUE(readAllByCount(*reader, 999) == file.stream.events);
}

} // namespace
