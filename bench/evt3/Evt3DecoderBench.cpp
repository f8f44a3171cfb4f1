// EVT3 decoding speed on one core: real recordings and vector streams, decoded from memory in
// 128 KiB buffers, with an events callback that only counts the blocks it receives.
// Reports input bytes/s (bytes_per_second in MiB/s, "input" in MB/s), events/s, the allocations
// per buffer (0 expected) and "vs_plain": how many times faster than a plain word-by-word decoder
// (PlainEvt3Decoder) on the same buffers, the two timed pass by pass in turn in the same run, so
// the ratio holds on a busy machine where the absolute figures do not.
//
//   taskset -c 3 evt3_decoder_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <random>
#include <new>
#include <string>
#include <vector>

#include "PlainEvt3Decoder.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3TestEncoder.h"

namespace {
std::atomic<size_t> g_allocations{0};
}

// The replacements below pair malloc with free; GCC cannot see that through the inlined calls.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr size_t BUFFER_BYTES = 128 * 1024;

std::vector<std::vector<uint8_t>> cut(const std::vector<uint8_t>& data) {
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t pos = 0; pos < data.size(); pos += BUFFER_BYTES) {
        const size_t n = std::min(BUFFER_BYTES, data.size() - pos);
        buffers.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(pos),
                             data.begin() + static_cast<std::ptrdiff_t>(pos + n));
    }
    return buffers;
}

// CPU time of this thread: what the other processes of a shared machine take is not counted.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void runDecode(benchmark::State& state, const std::vector<uint8_t>& data, uint16_t width, uint16_t height) {
    auto buffers = cut(data);
    EVT3Decoder decoder(width, height);
    uint64_t events = 0;
    uint64_t blocks = 0;
    decoder.setEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
        events += static_cast<uint64_t>(last - first);
        ++blocks;
    });
    decoder.setTriggerInCallback([](EventTriggerIn) {});
    quelnor::bench::PlainEvt3Decoder plain(width, height);
    uint64_t plainEvents = 0;
    plain.setEventsCallback([&](Event2D* first, Event2D* last) {
        plainEvents += static_cast<uint64_t>(last - first);
        ++blocks;
    });
    plain.setTriggerCallback([](EventTriggerIn) {});
    for (auto& b : buffers) {  // warm-up pass
        decoder.decode(b);
        plain.decode(b);
    }
    decoder.reset();
    plain.reset();
    events = 0;
    plainEvents = 0;
    blocks = 0;
    uint64_t bytes = 0;
    uint64_t decoded = 0;
    double decoderSeconds = 0;
    double plainSeconds = 0;
    const size_t allocationsBefore = g_allocations.load();
    for (auto _ : state) {
        const double start = threadSeconds();
        decoder.reset();  // each pass is the recording afresh, not a jump back in time
        for (auto& b : buffers) {
            benchmark::DoNotOptimize(decoder.decode(b));
            bytes += b.size();
            ++decoded;
        }
        benchmark::ClobberMemory();
        const double middle = threadSeconds();
        decoderSeconds += middle - start;

        state.PauseTiming();
        const uint64_t blocksBefore = blocks;
        const double plainStart = threadSeconds();
        plain.reset();
        for (auto& b : buffers) {
            benchmark::DoNotOptimize(plain.decode(b));
        }
        benchmark::ClobberMemory();
        plainSeconds += threadSeconds() - plainStart;
        blocks = blocksBefore;
        state.ResumeTiming();
    }
    const size_t allocations = g_allocations.load() - allocationsBefore;
    if (plainEvents != events) {
        state.SkipWithError("the plain decoder and the decoder disagree on the number of events");
        return;
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes)); // printed in MiB/s (1024-based)
    // The same in decimal units: "input=944M/s" is 944 MB/s.
    state.counters["input"] =
        benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsRate, benchmark::Counter::OneK::kIs1000);
    state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["blocks"] = benchmark::Counter(static_cast<double>(blocks), benchmark::Counter::kIsRate);
    state.counters["allocs_per_buffer"] =
        benchmark::Counter(decoded ? static_cast<double>(allocations) / static_cast<double>(decoded) : 0.0);
    state.counters["vs_plain"] = benchmark::Counter(decoderSeconds > 0 ? plainSeconds / decoderSeconds : 0.0);
}

void BM_Recording(benchmark::State& state, const std::string& name) {
    const Evt3RawFile file = loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/" + name);
    runDecode(state, file.data, static_cast<uint16_t>(file.width), static_cast<uint16_t>(file.height));
}

// Every pixel of a 1280 x 720 sensor firing, row by row, through vector groups only.
std::vector<uint8_t> denseVectorStream() {
    Evt3TestEncoder enc;
    for (uint64_t frame = 0; frame < 8; ++frame) {
        for (uint16_t y = 0; y < 720; ++y) {
            const uint64_t t = frame * 1000 + y;
            for (uint16_t base = 0; base < 1280; base += 32) {
                enc.addVector(y, base, (y + frame) & 1, 0xFFFFFFFF, t, base == 0);
            }
        }
    }
    return enc.bytes();
}

void BM_DenseVectors(benchmark::State& state) {
    static const std::vector<uint8_t> data = denseVectorStream();
    runDecode(state, data, 1280, 720);
}

// A vector stream with half the bits set, scattered: the mask walk at its least predictable.
std::vector<uint8_t> halfVectorStream() {
    Evt3TestEncoder enc;
    uint32_t seed = 12345;
    for (uint64_t frame = 0; frame < 8; ++frame) {
        for (uint16_t y = 0; y < 720; ++y) {
            for (uint16_t base = 0; base < 1280; base += 32) {
                seed = seed * 1664525u + 1013904223u;
                const uint32_t a = seed;
                seed = seed * 1664525u + 1013904223u;
                enc.addVector(y, base, y & 1, a ^ (seed >> 7), frame * 1000 + y, base == 0);
            }
        }
    }
    return enc.bytes();
}

void BM_HalfVectors(benchmark::State& state) {
    static const std::vector<uint8_t> data = halfVectorStream();
    runDecode(state, data, 1280, 720);
}

// A busy scene as a high-resolution sensor sends it: per row burst one TIME_LOW, one ADDR_Y, one
// VECT_BASE_X and 1 to 4 vector groups whose mask bits are each set with probability 3/4, and in
// one burst of four an ADDR_X as well. Group count and masks are random, so nothing about a group
// can be predicted from the ones before.
std::vector<uint8_t> randomVectorStream() {
    using namespace evt3word;
    std::mt19937 random(20240611);
    std::vector<uint16_t> words;
    constexpr unsigned WIDTH = 1280;
    constexpr unsigned HEIGHT = 720;
    constexpr unsigned BURSTS = 200000;
    uint64_t time = 5000;
    words.push_back(timeHigh(static_cast<unsigned>((time >> 12) & 0xFFF)));
    for (unsigned burst = 0; burst < BURSTS; ++burst) {
        const uint64_t next = time + 1 + (random() & 1);
        if ((next >> 12) != (time >> 12)) {
            words.push_back(timeHigh(static_cast<unsigned>((next >> 12) & 0xFFF)));
        }
        time = next;
        words.push_back(timeLow(static_cast<unsigned>(time & 0xFFF)));
        words.push_back(addrY(random() % HEIGHT));
        const unsigned groups = 1 + random() % 4;
        words.push_back(vectBaseX(random() % (WIDTH - 32 * groups + 1), random() & 1));
        for (unsigned g = 0; g < groups; ++g) {
            const uint32_t mask = static_cast<uint32_t>(random() | random());
            words.push_back(vect12(mask & 0xFFF));
            words.push_back(vect12((mask >> 12) & 0xFFF));
            words.push_back(vect8(mask >> 24));
        }
        if (random() % 4 == 0) {
            words.push_back(addrX(random() % WIDTH, random() & 1));
        }
    }
    return toBytes(words);
}

void BM_RandomVectors(benchmark::State& state) {
    static const std::vector<uint8_t> data = randomVectorStream();
    runDecode(state, data, 1280, 720);
}

} // namespace

BENCHMARK_CAPTURE(BM_Recording, ecc_1280x720, std::string("ecc_evt3_trigger_1280x720.raw"))->MinTime(0.5);
BENCHMARK_CAPTURE(BM_Recording, ecpy_640x480, std::string("ecpy_test_events_1_640x480.raw"))->MinTime(0.5);
BENCHMARK_CAPTURE(BM_Recording, thwrap_1280x720, std::string("derived_ecc_evt3_trigger_thwrap.raw"))->MinTime(0.5);
BENCHMARK(BM_DenseVectors)->MinTime(0.5);
BENCHMARK(BM_HalfVectors)->MinTime(0.5);
BENCHMARK(BM_RandomVectors)->MinTime(0.5);

BENCHMARK_MAIN();
