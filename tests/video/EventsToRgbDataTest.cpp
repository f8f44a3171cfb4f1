// Pictures painted from events, alone and through the H.264 converter as the raw-file video export uses them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FileReader/EventsToRgbData.h"
#include "QuelnorDriver/tools/DataToVideoConverter.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "VideoTestUtil.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::videotest;
using quelnor::detail::eventsToRgbData;

namespace {

constexpr uint8_t GREY = 112;
constexpr uint8_t WHITE = 255;
constexpr uint8_t BLACK = 0;
constexpr uint64_t WINDOW_US = 33333;

using Pixel = std::pair<int, int>; // x, y

uint8_t at(const std::vector<uint8_t>& picture, int width, int x, int y, int channel = 0) {
    return picture.at((static_cast<size_t>(y) * width + x) * 3 + channel);
}

// The colour each pixel must show: the last event's, background elsewhere.
std::map<Pixel, uint8_t> lastColours(const std::vector<Event2D>& events, int width, int height) {
    std::map<Pixel, uint8_t> colours;
    for (const Event2D& e : events) {
        if (e.x < width && e.y < height) {
            colours[{e.x, e.y}] = e.polarity ? WHITE : BLACK;
        }
    }
    return colours;
}

void expectPicture(const std::vector<uint8_t>& picture, int width, int height,
                   const std::map<Pixel, uint8_t>& painted, const std::string& name) {
    ASSERT_EQ(picture.size(), static_cast<size_t>(width) * height * 3) << name;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto found = painted.find({x, y});
            const uint8_t expected = found == painted.end() ? GREY : found->second;
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(at(picture, width, x, y, c), expected) << name << " at " << x << "," << y << " channel " << c;
            }
        }
    }
}

struct PaintCase {
    const char* name;
    uint16_t width, height;
    std::vector<Event2D> events;
    std::map<Pixel, uint8_t> painted;
};

class EventsToRgbData : public testing::TestWithParam<PaintCase> {};

TEST_P(EventsToRgbData, PaintsTheLastEventOfEachPixelOnGrey) {
    const PaintCase& c = GetParam();
    // Whatever the buffer held before is replaced.
    std::vector<uint8_t> picture(17, 9);
    eventsToRgbData(c.events, c.width, c.height, picture);
    expectPicture(picture, c.width, c.height, c.painted, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    EventPicture, EventsToRgbData,
    testing::Values(
        // A window without events is a background picture, so the video's time line keeps its length.
        PaintCase{"noEvents", 6, 4, {}, {}},
        PaintCase{"onIsWhite", 6, 4, {Event2D(2, 1, 1, 10)}, {{{2, 1}, WHITE}}},
        PaintCase{"offIsBlack", 6, 4, {Event2D(2, 1, 0, 10)}, {{{2, 1}, BLACK}}},
        // Rows of width pixels, top to bottom: (x, y) is byte (y * width + x) * 3.
        PaintCase{"rowsAndColumns", 5, 3,
                  {Event2D(4, 0, 1, 1), Event2D(0, 2, 0, 2), Event2D(1, 1, 1, 3)},
                  {{{4, 0}, WHITE}, {{0, 2}, BLACK}, {{1, 1}, WHITE}}},
        PaintCase{"corners", 6, 4,
                  {Event2D(0, 0, 1, 1), Event2D(5, 0, 0, 1), Event2D(0, 3, 0, 1), Event2D(5, 3, 1, 1)},
                  {{{0, 0}, WHITE}, {{5, 0}, BLACK}, {{0, 3}, BLACK}, {{5, 3}, WHITE}}},
        PaintCase{"laterEventWins", 6, 4,
                  {Event2D(3, 2, 1, 1), Event2D(3, 2, 0, 2), Event2D(1, 1, 0, 3), Event2D(1, 1, 1, 4)},
                  {{{3, 2}, BLACK}, {{1, 1}, WHITE}}},
        PaintCase{"outsideIsLeftOut", 6, 4,
                  {Event2D(6, 0, 1, 1), Event2D(0, 4, 0, 2), Event2D(65535, 65535, 1, 3), Event2D(5, 3, 0, 4)},
                  {{{5, 3}, BLACK}}}),
    [](const testing::TestParamInfo<PaintCase>& info) { return std::string(info.param.name); });

TEST(EventPicture, ReusesThePictureStorage) {
    std::vector<uint8_t> picture;
    eventsToRgbData({Event2D(1, 1, 1, 1)}, 640, 480, picture);
    const uint8_t* storage = picture.data();
    eventsToRgbData({Event2D(2, 2, 0, 2)}, 640, 480, picture);
    EXPECT_EQ(picture.data(), storage);
    // The previous window's events are gone.
    expectPicture(picture, 640, 480, {{{2, 2}, BLACK}}, "second window");
    eventsToRgbData({}, 640, 480, picture);
    EXPECT_EQ(picture.data(), storage);
    expectPicture(picture, 640, 480, {}, "empty window");
}

// Events cut into windows of WINDOW_US from `start`, as many windows as cover [start, end).
std::vector<std::vector<Event2D>> windows(const std::vector<Event2D>& events, uint64_t start, uint64_t end) {
    std::vector<std::vector<Event2D>> result;
    for (uint64_t t = start; t < end; t += WINDOW_US) {
        std::vector<Event2D> window;
        for (const Event2D& e : events) {
            if (e.timestamp >= t && e.timestamp < t + WINDOW_US) {
                window.push_back(e);
            }
        }
        result.push_back(std::move(window));
    }
    return result;
}

std::vector<Event2D> decodeEvt3(std::vector<uint8_t> bytes, uint16_t width, uint16_t height) {
    EVT3Decoder decoder(width, height);
    std::vector<Event2D> events;
    decoder.setEventsStreamHandleCallback([&](Event2D* first, Event2D* last) { events.insert(events.end(), first, last); });
    decoder.decode(bytes);
    return events;
}

// Paints each window, encodes the pictures with automatic frame times and decodes the file with ffmpeg.
struct EncodedWindows {
    std::vector<std::vector<Event2D>> windows;
    std::vector<std::vector<uint8_t>> luma;
    std::vector<int64_t> frameTimes;
};

EncodedWindows encodeWindows(const std::vector<std::vector<Event2D>>& windows, uint16_t width, uint16_t height,
                             const std::string& path) {
    EncodedWindows out;
    out.windows = windows;
    DataToVideoConverter converter;
    converter.setConverterFrameSize(height, width, height, width);
    converter.setConverterFmt(DataToVideoConverter::PIX_FMT_BGR24, DataToVideoConverter::PIX_FMT_YUV420P);
    EXPECT_EQ(converter.initVideoConverter(), 0);
    EXPECT_EQ(converter.setOutputFile(path), 0);
    std::vector<uint8_t> picture;
    for (const auto& window : windows) {
        eventsToRgbData(window, width, height, picture);
        EXPECT_EQ(converter.rgbToVideo(picture, -1), 0);
    }
    EXPECT_EQ(converter.flushAndCloseVideo(), 0);

    out.luma = decodeLumaPlanes(path, width, height);
    for (const auto& frame : probeVideoFrames(path)) {
        out.frameTimes.push_back(frame.at("pts").get<int64_t>());
    }
    return out;
}

// Events encoded as EVT3, decoded by the product decoder, painted per window and encoded as H.264: every
// window is one frame, 33,333 us apart, and each painted pixel decodes to its colour.
TEST(EventPicture, EncodedEventWindowsDecodeToTheirColours) {
    constexpr uint16_t WIDTH = 96;
    constexpr uint16_t HEIGHT = 64;
    constexpr uint64_t START = 5000000;
    // Window 0: an ON and an OFF pixel; window 1: nothing; window 2: a pixel that turns OFF then ON, one
    // that turns ON then OFF; window 3: an event at the window's last microsecond.
    const std::vector<Event2D> events{
        Event2D(10, 10, 1, START + 100),         Event2D(40, 20, 0, START + 20000),
        Event2D(60, 30, 0, START + 2 * WINDOW_US + 5), Event2D(60, 30, 1, START + 2 * WINDOW_US + 900),
        Event2D(20, 50, 1, START + 2 * WINDOW_US + 10), Event2D(20, 50, 0, START + 2 * WINDOW_US + 30000),
        Event2D(90, 60, 1, START + 4 * WINDOW_US - 1),
    };
    test::Evt3TestEncoder encoder;
    encoder.setTime(START).addStream(events, {}, false);
    const auto decodedEvents = decodeEvt3(encoder.bytes(), WIDTH, HEIGHT);
    ASSERT_EQ(decodedEvents.size(), events.size());

    TempDir dir;
    const auto encoded = encodeWindows(windows(decodedEvents, START, START + 4 * WINDOW_US), WIDTH, HEIGHT,
                                       dir.file("windows.mp4"));
    ASSERT_EQ(encoded.luma.size(), 4u);
    EXPECT_EQ(encoded.frameTimes, (std::vector<int64_t>{0, 33333, 66666, 99999}));
    EXPECT_TRUE(encoded.windows[1].empty());

    const std::vector<std::map<Pixel, uint8_t>> expected{
        {{{10, 10}, WHITE}, {{40, 20}, BLACK}},
        {},
        {{{60, 30}, WHITE}, {{20, 50}, BLACK}},
        {{{90, 60}, WHITE}},
    };
    // At 60 Mbit/s the coding is nearly lossless, lone pixels included.
    constexpr int PIXEL_TOLERANCE = 4;
    constexpr int BACKGROUND_TOLERANCE = 2;
    for (size_t f = 0; f < 4; ++f) {
        const auto& luma = encoded.luma[f];
        for (const auto& [pixel, colour] : expected[f]) {
            EXPECT_NEAR(luma.at(static_cast<size_t>(pixel.second) * WIDTH + pixel.first), lumaOf(colour),
                        PIXEL_TOLERANCE)
                << "frame " << f << " at " << pixel.first << "," << pixel.second;
        }
        // Away from every event the picture is the background.
        EXPECT_NEAR(luma.at(5 * WIDTH + 80), lumaOf(GREY), BACKGROUND_TOLERANCE) << "frame " << f;
        EXPECT_NEAR(luma.at(40 * WIDTH + 2), lumaOf(GREY), BACKGROUND_TOLERANCE) << "frame " << f;
    }
    // The empty window is a plain background picture.
    for (size_t i = 0; i < encoded.luma[1].size(); ++i) {
        ASSERT_NEAR(encoded.luma[1][i], lumaOf(GREY), BACKGROUND_TOLERANCE) << i;
    }
}

// A stretch of a real 1280 x 720 recording, at the size its header gives: each frame matches the painted
// picture, and event pixels show their last event's colour.
TEST(EventPicture, RealRecordingWindowsDecodeToTheirColours) {
    const auto file = test::loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecc_evt3_trigger_1280x720.raw");
    ASSERT_EQ(file.width, 1280u);
    ASSERT_EQ(file.height, 720u);
    const auto width = static_cast<uint16_t>(file.width);
    const auto height = static_cast<uint16_t>(file.height);
    const auto events = decodeEvt3(file.data, width, height);
    ASSERT_FALSE(events.empty());
    const uint64_t start = events.front().timestamp;
    constexpr int FRAMES = 6;

    TempDir dir;
    const auto encoded = encodeWindows(windows(events, start, start + FRAMES * WINDOW_US), width, height,
                                       dir.file("recording.mp4"));
    ASSERT_EQ(encoded.luma.size(), static_cast<size_t>(FRAMES));
    const auto stream = probeVideoStream(dir.file("recording.mp4"));
    EXPECT_EQ(stream.at("width"), 1280);
    EXPECT_EQ(stream.at("height"), 720);
    for (int f = 0; f < FRAMES; ++f) {
        EXPECT_EQ(encoded.frameTimes.at(f), f * 33333);
        ASSERT_FALSE(encoded.windows[f].empty()) << f;
        const auto& luma = encoded.luma[f];
        size_t wrong = 0;
        size_t checked = 0;
        for (const auto& [pixel, colour] : lastColours(encoded.windows[f], width, height)) {
            const int got = luma.at(static_cast<size_t>(pixel.second) * width + pixel.first);
            // Closer to its own colour than to the other two.
            wrong += std::abs(got - lumaOf(colour)) > 50 ? 1 : 0;
            ++checked;
        }
        EXPECT_GT(checked, 100u) << "frame " << f;
        EXPECT_EQ(wrong, 0u) << "frame " << f << ": " << wrong << " of " << checked;

        std::vector<uint8_t> painted;
        eventsToRgbData(encoded.windows[f], width, height, painted);
        size_t sum = 0;
        for (size_t i = 0; i < luma.size(); ++i) {
            sum += static_cast<size_t>(std::abs(static_cast<int>(luma[i]) - lumaOf(painted[i * 3])));
        }
        EXPECT_LT(static_cast<double>(sum) / luma.size(), 0.1) << "mean luma difference, frame " << f;
    }
}

} // namespace
