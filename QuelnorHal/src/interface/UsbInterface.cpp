#include "QuelnorHal/interface/UsbInterface.h"

#include <libusb.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/interface/UsbHandle.h"
#include "interface/LittleEndian.h"

namespace quelnor {

namespace {

constexpr uint32_t SINGLE_READ_MIN_PAYLOAD = 12; // [device, address, value]
constexpr int TRANSFER_FLAGS_FREE_BUFFER_AND_TRANSFER = LIBUSB_TRANSFER_FREE_BUFFER | LIBUSB_TRANSFER_FREE_TRANSFER;

} // namespace

UsbInterface::UsbInterface(std::shared_ptr<UsbHandle> handle) : Interface(Interface::USB), m_handle(std::move(handle)) {}

UsbInterface::~UsbInterface() = default;

bool UsbInterface::isConnected() const { return m_handle->checkConnectionStatus() >= 0; }

void UsbInterface::initByCamera(const InterfaceInitInfo&) { m_handle->initInterface(); }

// ---------------------------------------------------------------- control frames

bool UsbInterface::transferFrame(CtrlFrame& frame) {
    std::vector<uint8_t> answer(CONTROL_ANSWER_BUFFER);
    std::lock_guard<std::mutex> lock(m_controlLock);
    if (m_answerMayBePending) {
        drainStaleAnswers();
    }
    const UsbVendorInterface& endpoints = m_handle->vendorInterface();
    if (endpoints.commandEndpoint == 0 || endpoints.answerEndpoint == 0) {
        // initByCamera has not selected the vendor interface.
        QN_ERROR("USB control write failed: %s", libusb_error_name(LIBUSB_ERROR_NOT_FOUND));
        return false;
    }
    const int frameSize = static_cast<int>(frame.frame_size());
    int transferred = 0;
    int r = m_handle->bulkTransfer(endpoints.commandEndpoint, frame.frame(), frameSize, &transferred,
                                   CONTROL_WRITE_TIMEOUT_MS);
    if (r < 0 || transferred < frameSize) {
        QN_ERROR("USB control write failed: %s", libusb_error_name(r));
        // The camera may have taken the command even so.
        m_answerMayBePending = r != LIBUSB_ERROR_NO_DEVICE;
        return false;
    }
    transferred = 0;
    r = m_handle->bulkTransfer(endpoints.answerEndpoint, answer.data(), static_cast<int>(answer.size()),
                               &transferred, CONTROL_READ_TIMEOUT_MS);
    if (r < 0 || transferred < static_cast<int>(CtrlFrame::HEADER_SIZE)) {
        QN_ERROR("USB control read failed: %s", libusb_error_name(r));
        // An answer that comes after the time-out must not be taken for the next request's.
        m_answerMayBePending = r != LIBUSB_ERROR_NO_DEVICE;
        return false;
    }
    answer.resize(static_cast<size_t>(transferred));
    const bool accepted = frame.swap_req_and_answer(answer);
    // An answer that does not fit may be a late one; the right answer may still be on its way.
    m_answerMayBePending = !accepted;
    return accepted;
}

void UsbInterface::drainStaleAnswers() {
    const uint8_t endpoint = m_handle->vendorInterface().answerEndpoint;
    std::vector<uint8_t> stale(CONTROL_ANSWER_BUFFER);
    for (int i = 0; i < MAX_STALE_ANSWERS; ++i) {
        int transferred = 0;
        int r = m_handle->bulkTransfer(endpoint, stale.data(), static_cast<int>(stale.size()), &transferred,
                                       STALE_ANSWER_TIMEOUT_MS);
        if (transferred > 0) {
            QN_WARN("Dropped a late control answer of %d bytes", transferred);
        }
        if (r != LIBUSB_SUCCESS) {
            break;
        }
    }
    m_answerMayBePending = false;
}

bool UsbInterface::exchange(CtrlFrame& frame) {
    try {
        return transferFrame(frame);
    } catch (const std::system_error&) {
        throw std::runtime_error("Error in control transfer");
    }
}

std::vector<uint32_t> UsbInterface::readRegister(uint32_t address, int count) {
    if (count < 0) {
        QN_ERROR("readRegister: negative count %d", count);
        return {};
    }
    CtrlFrame frame(PROPERTY_READ_REGISTERS);
    frame.push_back32({DEVICE_INDEX, address, static_cast<uint32_t>(count)});
    if (!exchange(frame)) {
        throw std::runtime_error("Error in control transfer");
    }
    if (frame.get32(0) != DEVICE_INDEX) {
        throw std::runtime_error("device mismatch");
    }
    if (frame.get32(1) != address) {
        throw std::runtime_error("address mismatch");
    }
    if (frame.payload_size() < (static_cast<uint64_t>(count) + 2) * 4) {
        throw std::runtime_error("Not enough data in answer");
    }
    std::vector<uint32_t> values(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        values[static_cast<size_t>(i)] = frame.get32(static_cast<uint64_t>(i) + 2);
    }
    return values;
}

bool UsbInterface::exchangeSingleRead(uint32_t address, uint32_t& value) {
    CtrlFrame frame(PROPERTY_READ_REGISTERS);
    frame.push_back32({DEVICE_INDEX, address, 1});
    if (!exchange(frame)) {
        return false;
    }
    if (frame.get32(1) != address) {
        throw std::runtime_error("address mismatch");
    }
    if (frame.payload_size() < SINGLE_READ_MIN_PAYLOAD) {
        throw std::runtime_error("Not enough data in answer");
    }
    value = frame.get32(2);
    return true;
}

uint32_t UsbInterface::readRegister(uint32_t address) {
    uint32_t value = 0;
    if (!exchangeSingleRead(address, value)) {
        throw std::runtime_error("Error in control transfer");
    }
    return value;
}

bool UsbInterface::tryReadRegister(uint32_t address, uint32_t& value) {
    if (!exchangeSingleRead(address, value)) {
        value = 0;
        return false;
    }
    return true;
}

bool UsbInterface::exchangeWrite(uint32_t address, uint32_t value) {
    CtrlFrame frame(PROPERTY_WRITE_REGISTER);
    frame.push_back32({DEVICE_INDEX, address, value});
    if (!exchange(frame)) {
        return false;
    }
    if (frame.get32(1) != address) {
        throw std::runtime_error("address mismatch");
    }
    return true;
}

void UsbInterface::writeRegister(uint32_t address, uint32_t value) {
    if (!exchangeWrite(address, value)) {
        throw std::runtime_error("Error in control transfer");
    }
}

bool UsbInterface::tryWriteRegister(uint32_t address, uint32_t value) { return exchangeWrite(address, value); }

uint32_t UsbInterface::readAnswerWord(uint32_t property) {
    CtrlFrame frame(property);
    if (!exchange(frame)) {
        throw std::runtime_error("Error in control transfer");
    }
    return frame.get32(0);
}

uint32_t UsbInterface::getFirmwareVersion() { return readAnswerWord(PROPERTY_FIRMWARE_VERSION); }

uint32_t UsbInterface::getBuildDate() { return readAnswerWord(PROPERTY_BUILD_DATE); }

uint32_t UsbInterface::getDeviceCount() { return readAnswerWord(PROPERTY_DEVICE_COUNT); }

// ---------------------------------------------------------------- vendor requests

uint32_t UsbInterface::readRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) {
    if (!data && length > 0) {
        return VENDOR_REQUEST_FAILED;
    }
    int r = m_handle->controlTransfer(REQUEST_TYPE_VENDOR_IN, REQUEST_READ_REGISTER,
                                      static_cast<uint16_t>(address & 0xFFFF), 0, data, length,
                                      VENDOR_REQUEST_TIMEOUT_MS);
    if (r < static_cast<int>(length)) {
        if (r >= 0) {
            QN_ERROR("Short control transfer: %d of %u bytes", r, static_cast<unsigned>(length));
        }
        if (length > 0) {
            std::memset(data, 0, length);
        }
        return VENDOR_REQUEST_FAILED;
    }
    return 0;
}

uint32_t UsbInterface::readRegisterWithControlTransfer(uint32_t address, uint32_t& value) {
    uint8_t bytes[4] = {};
    uint32_t result = readRegisterWithControlTransfer(address, bytes, sizeof(bytes));
    value = result == 0 ? le::read32(bytes) : 0;
    return result;
}

uint32_t UsbInterface::writeRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) {
    if (!data && length > 0) {
        return VENDOR_REQUEST_FAILED;
    }
    int r = m_handle->controlTransfer(REQUEST_TYPE_VENDOR_OUT, REQUEST_WRITE_REGISTER,
                                      static_cast<uint16_t>(address & 0xFFFF), 0, data, length,
                                      VENDOR_REQUEST_TIMEOUT_MS);
    if (r < static_cast<int>(length)) {
        if (r >= 0) {
            QN_ERROR("Short control transfer: %d of %u bytes", r, static_cast<unsigned>(length));
        }
        return VENDOR_REQUEST_FAILED;
    }
    return 0;
}

uint32_t UsbInterface::writeRegisterWithControlTransfer(uint32_t address, uint32_t value) {
    uint8_t bytes[4];
    le::write32(bytes, value);
    return writeRegisterWithControlTransfer(address, bytes, sizeof(bytes));
}

bool UsbInterface::writeCalibrationFile(std::string path) {
    QN_INFO("Write calibration file: %s", path.c_str());
    std::vector<uint8_t> content;
    if (!readCalibrationFile(path, content)) {
        return false;
    }
    const uint16_t length = static_cast<uint16_t>(content.size());
    int r = m_handle->controlTransfer(REQUEST_TYPE_VENDOR_OUT, REQUEST_WRITE_CALIBRATION, 0, 0, content.data(), length,
                                      VENDOR_REQUEST_TIMEOUT_MS);
    if (r != static_cast<int>(length)) {
        if (r >= 0) {
            QN_ERROR("Short control transfer: %d of %u bytes", r, static_cast<unsigned>(length));
        }
        return false;
    }
    return true;
}

bool UsbInterface::readCalibrationFile(const std::string& path, std::vector<uint8_t>& content) {
    // Not blocking: a FIFO would otherwise wait here for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        QN_ERROR("Can't open file: %s", path.c_str());
        return false;
    }
    struct FileCloser {
        int fd;
        ~FileCloser() { ::close(fd); }
    } closer{fd};
    // Size and kind are known before anything is read: a huge file, a FIFO or a device is refused at once.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        QN_ERROR("Calibration file is not a regular file: %s", path.c_str());
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) > MAX_CALIBRATION_FILE_SIZE) {
        QN_ERROR("Calibration file too large: %s (%lld bytes, at most %zu)", path.c_str(),
                 static_cast<long long>(info.st_size), MAX_CALIBRATION_FILE_SIZE);
        return false;
    }
    // One byte more than allowed tells a file that grew since (or whose size the system does not
    // know, as in /proc) from one that fits.
    content.resize(MAX_CALIBRATION_FILE_SIZE + 1);
    size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t n = ::read(fd, content.data() + filled, content.size() - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            QN_ERROR("Can't read file: %s: %s", path.c_str(), std::strerror(errno));
            return false;
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<size_t>(n);
    }
    if (filled > MAX_CALIBRATION_FILE_SIZE) {
        QN_ERROR("Calibration file too large: %s (more than %zu bytes)", path.c_str(), MAX_CALIBRATION_FILE_SIZE);
        return false;
    }
    content.resize(filled);
    return true;
}

bool UsbInterface::readCalibrationData(std::vector<uint8_t>& data) {
    data.clear();
    std::vector<uint8_t> buffer(CALIBRATION_READ_SIZE);
    int r = m_handle->controlTransfer(REQUEST_TYPE_VENDOR_IN, REQUEST_READ_CALIBRATION, 0, 0, buffer.data(),
                                      static_cast<uint16_t>(buffer.size()), VENDOR_REQUEST_TIMEOUT_MS);
    if (r > 0) {
        data.assign(buffer.begin(), buffer.begin() + r);
    }
    return !data.empty();
}

// ---------------------------------------------------------------- data transfer helpers

uint8_t UsbInterface::getEpCommAddress() const { return m_handle->vendorInterface().dataEndpoint; }

uint8_t UsbInterface::getEpCommAddress2() const { return m_handle->vendorInterface().dataEndpoint2; }

libusb_transfer* UsbInterface::createAsyncBulkTransfer() {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer) {
        QN_ERROR("libusb_alloc_transfer Failed");
    }
    return transfer;
}

void UsbInterface::fillDataBulkTransfer(libusb_transfer* transfer, uint8_t* buffer, int length,
                                        TransferCallback callback, void* userData, uint32_t timeoutMs) {
    m_handle->fillBulkTransfer(transfer, buffer, length, callback, userData, timeoutMs);
    transfer->flags &= static_cast<uint8_t>(~TRANSFER_FLAGS_FREE_BUFFER_AND_TRANSFER);
}

int UsbInterface::submitTransfer(libusb_transfer* transfer) { return m_handle->submitTransfer(transfer); }

void UsbInterface::handleSubmittedTransferTimeout(timeval* timeout) { m_handle->handleEventsTimeout(timeout); }

int UsbInterface::clearHalt(uint8_t endpoint) { return m_handle->clearHalt(endpoint); }

libusb_context* UsbInterface::ctx() const { return m_handle->ctx(); }

void UsbInterface::flushEndpointBuffer(uint8_t endpoint) {
    QN_DEBUG("Data Transfer: Try to flush");
    std::vector<uint8_t> scratch(FLUSH_READ_SIZE);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FLUSH_TIME_LIMIT_MS);
    int32_t total = 0;
    int reads = 0;
    bool drained = false;
    while (total < FLUSH_LIMIT_BYTES && reads < FLUSH_MAX_READS && std::chrono::steady_clock::now() < deadline) {
        int transferred = 0;
        int r = m_handle->bulkTransfer(endpoint, scratch.data(), FLUSH_READ_SIZE, &transferred, FLUSH_TIMEOUT_MS);
        ++reads;
        total += transferred;
        if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_OVERFLOW) {
            drained = true;
            break;
        }
    }
    if (!drained) {
        // The camera is still sending; the stream starts with whatever comes next.
        QN_WARN("Flush of endpoint 0x%02X stopped after %d reads", endpoint, reads);
    }
    QN_INFO("Total of {%d} bytes flushed", total);
}

} // namespace quelnor
