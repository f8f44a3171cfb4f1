// Discovery of USB cameras and creation of their interfaces.
#include <libusb.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/interface/UsbHandle.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

namespace {

struct DeviceListDeleter {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*, DeviceListDeleter>;

// The device list of a context, or null with the count set to the libusb error.
DeviceList getDeviceList(libusb_context* context, ssize_t& count) {
    libusb_device** list = nullptr;
    count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return DeviceList();
    }
    return DeviceList(list);
}

uint8_t vendorInterfaceNumberOf(const UsbHandle& handle) {
    std::optional<UsbVendorInterface> vendor = handle.findVendorInterface();
    return vendor ? vendor->number : 0;
}

CameraDescription describe(UsbHandle& handle, const std::string& serial, uint16_t vendorId, uint16_t productId) {
    const libusb_device_descriptor descriptor = handle.getDescriptor();
    CameraDescription description;
    description.serialNumber = serial;
    description.productName = handle.getStringDescriptor(descriptor.iProduct);
    description.manufacturer = handle.getStringDescriptor(descriptor.iManufacturer);
    description.vendorId = vendorId;
    description.productId = productId;
    description.interfaceType = INTERFACE_USB;
    return description;
}

std::vector<CameraDescription> findCameras(uint16_t vendorId, uint16_t productId, bool fusion,
                                           const std::function<bool(const std::shared_ptr<UsbHandle>&)>& isBusy) {
    auto context = std::make_shared<LibUsbContext>();
    ssize_t count = 0;
    DeviceList list = getDeviceList(context->get(), count);
    if (!list) {
        QN_ERROR("Failed to get USB device list");
        return {};
    }
    std::vector<CameraDescription> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list.get()[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
            QN_ERROR("Failed to get USB device descriptor");
            continue;
        }
        if (descriptor.idVendor != vendorId || descriptor.idProduct != productId) {
            continue;
        }
        auto handle = std::make_shared<UsbHandle>(context, device, descriptor);
        if (isBusy(handle)) {
            continue;
        }
        std::string serial;
        if (fusion) {
            // One whose serial string cannot be read is still a camera to open: it is listed with an
            // empty serial, which its creation matches (the first such camera that is free).
            serial = handle->getStringDescriptor(descriptor.iSerialNumber);
        } else {
            try {
                serial = UsbInterface::get_serial(handle, vendorId, productId);
            } catch (const std::exception& e) {
                QN_INFO("Skip USB camera while reading serial number: %s", e.what());
                continue;
            }
            if (serial.empty()) {
                QN_INFO("Skip USB camera with empty serial number");
                continue;
            }
        }
        found.push_back(describe(*handle, serial, vendorId, productId));
    }
    return found;
}

} // namespace

bool UsbInterface::isBusy(const std::shared_ptr<UsbHandle>& handle) {
    // The claim that tells whether another handle uses the camera is the one on the interface the
    // cameras claim, the vendor interface.
    const int number = vendorInterfaceNumberOf(*handle);
    int r = handle->claimInterface(number);
    if (r == LIBUSB_SUCCESS) {
        handle->releaseInterface(number);
        return false;
    }
    QN_DEBUG("Camera interface is busy: %s", libusb_error_name(r));
    return true;
}

std::string UsbInterface::get_serial(std::shared_ptr<UsbHandle> handle, uint16_t vendorId, uint16_t productId) {
    // A temporary interface over the same handle; the vendor interface stays claimed by the handle.
    UsbInterface temporary(handle);
    InterfaceInitInfo info;
    info.vendorId = vendorId;
    info.productId = productId;
    info.interfaceSubClass = INTERFACE_SUBCLASS;
    temporary.initByCamera(info);

    CtrlFrame frame(PROPERTY_SERIAL_NUMBER);
    if (!temporary.transferFrame(frame)) {
        QN_ERROR("Get serial number failed.");
        return {};
    }
    const uint8_t* payload = frame.payload();
    const uint64_t size = frame.payload_size();
    const std::string prefix(SERIAL_PREFIX);
    if (size >= prefix.size() && std::string(reinterpret_cast<const char*>(payload), prefix.size()) == prefix) {
        std::string serial;
        for (uint64_t i = 0; i < size && std::isalnum(static_cast<unsigned char>(payload[i])) &&
                             payload[i] < 0x80;
             ++i) {
            serial.push_back(static_cast<char>(payload[i]));
        }
        return serial;
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%08" PRIx64, frame.get64(0));
    return text;
}

std::vector<CameraDescription> UsbInterface::findUsbDvsCamera(uint16_t vendorId, uint16_t productId) {
    return findCameras(vendorId, productId, false, &UsbInterface::isBusy);
}

std::vector<CameraDescription> UsbInterface::findUsbFusionCamera(uint16_t vendorId, uint16_t productId) {
    return findCameras(vendorId, productId, true, &UsbInterface::isBusy);
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbInterface(CameraDescription description) {
    return createInterface(description, false);
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbFusionInterface(CameraDescription description) {
    return createInterface(description, true);
}

std::shared_ptr<UsbInterface> UsbInterface::createInterface(const CameraDescription& description, bool fusion) {
    auto context = std::make_shared<LibUsbContext>();
    ssize_t count = 0;
    DeviceList list = getDeviceList(context->get(), count);
    if (!list) {
        throw std::runtime_error("Failed to get USB device list");
    }
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list.get()[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != description.vendorId || descriptor.idProduct != description.productId) {
            continue;
        }
        std::shared_ptr<UsbHandle> handle;
        try {
            handle = std::make_shared<UsbHandle>(context, device, descriptor);
        } catch (const std::exception&) {
            continue;
        }
        const int number = vendorInterfaceNumberOf(*handle);
        if (handle->kernelDriverActive(number) > 0) {
            handle->detachKernelDriver(number);
        }
        if (handle->claimInterface(number) < 0) {
            continue;
        }
        handle->releaseInterface(number);
        std::string serial;
        try {
            serial = fusion ? handle->getStringDescriptor(descriptor.iSerialNumber)
                            : get_serial(handle, description.vendorId, description.productId);
        } catch (const std::exception& e) {
            if (fusion) {
                QN_INFO("Skip USB fusion camera while reading serial number: %s", e.what());
            } else {
                QN_INFO("Skip USB camera while reading serial number: %s", e.what());
            }
            continue;
        }
        // An event camera's empty serial means its serial query failed: never a match.
        if ((fusion || !serial.empty()) && serial == description.serialNumber) {
            list.reset();
            return std::shared_ptr<UsbInterface>(new UsbInterface(handle));
        }
    }
    return nullptr;
}

} // namespace quelnor
