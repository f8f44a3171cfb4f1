#pragma once

// UmockdevUsbBus: attaches UsbCameraModels to an in-process umockdev testbed, so the SDK's real
// libusb code enumerates, opens and talks to them through emulated sysfs, udev and usbfs ioctls.
// The test binary must run under the preload library (LD_PRELOAD=libumockdev-preload.so.0).
//
//   UmockdevUsbBus bus;                       // one per test: a fresh testbed
//   auto cam = bus.plug(UsbCameraConfig::eventCamera(0x04B5, 0x0001, "QNP0042A7"));
//   auto found = quelnor::UsbInterface::findUsbDvsCamera(0x04B5, 0x0001);
//   bus.unplug(cam);                          // transfers fail with "no device", sysfs entry removed
//
// usbfs semantics kept: claims are per open file (another open of the device gets "busy"; the bus
// does not see files close, so a claim lasts until released), each file reaps only its own URBs, bulk IN URBs stay pending until the model has data (libusb's own
// time-outs cancel them), a URB cancelled with data keeps what it got.
//
// Thread safety: the ioctl handler runs on umockdev's thread; every member may be called from any
// thread. Destroy the bus after every libusb handle on its devices is closed.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usbcam/UsbCameraModel.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace quelnor::test::usbcam {

// One URB as the bus saw it.
struct UrbRecord {
    enum class Type { Control, BulkIn, BulkOut, Other };
    Type type = Type::Other;
    uint8_t endpoint = 0;
    int length = 0;
    std::chrono::steady_clock::time_point submitted;
    std::chrono::steady_clock::time_point ended; // meaningful once done
    bool done = false;
    bool discarded = false; // cancelled by the host (libusb's time-out or cancel)
    int status = 0;         // negative errno as usbfs reports it
    int actualLength = 0;
};

struct PlugOptions {
    // Without a device node the device is listed but cannot be opened (libusb_open fails).
    bool deviceNode = true;
};

class UmockdevUsbBus {
public:
    // Throws std::runtime_error when the process does not run under the umockdev preload.
    UmockdevUsbBus();
    ~UmockdevUsbBus();
    UmockdevUsbBus(const UmockdevUsbBus&) = delete;
    UmockdevUsbBus& operator=(const UmockdevUsbBus&) = delete;

    // Whether this process runs under the preload (creates and drops a testbed to find out).
    static bool available();

    std::shared_ptr<UsbCameraModel> plug(UsbCameraConfig config, PlugOptions options = {});
    void plug(const std::shared_ptr<UsbCameraModel>& model, PlugOptions options = {});
    // The device is gone: pending and new transfers fail with ENODEV, and it leaves sysfs and udev.
    void unplug(const std::shared_ptr<UsbCameraModel>& model);

    // The next `count` URB submissions on the endpoint fail with the errno (as a kernel short of
    // memory would: ENOMEM).
    void failSubmissions(const std::shared_ptr<UsbCameraModel>& model, uint8_t endpoint, int count, int error);

    // The next `count` cancels of pending URBs on the endpoint come too late: the URB has just
    // completed with what it holds (usbfs answers the cancel with EINVAL), as happens when a
    // transfer's time-out and its last packet meet.
    void raceDiscards(const std::shared_ptr<UsbCameraModel>& model, uint8_t endpoint, int count);

    std::vector<UrbRecord> urbs(const std::shared_ptr<UsbCameraModel>& model) const;
    // Interfaces claimed by any open file of the device.
    std::vector<uint8_t> claimedInterfaces(const std::shared_ptr<UsbCameraModel>& model) const;

    class Device;

private:
    Device* find(const std::shared_ptr<UsbCameraModel>& model) const;

    UMockdevTestbed* m_testbed = nullptr;
    mutable std::mutex m_lock;
    std::vector<std::unique_ptr<Device>> m_devices;
};

} // namespace quelnor::test::usbcam
