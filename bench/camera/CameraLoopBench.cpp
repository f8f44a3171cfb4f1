// The camera loop's throughput: raw EVT3 buffers from a scripted stream through the event stream,
// the decoder, batching (none, by count, by time) and one event callback, optionally recorded.
// Every byte is the camera's own work apart from the scripted transfer's copy into its buffer.
//
//   camera_loop_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelnorBase/Logger.h"
#include "cameralab/ScriptedCamera.h"
#include "rawfile/SyntheticRecording.h"
#include "rawfile/TempDir.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr size_t BUFFER_BYTES = 131072;
constexpr size_t STREAM_ITEMS = 2000000;

struct Stream {
    std::vector<std::vector<uint8_t>> buffers;
    uint64_t events = 0;
    uint64_t bytes = 0;
};

const Stream& stream() {
    static const Stream s = [] {
        SyntheticOptions options;
        options.items = STREAM_ITEMS;
        const SyntheticStream synthetic = makeSyntheticStream(options);
        const std::vector<uint8_t> bytes = synthetic.bytes();
        Stream out;
        out.events = synthetic.events.size();
        out.bytes = bytes.size();
        for (size_t at = 0; at < bytes.size(); at += BUFFER_BYTES) {
            const size_t end = std::min(bytes.size(), at + BUFFER_BYTES);
            out.buffers.emplace_back(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(end));
        }
        return out;
    }();
    return s;
}

enum Batching { NO_BATCH, BY_COUNT, BY_TIME };

void cameraLoop(benchmark::State& state) {
    Logger::Instance().setLogLevel(LOG_WARN);
    const auto batching = static_cast<Batching>(state.range(0));
    const bool recording = state.range(1) != 0;
    const Stream& s = stream();
    TempDir dir;

    for (auto _ : state) {
        // A fresh camera per pass: the stream's time starts again at its beginning.
        state.PauseTiming();
        auto camera = std::make_shared<ScriptedCamera>();
        camera->open();
        if (batching == BY_COUNT) {
            camera->setBatchEventsNum(131072);
        } else if (batching == BY_TIME) {
            camera->setBatchEventsTime(10000);
        }
        std::mutex lock;
        std::condition_variable done;
        uint64_t seen = 0;
        camera->addEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
            std::lock_guard<std::mutex> guard(lock);
            seen += static_cast<uint64_t>(last - first);
            done.notify_all();
        });
        camera->start();
        if (recording) {
            camera->startRecording(dir.file("bench.raw"));
        }
        state.ResumeTiming();

        camera->transfer().script(s.buffers);
        {
            std::unique_lock<std::mutex> guard(lock);
            done.wait(guard, [&] { return seen >= s.events; });
        }

        state.PauseTiming();
        camera->stop();
        camera->stopRecording();
        camera.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * s.events));
}

} // namespace

BENCHMARK(cameraLoop)
    ->ArgNames({"batching", "recording"})
    ->Args({NO_BATCH, 0})
    ->Args({BY_COUNT, 0})
    ->Args({BY_TIME, 0})
    ->Args({NO_BATCH, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
