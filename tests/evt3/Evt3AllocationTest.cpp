// Decoding in the steady state allocates nothing: this binary counts every operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "Evt3TestSupport.h"
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

// Allocations made while decoding `rounds` passes over `data` in 128 KiB buffers, after two
// passes to warm up.
size_t allocationsWhileDecoding(EVT3Decoder& decoder, const std::vector<uint8_t>& data, int rounds) {
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t pos = 0; pos < data.size(); pos += BUFFER_BYTES - 2) {  // odd word counts: groups get cut
        const size_t n = std::min(BUFFER_BYTES - 2, data.size() - pos);
        buffers.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(pos),
                             data.begin() + static_cast<std::ptrdiff_t>(pos + n));
    }
    for (int warm = 0; warm < 2; ++warm) {
        decoder.reset();
        for (auto& b : buffers) {
            decoder.decode(b);
        }
    }
    const size_t before = g_allocations.load();
    for (int r = 0; r < rounds; ++r) {
        decoder.reset();
        for (auto& b : buffers) {
            decoder.decode(b);
        }
    }
    return g_allocations.load() - before;
}

TEST(Evt3Allocation, SteadyStateDecodingOfARecordingAllocatesNothing) {
    const Evt3RawFile file = loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecpy_test_events_1_640x480.raw");
    EVT3Decoder decoder(640, 480);
    size_t events = 0;
    size_t triggers = 0;
    decoder.setEventsStreamHandleCallback([&](Event2D* a, Event2D* b) { events += static_cast<size_t>(b - a); });
    decoder.setTriggerInCallback([&](EventTriggerIn) { ++triggers; });
    EXPECT_EQ(allocationsWhileDecoding(decoder, file.data, 3), 0u);
    EXPECT_EQ(events, 5u * 343474);
    EXPECT_EQ(triggers, 5u * 4157);
}

TEST(Evt3Allocation, SteadyStateDecodingOfDenseVectorsAllocatesNothing) {
    Evt3TestEncoder enc;
    for (uint64_t t = 0; t < 20000; ++t) {
        for (uint16_t y = 0; y < 16; ++y) {
            enc.addVector(y, static_cast<uint16_t>(32 * (t % 40)), t & 1, 0xFFFFFFFF, t * 10);
        }
        if (t % 1000 == 0) {
            enc.addTrigger(EventTriggerIn(1, 1, t * 10));
        }
    }
    EVT3Decoder decoder(1280, 720);
    size_t events = 0;
    decoder.setEventsStreamHandleCallback([&](Event2D* a, Event2D* b) { events += static_cast<size_t>(b - a); });
    decoder.setTriggerInCallback([](EventTriggerIn) {});
    decoder.setCustomTriggerIn(5000);
    // Receivers of shared blocks that let them go at once.
    decoder.setSharedEventsStreamHandleCallback([](std::shared_ptr<std::vector<Event2D>>) {});
    EXPECT_EQ(allocationsWhileDecoding(decoder, enc.bytes(), 3), 0u);
    EXPECT_EQ(events, 5u * 20000 * 16 * 32);
}

} // namespace
