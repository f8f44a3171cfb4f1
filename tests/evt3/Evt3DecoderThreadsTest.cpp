// The parts of the decoder other threads touch: the counters, the custom trigger time, and shared
// blocks released away from the decoding thread.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Evt3TestSupport.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "evt3/Evt3RawFile.h"

using namespace quelnor;
using namespace quelnor::test;

TEST(Evt3DecoderThreads, CountersReadFromAnotherThreadAddUp) {
    const Evt3RawFile file = loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecc_evt3_trigger_1280x720.raw");
    EVT3Decoder decoder(1280, 720);

    std::mutex queueMutex;
    std::condition_variable queueCv;
    std::deque<std::shared_ptr<std::vector<Event2D>>> queue;
    bool done = false;
    uint64_t receivedEvents = 0;
    decoder.setSharedEventsStreamHandleCallback([&](std::shared_ptr<std::vector<Event2D>> block) {
        std::lock_guard<std::mutex> lock(queueMutex);
        queue.push_back(std::move(block));
        queueCv.notify_one();
    });
    // Holds the blocks a little and drops them on its own thread.
    std::thread consumer([&] {
        std::unique_lock<std::mutex> lock(queueMutex);
        for (;;) {
            queueCv.wait(lock, [&] { return done || !queue.empty(); });
            if (queue.empty() && done) {
                return;
            }
            auto block = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            receivedEvents += block->size();
            block.reset();
            lock.lock();
        }
    });

    std::atomic<bool> decoding{true};
    uint64_t polledBytes = 0;
    uint64_t polledEvents = 0;
    std::thread stats([&] {
        while (decoding.load()) {
            polledBytes += decoder.getDecodeDataBandwidth();
            polledEvents += decoder.getDecodeEventCount();
            decoder.setCustomTriggerIn(1);  // a time long past: fires at the next TIME_LOW
            std::this_thread::yield();
        }
    });

    const int rounds = 20;
    for (int r = 0; r < rounds; ++r) {
        decodeInChunks(decoder, file.data, 131072);
        decoder.reset();
    }
    decoding.store(false);
    stats.join();
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        done = true;
        queueCv.notify_one();
    }
    consumer.join();
    polledBytes += decoder.getDecodeDataBandwidth();
    polledEvents += decoder.getDecodeEventCount();
    EXPECT_EQ(polledBytes, rounds * file.data.size());
    EXPECT_EQ(polledEvents, rounds * 82469u);
    EXPECT_EQ(receivedEvents, rounds * 82469u);
}
