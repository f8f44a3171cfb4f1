#include "EventStream/EthDataTransfer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

EthDataTransfer::EthDataTransfer(std::shared_ptr<EthInterface> ethInterface, uint32_t rawEventSizeBytes, uint32_t size)
    : DataTransfer(rawEventSizeBytes, true, size), bufferSize(size), interface(std::move(ethInterface)) {}

EthDataTransfer::~EthDataTransfer() { stop(); }

void EthDataTransfer::start_impl() {
    QN_INFO("EthDataTransfer start_impl");
    // A new stream: packet ids and loss totals start afresh.
    interface->resetStreamTracking();
    setState(STATE_RUNNING);
    takeNewBuffer();
}

void EthDataTransfer::stop_impl() { setState(STATE_STOPPED); }

void EthDataTransfer::flush() {}

void EthDataTransfer::takeNewBuffer() {
    currentBuffer = createBuffer(bufferSize);
    currentBuffer->resize(bufferSize);
    fillOffset = 0;
}

void EthDataTransfer::handOn() {
    currentBuffer->resize(fillOffset);
    transferData(std::move(currentBuffer));
    takeNewBuffer();
}

void EthDataTransfer::run_impl() {
    const auto handoverDelay = std::chrono::milliseconds(HANDOVER_DELAY_MS);
    while (isRunning()) {
        const uint64_t room64 = bufferSize - fillOffset;
        const int room = static_cast<int>(std::min<uint64_t>(room64, std::numeric_limits<int>::max()));
        // With data waiting, wait no longer than its hand-over time.
        int timeoutMs = EthInterface::STREAM_TIMEOUT_MS;
        if (fillOffset > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(firstPayloadTime + handoverDelay - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, EthInterface::STREAM_TIMEOUT_MS));
        }
        int length = 0;
        bool gapBefore = false;
        if (interface->fillBufferData(currentBuffer->data() + fillOffset, length, room, timeoutMs, gapBefore) &&
            length > 0) {
            if (gapBefore) {
                markGapBefore(static_cast<size_t>(length));
            }
            if (fillOffset == 0) {
                firstPayloadTime = Clock::now();
            }
            fillOffset += static_cast<uint64_t>(length);
        }
        if (fillOffset == 0) {
            continue;
        }
        const bool full = fillOffset + EthInterface::PAYLOAD_SIZE > bufferSize;
        const bool due = Clock::now() - firstPayloadTime >= handoverDelay;
        if (full || due) {
            handOn();
        }
    }
    // Stopping: what was gathered still goes on, including the rest of a split payload.
    if (fillOffset > 0) {
        handOn();
    }
    while (interface->hasPendingStreamData()) {
        int length = 0;
        const int room = static_cast<int>(std::min<uint64_t>(bufferSize, std::numeric_limits<int>::max()));
        if (!interface->fillBufferData(currentBuffer->data(), length, room, 0) || length <= 0) {
            break;
        }
        fillOffset = static_cast<uint64_t>(length);
        handOn();
    }
    interface->logStreamLossSummary();
}

// The payload of `length` bytes just written at the fill offset follows lost data. What came before
// it goes on first, so the consumer's gap mark falls exactly between the two.
void EthDataTransfer::markGapBefore(size_t length) {
    if (fillOffset == 0) {
        transferGap();
        return;
    }
    uint8_t payload[EthInterface::MAX_STREAM_PAYLOAD];
    const size_t n = std::min(length, sizeof payload);
    std::memcpy(payload, currentBuffer->data() + fillOffset, n);
    handOn();
    transferGap();
    std::memcpy(currentBuffer->data(), payload, n);
}

} // namespace quelnor
