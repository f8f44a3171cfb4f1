#include "EventStream/DataTransferSpinner.h"

#include <libusb.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

namespace {

constexpr auto EVENT_ROUND = std::chrono::milliseconds(100);
constexpr auto EVENT_ERROR_PAUSE = std::chrono::milliseconds(10);
// How long the destructor waits for a cancelled transfer before leaving it allocated.
constexpr auto RELEASE_WAIT_LIMIT = std::chrono::seconds(10);

int loadFlag(int* flag) { return std::atomic_ref<int>(*flag).load(std::memory_order_acquire); }

void storeFlag(int* flag, int value) { std::atomic_ref<int>(*flag).store(value, std::memory_order_release); }

} // namespace

DataTransferSpinner::DataTransferSpinner(std::shared_ptr<UsbInterface> usb)
    : m_usb(std::move(usb)), m_completed(new int(1)) {
    m_transfer = UsbInterface::createAsyncBulkTransfer();
    if (!m_transfer) {
        delete m_completed;
        throw std::runtime_error("libusb_alloc_transfer Failed");
    }
}

DataTransferSpinner::~DataTransferSpinner() {
    try {
        if (!isCompleted()) {
            cancel();
            if (!waitCompleted(std::chrono::steady_clock::now() + RELEASE_WAIT_LIMIT, nullptr)) {
                QN_ERROR("USB transfer still in flight after cancel; leaving it allocated");
                // libusb may still write into the buffer and the flag: keep both alive for good.
                new RawBuffer(std::move(m_buffer));
                return;
            }
        }
        libusb_free_transfer(m_transfer);
        delete m_completed;
    } catch (...) {
        QN_ERROR("Exception in ~DataTransferSpinner");
    }
}

void DataTransferSpinner::fill(uint8_t endpoint, RawBuffer buffer, uint32_t timeoutMs) {
    m_buffer = std::move(buffer);
    m_transfer->endpoint = endpoint;
    m_usb->fillDataBulkTransfer(m_transfer, m_buffer->data(), static_cast<int>(m_buffer->size()), &onCompleted,
                                m_completed, timeoutMs);
}

int DataTransferSpinner::submit() {
    storeFlag(m_completed, 0);
    int r = m_usb->submitTransfer(m_transfer);
    if (r < 0) {
        storeFlag(m_completed, 1);
    }
    return r;
}

void DataTransferSpinner::cancel() {
    int r = libusb_cancel_transfer(m_transfer);
    if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_NOT_FOUND) {
        QN_ERROR("Cancel transfer error: %s", libusb_error_name(r));
    }
}

bool DataTransferSpinner::waitCompleted(std::chrono::steady_clock::time_point deadline,
                                        const std::function<bool()>& keepWaiting) {
    while (!isCompleted()) {
        if ((keepWaiting && !keepWaiting()) || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        timeval round{0, static_cast<suseconds_t>(std::chrono::microseconds(EVENT_ROUND).count())};
        int r = libusb_handle_events_timeout_completed(m_usb->ctx(), &round, m_completed);
        if (r != LIBUSB_SUCCESS) {
            QN_ERROR("Error in handle events completed: %s", libusb_error_name(r));
            std::this_thread::sleep_for(EVENT_ERROR_PAUSE);
        }
    }
    return true;
}

bool DataTransferSpinner::isCompleted() const { return loadFlag(m_completed) != 0; }

int DataTransferSpinner::status() const { return m_transfer->status; }

int DataTransferSpinner::actualLength() const { return m_transfer->actual_length; }

RawBuffer DataTransferSpinner::takeBuffer() { return std::move(m_buffer); }

void DataTransferSpinner::onCompleted(libusb_transfer* transfer) {
    // Runs inside libusb event handling, in the worker or in the stopping thread.
    if (transfer->status == LIBUSB_TRANSFER_TIMED_OUT && transfer->actual_length != 0) {
        transfer->status = LIBUSB_TRANSFER_COMPLETED;
    }
    storeFlag(static_cast<int*>(transfer->user_data), 1);
}

} // namespace quelnor
