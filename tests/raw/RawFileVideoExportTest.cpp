// A raw recording rendered as H.264 video, checked with the real FFmpeg tools: one frame per 33,333 us window
// across the range, each frame showing its window's events, at the sensor size of the file's header.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>

#include "LogCapture.h"
#include "RawTestSupport.h"
#include "VideoTestUtil.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3ReferenceDecoder.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::test;
using videotest::lumaOf;

namespace {

namespace fs = std::filesystem;

constexpr uint64_t WINDOW_US = 33333;
constexpr uint8_t GREY = 112;
constexpr uint8_t WHITE = 255;
constexpr uint8_t BLACK = 0;
// Raw files are decoded for the largest sensor, whatever their header says.
constexpr unsigned DECODE_WIDTH = 1280;
constexpr unsigned DECODE_HEIGHT = 720;

using Pixel = std::pair<int, int>; // x, y
using Colours = std::map<Pixel, uint8_t>;

// The colour each painted pixel of a window must show: its last event's.
Colours lastColours(const std::vector<Event2D>& events, uint64_t from, uint64_t to, int width, int height) {
    Colours colours;
    for (const Event2D& e : events) {
        if (e.timestamp >= from && e.timestamp < to && e.x < width && e.y < height) {
            colours[{e.x, e.y}] = e.polarity ? WHITE : BLACK;
        }
    }
    return colours;
}

struct Video {
    nlohmann::json stream;
    std::vector<nlohmann::json> frames;
    std::vector<std::vector<uint8_t>> luma;
    int width = 0;
    int height = 0;
};

Video probe(const std::string& path) {
    Video video;
    video.stream = videotest::probeVideoStream(path);
    for (const auto& frame : videotest::probeVideoFrames(path)) {
        video.frames.push_back(frame);
    }
    video.width = video.stream.at("width").get<int>();
    video.height = video.stream.at("height").get<int>();
    video.luma = videotest::decodeLumaPlanes(path, video.width, video.height);
    return video;
}

// Frame k is at k x 33,333 us, a key frame, and shows the events of [start + k x 33,333, start + (k+1) x 33,333):
// every painted pixel nearer its own colour than the others, and the picture as a whole within coding noise
// of the painted one (grey where no event fell).
void expectWindows(const Video& video, const std::vector<Event2D>& events, uint64_t start, size_t frames) {
    EXPECT_EQ(video.stream.at("codec_name"), "h264");
    EXPECT_EQ(video.stream.at("time_base"), "1/1000000");
    ASSERT_EQ(video.frames.size(), frames);
    ASSERT_EQ(video.luma.size(), frames);
    constexpr int NEAREST_COLOUR = 40;
    constexpr double MEAN_NOISE = 0.1;
    for (size_t k = 0; k < frames; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_EQ(video.frames[k].at("pts").get<int64_t>(), static_cast<int64_t>(k * WINDOW_US));
        EXPECT_EQ(video.frames[k].at("key_frame").get<int>(), 1);
        const uint64_t from = start + k * WINDOW_US;
        const Colours colours = lastColours(events, from, from + WINDOW_US, video.width, video.height);
        std::vector<int> expected(static_cast<size_t>(video.width) * video.height, lumaOf(GREY));
        size_t wrong = 0;
        for (const auto& [pixel, colour] : colours) {
            const size_t i = static_cast<size_t>(pixel.second) * video.width + pixel.first;
            expected[i] = lumaOf(colour);
            wrong += std::abs(video.luma[k][i] - expected[i]) > NEAREST_COLOUR ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0u) << "of " << colours.size() << " event pixels";
        double sum = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            sum += std::abs(video.luma[k][i] - expected[i]);
        }
        EXPECT_LT(sum / static_cast<double>(expected.size()), MEAN_NOISE);
    }
}

// Windows from start that cover [start, end).
size_t windowsUpTo(uint64_t start, uint64_t end) {
    return static_cast<size_t>((end - start + WINDOW_US - 1) / WINDOW_US);
}

// A small sensor's recording made by the encoder: pixels of known colour in chosen windows, windows without
// events between them.
class EncodedExport : public ::testing::Test {
protected:
    static constexpr uint16_t WIDTH = 96;
    static constexpr uint16_t HEIGHT = 64;
    static constexpr uint64_t START = 7000000;

    void SetUp() override {
        const uint64_t w = WINDOW_US;
        events = {
            Event2D(10, 10, 1, START + 100),         Event2D(40, 20, 0, START + 20000),
            // Windows 1 and 2: nothing.
            Event2D(60, 30, 0, START + 3 * w + 5),   Event2D(60, 30, 1, START + 3 * w + 900),
            Event2D(20, 50, 1, START + 3 * w + 10),  Event2D(20, 50, 0, START + 3 * w + 30000),
            // Beyond the header's sensor size, inside the decoder's: not painted.
            Event2D(WIDTH, 5, 1, START + 3 * w + 40), Event2D(5, HEIGHT, 0, START + 3 * w + 41),
            Event2D(95, 63, 1, START + 5 * w - 1),   Event2D(0, 0, 0, START + 5 * w + 200),
        };
        Evt3TestEncoder encoder;
        encoder.setTime(START).addStream(events, {}, false);
        path = dir.file("small.raw");
        writeFileBytes(path, headerFor(START, WIDTH, HEIGHT), encoder.bytes());
        reader = loadReader(path);
        ASSERT_TRUE(reader);
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
        ASSERT_EQ(start, START);
        ASSERT_EQ(end, START + 5 * w + 200);
    }

    TempDir dir;
    std::string path;
    std::vector<Event2D> events;
    std::unique_ptr<RawFileReader> reader;
    uint64_t start = 0;
    uint64_t end = 0;
};

TEST_F(EncodedExport, EveryWindowIsAFrameEmptyOnesGrey) {
    const std::string out = dir.file("small.mp4");
    LogCapture log;
    ASSERT_TRUE(reader->exportEventDataToVideo(start, start + 5 * WINDOW_US, out));
    EXPECT_EQ(log.countAt(LOG_ERROR), 0);
    EXPECT_TRUE(log.has(LOG_INFO, "Exporting event data to video..."));
    const Video video = probe(out);
    EXPECT_EQ(video.width, WIDTH);
    EXPECT_EQ(video.height, HEIGHT);
    ASSERT_NO_FATAL_FAILURE(expectWindows(video, events, start, 5));

    // The known pixels, closely: at 60 Mbit/s lone pixels come through nearly unchanged.
    constexpr int PIXEL_TOLERANCE = 4;
    constexpr int BACKGROUND_TOLERANCE = 2;
    const std::vector<Colours> known{
        {{{10, 10}, WHITE}, {{40, 20}, BLACK}}, {}, {}, {{{60, 30}, WHITE}, {{20, 50}, BLACK}}, {{{95, 63}, WHITE}},
    };
    for (size_t k = 0; k < known.size(); ++k) {
        for (const auto& [pixel, colour] : known[k]) {
            EXPECT_NEAR(video.luma[k].at(static_cast<size_t>(pixel.second) * WIDTH + pixel.first), lumaOf(colour),
                        PIXEL_TOLERANCE)
                << "frame " << k << " at " << pixel.first << "," << pixel.second;
        }
    }
    // The windows without events keep the time line: grey pictures at 33,333 and 66,666 us.
    for (size_t k : {1, 2}) {
        for (size_t i = 0; i < video.luma[k].size(); ++i) {
            ASSERT_NEAR(video.luma[k][i], lumaOf(GREY), BACKGROUND_TOLERANCE) << "frame " << k << " byte " << i;
        }
    }
    // The reader stands at the end of the last window.
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), start + 5 * WINDOW_US);
}

TEST_F(EncodedExport, AnotherRangeOfTheSameReader) {
    ASSERT_TRUE(reader->exportEventDataToVideo(start, end, dir.file("first.mp4")));
    // The reader moved to the end: the next export seeks back; its frames start at 0 again.
    const std::string out = dir.file("second.mp4");
    ASSERT_TRUE(reader->exportEventDataToVideo(start + 2 * WINDOW_US, start + 4 * WINDOW_US, out));
    ASSERT_NO_FATAL_FAILURE(expectWindows(probe(out), events, start + 2 * WINDOW_US, 2));
}

// A large end stops at the file's end: the last window holds the last event, and no picture follows it.
TEST_F(EncodedExport, LargeEndStopsAtTheFilesEnd) {
    for (const uint64_t large : {end + 10 * WINDOW_US, std::numeric_limits<uint64_t>::max()}) {
        SCOPED_TRACE("end " + std::to_string(large));
        const std::string out = dir.file("all.mp4");
        ASSERT_TRUE(reader->exportEventDataToVideo(start, large, out));
        const Video video = probe(out);
        ASSERT_NO_FATAL_FAILURE(expectWindows(video, events, start, 6));
        EXPECT_NEAR(video.luma[5].at(0), lumaOf(BLACK), 4);
    }
}

struct Refusal {
    const char* name;
    // Start and end relative to the file's start time; the output file's name in the test directory.
    int64_t start;
    int64_t end;
    const char* output;
    const char* error;
    bool errorNamesOutput = false;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class ExportRefused : public EncodedExport, public ::testing::WithParamInterface<Refusal> {};

// Each refused export answers false with its error line and leaves no output behind.
TEST_P(ExportRefused, FailsWithoutOutput) {
    const Refusal& c = GetParam();
    const std::string out = dir.file(c.output);
    const auto at = [this](int64_t offset) { return static_cast<uint64_t>(static_cast<int64_t>(start) + offset); };
    LogCapture log;
    EXPECT_FALSE(reader->exportEventDataToVideo(at(c.start), at(c.end), out));
    const std::string error = c.errorNamesOutput ? c.error + out : c.error;
    EXPECT_TRUE(log.has(LOG_ERROR, error)) << error;
    EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    RawVideoExport, ExportRefused,
    testing::Values(
        Refusal{"startBeforeFile", -1, 100000, "a.mp4", "No start timestamp found."},
        Refusal{"startAfterFile", 5 * 33333 + 201, 5 * 33333 + 300000, "a.mp4", "No start timestamp found."},
        Refusal{"endBeforeStart", 50000, 49999, "a.mp4", "Start time must be less than or equal to end time."},
        Refusal{"emptyRange", 50000, 50000, "a.mp4", "There is no data in the interval."},
        Refusal{"missingDirectory", 0, 100000, "no/such/dir/a.mp4", "Could not open output file: ", true}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(EncodedExport, NeverOverwritesTheRecordingOrItsSideFile) {
    const auto recording = videotest::readFile(path);
    const std::string sideFile = sideFileOf(path);
    ASSERT_TRUE(fs::exists(sideFile));
    const auto side = videotest::readFile(sideFile);
    for (const std::string& target : {path, sideFile, dir.path() + "/./small.raw"}) {
        LogCapture log;
        EXPECT_FALSE(reader->exportEventDataToVideo(start, end, target)) << target;
        EXPECT_TRUE(log.has(LOG_ERROR, "Failed to open output file: " + target + ".")) << target;
    }
    EXPECT_EQ(videotest::readFile(path), recording);
    EXPECT_EQ(videotest::readFile(sideFile), side);
}

TEST_F(EncodedExport, OutputThatCannotBeWrittenIsReported) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    LogCapture log;
    EXPECT_FALSE(reader->exportEventDataToVideo(start, end, "/dev/full"));
    EXPECT_GT(log.countAt(LOG_ERROR), 0);
}

// Lowers this process's file size limit while it lives; writes beyond it fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = std::min(bytes, saved.rlim_max);
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved{};
    void (*previousHandler)(int) = nullptr;
};

// An output that fails while pictures are written makes the export fail; what was written is kept.
TEST(RawVideoExport, OutputFailingMidwayIsReported) {
    TempDir dir;
    const std::string copy = dir.file("recording.raw");
    fs::copy_file(realRecording("ecc_evt3_trigger_1280x720.raw"), copy);
    auto reader = loadReader(copy);
    ASSERT_TRUE(reader);
    uint64_t start = 0;
    reader->getStartTimeStamp(start);
    const std::string out = dir.file("cut-short.mp4");
    // Room for a few of its pictures (tens of kilobytes each), not for all of them.
    constexpr rlim_t LIMIT = 256 * 1024;
    LogCapture log;
    bool exported = true;
    {
        FileSizeLimit limit(LIMIT);
        exported = reader->exportEventDataToVideo(start, std::numeric_limits<uint64_t>::max(), out);
    }
    EXPECT_FALSE(exported);
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to write packet."));
    EXPECT_EQ(fs::file_size(out), LIMIT);
}

TEST(RawVideoExport, ConverterThatCannotStartIsReported) {
    TempDir dir;
    // A header without a usable sensor size: the encoder refuses a picture of 0 x 0.
    Evt3TestEncoder encoder;
    encoder.setTime(1000).addStream({Event2D(1, 1, 1, 1100), Event2D(2, 2, 0, 90000)}, {}, false);
    const std::string path = dir.file("nosize.raw");
    writeFileBytes(path, headerFor(1000, 0, 0), encoder.bytes());
    auto reader = loadReader(path);
    ASSERT_TRUE(reader);
    ASSERT_EQ(reader->getWidth(), 0);
    LogCapture log;
    EXPECT_FALSE(reader->exportEventDataToVideo(1000, 90000, dir.file("nosize.mp4")));
    EXPECT_TRUE(
        log.has(LOG_ERROR, "Video converter initialization failed, please confirm that the input file is correct."));
    EXPECT_FALSE(fs::exists(dir.file("nosize.mp4")));
}

TEST(RawVideoExport, UnloadedReaderFails) {
    TempDir dir;
    RawFileReader reader(dir.file("missing.raw"));
    EXPECT_FALSE(reader.exportEventDataToVideo(0, 100000, dir.file("a.mp4")));
    EXPECT_FALSE(fs::exists(dir.file("a.mp4")));
}

// A range of exactly one second with events everywhere: 31 pictures, the last window reaching past the range.
TEST(RawVideoExport, OneSecondIsThirtyOnePictures) {
    TempDir dir;
    SyntheticOptions o;
    o.seed = 7;
    o.width = 320;
    o.height = 320;
    o.startTime = 3000000;
    o.meanGapNs = 20000; // about 1.1 s of events
    o.items = 55000;
    const SyntheticFile file = writeSynthetic(dir, "genx.raw", o, o.startTime);
    auto reader = loadReader(file.path);
    ASSERT_TRUE(reader);
    uint64_t start = 0;
    uint64_t end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    ASSERT_GT(end, start + 1000000 + WINDOW_US);
    const std::string out = dir.file("genx.mp4");
    ASSERT_TRUE(reader->exportEventDataToVideo(start, start + 1000000, out));
    const Video video = probe(out);
    EXPECT_EQ(video.width, 320);
    EXPECT_EQ(video.height, 320);
    ASSERT_NO_FATAL_FAILURE(expectWindows(video, file.stream.events, start, 31));
}

// The real recordings whole: every window from the start time to the end time, at the header's sensor size,
// each frame matching the events a plain decoder finds in its window.
class RealRecordingExport : public ::testing::TestWithParam<const char*> {};

TEST_P(RealRecordingExport, WholeFileFrameByFrame) {
    const std::string path = realRecording(GetParam());
    const Evt3RawFile raw = loadEvt3RawFile(path);
    const auto events = referenceDecode(raw.words(), DECODE_WIDTH, DECODE_HEIGHT).events;
    ASSERT_FALSE(events.empty());

    TempDir dir;
    // A copy, so the side file goes to the temporary directory.
    const std::string copy = dir.file("recording.raw");
    fs::copy_file(path, copy);
    auto reader = loadReader(copy);
    ASSERT_TRUE(reader);
    uint64_t start = 0;
    uint64_t end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    ASSERT_LE(start, events.front().timestamp);
    ASSERT_GE(end, events.back().timestamp);

    const std::string out = dir.file("recording.mp4");
    ASSERT_TRUE(reader->exportEventDataToVideo(start, std::numeric_limits<uint64_t>::max(), out));
    const Video video = probe(out);
    EXPECT_EQ(video.width, static_cast<int>(raw.width));
    EXPECT_EQ(video.height, static_cast<int>(raw.height));
    ASSERT_NO_FATAL_FAILURE(expectWindows(video, events, start, windowsUpTo(start, end + 1)));
}

INSTANTIATE_TEST_SUITE_P(RawVideoExport, RealRecordingExport,
                         testing::Values("ecc_evt3_trigger_1280x720.raw", "ecpy_test_events_1_640x480.raw"));

} // namespace
