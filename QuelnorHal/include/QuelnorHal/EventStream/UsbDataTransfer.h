#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelnorHal/EventStream/DataTransfer.h"

namespace quelnor {

class UsbInterface;
class DataTransferSpinner;

// Reads a USB data endpoint through a ring of asynchronous bulk transfers kept in flight (20 of
// 128 KiB for the event stream). The first transfers time out after 500, 500 + 500/n, ... ms so they
// do not all expire together; every refill uses 500 ms.
//
// Buffers are handed on in the order the transfers were submitted, which is the order the device
// filled them: a transfer that timed out empty goes back to the end of the ring; one that timed out
// with data is delivered like a completed one, and so are the bytes a transfer received before it
// STALLed; then the halt is cleared and the transfer goes back refilled. A lost device
// ends the worker (the interface then reports not connected); so does any other transfer error,
// logged as "Undefined status: %d". Either way only stop() and start() restart the stream.
//
// start/stop come from the owner's thread; the worker resubmits and delivers on its own thread,
// where the new-buffer callback runs. Stopping cancels every transfer in flight and waits for each
// one, and no transfer is submitted once stop began.
class UsbDataTransfer : public DataTransfer {
public:
    static constexpr uint32_t BASE_TIMEOUT_MS = 500;
    // Pause before retrying submissions when none could be made.
    static constexpr unsigned int RETRY_PAUSE_MS = 20;
    // STALLs in a row (without data or a time-out in between), per transfer of the ring, before giving up.
    static constexpr unsigned int STALLS_PER_TRANSFER_LIMIT = 2;
    // How long stop waits for the cancelled transfers to come back.
    static constexpr unsigned int CANCEL_WAIT_LIMIT_MS = 10000;

    // endpoint 'R' reads the data endpoint, 'S' the second data endpoint; other values log
    // "input endpoint num error!" and leave the transfer unable to start. Throws
    // std::invalid_argument for 0 transfers.
    UsbDataTransfer(std::shared_ptr<UsbInterface> interface, uint32_t rawEventSizeBytes, uint32_t bufferSize,
                    uint8_t numTransfers, UsbDataTransferEndpoint endpoint);
    ~UsbDataTransfer() override;

protected:
    // Throws std::runtime_error when the endpoint is unset or the camera has no such endpoint.
    void start_impl() override;
    void stop_impl() override;
    void run_impl() override;
    void flush() override;

private:
    // Submits unless stop began; a transfer that cannot be submitted waits for a retry.
    bool submitOrPark(DataTransferSpinner& spinner);
    void retryParked();
    void handleCompletion(DataTransferSpinner& spinner);
    void endWithLostDevice();
    int clearHalt();

    uint64_t m_bufferSize;
    std::vector<std::unique_ptr<DataTransferSpinner>> m_spinners;
    std::mutex m_submitLock; // submissions against the start of stop
    bool m_stopping = false;  // guarded by m_submitLock
    std::shared_ptr<UsbInterface> m_interface;
    uint32_t m_baseTimeout = BASE_TIMEOUT_MS;
    uint8_t m_endpoint = 0;
    uint8_t m_numTransfers;
    // Worker side (and start_impl before the worker runs).
    std::deque<DataTransferSpinner*> m_inFlight; // in submission order
    std::deque<DataTransferSpinner*> m_parked;   // waiting for a resubmission
    unsigned int m_consecutiveStalls = 0;
    bool m_submitFailing = false;
};

} // namespace quelnor
