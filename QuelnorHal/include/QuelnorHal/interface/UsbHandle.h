#pragma once

// An opened USB camera. Used by UsbInterface and the USB data transfer; not part of the umbrella
// header because it needs libusb's own header (libusb-1.0 development files).

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "QuelnorHal/interface/LibUsbContext.h"

namespace quelnor {

// The camera's vendor interface and its endpoints.
struct UsbVendorInterface {
    uint8_t number = 0;
    uint8_t answerEndpoint = 0;  // bulk IN: control answers
    uint8_t commandEndpoint = 0; // bulk OUT: control frames
    uint8_t dataEndpoint = 0;    // bulk IN: the event stream
    uint8_t dataEndpoint2 = 0;   // fourth endpoint (frame-sensor stream), 0 when the setting has none
};

// One opened USB device: the libusb handle, its configuration, the interfaces it claimed and the
// selected vendor interface. Everything runs in the caller's thread and nothing here serialises
// transfers: UsbInterface holds the lock for control exchanges.
//
// A handle whose device could not be opened stays usable as an object: the operations that need the
// device handle log and fail. Unplugging makes every libusb call fail; checkConnectionStatus then
// answers a negative error.
class UsbHandle {
public:
    static constexpr uint8_t VENDOR_INTERFACE_CLASS = 0xFF;
    static constexpr uint8_t VENDOR_INTERFACE_SUBCLASS = 0x19;
    static constexpr size_t VENDOR_INTERFACE_ENDPOINTS = 3; // answer, command, data
    static constexpr uint8_t ENDPOINT_ATTRIBUTES_BULK = 2;
    static constexpr unsigned int PROBE_TIMEOUT_MS = 1000;
    static constexpr unsigned int VENDOR_REQUEST_TIMEOUT_MS = 1000;
    static constexpr size_t STRING_DESCRIPTOR_BUFFER = 256;

    // Opens the device; never throws. The handle keeps a reference on the device and a share of the context.
    UsbHandle(std::shared_ptr<LibUsbContext> context, libusb_device* device, const libusb_device_descriptor& descriptor);
    // Releases every claimed interface, closes the device. A detached kernel driver is not re-attached.
    ~UsbHandle();
    UsbHandle(const UsbHandle&) = delete;
    UsbHandle& operator=(const UsbHandle&) = delete;

    bool isOpen() const;

    // GET_DESCRIPTOR for one byte of the device descriptor: bytes transferred or a negative libusb error.
    int checkConnectionStatus();

    // The last interface whose first matching setting is the vendor interface (class 0xFF, subclass
    // 0x19, endpoints bulk IN, bulk OUT, bulk IN), without claiming it; empty when none matches.
    std::optional<UsbVendorInterface> findVendorInterface() const;
    // Selects the vendor interface, detaches a kernel driver from it, claims it and sets setting 0.
    // Throws std::runtime_error when there is no configuration, no vendor interface or the claim fails.
    void initInterface();
    const UsbVendorInterface& vendorInterface() const;

    int claimInterface(int number);
    int releaseInterface(int number);
    int kernelDriverActive(int number);
    int detachKernelDriver(int number);
    int setInterfaceAltSetting(int number, int setting);

    // ASCII text of a string descriptor; empty (and logged) on failure.
    std::string getStringDescriptor(uint8_t index);
    libusb_device_descriptor getDescriptor() const;
    libusb_context* ctx() const;

    // ---- transfer primitives ----
    int controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                        uint16_t length, uint32_t timeoutMs);
    int bulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred, uint32_t timeoutMs);
    int clearHalt(uint8_t endpoint);
    // The caller stores the endpoint in the transfer first.
    void fillBulkTransfer(libusb_transfer* transfer, uint8_t* buffer, int length, libusb_transfer_cb_fn callback,
                          void* userData, uint32_t timeoutMs);
    int submitTransfer(libusb_transfer* transfer);
    void handleEventsTimeout(timeval* timeout);
    // Vendor IN request of 4 bytes: bytes 2 and 3 as a little-endian value; 0xFFFF on failure.
    uint16_t vendorRead16(uint8_t request, uint16_t value);
    // Vendor IN request of 8 bytes (value's low half as wValue, high half as wIndex): bytes 0..3
    // little-endian, or with bigEndian bytes 4..7 big-endian; 0xFFFFFFFF on failure.
    uint32_t vendorRead32(uint8_t request, uint32_t value, bool bigEndian);

private:
    std::shared_ptr<LibUsbContext> m_context;
    libusb_device_descriptor m_descriptor;
    libusb_device_handle* m_deviceHandle = nullptr;
    libusb_config_descriptor* m_config = nullptr;
    libusb_device* m_device = nullptr;
    std::mutex m_claimLock;
    std::set<int> m_claimedInterfaces;
    UsbVendorInterface m_vendorInterface;
};

} // namespace quelnor
