// The event stream over a scripted transfer: buffers come out in the order the worker delivered
// them, a stopped stream still hands out what was delivered before the stop, waiting behaves on
// stopped and idle streams, and start and stop may be called again and while the worker delivers
// (these tests run under ThreadSanitizer).
#include "QuelnorHal/EventStream/EventStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "transfer/ScriptedDataTransfer.h"

using namespace quelnor;
using quelnor::test::ScriptedDataTransfer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto PATIENCE = std::chrono::seconds(30);

struct Rig {
    ScriptedDataTransfer* transfer;
    std::unique_ptr<EventStream> stream;

    explicit Rig(uint32_t bufferSize = 256) {
        auto owned = std::make_unique<ScriptedDataTransfer>(bufferSize);
        transfer = owned.get();
        stream = std::make_unique<EventStream>(std::move(owned));
    }
};

// Takes buffers as a camera loop does until `count` arrived (or patience runs out).
std::vector<RawBuffer> take(EventStream& stream, size_t count) {
    std::vector<RawBuffer> got;
    const auto deadline = Clock::now() + PATIENCE;
    while (got.size() < count && Clock::now() < deadline) {
        if (stream.waitNextBuffer() == 1) {
            if (auto buffer = stream.getLatestBuffer()) {
                got.push_back(*buffer);
            }
        }
    }
    return got;
}

// Waiting returns -1 at once: twenty waits end before twenty full waits of 100 ms could have.
void expectWaitsReturnAtOnce(EventStream& stream) {
    constexpr int WAITS = 20;
    const auto begin = Clock::now();
    for (int i = 0; i < WAITS; ++i) {
        EXPECT_EQ(stream.waitNextBuffer(), -1);
    }
    EXPECT_LT(Clock::now() - begin, WAITS * std::chrono::milliseconds(EventStream::WAIT_TIMEOUT_MS));
}

uint64_t counterOf(const RawBuffer& buffer) {
    uint64_t counter = 0;
    std::memcpy(&counter, buffer->data(), sizeof(counter));
    return counter;
}

} // namespace

TEST(EventStream, BuffersComeOutInTheOrderTheyWereDelivered) {
    Rig rig;
    std::vector<std::vector<uint8_t>> payloads;
    for (int i = 0; i < 60; ++i) {
        payloads.push_back(std::vector<uint8_t>(static_cast<size_t>(1 + i % 7), static_cast<uint8_t>(i)));
    }
    rig.transfer->script(payloads);
    rig.stream->start();
    const std::vector<RawBuffer> got = take(*rig.stream, payloads.size());
    ASSERT_EQ(got.size(), payloads.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(*got[i], payloads[i]) << "buffer " << i;
    }
    EXPECT_FALSE(rig.stream->getLatestBuffer().has_value());
}

TEST(EventStream, EmptyBuffersAreNotQueued) {
    Rig rig;
    rig.transfer->script({{1, 2}, {}, {3}});
    rig.stream->start();
    ASSERT_TRUE(rig.transfer->waitDelivered(3));
    const std::vector<RawBuffer> got = take(*rig.stream, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(*got[0], (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(*got[1], (std::vector<uint8_t>{3}));
    EXPECT_FALSE(rig.stream->getLatestBuffer().has_value());
}

TEST(EventStream, WaitingOnAStoppedStreamReturnsAtOnce) {
    Rig rig;
    rig.transfer->script({{1}, {2}});
    expectWaitsReturnAtOnce(*rig.stream);
    EXPECT_FALSE(rig.stream->getLatestBuffer().has_value());

    rig.stream->start();
    ASSERT_TRUE(rig.transfer->waitDelivered(2));
    rig.stream->stop();
    // What was delivered before the stop is still there, at once and in order; then waiting
    // returns at once.
    const auto begin = Clock::now();
    const std::vector<RawBuffer> left = take(*rig.stream, 2);
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(EventStream::WAIT_TIMEOUT_MS));
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(*left[0], std::vector<uint8_t>{1});
    EXPECT_EQ(*left[1], std::vector<uint8_t>{2});
    expectWaitsReturnAtOnce(*rig.stream);
    EXPECT_FALSE(rig.stream->getLatestBuffer().has_value());
}

TEST(EventStream, AStartOnARunningStreamKeepsWhatIsQueued) {
    Rig rig;
    rig.transfer->script({{1}, {2}});
    rig.stream->start();
    ASSERT_TRUE(rig.transfer->waitDelivered(2));
    rig.stream->start();
    const auto got = take(*rig.stream, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(*got[0], std::vector<uint8_t>{1});
    EXPECT_EQ(*got[1], std::vector<uint8_t>{2});
    EXPECT_EQ(rig.transfer->startImplCalls(), 1);
}

TEST(EventStream, StartEmptiesWhatAStoppedStreamStillHeld) {
    Rig rig;
    rig.transfer->script({{1}, {2}});
    rig.stream->start();
    ASSERT_TRUE(rig.transfer->waitDelivered(2));
    rig.stream->stop();
    rig.stream->start();
    rig.transfer->script({{3}});
    const auto got = take(*rig.stream, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(*got[0], std::vector<uint8_t>{3}) << "buffers of the earlier run are gone";
    rig.stream->stop();
}

TEST(EventStream, WaitingOnAnIdleStreamGivesUpAfter100Milliseconds) {
    Rig rig;
    rig.stream->start();
    const auto begin = Clock::now();
    EXPECT_EQ(rig.stream->waitNextBuffer(), -1);
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(EventStream::WAIT_TIMEOUT_MS));
    EXPECT_FALSE(rig.stream->getLatestBuffer().has_value());

    // A buffer arriving during a wait ends it.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rig.transfer->script({{9}});
    });
    int16_t result = -1;
    for (auto deadline = Clock::now() + PATIENCE; result != 1 && Clock::now() < deadline;) {
        result = rig.stream->waitNextBuffer();
    }
    late.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(**rig.stream->getLatestBuffer(), std::vector<uint8_t>{9});
}

TEST(EventStream, StartAndStopTwiceStartAndStopTheWorkerOnce) {
    Rig rig;
    rig.stream->stop(); // never started: nothing to stop
    EXPECT_EQ(rig.transfer->stopImplCalls(), 0);
    rig.stream->start();
    rig.stream->start();
    EXPECT_EQ(rig.transfer->startImplCalls(), 1);
    rig.transfer->script({{1}});
    ASSERT_EQ(take(*rig.stream, 1).size(), 1u);
    rig.stream->stop();
    rig.stream->stop();
    EXPECT_EQ(rig.transfer->stopImplCalls(), 1);
    rig.stream->start();
    EXPECT_EQ(rig.transfer->startImplCalls(), 2);
    rig.transfer->script({{2}});
    const auto got = take(*rig.stream, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(*got[0], std::vector<uint8_t>{2});
}

TEST(EventStream, AFailedStartLeavesTheStreamStopped) {
    Rig rig;
    rig.transfer->failNextStart("device gone");
    try {
        rig.stream->start();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "device gone");
    }
    expectWaitsReturnAtOnce(*rig.stream);
    // A later start works.
    rig.transfer->script({{5}});
    rig.stream->start();
    EXPECT_EQ(take(*rig.stream, 1).size(), 1u);
}

TEST(EventStream, StartAndStopWhileTheWorkerDelivers) {
    Rig rig(64);
    rig.transfer->setEndless(true);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> consumed{0};
    std::atomic<bool> outOfOrder{false};
    // A consumer that keeps taking buffers through every start and stop.
    std::thread consumer([&] {
        uint64_t last = 0;
        bool any = false;
        while (!done) {
            if (rig.stream->waitNextBuffer() != 1) {
                any = false; // a start may have emptied the queue: order restarts
                continue;
            }
            if (auto buffer = rig.stream->getLatestBuffer()) {
                const uint64_t counter = counterOf(*buffer);
                if (any && counter <= last) {
                    outOfOrder = true;
                }
                last = counter;
                any = true;
                ++consumed;
            }
        }
    });
    for (int round = 0; round < 30; ++round) {
        const uint64_t before = consumed;
        rig.stream->start();
        rig.stream->start();
        for (auto deadline = Clock::now() + PATIENCE; consumed < before + 3 && Clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        rig.stream->stop();
        // The consumer takes what the stopped stream still held; nothing new comes.
        for (auto deadline = Clock::now() + PATIENCE;
             consumed < rig.transfer->delivered() && Clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        EXPECT_EQ(consumed.load(), rig.transfer->delivered()) << "round " << round;
        EXPECT_FALSE(rig.stream->getLatestBuffer().has_value()) << "round " << round;
    }
    done = true;
    consumer.join();
    EXPECT_GE(consumed.load(), 90u);
    EXPECT_FALSE(outOfOrder);
    EXPECT_EQ(rig.transfer->startImplCalls(), 30);
    EXPECT_EQ(rig.transfer->stopImplCalls(), 30);
}

TEST(EventStream, DestroyingARunningStreamStopsItsWorker) {
    Rig rig(64);
    rig.transfer->setEndless(true);
    rig.stream->start();
    ASSERT_TRUE(rig.transfer->waitDelivered(10));
    RawBuffer kept = *rig.stream->getLatestBuffer();
    rig.stream.reset(); // stops and joins the worker, then destroys the transfer and its pool
    // A buffer held beyond the stream and its pool stays valid and is freed when dropped.
    EXPECT_EQ(kept->size(), 64u);
    kept->assign(64, 0xAA);
    kept.reset();
}

// A consumer that falls behind: the oldest whole buffers make room for each new one, the buffer
// after the last one dropped carries the gap mark, every drop is counted and one warning goes out
// for a burst of drops. What a stop leaves, dropQueued drops and counts; start counts afresh.
TEST(EventStream, AtTheLimitTheOldestBuffersAreDroppedCountedAndMarked) {
    Rig rig;
    rig.stream->setQueueLimitBytes(1000);
    std::vector<std::vector<uint8_t>> payloads;
    for (int i = 0; i < 10; ++i) {
        payloads.push_back(std::vector<uint8_t>(300, static_cast<uint8_t>(i)));
    }
    quelnor::test::LogCapture log;
    rig.transfer->script(payloads);
    rig.stream->start();
    ASSERT_TRUE(rig.transfer->waitDelivered(payloads.size()));
    EXPECT_EQ(rig.stream->getQueuedBytes(), 900u);
    EXPECT_EQ(rig.stream->getDroppedBuffers(), 7u);
    EXPECT_EQ(rig.stream->getDroppedBytes(), 2100u);
    EXPECT_EQ(log.countAt(LOG_WARN), 1) << "one warning for a burst of drops";

    bool gap = false;
    auto first = rig.stream->getLatestBuffer(gap);
    ASSERT_TRUE(first);
    EXPECT_EQ((**first)[0], 7) << "the newest three are kept";
    EXPECT_TRUE(gap) << "the first buffer after the dropped ones is marked";
    auto second = rig.stream->getLatestBuffer(gap);
    ASSERT_TRUE(second);
    EXPECT_EQ((**second)[0], 8);
    EXPECT_FALSE(gap);
    EXPECT_EQ(rig.stream->getQueuedBytes(), 300u);

    rig.stream->stop();
    rig.stream->dropQueued();
    EXPECT_EQ(rig.stream->getQueuedBytes(), 0u);
    EXPECT_EQ(rig.stream->getDroppedBuffers(), 8u);
    EXPECT_EQ(rig.stream->getDroppedBytes(), 2400u);
    EXPECT_FALSE(rig.stream->getLatestBuffer().has_value());

    rig.stream->start();
    EXPECT_EQ(rig.stream->getDroppedBuffers(), 0u);
    EXPECT_EQ(rig.stream->getDroppedBytes(), 0u);
    rig.stream->stop();
}

// A backlog makes the transfer's pool grow; once the consumer has caught up, the pool is trimmed
// back, so the memory goes back with the backlog.
TEST(EventStream, ThePoolShrinksOnceABacklogIsGone) {
    Rig rig(4096);
    std::vector<std::vector<uint8_t>> payloads(200, std::vector<uint8_t>(4096, 1));
    rig.transfer->script(payloads);
    rig.stream->start();
    ASSERT_TRUE(rig.transfer->waitDelivered(payloads.size()));
    EXPECT_EQ(rig.stream->getDroppedBuffers(), 0u);
    // A camera loop takes one buffer at a time and lets it go once decoded.
    size_t taken = 0;
    const auto deadline = Clock::now() + PATIENCE;
    while (taken < payloads.size() && Clock::now() < deadline) {
        if (rig.stream->waitNextBuffer() == 1 && rig.stream->getLatestBuffer()) {
            ++taken;
        }
    }
    ASSERT_EQ(taken, payloads.size());
    EXPECT_LE(rig.transfer->pooledBuffers(), quelnor::DataTransfer::POOL_BUFFERS + 1)
        << "the pool kept the buffers of the backlog";
    rig.stream->stop();
}
