#include "QuelnorHal/EventStream/UsbDataTransfer.h"

#include <libusb.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include "EventStream/DataTransferSpinner.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

UsbDataTransfer::UsbDataTransfer(std::shared_ptr<UsbInterface> interface, uint32_t rawEventSizeBytes,
                                 uint32_t bufferSize, uint8_t numTransfers, UsbDataTransferEndpoint endpoint)
    : DataTransfer(rawEventSizeBytes, false, bufferSize),
      m_bufferSize(bufferSize),
      m_interface(std::move(interface)),
      m_numTransfers(numTransfers) {
    if (numTransfers == 0) {
        throw std::invalid_argument("UsbDataTransfer needs at least one transfer");
    }
    switch (endpoint) {
    case USB_DATA_ENDPOINT:
        m_endpoint = m_interface->getEpCommAddress();
        break;
    case USB_DATA_ENDPOINT_2:
        m_endpoint = m_interface->getEpCommAddress2();
        break;
    default:
        QN_ERROR("input endpoint num error!");
        break;
    }
}

UsbDataTransfer::~UsbDataTransfer() {
    stop();
    // Before the interface member goes: the spinners cancel through it.
    m_spinners.clear();
}

void UsbDataTransfer::start_impl() {
    if (m_endpoint == 0) {
        throw std::runtime_error("USB data endpoint is not available");
    }
    m_inFlight.clear();
    m_parked.clear();
    m_spinners.clear();
    {
        std::lock_guard<std::mutex> lock(m_submitLock);
        m_stopping = false;
    }
    m_consecutiveStalls = 0;
    m_submitFailing = false;
    for (uint8_t i = 0; i < m_numTransfers; ++i) {
        m_spinners.push_back(std::make_unique<DataTransferSpinner>(m_interface));
    }
    m_baseTimeout = BASE_TIMEOUT_MS;
    flush();
    uint32_t timeout = BASE_TIMEOUT_MS;
    const uint32_t step = BASE_TIMEOUT_MS / m_numTransfers;
    for (auto& spinner : m_spinners) {
        RawBuffer buffer = createBuffer(0);
        buffer->resize(m_bufferSize);
        spinner->fill(m_endpoint, std::move(buffer), timeout);
        if (!submitOrPark(*spinner) && !isRunning()) {
            break;
        }
        timeout += step;
    }
}

void UsbDataTransfer::stop_impl() {
    {
        std::lock_guard<std::mutex> lock(m_submitLock);
        m_stopping = true;
    }
    setState(STATE_STOPPED);
    for (auto& spinner : m_spinners) {
        if (!spinner->isCompleted()) {
            spinner->cancel();
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CANCEL_WAIT_LIMIT_MS);
    for (auto& spinner : m_spinners) {
        // Events are handled here too; the worker may be doing the same until it sees the state.
        if (!spinner->waitCompleted(deadline, nullptr)) {
            QN_ERROR("A cancelled USB transfer did not complete");
        }
    }
}

void UsbDataTransfer::run_impl() {
    while (isRunning()) {
        retryParked();
        if (!isRunning()) {
            return;
        }
        if (m_inFlight.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(RETRY_PAUSE_MS));
            continue;
        }
        DataTransferSpinner* spinner = m_inFlight.front();
        if (!spinner->waitCompleted(std::chrono::steady_clock::time_point::max(), [this] { return isRunning(); })) {
            return;
        }
        if (!isRunning()) {
            return;
        }
        m_inFlight.pop_front();
        handleCompletion(*spinner);
    }
}

void UsbDataTransfer::handleCompletion(DataTransferSpinner& spinner) {
    const int status = spinner.status();
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: {
        m_consecutiveStalls = 0;
        RawBuffer data = spinner.takeBuffer();
        data->resize(static_cast<size_t>(spinner.actualLength()));
        RawBuffer fresh = createBuffer(0);
        fresh->resize(m_bufferSize);
        spinner.fill(m_endpoint, std::move(fresh), m_baseTimeout);
        // Resubmit before handing on, so the ring stays full while the consumer runs.
        submitOrPark(spinner);
        transferData(std::move(data));
        break;
    }
    case LIBUSB_TRANSFER_TIMED_OUT:
        // Nothing came: back to the end of the ring, unchanged. The next transfer in the ring is
        // the one the device fills next.
        m_consecutiveStalls = 0;
        submitOrPark(spinner);
        break;
    case LIBUSB_TRANSFER_STALL: {
        // libusb counts what arrived before the halt: those bytes come before everything that
        // the next transfers of the ring carry, so they go on first.
        const bool carriedData = spinner.actualLength() > 0;
        if (carriedData) {
            m_consecutiveStalls = 0; // data came: the endpoint is not stuck
            RawBuffer data = spinner.takeBuffer();
            data->resize(static_cast<size_t>(spinner.actualLength()));
            transferData(std::move(data));
        }
        if (++m_consecutiveStalls > STALLS_PER_TRANSFER_LIMIT * m_numTransfers) {
            QN_ERROR("Data endpoint 0x%02X keeps stalling, data transfer ended", m_endpoint);
            setState(STATE_STOPPED);
            return;
        }
        QN_WARN("Data endpoint 0x%02X stalled, clearing the halt", m_endpoint);
        int r = clearHalt();
        if (r == LIBUSB_ERROR_NO_DEVICE) {
            endWithLostDevice();
            return;
        }
        if (r != LIBUSB_SUCCESS) {
            QN_ERROR("Clear halt failed: %s", libusb_error_name(r));
        }
        if (carriedData) {
            RawBuffer fresh = createBuffer(0);
            fresh->resize(m_bufferSize);
            spinner.fill(m_endpoint, std::move(fresh), m_baseTimeout);
        }
        submitOrPark(spinner);
        break;
    }
    case LIBUSB_TRANSFER_NO_DEVICE:
        endWithLostDevice();
        return;
    default:
        QN_ERROR("Undefined status: %d", status);
        setState(STATE_STOPPED);
        return;
    }
}

bool UsbDataTransfer::submitOrPark(DataTransferSpinner& spinner) {
    int r;
    {
        std::lock_guard<std::mutex> lock(m_submitLock);
        if (m_stopping) {
            return false;
        }
        r = spinner.submit();
    }
    if (r == LIBUSB_SUCCESS) {
        if (m_submitFailing) {
            QN_INFO("USB transfers are submitted again");
            m_submitFailing = false;
        }
        m_inFlight.push_back(&spinner);
        return true;
    }
    // Retried every few milliseconds while it lasts (usbfs memory used up, say): logged once.
    if (!m_submitFailing || r == LIBUSB_ERROR_NO_DEVICE) {
        QN_ERROR("Submit transfer error: %s", libusb_error_name(r));
    }
    m_submitFailing = true;
    m_parked.push_back(&spinner);
    if (r == LIBUSB_ERROR_NO_DEVICE) {
        endWithLostDevice();
    }
    return false;
}

void UsbDataTransfer::retryParked() {
    // Parked transfers hold fresh buffers, so the order they go back in does not matter:
    // m_inFlight keeps the real submission order.
    while (!m_parked.empty() && isRunning()) {
        DataTransferSpinner* spinner = m_parked.front();
        m_parked.pop_front();
        if (!submitOrPark(*spinner)) {
            break;
        }
    }
}

void UsbDataTransfer::endWithLostDevice() {
    QN_ERROR("USB device lost, data transfer ended");
    setState(STATE_STOPPED);
}

int UsbDataTransfer::clearHalt() { return m_interface->clearHalt(m_endpoint); }

void UsbDataTransfer::flush() { m_interface->flushEndpointBuffer(m_endpoint); }

} // namespace quelnor
