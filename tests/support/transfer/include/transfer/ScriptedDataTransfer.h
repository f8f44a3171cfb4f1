#pragma once

// ScriptedDataTransfer: a DataTransfer whose worker thread delivers buffers from a script instead of
// a device, through the same steps a transport takes (createBuffer from the pool, transferData).
// Link `quelnor_scripted_transfer`, include "transfer/ScriptedDataTransfer.h".
//
//   auto transfer = std::make_unique<quelnor::test::ScriptedDataTransfer>(1024);
//   auto* script = transfer.get();
//   quelnor::EventStream stream(std::move(transfer));
//   script->script({{1, 2}, {3}});
//   stream.start();   // the worker hands {1, 2} then {3} to the stream
//
// Modes: scripted (each payload becomes one buffer, in order; with nothing queued the worker waits)
// and endless (buffers of `endlessSize` bytes whose first 8 bytes count 0, 1, 2, ... little-endian,
// as fast as the consumer's side takes them). Every member may be called from any thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QuelnorHal/EventStream/DataTransfer.h"

namespace quelnor::test {

class ScriptedDataTransfer : public DataTransfer {
public:
    explicit ScriptedDataTransfer(uint32_t bufferSize = 1024, bool dropWhenNoBuffer = false,
                                  uint32_t rawEventSizeBytes = 2);
    ~ScriptedDataTransfer() override;

    // Payloads to deliver, one buffer each, after those already queued.
    void script(std::vector<std::vector<uint8_t>> payloads);
    // Endless delivery of counted buffers (see above) instead of the script; size at least 8.
    void setEndless(bool endless, size_t endlessSize = 64);
    // The next start_impl throws std::runtime_error(message) before anything starts.
    void failNextStart(std::string message);

    int startImplCalls() const;
    int stopImplCalls() const;
    // Buffers handed to transferData so far, and how many of those it reported dropped.
    uint64_t delivered() const;
    uint64_t dropped() const;
    // Waits (up to `seconds`) until at least n buffers were delivered.
    bool waitDelivered(uint64_t n, double seconds = 30) const;
    bool scriptEmpty() const;

    // The protected steps of the base, for tests of the pool and the hand-over themselves.
    RawBuffer takeBuffer(uint64_t size) { return createBuffer(size); }
    bool handOver(RawBuffer buffer) { return transferData(std::move(buffer)); }
    uint32_t rawEventSize() const { return getRawEventSizeBytes(); }
    size_t pooledBuffers() const { return freePooledBuffers(); }

protected:
    void start_impl() override;
    void stop_impl() override;
    void run_impl() override;
    void flush() override;

private:
    void count(bool wasDropped);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<std::vector<uint8_t>> m_script;
    bool m_endless = false;
    size_t m_endlessSize = 64;
    uint64_t m_counter = 0;
    bool m_stopping = false;
    std::optional<std::string> m_startFailure;
    int m_startImplCalls = 0;
    int m_stopImplCalls = 0;
    uint64_t m_delivered = 0;
    uint64_t m_dropped = 0;
};

} // namespace quelnor::test
