#include "QuelnorHal/interface/UsbHandle.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

constexpr uint8_t REQUEST_TYPE_STANDARD_IN = 0x80;
constexpr uint8_t REQUEST_GET_DESCRIPTOR = 6;
constexpr uint16_t DEVICE_DESCRIPTOR_VALUE = 0x0100;
constexpr uint8_t REQUEST_TYPE_VENDOR_IN = 0xC0;
constexpr uint8_t ENDPOINT_DIRECTION_IN = 0x80;
constexpr uint16_t VENDOR_READ16_LENGTH = 4;
constexpr uint16_t VENDOR_READ32_LENGTH = 8;
constexpr uint16_t VENDOR_READ16_FAILED = 0xFFFF;
constexpr uint32_t VENDOR_READ32_FAILED = 0xFFFFFFFF;

bool isBulk(const libusb_endpoint_descriptor& endpoint, bool in) {
    return endpoint.bmAttributes == UsbHandle::ENDPOINT_ATTRIBUTES_BULK &&
           ((endpoint.bEndpointAddress & ENDPOINT_DIRECTION_IN) != 0) == in;
}

} // namespace

UsbHandle::UsbHandle(std::shared_ptr<LibUsbContext> context, libusb_device* device,
                     const libusb_device_descriptor& descriptor)
    : m_context(std::move(context)), m_descriptor(descriptor), m_device(device) {
    if (m_device) {
        // The device list it came from may be freed before this handle is.
        libusb_ref_device(m_device);
    }
    int r = m_device ? libusb_open(m_device, &m_deviceHandle) : LIBUSB_ERROR_NO_DEVICE;
    if (r != LIBUSB_SUCCESS) {
        m_deviceHandle = nullptr;
        QN_ERROR("Error opening device. Error code: %s.", libusb_error_name(r));
        return;
    }
    r = libusb_get_config_descriptor(m_device, 0, &m_config);
    if (r != LIBUSB_SUCCESS) {
        m_config = nullptr;
        QN_ERROR("Error getting config descriptor. Error code: %d.", r);
        return;
    }
    if (checkConnectionStatus() < 0) {
        QN_INFO("Check connection status failed.");
    }
}

UsbHandle::~UsbHandle() {
    if (m_deviceHandle) {
        std::set<int> claimed;
        {
            std::lock_guard<std::mutex> lock(m_claimLock);
            claimed.swap(m_claimedInterfaces);
        }
        for (int number : claimed) {
            int r = libusb_release_interface(m_deviceHandle, number);
            if (r != LIBUSB_SUCCESS) {
                QN_DEBUG("libusb_release_interface(%d) failed: %s", number, libusb_error_name(r));
            }
        }
        libusb_close(m_deviceHandle);
        m_deviceHandle = nullptr;
    }
    if (m_config) {
        libusb_free_config_descriptor(m_config);
        m_config = nullptr;
    }
    if (m_device) {
        libusb_unref_device(m_device);
    }
}

bool UsbHandle::isOpen() const { return m_deviceHandle != nullptr; }

int UsbHandle::checkConnectionStatus() {
    if (!m_deviceHandle) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    uint8_t firstByte = 0;
    return libusb_control_transfer(m_deviceHandle, REQUEST_TYPE_STANDARD_IN, REQUEST_GET_DESCRIPTOR,
                                   DEVICE_DESCRIPTOR_VALUE, 0, &firstByte, 1, PROBE_TIMEOUT_MS);
}

std::optional<UsbVendorInterface> UsbHandle::findVendorInterface() const {
    if (!m_config) {
        return std::nullopt;
    }
    std::optional<UsbVendorInterface> found;
    for (int i = 0; i < m_config->bNumInterfaces; ++i) {
        const libusb_interface& itf = m_config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = itf.altsetting[a];
            // The endpoint count is checked before any endpoint is looked at.
            if (setting.bInterfaceClass != VENDOR_INTERFACE_CLASS ||
                setting.bInterfaceSubClass != VENDOR_INTERFACE_SUBCLASS ||
                setting.bNumEndpoints < VENDOR_INTERFACE_ENDPOINTS || !setting.endpoint) {
                continue;
            }
            const libusb_endpoint_descriptor* ep = setting.endpoint;
            if (!isBulk(ep[0], true) || !isBulk(ep[1], false) || !isBulk(ep[2], true)) {
                continue;
            }
            UsbVendorInterface v;
            v.number = setting.bInterfaceNumber;
            v.answerEndpoint = ep[0].bEndpointAddress;
            v.commandEndpoint = ep[1].bEndpointAddress;
            v.dataEndpoint = ep[2].bEndpointAddress;
            // The fourth endpoint of this very setting, never one left over from an earlier match.
            v.dataEndpoint2 = setting.bNumEndpoints > VENDOR_INTERFACE_ENDPOINTS ? ep[3].bEndpointAddress : 0;
            found = v; // a later matching interface wins
            break;
        }
    }
    return found;
}

void UsbHandle::initInterface() {
    if (!m_config) {
        throw std::runtime_error("USB config descriptor is unavailable");
    }
    std::optional<UsbVendorInterface> selected = findVendorInterface();
    if (!selected) {
        throw std::runtime_error("No matching USB interface found");
    }
    m_vendorInterface = *selected;
    const int number = m_vendorInterface.number;
    if (kernelDriverActive(number) == 1) {
        QN_TRACE("Kernel Driver Active on interface %d of %d", number, m_descriptor.idProduct);
        if (detachKernelDriver(number) == LIBUSB_SUCCESS) {
            QN_TRACE("Kernel Driver Detached from interface %d of %d", number, m_descriptor.idProduct);
        }
    }
    if (claimInterface(number) < 0) {
        throw std::runtime_error("Error claiming interface");
    }
    setInterfaceAltSetting(number, 0);
}

const UsbVendorInterface& UsbHandle::vendorInterface() const { return m_vendorInterface; }

int UsbHandle::claimInterface(int number) {
    if (!m_deviceHandle) {
        QN_ERROR("USB not open.");
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_claimLock);
    if (m_claimedInterfaces.count(number)) {
        return LIBUSB_SUCCESS;
    }
    int r = libusb_claim_interface(m_deviceHandle, number);
    if (r == LIBUSB_SUCCESS) {
        m_claimedInterfaces.insert(number);
    }
    return r;
}

int UsbHandle::releaseInterface(int number) {
    if (!m_deviceHandle) {
        QN_ERROR("USB not open.");
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_claimLock);
    if (!m_claimedInterfaces.count(number)) {
        return LIBUSB_SUCCESS;
    }
    int r = libusb_release_interface(m_deviceHandle, number);
    if (r == LIBUSB_SUCCESS) {
        m_claimedInterfaces.erase(number);
    }
    return r;
}

int UsbHandle::kernelDriverActive(int number) {
    if (!m_deviceHandle) {
        QN_ERROR("USB not open.");
        return -1;
    }
    return libusb_kernel_driver_active(m_deviceHandle, number);
}

int UsbHandle::detachKernelDriver(int number) {
    if (!m_deviceHandle) {
        QN_ERROR("USB not open.");
        return -1;
    }
    return libusb_detach_kernel_driver(m_deviceHandle, number);
}

int UsbHandle::setInterfaceAltSetting(int number, int setting) {
    if (!m_deviceHandle) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return libusb_set_interface_alt_setting(m_deviceHandle, number, setting);
}

std::string UsbHandle::getStringDescriptor(uint8_t index) {
    if (!m_deviceHandle) {
        QN_ERROR("ERR no dev_handle");
        return {};
    }
    unsigned char text[STRING_DESCRIPTOR_BUFFER] = {};
    int r = libusb_get_string_descriptor_ascii(m_deviceHandle, index, text, sizeof(text));
    if (r < 0) {
        QN_ERROR("Error in getStringDescriptor; %s", libusb_error_name(r));
        return {};
    }
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(r));
}

libusb_device_descriptor UsbHandle::getDescriptor() const { return m_descriptor; }

libusb_context* UsbHandle::ctx() const { return m_context ? m_context->get() : nullptr; }

int UsbHandle::controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                               uint16_t length, uint32_t timeoutMs) {
    if (!m_deviceHandle) {
        QN_ERROR("ERR no dev_handle");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    int r = libusb_control_transfer(m_deviceHandle, requestType, request, value, index, data, length, timeoutMs);
    if (r < 0) {
        QN_ERROR("Error in control transfer: %s", libusb_error_name(r));
    }
    return r;
}

int UsbHandle::bulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred, uint32_t timeoutMs) {
    if (!m_deviceHandle) {
        if (transferred) {
            *transferred = 0;
        }
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return libusb_bulk_transfer(m_deviceHandle, endpoint, data, length, transferred, timeoutMs);
}

int UsbHandle::clearHalt(uint8_t endpoint) {
    if (!m_deviceHandle) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return libusb_clear_halt(m_deviceHandle, endpoint);
}

void UsbHandle::fillBulkTransfer(libusb_transfer* transfer, uint8_t* buffer, int length,
                                 libusb_transfer_cb_fn callback, void* userData, uint32_t timeoutMs) {
    libusb_fill_bulk_transfer(transfer, m_deviceHandle, transfer->endpoint, buffer, length, callback, userData,
                              timeoutMs);
}

int UsbHandle::submitTransfer(libusb_transfer* transfer) {
    if (!m_deviceHandle) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return libusb_submit_transfer(transfer);
}

void UsbHandle::handleEventsTimeout(timeval* timeout) { libusb_handle_events_timeout(ctx(), timeout); }

uint16_t UsbHandle::vendorRead16(uint8_t request, uint16_t value) {
    if (!m_deviceHandle) {
        return VENDOR_READ16_FAILED;
    }
    uint8_t answer[VENDOR_READ16_LENGTH] = {};
    int r = controlTransfer(REQUEST_TYPE_VENDOR_IN, request, value, 0, answer, sizeof(answer),
                            VENDOR_REQUEST_TIMEOUT_MS);
    if (r < static_cast<int>(sizeof(answer))) {
        QN_ERROR("Error in control transfer");
        return VENDOR_READ16_FAILED;
    }
    return static_cast<uint16_t>(answer[2] | (answer[3] << 8));
}

uint32_t UsbHandle::vendorRead32(uint8_t request, uint32_t value, bool bigEndian) {
    if (!m_deviceHandle) {
        QN_ERROR("ERR no dev_handle");
        return VENDOR_READ32_FAILED;
    }
    try {
        uint8_t answer[VENDOR_READ32_LENGTH] = {};
        int r = controlTransfer(REQUEST_TYPE_VENDOR_IN, request, static_cast<uint16_t>(value & 0xFFFF),
                                static_cast<uint16_t>(value >> 16), answer, sizeof(answer),
                                VENDOR_REQUEST_TIMEOUT_MS);
        // A short answer would leave the bytes looked at unset.
        const int needed = bigEndian ? 8 : 4;
        if (r < needed) {
            if (r >= 0) {
                QN_ERROR("Error in control transfer");
            }
            return VENDOR_READ32_FAILED;
        }
        if (bigEndian) {
            return (static_cast<uint32_t>(answer[4]) << 24) | (static_cast<uint32_t>(answer[5]) << 16) |
                   (static_cast<uint32_t>(answer[6]) << 8) | answer[7];
        }
        return answer[0] | (static_cast<uint32_t>(answer[1]) << 8) | (static_cast<uint32_t>(answer[2]) << 16) |
               (static_cast<uint32_t>(answer[3]) << 24);
    } catch (const std::exception& e) {
        QN_ERROR("%s", e.what());
        return VENDOR_READ32_FAILED;
    }
}

} // namespace quelnor
