#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/interface/EthInterface.h"

namespace quelnor {

// Gathers the payloads of an Ethernet camera's stream datagrams into pooled buffers. A buffer is
// handed on once less than one payload (1400 bytes) of room is left, once its first payload is
// HANDOVER_DELAY_MS old (so events at a low rate do not wait for the buffer to fill), and when the
// stream stops. Payloads are written straight into the buffer and never past its end.
// When the interface reports data lost before a payload, the buffer gathered so far goes on, then the
// gap is reported (transferGap), so the next buffer begins with the payload after the hole. The
// interface's loss totals start afresh at each start and are logged when the stream stops.
class EthDataTransfer : public DataTransfer {
public:
    static constexpr int HANDOVER_DELAY_MS = 100;

    EthDataTransfer(std::shared_ptr<EthInterface> interface, uint32_t rawEventSizeBytes, uint32_t bufferSize);
    ~EthDataTransfer() override;

protected:
    void start_impl() override;
    void stop_impl() override;
    void run_impl() override;
    void flush() override;

private:
    using Clock = std::chrono::steady_clock;

    void takeNewBuffer();
    void handOn();
    void markGapBefore(size_t length);

    uint64_t bufferSize;
    std::shared_ptr<EthInterface> interface;
    // Worker state (start_impl runs before the worker starts).
    RawBuffer currentBuffer;
    uint64_t fillOffset = 0;
    Clock::time_point firstPayloadTime;
};

} // namespace quelnor
