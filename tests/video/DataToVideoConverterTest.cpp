#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorDriver/QuelnorDriver.h"
#include "VideoTestUtil.h"

using namespace quelnor;
using namespace quelnor::videotest;

namespace {

constexpr int W = 64;
constexpr int H = 48;
// Largest colour difference after BGR -> limited-range 4:2:0 -> H.264 at 60 Mbit/s -> BGR, inside blocks.
constexpr int COLOUR_TOLERANCE = 6;

std::unique_ptr<DataToVideoConverter> makeVideoConverter(int srcFmt, int srcW = W, int srcH = H, int dstW = W,
                                                         int dstH = H) {
    auto converter = std::make_unique<DataToVideoConverter>();
    converter->setConverterFrameSize(srcH, srcW, dstH, dstW);
    converter->setConverterFmt(srcFmt, DataToVideoConverter::PIX_FMT_YUV420P);
    EXPECT_EQ(converter->initVideoConverter(), 0);
    return converter;
}

std::vector<int64_t> framePts(const std::string& path) {
    std::vector<int64_t> pts;
    for (const auto& frame : probeVideoFrames(path)) {
        pts.push_back(frame.at("pts").get<int64_t>());
    }
    return pts;
}

// NV12 with luma and chroma constant over 8 x 8 blocks.
std::vector<uint8_t> blockNv12(int width, int height, int seed) {
    std::vector<uint8_t> nv12(static_cast<size_t>(width) * height * 3 / 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            nv12[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(32 + ((x / 8) * 23 + (y / 8) * 41 + seed * 13) % 190);
        }
    }
    uint8_t* chroma = nv12.data() + static_cast<size_t>(width) * height;
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            chroma[static_cast<size_t>(y) * width + 2 * x] = static_cast<uint8_t>(64 + ((x / 4) * 17 + seed * 5) % 128);
            chroma[static_cast<size_t>(y) * width + 2 * x + 1] = static_cast<uint8_t>(64 + ((y / 4) * 29 + seed * 3) % 128);
        }
    }
    return nv12;
}

int maxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    int worst = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        worst = std::max(worst, std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i])));
    }
    return worst;
}

} // namespace

TEST(DataToVideoConverter, BgrVideoIsAllKeyFrameH264WithMicrosecondTimes) {
    TempDir dir;
    const std::string path = dir.file("bgr.mp4");
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    ASSERT_EQ(converter->setOutputFile(path), 0);
    std::vector<std::vector<uint8_t>> pictures;
    constexpr int FRAMES = 12;
    for (int i = 0; i < FRAMES; ++i) {
        pictures.push_back(blockPicture(W, H, i));
        ASSERT_EQ(converter->rgbToVideo(pictures.back(), -1), 0);
    }
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);

    const auto stream = probeVideoStream(path);
    EXPECT_EQ(stream.at("codec_name"), "h264");
    EXPECT_EQ(stream.at("width"), W);
    EXPECT_EQ(stream.at("height"), H);
    EXPECT_EQ(stream.at("time_base"), "1/1000000");
    EXPECT_EQ(stream.at("nb_read_frames"), std::to_string(FRAMES));
    EXPECT_EQ(stream.at("nb_frames"), std::to_string(FRAMES));

    const auto frames = probeVideoFrames(path);
    ASSERT_EQ(frames.size(), static_cast<size_t>(FRAMES));
    for (int i = 0; i < FRAMES; ++i) {
        EXPECT_EQ(frames[i].at("pts"), i * 33333) << i;
        EXPECT_EQ(frames[i].at("key_frame"), 1) << i;
        EXPECT_EQ(frames[i].at("pict_type"), "I") << i;
    }

    const auto decoded = decodeRaw(path, "bgr24");
    const size_t pictureBytes = static_cast<size_t>(W) * H * 3;
    ASSERT_EQ(decoded.size(), pictureBytes * FRAMES);
    for (int i = 0; i < FRAMES; ++i) {
        const std::vector<uint8_t> back(decoded.begin() + i * pictureBytes, decoded.begin() + (i + 1) * pictureBytes);
        EXPECT_LE(maxBlockInteriorDifference(back, pictures[i], W, H), COLOUR_TOLERANCE) << "frame " << i;
    }
}

TEST(DataToVideoConverter, Nv12VideoKeepsLumaAndChroma) {
    TempDir dir;
    const std::string path = dir.file("nv12.mp4");
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_NV12);
    ASSERT_EQ(converter->setOutputFile(path), 0);
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 5; ++i) {
        pictures.push_back(blockNv12(W, H, i));
        ASSERT_EQ(converter->nv12ToVideo(pictures.back().data(), pictures.back().size(), i * 40000), 0);
    }
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);

    EXPECT_EQ(framePts(path), (std::vector<int64_t>{0, 40000, 80000, 120000, 160000}));
    const auto decoded = decodeRaw(path, "nv12");
    const size_t pictureBytes = static_cast<size_t>(W) * H * 3 / 2;
    ASSERT_EQ(decoded.size(), pictureBytes * 5);
    for (int i = 0; i < 5; ++i) {
        const std::vector<uint8_t> back(decoded.begin() + i * pictureBytes, decoded.begin() + (i + 1) * pictureBytes);
        EXPECT_LE(maxDifference(back, pictures[i]), 3) << "frame " << i;
    }
}

TEST(DataToVideoConverter, FrameSizeIsGivenHeightsFirstAndScales) {
    TempDir dir;
    const std::string path = dir.file("scaled.mp4");
    // Source 64 x 48, target 32 x 24.
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24, 64, 48, 32, 24);
    ASSERT_EQ(converter->setOutputFile(path), 0);
    const auto picture = blockPicture(64, 48, 3);
    ASSERT_EQ(converter->rgbToVideo(picture, -1), 0);
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);
    const auto stream = probeVideoStream(path);
    EXPECT_EQ(stream.at("width"), 32);
    EXPECT_EQ(stream.at("height"), 24);
    EXPECT_EQ(stream.at("nb_read_frames"), "1");
}

TEST(DataToVideoConverter, ChoosesLibx264) {
    testing::internal::CaptureStdout();
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Using encoder: libx264"), std::string::npos) << log;
}

// Each row: the frame times handed in (-1 = automatic) and the times the file must carry.
struct FrameTimeCase {
    const char* name;
    std::vector<int64_t> given;
    std::vector<int64_t> expected;
};

class FrameTimes : public testing::TestWithParam<FrameTimeCase> {};

TEST_P(FrameTimes, AreWrittenAsGiven) {
    TempDir dir;
    const std::string path = dir.file("times.mp4");
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    ASSERT_EQ(converter->setOutputFile(path), 0);
    for (size_t i = 0; i < GetParam().given.size(); ++i) {
        ASSERT_EQ(converter->rgbToVideo(blockPicture(W, H, static_cast<int>(i)), GetParam().given[i]), 0) << i;
    }
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);
    EXPECT_EQ(framePts(path), GetParam().expected);
    EXPECT_EQ(probeVideoStream(path).at("nb_read_frames"), std::to_string(GetParam().expected.size()));
}

INSTANTIATE_TEST_SUITE_P(
    DataToVideoConverter, FrameTimes,
    testing::Values(
        FrameTimeCase{"automatic", {-1, -1, -1, -1}, {0, 33333, 66666, 99999}},
        FrameTimeCase{"explicit", {0, 99999, 200000}, {0, 99999, 200000}},
        // An automatic time after an explicit one follows it by one step instead of repeating it.
        FrameTimeCase{"automaticAfterExplicit", {-1, 500000, -1, -1}, {0, 500000, 533333, 566666}},
        // Times past 2^31 us (35.8 minutes) neither wrap nor truncate.
        FrameTimeCase{"beyond32Bits", {2147483000, -1, -1, 2147600000, -1}, {2147483000, 2147516333, 2147549666, 2147600000, 2147633333}},
        FrameTimeCase{"automaticAfterLargeExplicit", {4294967295, -1}, {4294967295, 4295000628}}),
    [](const testing::TestParamInfo<FrameTimeCase>& info) { return std::string(info.param.name); });

TEST(DataToVideoConverter, AutomaticTimesContinueIntoTheNextFile) {
    TempDir dir;
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    const auto picture = blockPicture(W, H, 1);
    ASSERT_EQ(converter->setOutputFile(dir.file("a.mp4")), 0);
    ASSERT_EQ(converter->rgbToVideo(picture, -1), 0);
    ASSERT_EQ(converter->rgbToVideo(picture, -1), 0);
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);
    ASSERT_EQ(converter->setOutputFile(dir.file("b.mp4")), 0);
    ASSERT_EQ(converter->rgbToVideo(picture, -1), 0);
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);
    EXPECT_EQ(framePts(dir.file("a.mp4")), (std::vector<int64_t>{0, 33333}));
    EXPECT_EQ(framePts(dir.file("b.mp4")), (std::vector<int64_t>{66666}));
}

TEST(DataToVideoConverter, FileLeftOpenBySetOutputFileIsFinishedAndKeepsItsFrames) {
    TempDir dir;
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    ASSERT_EQ(converter->setOutputFile(dir.file("first.mp4")), 0);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(converter->rgbToVideo(blockPicture(W, H, i), i * 1000), 0);
    }
    // No flushAndCloseVideo: the next file starts while the encoder still holds frames of the first.
    ASSERT_EQ(converter->setOutputFile(dir.file("second.mp4")), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(converter->rgbToVideo(blockPicture(W, H, 10 + i), 100000 + i * 1000), 0);
    }
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);

    EXPECT_EQ(framePts(dir.file("first.mp4")), (std::vector<int64_t>{0, 1000, 2000, 3000, 4000, 5000}));
    EXPECT_EQ(probeVideoStream(dir.file("first.mp4")).at("nb_read_frames"), "6");
    EXPECT_EQ(framePts(dir.file("second.mp4")), (std::vector<int64_t>{100000, 101000, 102000}));
    const auto decoded = decodeRaw(dir.file("second.mp4"), "bgr24");
    ASSERT_EQ(decoded.size(), static_cast<size_t>(W) * H * 3 * 3);
    const std::vector<uint8_t> firstOfSecond(decoded.begin(), decoded.begin() + W * H * 3);
    EXPECT_LE(maxBlockInteriorDifference(firstOfSecond, blockPicture(W, H, 10), W, H), COLOUR_TOLERANCE);
}

TEST(DataToVideoConverter, FileLeftOpenAtDestructionIsFinished) {
    TempDir dir;
    {
        auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
        ASSERT_EQ(converter->setOutputFile(dir.file("open.mp4")), 0);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(converter->rgbToVideo(blockPicture(W, H, i), -1), 0);
        }
    }
    EXPECT_EQ(framePts(dir.file("open.mp4")), (std::vector<int64_t>{0, 33333, 66666, 99999}));
    EXPECT_EQ(probeVideoStream(dir.file("open.mp4")).at("nb_read_frames"), "4");
}

TEST(DataToVideoConverter, AnyExtensionGetsAnMp4Container) {
    TempDir dir;
    const std::string path = dir.file("video.avi");
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    ASSERT_EQ(converter->setOutputFile(path), 0);
    ASSERT_EQ(converter->rgbToVideo(blockPicture(W, H, 0), -1), 0);
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);
    const auto format = probeFormat(path);
    EXPECT_NE(format.at("format_name").get<std::string>().find("mp4"), std::string::npos);
    EXPECT_EQ(format.at("tags").at("major_brand"), "isom");
    EXPECT_EQ(probeVideoStream(path).at("codec_name"), "h264");
}

TEST(DataToVideoConverter, RefusesPicturesSmallerThanTheFrame) {
    TempDir dir;
    auto bgr = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    auto nv12 = makeVideoConverter(DataToVideoConverter::PIX_FMT_NV12);
    ASSERT_EQ(bgr->setOutputFile(dir.file("bgr.mp4")), 0);
    ASSERT_EQ(nv12->setOutputFile(dir.file("nv12.mp4")), 0);
    ASSERT_EQ(bgr->setJpegOutputPath(dir.path().string()), 0);

    const std::vector<uint8_t> bgrShort(W * H * 3 - 1, 0);
    const std::vector<uint8_t> nv12Short(W * H * 3 / 2 - 1, 0);
    EXPECT_EQ(bgr->rgbToVideo(bgrShort, -1), -1);
    EXPECT_EQ(bgr->rgbToVideo(bgrShort.data(), bgrShort.size(), -1), -1);
    EXPECT_EQ(bgr->rgbToVideo(std::vector<uint8_t>{}, -1), -1);
    EXPECT_EQ(bgr->rgbToJpeg(bgrShort, 1), -1);
    EXPECT_EQ(nv12->nv12ToVideo(nv12Short, -1), -1);
    EXPECT_EQ(nv12->nv12ToVideo(nv12Short.data(), nv12Short.size(), -1), -1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("1.jpg")));

    // Exactly the needed size is taken, and the refused calls left no frame behind.
    EXPECT_EQ(bgr->rgbToVideo(std::vector<uint8_t>(W * H * 3, 100), -1), 0);
    EXPECT_EQ(nv12->nv12ToVideo(std::vector<uint8_t>(W * H * 3 / 2, 100), -1), 0);
    ASSERT_EQ(bgr->flushAndCloseVideo(), 0);
    ASSERT_EQ(nv12->flushAndCloseVideo(), 0);
    EXPECT_EQ(framePts(dir.file("bgr.mp4")), (std::vector<int64_t>{0}));
    EXPECT_EQ(framePts(dir.file("nv12.mp4")), (std::vector<int64_t>{0}));
}

TEST(DataToVideoConverter, RefusesFramesAfterTheSizeChangedSinceInitialisation) {
    TempDir dir;
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    ASSERT_EQ(converter->setOutputFile(dir.file("a.mp4")), 0);
    converter->setConverterFrameSize(H * 2, W * 2, H * 2, W * 2);
    EXPECT_EQ(converter->rgbToVideo(blockPicture(W * 2, H * 2, 0), -1), -1);
}

TEST(DataToVideoConverter, InvalidSizeLeavesNoScalerSoInitialisationFails) {
    for (const auto& size : std::vector<std::vector<int>>{{0, W, H, W}, {H, -1, H, W}, {H, W, 0, W}, {H, W, H, -4}}) {
        DataToVideoConverter converter;
        testing::internal::CaptureStdout();
        converter.setConverterFmt(DataToVideoConverter::PIX_FMT_BGR24, DataToVideoConverter::PIX_FMT_YUV420P);
        converter.setConverterFrameSize(size[0], size[1], size[2], size[3]);
        EXPECT_EQ(converter.initVideoConverter(), -1);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("Invalid converter dimensions: " + std::to_string(size[1]) + "x" + std::to_string(size[0]) +
                           " -> " + std::to_string(size[3]) + "x" + std::to_string(size[2])),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("Video converter format and frame size must be configured before initialization."),
                  std::string::npos)
            << log;
    }
}

TEST(DataToVideoConverter, CallsBeforeSetupFail) {
    DataToVideoConverter unconfigured;
    EXPECT_EQ(unconfigured.initVideoConverter(), -1);
    EXPECT_EQ(unconfigured.setOutputFile("/tmp/never.mp4"), -1);
    EXPECT_EQ(unconfigured.flushAndCloseVideo(), -1);
    const std::vector<uint8_t> picture(W * H * 3, 0);
    std::vector<uint8_t> out(W * H * 3);
    EXPECT_EQ(unconfigured.rgbToVideo(picture, -1), -1);
    EXPECT_EQ(unconfigured.nv12ToVideo(picture, -1), -1);
    EXPECT_EQ(unconfigured.nv12ToRGB(picture, out), -1);
    EXPECT_EQ(unconfigured.rgbToJpeg(picture, 0), -1);

    // Initialised but without an output file.
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    EXPECT_EQ(converter->rgbToVideo(picture, -1), -1);
    EXPECT_EQ(converter->flushAndCloseVideo(), -1);
    // A BGR converter takes no NV12 and the other way round.
    EXPECT_EQ(converter->nv12ToVideo(picture, -1), -1);
}

TEST(DataToVideoConverter, FailedOutputFileLeavesNoOutput) {
    TempDir dir;
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    EXPECT_EQ(converter->setOutputFile(dir.file("missing/dir/x.mp4")), -1);
    EXPECT_EQ(converter->rgbToVideo(blockPicture(W, H, 0), -1), -1);
    EXPECT_EQ(converter->flushAndCloseVideo(), -1);
    // A later file works.
    ASSERT_EQ(converter->setOutputFile(dir.file("ok.mp4")), 0);
    ASSERT_EQ(converter->rgbToVideo(blockPicture(W, H, 0), -1), 0);
    ASSERT_EQ(converter->flushAndCloseVideo(), 0);
    EXPECT_EQ(probeVideoStream(dir.file("ok.mp4")).at("nb_read_frames"), "1");
}

// nv12ToRGB against ffmpeg's own conversion with nearest-neighbour sampling.
struct Nv12Case {
    const char* name;
    int srcW, srcH, dstW, dstH, dstFmt;
    const char* ffmpegPixFmt;
};

class Nv12ToRgb : public testing::TestWithParam<Nv12Case> {};

TEST_P(Nv12ToRgb, EqualsFfmpegConversion) {
    const Nv12Case& c = GetParam();
    TempDir dir;
    std::vector<uint8_t> nv12(static_cast<size_t>(c.srcW) * c.srcH * 3 / 2);
    for (size_t i = 0; i < nv12.size(); ++i) {
        nv12[i] = static_cast<uint8_t>((i * 37 + (i / c.srcW) * 11) % 256);
    }
    writeFile(dir.file("in.nv12"), nv12);
    DataToVideoConverter converter;
    converter.setConverterFrameSize(c.srcH, c.srcW, c.dstH, c.dstW);
    converter.setConverterFmt(DataToVideoConverter::PIX_FMT_NV12, c.dstFmt);
    std::vector<uint8_t> ours(static_cast<size_t>(c.dstW) * c.dstH * 3);
    ASSERT_EQ(converter.nv12ToRGB(nv12, ours), 0);

    const std::string command = "ffmpeg -v error -nostdin -f rawvideo -pix_fmt nv12 -s " + std::to_string(c.srcW) + "x" +
                                std::to_string(c.srcH) + " -i " + shellQuote(dir.file("in.nv12")) +
                                " -vf scale=" + std::to_string(c.dstW) + ":" + std::to_string(c.dstH) +
                                ":flags=neighbor -f rawvideo -pix_fmt " + c.ffmpegPixFmt + " -y " +
                                shellQuote(dir.file("out.raw"));
    ASSERT_EQ(run(command), 0) << command;
    const auto theirs = readFile(dir.file("out.raw"));
    ASSERT_EQ(theirs.size(), ours.size());
    EXPECT_EQ(maxDifference(ours, theirs), 0);
    EXPECT_TRUE(ours == theirs);
}

INSTANTIATE_TEST_SUITE_P(DataToVideoConverter, Nv12ToRgb,
                         testing::Values(Nv12Case{"bgrSameSize", 64, 48, 64, 48, DataToVideoConverter::PIX_FMT_BGR24, "bgr24"},
                                         Nv12Case{"rgbSameSize", 64, 48, 64, 48, DataToVideoConverter::PIX_FMT_RGB24, "rgb24"},
                                         Nv12Case{"bgrHalfSize", 64, 48, 32, 24, DataToVideoConverter::PIX_FMT_BGR24, "bgr24"},
                                         Nv12Case{"bgrCameraSize", 1280, 720, 1280, 720, DataToVideoConverter::PIX_FMT_BGR24, "bgr24"}),
                         [](const testing::TestParamInfo<Nv12Case>& info) { return std::string(info.param.name); });

TEST(DataToVideoConverter, Nv12ToRgbRefusesWrongSetupAndShortBuffers) {
    DataToVideoConverter converter;
    converter.setConverterFrameSize(H, W, H, W);
    converter.setConverterFmt(DataToVideoConverter::PIX_FMT_NV12, DataToVideoConverter::PIX_FMT_BGR24);
    const std::vector<uint8_t> nv12(W * H * 3 / 2, 128);
    std::vector<uint8_t> out(W * H * 3);
    EXPECT_EQ(converter.nv12ToRGB(nv12, out), 0);
    std::vector<uint8_t> shortOut(W * H * 3 - 1);
    EXPECT_EQ(converter.nv12ToRGB(nv12, shortOut), -1);
    EXPECT_EQ(converter.nv12ToRGB(std::vector<uint8_t>(W * H * 3 / 2 - 1), out), -1);
    EXPECT_EQ(converter.nv12ToRGB(nv12.data(), nv12.size(), nullptr, 0), -1);

    DataToVideoConverter toYuv;
    toYuv.setConverterFrameSize(H, W, H, W);
    toYuv.setConverterFmt(DataToVideoConverter::PIX_FMT_NV12, DataToVideoConverter::PIX_FMT_YUV420P);
    EXPECT_EQ(toYuv.nv12ToRGB(nv12, out), -1);
    DataToVideoConverter fromBgr;
    fromBgr.setConverterFrameSize(H, W, H, W);
    fromBgr.setConverterFmt(DataToVideoConverter::PIX_FMT_BGR24, DataToVideoConverter::PIX_FMT_BGR24);
    EXPECT_EQ(fromBgr.nv12ToRGB(nv12, out), -1);
}

TEST(DataToVideoConverter, JpegIsNamedByIndexAndDecodesToThePicture) {
    TempDir dir;
    auto converter = makeVideoConverter(DataToVideoConverter::PIX_FMT_BGR24);
    ASSERT_EQ(converter->setJpegOutputPath(dir.path().string()), 0);
    auto picture = blockPicture(W, H, 5);
    // Pure black and white blocks show the colour range: limited-range data would decode as 16 and 235.
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 16; ++x) {
            const uint8_t v = x < 8 ? 0 : 255;
            for (int c = 0; c < 3; ++c) {
                picture[(static_cast<size_t>(y) * W + x) * 3 + c] = v;
            }
        }
    }
    testing::internal::CaptureStdout();
    ASSERT_EQ(converter->rgbToJpeg(picture, 7), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    const std::string path = dir.file("7.jpg");
    EXPECT_NE(log.find("JPEG image saved as: " + path), std::string::npos) << log;
    ASSERT_TRUE(std::filesystem::exists(path));

    const auto stream = probeVideoStream(path);
    EXPECT_EQ(stream.at("codec_name"), "mjpeg");
    EXPECT_EQ(stream.at("width"), W);
    EXPECT_EQ(stream.at("height"), H);
    const auto decoded = decodeRaw(path, "bgr24");
    ASSERT_EQ(decoded.size(), picture.size());
    EXPECT_LE(maxBlockInteriorDifference(decoded, picture, W, H), 10);
    for (int c = 0; c < 3; ++c) {
        EXPECT_LE(decoded[(3 * W + 3) * 3 + c], 8) << "black block";
        EXPECT_GE(decoded[(3 * W + 11) * 3 + c], 245) << "white block";
    }

    // A second picture gets its own file; a directory that does not exist fails.
    ASSERT_EQ(converter->rgbToJpeg(blockPicture(W, H, 6), 8), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("8.jpg")));
    ASSERT_EQ(converter->setJpegOutputPath(dir.file("absent")), 0);
    EXPECT_EQ(converter->rgbToJpeg(picture, 9), -1);
}
