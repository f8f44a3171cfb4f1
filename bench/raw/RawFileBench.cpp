// Raw recordings: index build, batch reading, seek latency and the recorder's writeData latency.
// A synthetic recording of about 1 GiB (camera-like EVT3 from the test encoder, about 200 MB per
// second of event time) is written at start into a temporary directory and removed at exit.
//
//   raw_file_bench [--benchmark_filter=...]
// Environment: QUELNOR_RAW_BENCH_MB sets the size of the recording (default 1024).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "QuelnorDriver/FileRecorder/DvsFileRecorder.h"
#include "rawfile/SyntheticRecording.h"
#include "rawfile/TempDir.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Recording {
    TempDir dir;
    std::string path;
    SyntheticFileFigures figures;
};

Recording* g_recording = nullptr;

Recording& recording() {
    if (g_recording == nullptr) {
        g_recording = [] {
        auto* rec = new Recording;
        uint64_t megabytes = 1024;
        if (const char* env = std::getenv("QUELNOR_RAW_BENCH_MB")) {
            megabytes = std::max<uint64_t>(16, std::strtoull(env, nullptr, 10));
        }
        SyntheticOptions options;
        options.seed = 2024;
        options.startTime = 20000000;
        options.meanGapNs = 30;
        options.vectorPercent = 20;
        rec->path = rec->dir.file("bench.raw");
        rec->figures = writeSyntheticRawFile(rec->path, options, megabytes << 20);
        return rec;
        }();
    }
    return *g_recording;
}

std::string sideFile() {
    const std::string& p = recording().path;
    return p.substr(0, p.size() - 4) + ".qnmark.tmp";
}

void quietLogs() { Logger::Instance().setLogLevel(LOG_ERROR); }

std::unique_ptr<RawFileReader> loaded() {
    auto reader = std::make_unique<RawFileReader>(recording().path);
    if (!reader->loadFile()) {
        return nullptr;
    }
    return reader;
}

// The decoder alone over the recording's data from memory, in 128 KiB buffers, with a callback that
// only counts: the ceiling of every reading figure below.
void BM_DecoderAlone(benchmark::State& state) {
    quietLogs();
    const Recording& rec = recording();
    constexpr size_t CHUNK = 131072;
    constexpr uint64_t MAX_BYTES = uint64_t(256) << 20;
    std::ifstream in(rec.path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(rec.figures.headerBytes));
    std::vector<uint8_t> data(static_cast<size_t>(std::min(rec.figures.dataBytes, MAX_BYTES)));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    EVT3Decoder decoder(1280, 720);
    uint64_t events = 0;
    decoder.setEventsStreamHandleCallback([&events](Event2D* first, Event2D* last) { events += static_cast<uint64_t>(last - first); });
    for (auto _ : state) {
        EVT3Decoder::StreamState fresh;
        fresh.lastTimestamp = 20000000 - 4096;
        decoder.setStreamState(fresh);
        for (size_t pos = 0; pos < data.size(); pos += CHUNK) {
            benchmark::DoNotOptimize(decoder.decode(data.data() + pos, data.data() + std::min(data.size(), pos + CHUNK)));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

void BM_IndexBuild(benchmark::State& state) {
    quietLogs();
    const Recording& rec = recording();
    for (auto _ : state) {
        fs::remove(sideFile());
        RawFileReader reader(rec.path);
        if (!reader.loadFile()) {
            state.SkipWithError("load failed");
            return;
        }
        benchmark::DoNotOptimize(reader.getAllBookmarks().size());
        state.counters["bookmarks"] = static_cast<double>(reader.getAllBookmarks().size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rec.figures.dataBytes));
    state.counters["events"] = benchmark::Counter(static_cast<double>(state.iterations() * rec.figures.events),
                                                  benchmark::Counter::kIsRate);
}

void BM_LoadWithSideFile(benchmark::State& state) {
    quietLogs();
    loaded();  // makes sure the side file exists
    for (auto _ : state) {
        auto reader = loaded();
        benchmark::DoNotOptimize(reader.get());
    }
}

template <typename Read>
void readWholeFile(benchmark::State& state, Read read) {
    quietLogs();
    auto reader = loaded();
    if (!reader) {
        state.SkipWithError("load failed");
        return;
    }
    uint64_t events = 0;
    for (auto _ : state) {
        reader->seekNEvents(0);
        while (!reader->reachedEndOfEvents()) {
            const auto batch = read(*reader);
            events += batch->size();
            benchmark::DoNotOptimize(batch->data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * recording().figures.dataBytes));
    state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

void BM_GetNEvents(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    readWholeFile(state, [n](RawFileReader& r) { return r.getNEvents(n); });
}

void BM_GetNTimeEvents(benchmark::State& state) {
    const uint64_t span = static_cast<uint64_t>(state.range(0));
    readWholeFile(state, [span](RawFileReader& r) { return r.getNTimeEvents(span); });
}

// Seek latencies over random targets; reports the median and the worst of all seeks made.
template <typename Seek>
void seekLatency(benchmark::State& state, Seek seek) {
    quietLogs();
    auto reader = loaded();
    if (!reader) {
        state.SkipWithError("load failed");
        return;
    }
    std::mt19937_64 random(5);
    std::vector<double> micros;
    for (auto _ : state) {
        const auto begin = Clock::now();
        const bool ok = seek(*reader, random);
        const auto end = Clock::now();
        if (!ok) {
            state.SkipWithError("seek failed");
            return;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["worst_us"] = micros.back();
}

void BM_SeekTime(benchmark::State& state) {
    seekLatency(state, [](RawFileReader& r, std::mt19937_64& random) {
        uint64_t start = 0;
        uint64_t end = 0;
        r.getStartTimeStamp(start);
        r.getEndTimeStamp(end);
        return r.seekTime(start + random() % (end - start + 1));
    });
}

void BM_SeekNEvents(benchmark::State& state) {
    seekLatency(state, [](RawFileReader& r, std::mt19937_64& random) {
        uint64_t total = 0;
        r.getMaxEvents(total);
        return r.seekNEvents(random() % (total + 1));
    });
}

// The camera thread's view of the recorder: raw buffers of 128 KiB at 200 MB/s for a few seconds,
// the time of every writeData call measured.
void BM_RecorderWriteData(benchmark::State& state) {
    quietLogs();
    constexpr size_t BUFFER = 128 * 1024;
    constexpr double RATE = 200e6;
    const auto seconds = std::chrono::seconds(state.range(0));
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(BUFFER / RATE));
    std::vector<uint8_t> buffer(BUFFER);
    for (size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<uint8_t>(i * 7);
    }
    TempDir dir;
    std::vector<double> micros;
    double wakeLateWorst = 0;
    double worstUndisturbed = 0;
    uint64_t waited = 0;
    uint64_t preempted = 0;
    uint64_t faulted = 0;
    double worstFaulted = 0;
    uint64_t written = 0;
    for (auto _ : state) {
        DvsFileRecorder recorder;
        DvsFileInfo info;
        info.serialNumber = "BENCH";
        if (!recorder.startRecording(dir.file("rec.raw"), info)) {
            state.SkipWithError("cannot record");
            return;
        }
        const auto begin = Clock::now();
        auto next = begin;
        while (Clock::now() - begin < seconds) {
            std::this_thread::sleep_until(next);
            rusage before{};
            getrusage(RUSAGE_THREAD, &before);
            const auto t0 = Clock::now();
            // How late the thread wakes shows the machine's own scheduling delays.
            wakeLateWorst = std::max(wakeLateWorst, std::chrono::duration<double, std::micro>(t0 - next).count());
            next += period;
            recorder.writeData(buffer);
            const auto t1 = Clock::now();
            rusage after{};
            getrusage(RUSAGE_THREAD, &after);
            const double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
            micros.push_back(us);
            // A voluntary switch means the call waited (a lock, the disk); an involuntary one that
            // the machine gave the core to someone else.
            if (after.ru_minflt != before.ru_minflt) {
                ++faulted;
                worstFaulted = std::max(worstFaulted, us);
            }
            if (after.ru_nvcsw != before.ru_nvcsw) {
                ++waited;
            } else if (after.ru_nivcsw != before.ru_nivcsw) {
                ++preempted;
            } else {
                worstUndisturbed = std::max(worstUndisturbed, us);
            }
            written += buffer.size();
        }
        recorder.stopRecording();
        fs::remove(dir.file("rec.raw"));
    }
    std::sort(micros.begin(), micros.end());
    state.counters["calls"] = static_cast<double>(micros.size());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p999_us"] = micros[micros.size() * 999 / 1000];
    state.counters["worst_us"] = micros.back();
    state.counters["wake_late_worst_us"] = wakeLateWorst;
    state.counters["calls_that_waited"] = static_cast<double>(waited);
    state.counters["calls_preempted"] = static_cast<double>(preempted);
    state.counters["worst_undisturbed_us"] = worstUndisturbed;
    state.counters["calls_with_page_faults"] = static_cast<double>(faulted);
    state.counters["worst_with_page_faults_us"] = worstFaulted;
    state.counters["over_1ms"] = static_cast<double>(micros.end() - std::upper_bound(micros.begin(), micros.end(), 1000.0));
    state.SetBytesProcessed(static_cast<int64_t>(written));
}

} // namespace

BENCHMARK(BM_DecoderAlone)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_IndexBuild)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadWithSideFile)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_GetNEvents)->Arg(131072)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_GetNTimeEvents)->Arg(10000)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SeekTime)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);
BENCHMARK(BM_SeekNEvents)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);
BENCHMARK(BM_RecorderWriteData)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The recording (and its side file) go with their temporary directory.
    delete g_recording;
    return 0;
}
