#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/CtrlFrame.h"
#include "QuelnorHal/interface/Interface.h"

struct libusb_transfer;
struct libusb_context;
struct timeval;

namespace quelnor {

class UsbHandle;

// A USB camera. Registers, serial number and firmware data travel as control frames on the vendor
// interface's bulk endpoints (one exchange at a time, under the control lock); the board registers
// and the calibration store of the fusion camera are vendor requests on endpoint 0 (no lock).
// Created only by the discovery calls below, over an opened device.
//
// Failures: a frame exchange that fails makes the register operations and the firmware queries throw
// std::runtime_error ("Error in control transfer"), except tryReadRegister and tryWriteRegister,
// which answer false; answers that reach the host but do not fit the request throw the texts listed
// with each operation. Vendor requests never throw: they log and return VENDOR_REQUEST_FAILED.
//
// Thread safety: every operation may be called from any thread.
class UsbInterface : public Interface {
public:
    using TransferCallback = void (*)(libusb_transfer*);

    // Frame properties (write forms have bit 30 set).
    static constexpr uint32_t PROPERTY_READ_REGISTERS = 0x00010102;
    static constexpr uint32_t PROPERTY_WRITE_REGISTER = 0x40010102;
    static constexpr uint32_t PROPERTY_SERIAL_NUMBER = 114;
    static constexpr uint32_t PROPERTY_FIRMWARE_VERSION = 121;
    static constexpr uint32_t PROPERTY_BUILD_DATE = 122;
    static constexpr uint32_t PROPERTY_DEVICE_COUNT = 0x00010000;
    static constexpr uint32_t DEVICE_INDEX = 0;

    static constexpr size_t CONTROL_ANSWER_BUFFER = 1024;
    static constexpr unsigned int CONTROL_WRITE_TIMEOUT_MS = 1000;
    static constexpr unsigned int CONTROL_READ_TIMEOUT_MS = 10000;
    // The first exchange of an interface, and one after an exchange lost its answer, first drains
    // what waits on the answer endpoint.
    static constexpr unsigned int STALE_ANSWER_TIMEOUT_MS = 50;
    static constexpr int MAX_STALE_ANSWERS = 16;

    // Vendor requests on endpoint 0.
    static constexpr uint8_t REQUEST_TYPE_VENDOR_IN = 0xC0;
    static constexpr uint8_t REQUEST_TYPE_VENDOR_OUT = 0x40;
    static constexpr uint8_t REQUEST_READ_REGISTER = 0xA0;
    static constexpr uint8_t REQUEST_WRITE_REGISTER = 0xA1;
    static constexpr uint8_t REQUEST_READ_CALIBRATION = 0xA2;
    static constexpr uint8_t REQUEST_WRITE_CALIBRATION = 0xA3;
    static constexpr unsigned int VENDOR_REQUEST_TIMEOUT_MS = 1000;
    static constexpr uint32_t VENDOR_REQUEST_FAILED = 0xFFFFFFFF;
    static constexpr size_t CALIBRATION_READ_SIZE = 4096;
    // The camera gives back at most 4096 bytes, and Linux's usbfs takes no more per control request
    // (the request's own length field would allow 65535).
    static constexpr size_t MAX_CALIBRATION_FILE_SIZE = CALIBRATION_READ_SIZE;

    static constexpr int FLUSH_READ_SIZE = 16384;
    static constexpr unsigned int FLUSH_TIMEOUT_MS = 100;
    static constexpr int32_t FLUSH_LIMIT_BYTES = 3840 * 2160 * 3 / 2;
    // Reads a flush makes at most, zero-length ones included: as many as full reads of
    // FLUSH_LIMIT_BYTES take, so a camera sending empty packets cannot keep it going.
    static constexpr int FLUSH_MAX_READS = (FLUSH_LIMIT_BYTES + FLUSH_READ_SIZE - 1) / FLUSH_READ_SIZE;
    // How long a flush reads at most; the read under way when it passes ends it, within FLUSH_TIMEOUT_MS more.
    static constexpr unsigned int FLUSH_TIME_LIMIT_MS = 1000;

    static constexpr uint8_t INTERFACE_SUBCLASS = 0x19;
    static constexpr const char* SERIAL_PREFIX = "QNP";

    ~UsbInterface() override;
    UsbInterface(const UsbInterface&) = delete;
    UsbInterface& operator=(const UsbInterface&) = delete;

    // ---- Interface ----
    // True while the device answers a one-byte device-descriptor request (one control request).
    bool isConnected() const override;
    // Selects and claims the vendor interface (the argument is not read); throws std::runtime_error.
    void initByCamera(const InterfaceInitInfo& info) override;
    // Frame 0x00010102 [0, address, count]. Throws "device mismatch", "address mismatch",
    // "Not enough data in answer" or "Error in control transfer".
    std::vector<uint32_t> readRegister(uint32_t address, int count) override;
    // Frame 0x00010102 [0, address, 1]. Throws "address mismatch", "Not enough data in answer" or
    // "Error in control transfer".
    uint32_t readRegister(uint32_t address) override;
    // Frame 0x40010102 [0, address, value]. Throws "address mismatch" or "Error in control transfer".
    void writeRegister(uint32_t address, uint32_t value) override;
    // Like readRegister(address), but a failed exchange gives false and value 0 instead of an exception.
    bool tryReadRegister(uint32_t address, uint32_t& value) override;
    // Like writeRegister, but a failed exchange (the camera refuses the write, a transfer stalls or
    // times out) gives false instead of an exception; an answer for another address still throws
    // "address mismatch". Any thread; one frame exchange under the control lock, so up to
    // CONTROL_WRITE_TIMEOUT_MS + CONTROL_READ_TIMEOUT_MS when the camera stays silent.
    bool tryWriteRegister(uint32_t address, uint32_t value) override;
    // Vendor requests 0xA0 (read) and 0xA1 (write) with the low 16 bits of the address: 0 on
    // success; VENDOR_REQUEST_FAILED on failure, with the output set to 0.
    uint32_t readRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) override;
    uint32_t readRegisterWithControlTransfer(uint32_t address, uint32_t& value) override;
    uint32_t writeRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) override;
    uint32_t writeRegisterWithControlTransfer(uint32_t address, uint32_t value) override;
    // Sends the whole file as one vendor request 0xA3; false when it cannot be read, is not a regular
    // file, is larger than MAX_CALIBRATION_FILE_SIZE (known from its size before reading; never more
    // than one byte beyond the limit is read), or the transfer fails.
    bool writeCalibrationFile(std::string path) override;
    // Vendor request 0xA2 for up to 4096 bytes; true when any came back.
    bool readCalibrationData(std::vector<uint8_t>& data) override;
    // Frames 121, 122 and 0x00010000: word 0 of the answer. Throw like the register reads.
    uint32_t getFirmwareVersion() override;
    uint32_t getBuildDate() override;
    uint32_t getDeviceCount() override;

    // One control exchange: the frame goes out on the command endpoint and, on success, holds the
    // answer. False (logged) when a transfer fails or the answer does not fit the request.
    bool transferFrame(CtrlFrame& frame);

    // ---- helpers of the USB data transfer ----
    uint8_t getEpCommAddress() const;  // the data endpoint
    uint8_t getEpCommAddress2() const; // the second data endpoint, 0 when the camera has none
    // A libusb transfer without isochronous packets, or null (logged).
    static libusb_transfer* createAsyncBulkTransfer();
    // Fills a bulk transfer on this device (store the endpoint in the transfer first). libusb never
    // frees the buffer or the transfer.
    void fillDataBulkTransfer(libusb_transfer* transfer, uint8_t* buffer, int length, TransferCallback callback,
                              void* userData, uint32_t timeoutMs);
    int submitTransfer(libusb_transfer* transfer);
    void handleSubmittedTransferTimeout(timeval* timeout);
    int clearHalt(uint8_t endpoint);
    libusb_context* ctx() const;
    // Reads and drops whatever the endpoint holds, until a read times out or fails, or a bound is
    // reached (FLUSH_LIMIT_BYTES, FLUSH_MAX_READS, FLUSH_TIME_LIMIT_MS; logged as a warning).
    // Blocks the caller: at most FLUSH_TIME_LIMIT_MS + FLUSH_TIMEOUT_MS.
    void flushEndpointBuffer(uint8_t endpoint);

    // ---- discovery (each call makes its own libusb context; throws "libusb_init failed") ----
    // Event cameras with these ids that are not in use, with the serial they answer to frame 114.
    static std::vector<CameraDescription> findUsbDvsCamera(uint16_t vendorId, uint16_t productId);
    // Fusion cameras with these ids that are not in use, with their serial-number string descriptor
    // (empty when it cannot be read: such a camera is still listed).
    static std::vector<CameraDescription> findUsbFusionCamera(uint16_t vendorId, uint16_t productId);
    // The interface of the described camera, or empty when none is attached (for a fusion camera
    // an empty serial takes the first free one whose serial cannot be read). Throws
    // std::runtime_error "Failed to get USB device list".
    static std::shared_ptr<UsbInterface> createUsbInterface(CameraDescription description);
    static std::shared_ptr<UsbInterface> createUsbFusionInterface(CameraDescription description);
    // The serial an event camera answers to frame 114 (claims its vendor interface): the "QNP" text
    // or the 64-bit number in lowercase hex (at least 8 digits); empty when the exchange fails.
    // Throws std::runtime_error when the vendor interface cannot be claimed and std::range_error for
    // a numeric answer shorter than 8 bytes.
    static std::string get_serial(std::shared_ptr<UsbHandle> handle, uint16_t vendorId, uint16_t productId);

private:
    explicit UsbInterface(std::shared_ptr<UsbHandle> handle);

    // The camera is in use when its vendor interface (interface 0 when it has none) cannot be claimed.
    static bool isBusy(const std::shared_ptr<UsbHandle>& handle);
    static std::shared_ptr<UsbInterface> createInterface(const CameraDescription& description, bool fusion);

    // transferFrame, with a failure to take the lock reported as "Error in control transfer".
    bool exchange(CtrlFrame& frame);
    bool exchangeSingleRead(uint32_t address, uint32_t& value);
    // False when the exchange failed; throws "address mismatch" for an answer about another register.
    bool exchangeWrite(uint32_t address, uint32_t value);
    uint32_t readAnswerWord(uint32_t property);
    // The content of a regular file of at most MAX_CALIBRATION_FILE_SIZE bytes; false (logged) otherwise.
    static bool readCalibrationFile(const std::string& path, std::vector<uint8_t>& content);
    void drainStaleAnswers();

    std::mutex m_controlLock;
    std::shared_ptr<UsbHandle> m_handle;
    // The firmware answers each command exactly once, so whatever waits on the answer endpoint before
    // this interface's first command is not ours: left by an earlier user of the device that gave up
    // waiting (a time-out, a killed program). A new interface therefore drains first, as after a lost
    // answer. Draining sends nothing to the camera; with nothing queued it costs one
    // STALE_ANSWER_TIMEOUT_MS read. A retry after a mismatch would not do: a stale answer of the
    // same property (a register read, a serial query) passes every check.
    bool m_answerMayBePending = true; // guarded by m_controlLock
};

} // namespace quelnor
