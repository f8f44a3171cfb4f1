// The bookmark index counts events instead of decoding them; it must be the index a full decode
// built, kept here as the side files that decode wrote (tests/data/index): the real recordings and
// random words with anomalies, triggers and groups cut by the read buffers.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "RawTestSupport.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

namespace fs = std::filesystem;

struct IndexCase {
    const char* name;
    const char* dir;  // under the test data
};

const IndexCase INDEX_CASES[] = {
    {"ecc_evt3_trigger_1280x720", "evt3"},
    {"ecpy_test_events_1_640x480", "evt3"},
    {"derived_ecc_evt3_trigger_thwrap", "evt3"},
    {"random_words", "index"},
};

std::string dataFile(const std::string& dir, const std::string& name) {
    return std::string(QUELNOR_TEST_DATA_DIR) + "/" + dir + "/" + name;
}

bool sameBookmark(const RawFileReader::Bookmark& a, const RawFileReader::Bookmark& b) {
    const EVT3Decoder::StreamState& s = a.decoderStatus;
    const EVT3Decoder::StreamState& t = b.decoderStatus;
    return a.bytePosition == b.bytePosition && a.timestamp == b.timestamp && a.eventCount == b.eventCount &&
           a.triggers == b.triggers && s.status.lastPayload == t.status.lastPayload && s.rowSelected == t.rowSelected &&
           s.rowWordIsY == t.rowWordIsY && s.vectorBaseValid == t.vectorBaseValid && s.timeLowSeen == t.timeLowSeen &&
           s.timeHighSeen == t.timeHighSeen && s.firstTimestampSet == t.firstTimestampSet &&
           s.lastTimestamp == t.lastTimestamp && s.firstTimestamp == t.firstTimestamp && s.carryCount == t.carryCount &&
           s.carryWords == t.carryWords && s.missingWords == t.missingWords;
}

class IndexBuild : public ::testing::TestWithParam<IndexCase> {};

TEST_P(IndexBuild, IsTheIndexOfTheFullDecode) {
    const IndexCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file(std::string(c.name) + ".raw");
    fs::copy_file(dataFile(c.dir, std::string(c.name) + ".raw"), path);
    const std::vector<uint8_t> expected = readFileBytes(dataFile("index", std::string(c.name) + ".qnmark"));

    auto built = loadReader(path);
    ASSERT_TRUE(built);
    const std::vector<uint8_t> written = readFileBytes(sideFileOf(path));
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);

    // The side file of the full decode, taken up as it is, gives the same bookmarks in memory.
    fs::remove(sideFileOf(path));
    fs::copy_file(dataFile("index", std::string(c.name) + ".qnmark"), sideFileOf(path));
    // Marked: a load that rebuilt the index would write the file anew.
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(sideFileOf(path), stamp);
    auto fromFile = loadReader(path);
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(fs::last_write_time(sideFileOf(path)), stamp);
    const auto& a = built->getAllBookmarks();
    const auto& b = fromFile->getAllBookmarks();
    ASSERT_EQ(a.size(), b.size());
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        EXPECT_EQ(i->first, j->first);
        EXPECT_TRUE(sameBookmark(i->second, j->second)) << "bookmark " << i->first;
    }
    uint64_t builtEvents = 0;
    uint64_t fileEvents = 0;
    built->getMaxEvents(builtEvents);
    fromFile->getMaxEvents(fileEvents);
    EXPECT_EQ(builtEvents, fileEvents);
    EXPECT_EQ(readAllByCount(*built, 4099), readAllByCount(*fromFile, 4099));
}

INSTANTIATE_TEST_SUITE_P(Recordings, IndexBuild, ::testing::ValuesIn(INDEX_CASES),
                         [](const ::testing::TestParamInfo<IndexCase>& info) { return std::string(info.param.name); });

} // namespace
