#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/QuelnorDriver.h"
#include "VideoTestUtil.h"

using namespace quelnor;
using namespace quelnor::videotest;

namespace {

constexpr int W = 64;
constexpr int H = 48;
// BGR -> limited-range 4:2:0 -> H.264 at 60 Mbit/s -> BGR, inside 8 x 8 blocks.
constexpr int COLOUR_TOLERANCE = 6;
// Our BGR conversion against the ffmpeg tool's on the same decoded pictures.
constexpr int DECODE_TOLERANCE = 1;
const std::string TEST_SOURCE = "-f lavfi -i testsrc2=size=64x48:rate=30 ";

std::unique_ptr<ApsFileReader> loadedReader(const std::string& path) {
    auto reader = ApsFileReader::createFileReader(path);
    EXPECT_NE(reader, nullptr) << path;
    if (reader) {
        EXPECT_TRUE(reader->loadFile()) << path;
    }
    return reader;
}

std::vector<uint64_t> listedTimes(ApsFileReader& reader) {
    std::vector<uint64_t> times;
    EXPECT_TRUE(reader.getTimeStamps(times));
    return times;
}

std::vector<uint8_t> pixels(const ApsFrame& frame) {
    return std::vector<uint8_t>(frame.data(), frame.data() + frame.getDataSize());
}

int maxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) {
        return 256;
    }
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        worst = std::max(worst, std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i])));
    }
    return worst;
}

// The pictures ffmpeg decodes from the file's video stream, one BGR picture per frame.
std::vector<std::vector<uint8_t>> ffmpegPictures(const std::string& path, int width, int height) {
    const auto all = decodeRaw(path, "bgr24");
    const size_t bytes = static_cast<size_t>(width) * height * 3;
    std::vector<std::vector<uint8_t>> pictures;
    for (size_t at = 0; at + bytes <= all.size(); at += bytes) {
        pictures.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at),
                              all.begin() + static_cast<std::ptrdiff_t>(at + bytes));
    }
    return pictures;
}

// A converter-made file of blockPicture(seed i) at each given time.
std::vector<std::vector<uint8_t>> writeConverterVideo(const std::string& path, const std::vector<int64_t>& times) {
    DataToVideoConverter converter;
    converter.setConverterFrameSize(H, W, H, W);
    converter.setConverterFmt(DataToVideoConverter::PIX_FMT_BGR24, DataToVideoConverter::PIX_FMT_YUV420P);
    EXPECT_EQ(converter.initVideoConverter(), 0);
    EXPECT_EQ(converter.setOutputFile(path), 0);
    std::vector<std::vector<uint8_t>> pictures;
    for (size_t i = 0; i < times.size(); ++i) {
        pictures.push_back(blockPicture(W, H, static_cast<int>(i)));
        EXPECT_EQ(converter.rgbToVideo(pictures.back(), times[i]), 0) << i;
    }
    EXPECT_EQ(converter.flushAndCloseVideo(), 0);
    return pictures;
}

int openDescriptorsOf(const std::string& path) {
    int count = 0;
    const auto target = std::filesystem::canonical(path);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto link = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && link == target) {
            ++count;
        }
    }
    return count;
}

// Finds the video sample entry of an MP4 file ("avc1" right inside "stsd").
size_t sampleEntryOffset(const std::vector<uint8_t>& file) {
    const std::string bytes(file.begin(), file.end());
    for (size_t stsd = bytes.find("stsd"); stsd != std::string::npos; stsd = bytes.find("stsd", stsd + 1)) {
        if (bytes.compare(stsd + 16, 4, "avc1") == 0) {
            return stsd + 16;
        }
    }
    throw std::runtime_error("no avc1 sample entry");
}

} // namespace

TEST(ApsFileReader, ChoosesTheReaderByExactExtension) {
    struct Case {
        const char* path;
        bool reader;
    };
    for (const Case& c : {Case{"x.mp4", true}, Case{"dir.x/a.mp4", true}, Case{"x.MP4", false}, Case{"x.mov", false},
                          Case{"x", false}, Case{"x.mp4.bak", false}, Case{"dir.mp4/x", false}}) {
        auto reader = ApsFileReader::createFileReader(c.path);
        EXPECT_EQ(reader != nullptr, c.reader) << c.path;
        if (reader) {
            // Returned unloaded, with the default size.
            EXPECT_EQ(reader->getWidth(), 3840);
            EXPECT_EQ(reader->getHeight(), 2160);
            EXPECT_NE(dynamic_cast<Mp4FileReader*>(reader.get()), nullptr);
        }
    }
}

TEST(Mp4FileReader, MissingOrNonVideoFilesDoNotLoad) {
    TempDir dir;
    Mp4FileReader missing(dir.file("absent.mp4"));
    EXPECT_FALSE(missing.loadFile());

    writeFile(dir.file("text.mp4"), std::vector<uint8_t>(1000, 'x'));
    Mp4FileReader garbage(dir.file("text.mp4"));
    EXPECT_FALSE(garbage.loadFile());

    makeVideo("-f lavfi -i sine=frequency=440:sample_rate=48000 -t 0.2 -c:a aac", dir.file("audio.mp4"));
    test::LogCapture log;
    Mp4FileReader audioOnly(dir.file("audio.mp4"));
    EXPECT_FALSE(audioOnly.loadFile());
    EXPECT_TRUE(log.has(LOG_ERROR, "No video stream found!"));
    ApsFrame frame(1, 1);
    EXPECT_FALSE(audioOnly.getNextFrame(frame));
    EXPECT_FALSE(audioOnly.getNFrame(0, frame));
    EXPECT_FALSE(audioOnly.seekTime(0));
}

TEST(Mp4FileReader, ReadsTheConvertersFileWithExactTimesAndPictures) {
    TempDir dir;
    const std::string path = dir.file("converter.mp4");
    // 99,999 us is where a floating-point conversion gives 99,998; past 2^32 us nothing may wrap (steps stay
    // below 2^31 us, the longest sample an MP4 file holds).
    const std::vector<int64_t> times{0, 33333, 66666, 99999, 2000000000, 4000000000, 4294967296, 4295000629};
    const auto pictures = writeConverterVideo(path, times);

    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->getWidth(), W);
    EXPECT_EQ(reader->getHeight(), H);
    const auto listed = listedTimes(*reader);
    EXPECT_EQ(listed, std::vector<uint64_t>(times.begin(), times.end()));
    EXPECT_EQ(listed, probeFrameTimes(path));

    ApsFrame frame(1, 1);
    for (size_t i = 0; i < times.size(); ++i) {
        ASSERT_TRUE(reader->getNextFrame(frame)) << i;
        EXPECT_EQ(frame.startTimestamp, static_cast<uint64_t>(times[i]));
        EXPECT_EQ(frame.endTimestamp, static_cast<uint64_t>(times[i]));
        EXPECT_EQ(frame.width(), W);
        EXPECT_EQ(frame.height(), H);
        EXPECT_LE(maxBlockInteriorDifference(pixels(frame), pictures[i], W, H), COLOUR_TOLERANCE) << i;
    }
    EXPECT_FALSE(reader->getNextFrame(frame));

    // Times map back to their frames exactly as well.
    for (size_t i : {3u, 6u, 0u, 7u, 4u}) {
        ASSERT_TRUE(reader->getFrameGivenTimeStamp(static_cast<uint64_t>(times[i]), frame)) << i;
        EXPECT_EQ(frame.startTimestamp, static_cast<uint64_t>(times[i]));
        EXPECT_LE(maxBlockInteriorDifference(pixels(frame), pictures[i], W, H), COLOUR_TOLERANCE) << i;
    }
}

TEST(Mp4FileReader, NV12RecordingsReadBackAsBgr) {
    TempDir dir;
    const std::string path = dir.file("nv12.mp4");
    DataToVideoConverter converter;
    converter.setConverterFrameSize(H, W, H, W);
    converter.setConverterFmt(DataToVideoConverter::PIX_FMT_NV12, DataToVideoConverter::PIX_FMT_YUV420P);
    ASSERT_EQ(converter.initVideoConverter(), 0);
    ASSERT_EQ(converter.setOutputFile(path), 0);
    std::vector<uint8_t> nv12(W * H * 3 / 2);
    for (int i = 0; i < 3; ++i) {
        std::fill(nv12.begin(), nv12.begin() + W * H, static_cast<uint8_t>(60 + 40 * i));
        std::fill(nv12.begin() + W * H, nv12.end(), 128);
        ASSERT_EQ(converter.nv12ToVideo(nv12, -1), 0);
    }
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);

    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(listedTimes(*reader), (std::vector<uint64_t>{0, 33333, 66666}));
    const auto theirs = ffmpegPictures(path, W, H);
    ASSERT_EQ(theirs.size(), 3u);
    ApsFrame frame(1, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader->getNextFrame(frame));
        EXPECT_LE(maxDifference(pixels(frame), theirs[i]), DECODE_TOLERANCE) << i;
        // Grey luma: equal channels, brighter with each frame.
        const int expected = (60 + 40 * i - 16) * 255 / 219;
        EXPECT_NEAR(frame.data()[0], expected, 3) << i;
    }
}

TEST(Mp4FileReader, FramesByTimeTakeTheLastFrameAtOrBefore) {
    TempDir dir;
    const std::string path = dir.file("three.mp4");
    writeConverterVideo(path, {0, 33333, 66666});
    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    struct Case {
        uint64_t asked;
        uint64_t got;
    };
    for (const Case& c : {Case{33333, 33333}, Case{50000, 33333}, Case{0, 0}, Case{100000, 66666},
                          Case{66665, 33333}, Case{33332, 0}}) {
        test::LogCapture log;
        ApsFrame frame(1, 1);
        ASSERT_TRUE(reader->getFrameGivenTimeStamp(c.asked, frame)) << c.asked;
        EXPECT_EQ(frame.startTimestamp, c.got) << c.asked;
        EXPECT_TRUE(log.has(LOG_INFO, "Seek to time: " + std::to_string(c.got))) << c.asked;
    }
}

TEST(Mp4FileReader, FramesByIndex) {
    TempDir dir;
    const std::string path = dir.file("three.mp4");
    const auto pictures = writeConverterVideo(path, {0, 33333, 66666});
    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    ApsFrame frame(1, 1);
    EXPECT_FALSE(reader->getNFrame(-1, frame));
    EXPECT_FALSE(reader->getNFrame(3, frame));
    for (int i : {2, 0, 1, 1}) {
        ASSERT_TRUE(reader->getNFrame(i, frame)) << i;
        EXPECT_EQ(frame.startTimestamp, static_cast<uint64_t>(i * 33333));
        EXPECT_LE(maxBlockInteriorDifference(pixels(frame), pictures[i], W, H), COLOUR_TOLERANCE) << i;
    }
    // Reading goes on after the frame taken.
    ASSERT_TRUE(reader->getNFrame(0, frame));
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 33333u);
}

TEST(Mp4FileReader, SeekPositionsAtTheFrameBeforeTheOneAskedFor) {
    TempDir dir;
    const std::string path = dir.file("three.mp4");
    writeConverterVideo(path, {0, 33333, 66666});
    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    ApsFrame frame(1, 1);
    {
        test::LogCapture log;
        ASSERT_TRUE(reader->seekTime(33333));
        EXPECT_TRUE(log.has(LOG_INFO, "Seek to time: 0"));
    }
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 0u);
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 33333u);

    ASSERT_TRUE(reader->seekTime(66666));
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 33333u);
    ASSERT_TRUE(reader->seekTime(33334));
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 33333u);
    ASSERT_TRUE(reader->seekTime(0));
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 0u);

    EXPECT_FALSE(reader->seekTime(66667));
    // A failed seek leaves the position alone.
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 33333u);
}

TEST(Mp4FileReader, FirstFrameAfterZero) {
    TempDir dir;
    const std::string path = dir.file("late.mp4");
    writeConverterVideo(path, {10, 33343, 66676});
    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(listedTimes(*reader), (std::vector<uint64_t>{10, 33343, 66676}));
    ApsFrame frame(1, 1);
    EXPECT_FALSE(reader->getFrameGivenTimeStamp(5, frame));
    EXPECT_FALSE(reader->getFrameGivenTimeStamp(9, frame));
    ASSERT_TRUE(reader->getFrameGivenTimeStamp(10, frame));
    EXPECT_EQ(frame.startTimestamp, 10u);
    ASSERT_TRUE(reader->seekTime(5));
    ASSERT_TRUE(reader->getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 10u);
}

TEST(Mp4FileReader, ReturnedFramesBorrowTheReadersPicture) {
    TempDir dir;
    const std::string path = dir.file("two.mp4");
    writeConverterVideo(path, {0, 33333});
    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    ApsFrame first(1, 1);
    ASSERT_TRUE(reader->getNextFrame(first));
    const ApsFrame kept = first.clone();
    const auto before = pixels(first);
    ApsFrame second(1, 1);
    ASSERT_TRUE(reader->getNextFrame(second));
    EXPECT_EQ(first.data(), second.data());
    EXPECT_NE(pixels(first), before);
    EXPECT_EQ(pixels(kept), before);
    EXPECT_EQ(kept.startTimestamp, 0u);
}

TEST(Mp4FileReader, DestroyingThroughTheInterfaceClosesTheFile) {
    TempDir dir;
    const std::string path = dir.file("one.mp4");
    writeConverterVideo(path, {0});
    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(openDescriptorsOf(path), 1);
    reader.reset();
    EXPECT_EQ(openDescriptorsOf(path), 0);
}

TEST(Mp4FileReader, LoadingAgainStartsAfresh) {
    TempDir dir;
    const std::string path = dir.file("three.mp4");
    writeConverterVideo(path, {0, 33333, 66666});
    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame(1, 1);
    ASSERT_TRUE(reader.getNextFrame(frame));
    ASSERT_TRUE(reader.getNextFrame(frame));
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(openDescriptorsOf(path), 1);
    EXPECT_EQ(listedTimes(reader).size(), 3u);
    ASSERT_TRUE(reader.getNextFrame(frame));
    EXPECT_EQ(frame.startTimestamp, 0u);
}

// A damaged picture in the middle costs at most that picture: the frames after it are still listed and read.
TEST(Mp4FileReader, ADamagedPictureDoesNotEndTheFile) {
    TempDir dir;
    std::vector<int64_t> times;
    for (int i = 0; i < 8; ++i) {
        times.push_back(i * 33333);
    }
    writeConverterVideo(dir.file("source.mp4"), times);
    auto bytes = readFile(dir.file("source.mp4"));
    const std::string text(bytes.begin(), bytes.end());
    const size_t mdat = text.find("mdat");
    ASSERT_NE(mdat, std::string::npos);
    const size_t mdatSize = (size_t{bytes[mdat - 4]} << 24) | (size_t{bytes[mdat - 3]} << 16) |
                            (size_t{bytes[mdat - 2]} << 8) | bytes[mdat - 1];
    // Overwrite a stretch inside the fourth or fifth picture.
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(mdat + mdatSize / 2), 64, 0xFF);
    const std::string path = dir.file("damaged.mp4");
    writeFile(path, bytes);

    auto reader = loadedReader(path);
    ASSERT_NE(reader, nullptr);
    const auto listed = listedTimes(*reader);
    EXPECT_EQ(listed, probeFrameTimes(path));
    ASSERT_GE(listed.size(), 7u);
    EXPECT_EQ(listed.back(), 7u * 33333);
    ApsFrame frame(1, 1);
    size_t read = 0;
    while (reader->getNextFrame(frame)) {
        EXPECT_EQ(frame.startTimestamp, listed.at(read));
        ++read;
    }
    EXPECT_EQ(read, listed.size());
}

// A video stream whose size is zero: nothing to lay a picture buffer over.
TEST(Mp4FileReader, RefusesAStreamWithoutPictureSize) {
    TempDir dir;
    writeConverterVideo(dir.file("source.mp4"), {0, 33333});
    auto bytes = readFile(dir.file("source.mp4"));
    const size_t entry = sampleEntryOffset(bytes);
    // An unknown coding, so that no decoder finds the size either; width and height 0.
    std::copy_n("qnzz", 4, bytes.begin() + static_cast<std::ptrdiff_t>(entry));
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(entry + 28), 4, 0);
    writeFile(dir.file("nosize.mp4"), bytes);
    ASSERT_EQ(probeVideoStream(dir.file("nosize.mp4")).at("width"), 0);

    test::LogCapture log;
    Mp4FileReader reader(dir.file("nosize.mp4"));
    EXPECT_FALSE(reader.loadFile());
    EXPECT_TRUE(log.has(LOG_ERROR, "Video stream has no usable picture size: 0x0"));
    ApsFrame frame(1, 1);
    EXPECT_FALSE(reader.getNextFrame(frame));
    EXPECT_FALSE(reader.getFrameGivenTimeStamp(0, frame));
    EXPECT_FALSE(reader.seekTime(0));
}

// A stream with a size but a coding without decoder loads with no frames; every request then fails.
TEST(Mp4FileReader, UndecodableStreamLoadsWithoutFrames) {
    TempDir dir;
    writeConverterVideo(dir.file("source.mp4"), {0, 33333});
    auto bytes = readFile(dir.file("source.mp4"));
    std::copy_n("qnzz", 4, bytes.begin() + static_cast<std::ptrdiff_t>(sampleEntryOffset(bytes)));
    writeFile(dir.file("unknown.mp4"), bytes);

    Mp4FileReader reader(dir.file("unknown.mp4"));
    EXPECT_TRUE(reader.loadFile());
    EXPECT_EQ(reader.getWidth(), W);
    EXPECT_EQ(reader.getHeight(), H);
    EXPECT_TRUE(listedTimes(reader).empty());
    ApsFrame frame(1, 1);
    EXPECT_FALSE(reader.getNextFrame(frame));
    EXPECT_FALSE(reader.getNFrame(0, frame));
    EXPECT_FALSE(reader.getFrameGivenTimeStamp(0, frame));
    EXPECT_FALSE(reader.seekTime(0));
}

// Pictures whose size differs from the stream header (a size change inside the stream) are scaled to the
// header's size instead of being read past their planes.
TEST(Mp4FileReader, PicturesOfAnotherSizeThanTheHeaderAreScaled) {
    TempDir dir;
    makeVideo(TEST_SOURCE + "-frames:v 4 -c:v libx264 -g 1 -pix_fmt yuv420p -f h264", dir.file("large.h264"));
    makeVideo("-f lavfi -i testsrc2=size=32x24:rate=30 -frames:v 4 -c:v libx264 -g 1 -pix_fmt yuv420p -f h264",
              dir.file("small.h264"));
    const auto large = readFile(dir.file("large.h264"));
    const auto small = readFile(dir.file("small.h264"));
    struct Case {
        const char* name;
        std::vector<const std::vector<uint8_t>*> parts;
        int width, height;
    };
    for (const Case& c : {Case{"largeFirst", {&large, &small}, W, H}, Case{"smallFirst", {&small, &large}, 32, 24}}) {
        std::vector<uint8_t> stream;
        for (const auto* part : c.parts) {
            stream.insert(stream.end(), part->begin(), part->end());
        }
        writeFile(dir.file("joined.h264"), stream);
        const std::string path = dir.file(std::string(c.name) + ".mp4");
        makeVideo("-r 30 -i " + shellQuote(dir.file("joined.h264")) + " -c copy", path);

        auto reader = loadedReader(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(reader->getWidth(), c.width) << c.name;
        EXPECT_EQ(reader->getHeight(), c.height) << c.name;
        const auto times = listedTimes(*reader);
        ASSERT_EQ(times.size(), 8u) << c.name;
        const auto theirs = ffmpegPictures(path, c.width, c.height);
        ASSERT_EQ(theirs.size(), 8u) << c.name;
        ApsFrame frame(1, 1);
        for (size_t i = 0; i < 8; ++i) {
            ASSERT_TRUE(reader->getNextFrame(frame)) << c.name << " " << i;
            EXPECT_EQ(frame.width(), c.width);
            EXPECT_EQ(frame.height(), c.height);
            EXPECT_LE(maxDifference(pixels(frame), theirs[i]), DECODE_TOLERANCE) << c.name << " " << i;
        }
    }
}

// Files made by the ffmpeg tool: every frame listed as ffprobe sees it, frames in order, by index, by time
// and after seeks, each equal to what ffmpeg decodes.
struct ToolFileCase {
    const char* name;
    std::string arguments;
    size_t frames;
};

void PrintTo(const ToolFileCase& c, std::ostream* os) { *os << c.name; }

// One file per case, made once and shared by the case's tests (the ffmpeg runs dominate the time).
struct ToolFile {
    std::string path;
    std::vector<uint64_t> times;
    std::vector<std::vector<uint8_t>> pictures;
};

const ToolFile& toolFile(const ToolFileCase& c) {
    static TempDir dir;
    static std::map<std::string, ToolFile> files;
    auto found = files.find(c.name);
    if (found == files.end()) {
        ToolFile file;
        file.path = dir.file(std::string(c.name) + ".mp4");
        makeVideo(c.arguments, file.path);
        file.times = probeFrameTimes(file.path);
        file.pictures = ffmpegPictures(file.path, W, H);
        found = files.emplace(c.name, std::move(file)).first;
    }
    return found->second;
}

class Mp4FileReaderOnToolFiles : public testing::TestWithParam<ToolFileCase> {
protected:
    void SetUp() override {
        const ToolFile& file = toolFile(GetParam());
        expectedTimes = file.times;
        ASSERT_EQ(expectedTimes.size(), GetParam().frames);
        ASSERT_EQ(file.pictures.size(), GetParam().frames);
        expected = &file.pictures;
        reader = loadedReader(file.path);
        ASSERT_NE(reader, nullptr);
    }

    void expectFrame(const ApsFrame& frame, size_t index, const std::string& how) {
        EXPECT_EQ(frame.startTimestamp, expectedTimes[index]) << how;
        EXPECT_EQ(frame.endTimestamp, expectedTimes[index]) << how;
        EXPECT_LE(maxDifference(pixels(frame), (*expected)[index]), DECODE_TOLERANCE) << how;
    }

    std::vector<uint64_t> expectedTimes;
    const std::vector<std::vector<uint8_t>>* expected = nullptr;
    std::unique_ptr<ApsFileReader> reader;
};

TEST_P(Mp4FileReaderOnToolFiles, ListsEveryFrameWithItsExactTime) {
    EXPECT_EQ(reader->getWidth(), W);
    EXPECT_EQ(reader->getHeight(), H);
    EXPECT_EQ(listedTimes(*reader), expectedTimes);
    EXPECT_TRUE(std::is_sorted(expectedTimes.begin(), expectedTimes.end()));
}

TEST_P(Mp4FileReaderOnToolFiles, ReadsEveryFrameInOrder) {
    ApsFrame frame(1, 1);
    for (size_t i = 0; i < expectedTimes.size(); ++i) {
        ASSERT_TRUE(reader->getNextFrame(frame)) << i;
        expectFrame(frame, i, "next " + std::to_string(i));
    }
    EXPECT_FALSE(reader->getNextFrame(frame));
}

TEST_P(Mp4FileReaderOnToolFiles, ReadsFramesByIndexInAnyOrder) {
    const size_t n = expectedTimes.size();
    std::vector<size_t> order;
    for (size_t i = 0; i < n; ++i) {
        order.push_back(n - 1 - i);
    }
    for (size_t i = 0; i < n; i += 3) {
        order.push_back((i * 7) % n);
    }
    ApsFrame frame(1, 1);
    for (size_t i : order) {
        ASSERT_TRUE(reader->getNFrame(static_cast<int>(i), frame)) << i;
        expectFrame(frame, i, "index " + std::to_string(i));
    }
    // The next frame follows the one taken.
    ASSERT_TRUE(reader->getNFrame(static_cast<int>(n / 2), frame));
    ASSERT_TRUE(reader->getNextFrame(frame));
    expectFrame(frame, n / 2 + 1, "next after index");
    EXPECT_FALSE(reader->getNFrame(static_cast<int>(n), frame));
}

TEST_P(Mp4FileReaderOnToolFiles, ReadsFramesByTime) {
    ApsFrame frame(1, 1);
    const size_t n = expectedTimes.size();
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (k * 5 + 3) % n;
        ASSERT_TRUE(reader->getFrameGivenTimeStamp(expectedTimes[i], frame)) << i;
        expectFrame(frame, i, "time " + std::to_string(expectedTimes[i]));
        // Any time up to the next frame selects the same frame.
        const uint64_t later = i + 1 < n ? expectedTimes[i + 1] - 1 : expectedTimes[i] + 1000000;
        ASSERT_TRUE(reader->getFrameGivenTimeStamp(later, frame)) << i;
        expectFrame(frame, i, "time " + std::to_string(later));
    }
    if (expectedTimes.front() > 0) {
        EXPECT_FALSE(reader->getFrameGivenTimeStamp(expectedTimes.front() - 1, frame));
    }
}

TEST_P(Mp4FileReaderOnToolFiles, SeeksToTheFrameBefore) {
    ApsFrame frame(1, 1);
    const size_t n = expectedTimes.size();
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (k * 7 + 2) % n;
        ASSERT_TRUE(reader->seekTime(expectedTimes[i])) << i;
        const size_t before = i == 0 ? 0 : i - 1;
        ASSERT_TRUE(reader->getNextFrame(frame)) << i;
        expectFrame(frame, before, "seek " + std::to_string(i));
        if (before + 1 < n) {
            ASSERT_TRUE(reader->getNextFrame(frame)) << i;
            expectFrame(frame, before + 1, "after seek " + std::to_string(i));
        }
    }
    EXPECT_FALSE(reader->seekTime(expectedTimes.back() + 1));
    ASSERT_TRUE(reader->seekTime(0));
    ASSERT_TRUE(reader->getNextFrame(frame));
    expectFrame(frame, 0, "seek 0");
}

INSTANTIATE_TEST_SUITE_P(
    Mp4FileReader, Mp4FileReaderOnToolFiles,
    testing::Values(
        ToolFileCase{"intraOnly", TEST_SOURCE + "-frames:v 15 -c:v libx264 -g 1 -pix_fmt yuv420p", 15},
        // The decoder holds the last pictures until it is drained at the end of the file.
        ToolFileCase{"bFrames", TEST_SOURCE + "-frames:v 30 -c:v libx264 -g 10 -bf 3 -pix_fmt yuv420p", 30},
        ToolFileCase{"bFramesLongGop", TEST_SOURCE + "-frames:v 40 -c:v libx264 -g 250 -bf 2 -pix_fmt yuv420p", 40},
        ToolFileCase{"firstFrameAfterZero",
                     TEST_SOURCE + "-frames:v 20 -c:v libx264 -g 8 -bf 2 -pix_fmt yuv420p -output_ts_offset 0.25", 20},
        // Audio as the first stream, interleaved with the video.
        ToolFileCase{"withAudioStream",
                     "-f lavfi -i sine=frequency=440:sample_rate=48000 " + TEST_SOURCE +
                         "-map 0:a -map 1:v -frames:v 20 -t 0.9 -c:v libx264 -g 6 -bf 2 -pix_fmt yuv420p -c:a aac",
                     20},
        ToolFileCase{"timeScale90k",
                     TEST_SOURCE + "-frames:v 12 -c:v libx264 -g 4 -pix_fmt yuv420p -video_track_timescale 90000", 12},
        // Other containers under an .mp4 name open by their content; MPEG-TS seeks land only near the time asked
        // for, so positioning has to start further back.
        ToolFileCase{"mpegTs", TEST_SOURCE + "-frames:v 40 -c:v libx264 -g 12 -bf 3 -pix_fmt yuv420p -f mpegts", 40},
        ToolFileCase{"matroska", TEST_SOURCE + "-frames:v 40 -c:v libx264 -g 12 -bf 3 -pix_fmt yuv420p -f matroska", 40},
        ToolFileCase{"mjpegIntra", TEST_SOURCE + "-frames:v 10 -c:v mjpeg -pix_fmt yuvj420p", 10}),
    [](const testing::TestParamInfo<ToolFileCase>& info) { return std::string(info.param.name); });
