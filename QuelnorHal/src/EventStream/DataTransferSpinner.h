#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "QuelnorHal/EventStream/RawBuffer.h"

struct libusb_transfer;

namespace quelnor {

class UsbInterface;

// One asynchronous bulk transfer of the USB data ring and the buffer it reads into.
// The completion flag is handed to libusb's event loop; it is 1 while the transfer is not in flight.
// The transfer is never freed while in flight: the destructor cancels it and waits for its
// completion, and when that never comes it leaves the transfer and its buffer allocated.
// Used by one worker at a time; cancel and the waits may come from the stopping thread as well.
class DataTransferSpinner {
public:
    // Throws std::runtime_error when libusb cannot allocate the transfer.
    explicit DataTransferSpinner(std::shared_ptr<UsbInterface> usb);
    ~DataTransferSpinner();
    DataTransferSpinner(const DataTransferSpinner&) = delete;
    DataTransferSpinner& operator=(const DataTransferSpinner&) = delete;

    // Points the transfer at the endpoint and the buffer's bytes. Only while not in flight.
    void fill(uint8_t endpoint, RawBuffer buffer, uint32_t timeoutMs);
    // Submits the transfer as filled; libusb's result.
    int submit();
    void cancel();
    // Runs libusb event handling until the transfer completed, keepWaiting answers false or the
    // deadline passed; true when it completed.
    bool waitCompleted(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& keepWaiting);
    bool isCompleted() const;

    // The libusb status and byte count of the last completion.
    int status() const;
    int actualLength() const;
    RawBuffer takeBuffer();

private:
    static void onCompleted(libusb_transfer* transfer);

    std::shared_ptr<UsbInterface> m_usb;
    // Heap-held so a transfer that never completes can be left behind with something valid to write to.
    int* m_completed = nullptr;
    RawBuffer m_buffer;
    libusb_transfer* m_transfer = nullptr;
};

} // namespace quelnor
