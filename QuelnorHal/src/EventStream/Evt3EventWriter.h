#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"

namespace quelnor {

// Fills the decoder's current block in place. A block never holds more than BLOCK_SIZE events:
// the checked append flushes when the block is full, reserve() flushes before a vector group that
// might not fit.
class Evt3EventWriter {
public:
    static constexpr size_t BLOCK_SIZE = EVT3Decoder::BLOCK_SIZE;

    explicit Evt3EventWriter(EVT3Decoder& owner) : decoder(owner) { takeBlock(); }

    void append(uint16_t x, uint16_t y, uint8_t polarity, uint64_t timestamp) {
        if (decoder.flipXEnabled) {
            x = static_cast<uint16_t>(decoder.width - 1 - x);
        }
        Event2D& event = (*block)[count];
        event.x = x;
        event.y = y;
        event.polarity = polarity;
        event.timestamp = timestamp;
        ++count;
    }

    void appendChecked(uint16_t x, uint16_t y, uint8_t polarity, uint64_t timestamp) {
        append(x, y, polarity, timestamp);
        if (count == BLOCK_SIZE) {
            flush();
        }
    }

    void reserve(size_t n) {
        if (BLOCK_SIZE - count < n + 1) {
            flush();
        }
    }

    void flush() {
        if (!decoder.sharedEventsStreamHandleCallback) {
            // The events callback takes a range, so the block keeps its full size: sizing it down
            // and up again would rebuild the unused slots at every trigger.
            decoder.deliverEvents(block->data(), count);
            count = 0;
            return;
        }
        block->resize(count);
        // The decoder's reference travels with the call and comes back here.
        decoder.addEvent2Buffer(block);
        if (block.use_count() != 1) {
            // A receiver kept it: take another one from the pool.
            block = decoder.blockPool->acquire(BLOCK_SIZE);
        }
        // Alone with it, keeping it is what the last-in first-out pool would hand back anyway,
        // without a round trip through the pool.
        block->resize(BLOCK_SIZE);
        count = 0;
    }

    size_t size() const { return count; }
    bool empty() const { return count == 0; }

    // For the word loop, which keeps the fill level in a register and writes it back around calls.
    Event2D* data() { return block->data(); }
    void setSize(size_t n) { count = n; }

private:
    void takeBlock() {
        block = decoder.blockPool->acquire(BLOCK_SIZE);
        block->resize(BLOCK_SIZE);
        count = 0;
    }

    EVT3Decoder& decoder;
    std::shared_ptr<std::vector<Event2D>> block;
    uint64_t count = 0;
};

} // namespace quelnor
