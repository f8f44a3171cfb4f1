// Speed of the video paths on one thread: painting event windows (the export's per-frame step), H.264
// encoding of painted 1280 x 720 pictures, NV12 to BGR conversion of frame-sensor pictures, and reading an
// MP4 file frame by frame and by index.
//
//   video_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "FileReader/EventsToRgbData.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/FileReader/Mp4FileReader.h"
#include "QuelnorDriver/tools/DataToVideoConverter.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "evt3/Evt3RawFile.h"

using namespace quelnor;

namespace {

constexpr uint64_t WINDOW_US = 33333;
constexpr uint16_t WIDTH = 1280;
constexpr uint16_t HEIGHT = 720;

// The 33,333 us windows of the real 1280 x 720 recording.
const std::vector<std::vector<Event2D>>& recordingWindows() {
    static const std::vector<std::vector<Event2D>> windows = [] {
        auto file = test::loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecc_evt3_trigger_1280x720.raw");
        EVT3Decoder decoder(WIDTH, HEIGHT);
        std::vector<Event2D> events;
        decoder.setEventsStreamHandleCallback(
            [&](Event2D* first, Event2D* last) { events.insert(events.end(), first, last); });
        decoder.decode(file.data);
        std::vector<std::vector<Event2D>> result;
        for (const Event2D& e : events) {
            const size_t w = static_cast<size_t>((e.timestamp - events.front().timestamp) / WINDOW_US);
            result.resize(std::max(result.size(), w + 1));
            result[w].push_back(e);
        }
        return result;
    }();
    return windows;
}

std::string tempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("quelnor-bench-" + std::to_string(getpid()) + "-" + name))
        .string();
}

std::unique_ptr<DataToVideoConverter> bgrEncoder(int width, int height) {
    auto converter = std::make_unique<DataToVideoConverter>();
    converter->setConverterFrameSize(height, width, height, width);
    converter->setConverterFmt(DataToVideoConverter::PIX_FMT_BGR24, DataToVideoConverter::PIX_FMT_YUV420P);
    if (converter->initVideoConverter() != 0) {
        std::abort();
    }
    return converter;
}

void BM_PaintEventWindow(benchmark::State& state) {
    const auto& windows = recordingWindows();
    std::vector<uint8_t> picture;
    size_t i = 0;
    uint64_t events = 0;
    for (auto _ : state) {
        const auto& window = windows[i++ % windows.size()];
        detail::eventsToRgbData(window, WIDTH, HEIGHT, picture);
        benchmark::DoNotOptimize(picture.data());
        events += window.size();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PaintEventWindow);

// Painting and encoding, as the export does per window (the file is finished outside the timing).
void BM_EncodePaintedWindow(benchmark::State& state) {
    const auto& windows = recordingWindows();
    auto converter = bgrEncoder(WIDTH, HEIGHT);
    const std::string path = tempPath("encode.mp4");
    converter->setOutputFile(path);
    std::vector<uint8_t> picture;
    size_t i = 0;
    for (auto _ : state) {
        detail::eventsToRgbData(windows[i++ % windows.size()], WIDTH, HEIGHT, picture);
        if (converter->rgbToVideo(picture, -1) != 0) {
            state.SkipWithError("rgbToVideo failed");
            break;
        }
    }
    converter->flushAndCloseVideo();
    std::filesystem::remove(path);
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodePaintedWindow)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Nv12ToBgr(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    DataToVideoConverter converter;
    converter.setConverterFrameSize(height, width, height, width);
    converter.setConverterFmt(DataToVideoConverter::PIX_FMT_NV12, DataToVideoConverter::PIX_FMT_BGR24);
    std::vector<uint8_t> nv12(static_cast<size_t>(width) * height * 3 / 2);
    for (size_t i = 0; i < nv12.size(); ++i) {
        nv12[i] = static_cast<uint8_t>(i * 31 + i / 977);
    }
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
    for (auto _ : state) {
        if (converter.nv12ToRGB(nv12, bgr) != 0) {
            state.SkipWithError("nv12ToRGB failed");
            break;
        }
        benchmark::DoNotOptimize(bgr.data());
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Nv12ToBgr)->Args({1280, 720})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

// An all-key-frame 1280 x 720 file as the converter writes it, made once.
const std::string& readerFile() {
    static const std::string path = [] {
        const std::string p = tempPath("read.mp4");
        auto converter = bgrEncoder(WIDTH, HEIGHT);
        converter->setOutputFile(p);
        std::vector<uint8_t> picture;
        for (const auto& window : recordingWindows()) {
            detail::eventsToRgbData(window, WIDTH, HEIGHT, picture);
            converter->rgbToVideo(picture, -1);
        }
        converter->flushAndCloseVideo();
        std::atexit([] { std::filesystem::remove(tempPath("read.mp4")); });
        return p;
    }();
    return path;
}

void BM_Mp4ReadInOrder(benchmark::State& state) {
    Mp4FileReader reader(readerFile());
    if (!reader.loadFile()) {
        state.SkipWithError("loadFile failed");
        return;
    }
    ApsFrame frame(1, 1);
    for (auto _ : state) {
        if (!reader.getNextFrame(frame)) {
            state.PauseTiming();
            reader.seekTime(0);
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(frame.data());
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Mp4ReadInOrder)->Unit(benchmark::kMillisecond);

void BM_Mp4ReadByIndex(benchmark::State& state) {
    Mp4FileReader reader(readerFile());
    if (!reader.loadFile()) {
        state.SkipWithError("loadFile failed");
        return;
    }
    std::vector<uint64_t> times;
    reader.getTimeStamps(times);
    ApsFrame frame(1, 1);
    size_t i = 0;
    for (auto _ : state) {
        reader.getNFrame(static_cast<int>((i++ * 7) % times.size()), frame);
        benchmark::DoNotOptimize(frame.data());
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Mp4ReadByIndex)->Unit(benchmark::kMillisecond);

void BM_Mp4Load(benchmark::State& state) {
    const std::string& path = readerFile();
    for (auto _ : state) {
        Mp4FileReader reader(path);
        benchmark::DoNotOptimize(reader.loadFile());
    }
}
BENCHMARK(BM_Mp4Load)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Progress lines of every seek would drown the report.
    Logger::Instance().setLogLevel(LOG_WARN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
