// The camera loop's throughput: raw EVT3 buffers from a scripted stream through the event stream,
// the decoder, batching (none, by count, by time) and one event callback, optionally recorded.
// Every byte is the camera's own work apart from the scripted transfer's copy into its buffer.
// "vs_decoder" is the camera's rate over that of the decoder alone (a counting callback) on the same
// buffers, the two timed pass by pass in turn in the same run. It is taken from CPU time (all of the
// process's threads for the camera, kernel time included, against the decoding thread), which holds
// on a busy machine where the absolute figures do not: on a shared core the scheduler gives the
// camera's several threads a larger share than the one decoding thread, so elapsed times would
// favour the camera. Pinned to one core on a quiet machine, CPU and elapsed time agree.
//
//   taskset -c 3 camera_loop_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
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

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The stream through a decoder of the camera's kind alone, as the camera's loop calls it.
double decoderAloneSeconds(const Stream& s) {
    EVT3Decoder decoder(ScriptedCamera::WIDTH, ScriptedCamera::HEIGHT);
    uint64_t seen = 0;
    decoder.setEventsStreamHandleCallback(
        [&](Event2D* first, Event2D* last) { seen += static_cast<uint64_t>(last - first); });
    decoder.setTriggerInCallback([](EventTriggerIn) {});
    std::vector<std::vector<uint8_t>> buffers = s.buffers;
    const double cpuStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (auto& buffer : buffers) {
        decoder.decode(buffer);
    }
    const double spent = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    benchmark::DoNotOptimize(seen);
    return spent;
}

// CPU seconds of one camera pass: the whole process's, and the camera loop's thread alone.
struct PassSeconds {
    double process = 0;
    double loop = 0;
};

// One fresh camera through the whole stream, called with the benchmark's timing paused; `timed`
// passes count in its elapsed time from the script's start to the last event.
PassSeconds cameraPass(benchmark::State& state, Batching batching, bool recording, const TempDir& dir,
                       bool timed) {
    const Stream& s = stream();
    // A fresh camera per pass: the stream's time starts again at its beginning.
    auto cam = std::make_shared<ScriptedCamera>();
    cam->open();
    if (batching == BY_COUNT) {
        cam->setBatchEventsNum(131072);
    } else if (batching == BY_TIME) {
        cam->setBatchEventsTime(10000);
    }
    // The loop thread alone counts; the waiter is woken once, when the last event came. The loop's
    // thread, idle until the script starts, reads its own CPU time then.
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    uint64_t seen = 0;
    double loopSeconds = 0;
    cam->addEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
        seen += static_cast<uint64_t>(last - first);
        if (seen >= s.events) {
            loopSeconds = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            std::lock_guard<std::mutex> guard(lock);
            finished = true;
            done.notify_all();
        }
    });
    cam->start();
    if (recording) {
        cam->startRecording(dir.file("bench.raw"));
    }
    // The script takes its payloads over; copying them is not the camera's work.
    std::vector<std::vector<uint8_t>> payloads = s.buffers;
    if (timed) {
        state.ResumeTiming();
    }

    PassSeconds spent;
    const double cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    cam->transfer().script(std::move(payloads));
    {
        std::unique_lock<std::mutex> guard(lock);
        done.wait(guard, [&] { return finished; });
    }
    spent.process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    spent.loop = loopSeconds;

    if (timed) {
        state.PauseTiming();
    }
    cam->stop();
    cam->stopRecording();
    return spent;
}

double ratio(double numerator, double denominator) { return denominator > 0 ? numerator / denominator : 0.0; }

// "vs_decoder": the decoder alone over the camera's process CPU time; "loop_vs_decoder": over the
// camera loop thread's alone. The recording case also runs the same camera without recording in
// each iteration (untimed) and reports "vs_not_recording" (process CPU) and "loop_vs_not_recording"
// (the loop thread): 1.0 is "as fast as not recording".
void cameraLoop(benchmark::State& state) {
    Logger::Instance().setLogLevel(LOG_WARN);
    const auto batching = static_cast<Batching>(state.range(0));
    const bool recording = state.range(1) != 0;
    const Stream& s = stream();
    TempDir dir;
    PassSeconds camera;
    PassSeconds plain;
    double decoderSeconds = 0;

    for (auto _ : state) {
        state.PauseTiming();
        const PassSeconds pass = cameraPass(state, batching, recording, dir, true);
        camera.process += pass.process;
        camera.loop += pass.loop;
        if (recording) {
            const PassSeconds without = cameraPass(state, batching, false, dir, false);
            plain.process += without.process;
            plain.loop += without.loop;
        }
        decoderSeconds += decoderAloneSeconds(s);
        state.ResumeTiming();
    }
    state.counters["vs_decoder"] = benchmark::Counter(ratio(decoderSeconds, camera.process));
    state.counters["loop_vs_decoder"] = benchmark::Counter(ratio(decoderSeconds, camera.loop));
    if (recording) {
        state.counters["vs_not_recording"] = benchmark::Counter(ratio(plain.process, camera.process));
        state.counters["loop_vs_not_recording"] = benchmark::Counter(ratio(plain.loop, camera.loop));
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
