#include "usbcam/UmockdevUsbBus.h"

#include <errno.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <stdexcept>

#include "usbcam/UsbDescriptors.h"

namespace quelnor::test::usbcam {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t USBFS_CAPABILITIES = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
constexpr size_t SETUP_PACKET_SIZE = 8;
constexpr int FIRST_DEVICE_NUMBER = 2; // 1 is the root hub
constexpr const char* USBFS_DRIVER = "usbfs";

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof(two), "%02x", b);
        out += two;
    }
    return out;
}

} // namespace

// One plugged camera: its umockdev ioctl handler and the usbfs state of every open file.
class UmockdevUsbBus::Device {
public:
    // What umockdev's signal hands the ioctl handler: the device, or null once it is gone. Freed with
    // the signal's closure, which an emission in progress holds, so a late ioctl finds it even after
    // the device.
    struct IoctlLink {
        std::mutex mutex;
        Device* device = nullptr;
    };

    struct OpenFile {
        std::set<uint8_t> claims;
        std::deque<UMockdevIoctlData*> done;
    };
    struct PendingUrb {
        UMockdevIoctlClient* client;
        UMockdevIoctlData* data;
        size_t filled;
        size_t record;
        bool control; // a control request the model leaves unanswered
    };
    struct SubmitFailure {
        int remaining;
        int error;
    };

    Device(std::shared_ptr<UsbCameraModel> m, int index, bool node) : model(std::move(m)), hasNode(node) {
        char text[128];
        std::snprintf(text, sizeof(text), "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d", index + 1);
        sysPath = text;
        deviceNumber = index + FIRST_DEVICE_NUMBER;
        std::snprintf(text, sizeof(text), "/dev/bus/usb/001/%03d", deviceNumber);
        devNode = text;
    }

    ~Device() {
        if (link) {
            // An ioctl umockdev's thread is handling completes first; a later one finds no device.
            std::lock_guard<std::mutex> gone(link->mutex);
            link->device = nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& pending : pendingUrbs) {
            g_object_unref(pending.data);
        }
        for (auto& [client, file] : files) {
            for (UMockdevIoctlData* data : file.done) {
                g_object_unref(data);
            }
            g_object_unref(client);
        }
        if (handler) {
            g_object_unref(handler);
        }
    }

    std::string udevText() const {
        const UsbCameraConfig& c = model->config();
        char text[512];
        std::string out;
        std::snprintf(text, sizeof(text), "P: %s\n", sysPath.substr(4).c_str());
        out += text;
        std::snprintf(text, sizeof(text), "N: bus/usb/001/%03d\n", deviceNumber);
        out += text;
        out += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\n";
        std::snprintf(text, sizeof(text), "E: DEVNUM=%03d\n", deviceNumber);
        out += text;
        out += "E: DEVNAME=" + devNode + "\n";
        std::snprintf(text, sizeof(text),
                      "E: PRODUCT=%x/%x/%x\nA: busnum=1\\n\nA: devnum=%d\\n\nA: speed=480\\n\n"
                      "A: bConfigurationValue=1\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n",
                      c.vendorId, c.productId, c.bcdDevice, deviceNumber, c.vendorId, c.productId);
        out += text;
        out += "H: descriptors=" + hex(UsbDescriptors::sysfsDescriptors(c)) + "\n";
        return out;
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
        auto* to = static_cast<IoctlLink*>(user);
        std::lock_guard<std::mutex> lock(to->mutex);
        if (!to->device) {
            finishIoctl(client, ENODEV);
            return TRUE;
        }
        to->device->handle(client);
        return TRUE;
    }

    static void freeLink(gpointer user, GClosure*) { delete static_cast<IoctlLink*>(user); }

    void wake() {
        std::lock_guard<std::mutex> lock(mutex);
        servicePending();
    }

    void handle(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard<std::mutex> lock(mutex);
        auto known = files.find(client);
        if (known == files.end()) {
            // Held so that a later open file never gets the same address.
            g_object_ref(client);
            known = files.emplace(client, OpenFile{}).first;
        }
        OpenFile& file = known->second;
        const bool gone = !model->present();
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            *reinterpret_cast<uint32_t*>(caps->data) = USBFS_CAPABILITIES;
            g_object_unref(caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE:
            return finishIoctl(client, gone ? ENODEV : claim(client, file, readUnsigned(arg)));
        case USBDEVFS_RELEASEINTERFACE: {
            const uint8_t number = static_cast<uint8_t>(readUnsigned(arg));
            if (gone) {
                return finishIoctl(client, ENODEV);
            }
            return finishIoctl(client, file.claims.erase(number) ? 0 : EINVAL);
        }
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_RESET:
        case USBDEVFS_RESETEP:
            return finishIoctl(client, gone ? ENODEV : 0);
        case USBDEVFS_CLEAR_HALT:
            if (gone) {
                return finishIoctl(client, ENODEV);
            }
            model->clearHalt(static_cast<uint8_t>(readUnsigned(arg)));
            servicePending();
            return finishIoctl(client, 0);
        case USBDEVFS_GETDRIVER:
            return getDriver(client, arg, gone);
        case USBDEVFS_IOCTL:
            return driverIoctl(client, arg, gone);
        case USBDEVFS_SUBMITURB:
            return submit(client, arg, gone);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, file, arg, gone);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        default:
            return finishIoctl(client, ENOTTY);
        }
    }

    static void finishIoctl(UMockdevIoctlClient* client, int error) {
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    }

    static unsigned int readUnsigned(UMockdevIoctlData* arg) {
        UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
        unsigned int v = *reinterpret_cast<unsigned int*>(value->data);
        g_object_unref(value);
        return v;
    }

    bool claimedByOther(UMockdevIoctlClient* client, uint8_t number) const {
        for (const auto& [other, file] : files) {
            if (other != client && file.claims.count(number)) {
                return true;
            }
        }
        return false;
    }

    int claim(UMockdevIoctlClient* client, OpenFile& file, unsigned int number) {
        if (number >= model->config().interfaces.size()) {
            return ENOENT;
        }
        const uint8_t n = static_cast<uint8_t>(number);
        if (file.claims.count(n)) {
            return 0;
        }
        if (claimedByOther(client, n) || model->claimedElsewhere(n) || !model->kernelDriver(n).empty()) {
            return EBUSY;
        }
        file.claims.insert(n);
        return 0;
    }

    void getDriver(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone) {
        if (gone) {
            return finishIoctl(client, ENODEV);
        }
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
        auto* request = reinterpret_cast<usbdevfs_getdriver*>(data->data);
        const uint8_t number = static_cast<uint8_t>(request->interface);
        std::string driver = model->kernelDriver(number);
        if (driver.empty() && (files[client].claims.count(number) || claimedByOther(client, number))) {
            driver = USBFS_DRIVER;
        }
        int error = ENODATA;
        if (!driver.empty()) {
            std::memset(request->driver, 0, sizeof(request->driver));
            std::strncpy(request->driver, driver.c_str(), sizeof(request->driver) - 1);
            error = 0;
        }
        g_object_unref(data);
        finishIoctl(client, error);
    }

    void driverIoctl(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone) {
        if (gone) {
            return finishIoctl(client, ENODEV);
        }
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
        const auto* command = reinterpret_cast<const usbdevfs_ioctl*>(data->data);
        const int code = command->ioctl_code;
        const uint8_t number = static_cast<uint8_t>(command->ifno);
        g_object_unref(data);
        if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (model->kernelDriver(number).empty()) {
                return finishIoctl(client, ENODATA);
            }
            model->detachKernelDriver(number);
            return finishIoctl(client, 0);
        }
        if (code == static_cast<int>(USBDEVFS_CONNECT)) {
            return finishIoctl(client, 0);
        }
        finishIoctl(client, ENOTTY);
    }

    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        if (urb->buffer_length > 0) {
            // The child copy of the buffer lives as long as the URB data does.
            g_object_unref(umockdev_ioctl_data_resolve(data, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                       static_cast<gsize>(urb->buffer_length), nullptr));
        }
        UrbRecord record;
        record.endpoint = urb->endpoint;
        record.length = urb->buffer_length;
        record.submitted = Clock::now();
        const bool in = (urb->endpoint & 0x80) != 0;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            record.type = UrbRecord::Type::Control;
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
            record.type = in ? UrbRecord::Type::BulkIn : UrbRecord::Type::BulkOut;
        }
        int refusal = gone ? ENODEV : 0;
        auto failure = submitFailures.find(urb->endpoint);
        if (!refusal && failure != submitFailures.end() && failure->second.remaining > 0) {
            --failure->second.remaining;
            refusal = failure->second.error;
        }
        if (refusal) {
            record.done = true;
            record.status = -refusal;
            record.ended = record.submitted;
            records.push_back(record);
            g_object_unref(data);
            return finishIoctl(client, refusal);
        }
        records.push_back(record);
        const size_t index = records.size() - 1;
        auto* buffer = static_cast<uint8_t*>(urb->buffer);
        urb->actual_length = 0;
        urb->status = 0;
        switch (record.type) {
        case UrbRecord::Type::Control:
            if (control(urb, buffer)) {
                finish(client, data, index);
            } else {
                pendingUrbs.push_back({client, data, 0, index, true});
            }
            break;
        case UrbRecord::Type::BulkOut: {
            const bool accepted = model->bulkOut(urb->endpoint, buffer, static_cast<size_t>(urb->buffer_length));
            urb->status = accepted ? 0 : -EPIPE;
            urb->actual_length = accepted ? urb->buffer_length : 0;
            finish(client, data, index);
            break;
        }
        case UrbRecord::Type::BulkIn:
            pendingUrbs.push_back({client, data, 0, index, false});
            break;
        case UrbRecord::Type::Other:
            urb->status = -EINVAL;
            finish(client, data, index);
            break;
        }
        servicePending();
        finishIoctl(client, 0);
    }

    // False: the model leaves the request unanswered.
    bool control(usbdevfs_urb* urb, uint8_t* buffer) {
        if (urb->buffer_length < static_cast<int>(SETUP_PACKET_SIZE)) {
            urb->status = -EINVAL;
            return true;
        }
        SetupPacket setup;
        setup.requestType = buffer[0];
        setup.request = buffer[1];
        setup.value = le16(buffer + 2);
        setup.index = le16(buffer + 4);
        setup.length = le16(buffer + 6);
        const size_t room = std::min<size_t>(setup.length, static_cast<size_t>(urb->buffer_length) - SETUP_PACKET_SIZE);
        std::vector<uint8_t> out;
        if (!setup.in()) {
            out.assign(buffer + SETUP_PACKET_SIZE, buffer + SETUP_PACKET_SIZE + room);
        }
        ControlReply reply = model->control(setup, out);
        if (reply.silent) {
            return false;
        }
        if (reply.stall) {
            urb->status = -EPIPE;
            return true;
        }
        if (setup.in()) {
            const size_t n = std::min(room, reply.data.size());
            if (n > 0) {
                std::memcpy(buffer + SETUP_PACKET_SIZE, reply.data.data(), n);
            }
            urb->actual_length = static_cast<int>(n);
        } else {
            urb->actual_length = static_cast<int>(room);
        }
        return true;
    }

    // Gives pending IN URBs what the model has now, in submission order. Once a URB of an endpoint
    // has to wait, later URBs of that endpoint wait too, even when data arrives meanwhile.
    void servicePending() {
        std::set<uint8_t> waiting;
        for (auto it = pendingUrbs.begin(); it != pendingUrbs.end();) {
            auto* urb = reinterpret_cast<usbdevfs_urb*>(it->data->data);
            if (it->control) {
                if (model->present()) {
                    ++it;
                    continue;
                }
                urb->status = -ENODEV;
                finish(it->client, it->data, it->record);
                it = pendingUrbs.erase(it);
                continue;
            }
            if (waiting.count(urb->endpoint)) {
                ++it;
                continue;
            }
            auto* buffer = static_cast<uint8_t*>(urb->buffer);
            InResult result = model->bulkIn(urb->endpoint, buffer, static_cast<size_t>(urb->buffer_length), it->filled);
            int status = 0;
            switch (result) {
            case InResult::Pending:
                waiting.insert(urb->endpoint);
                ++it;
                continue;
            case InResult::Complete:
                status = 0;
                break;
            case InResult::Overflow:
                status = -EOVERFLOW;
                break;
            case InResult::Stall:
                status = -EPIPE;
                break;
            case InResult::Gone:
                status = -ENODEV;
                break;
            }
            urb->status = status;
            urb->actual_length = static_cast<int>(it->filled);
            finish(it->client, it->data, it->record);
            it = pendingUrbs.erase(it);
        }
    }

    void finish(UMockdevIoctlClient* client, UMockdevIoctlData* data, size_t index) {
        auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        UrbRecord& record = records[index];
        record.done = true;
        record.ended = Clock::now();
        record.status = urb->status;
        record.actualLength = urb->actual_length;
        files[client].done.push_back(data);
    }

    void reap(UMockdevIoctlClient* client, OpenFile& file, UMockdevIoctlData* arg, bool gone) {
        if (file.done.empty()) {
            return finishIoctl(client, gone ? ENODEV : EAGAIN);
        }
        UMockdevIoctlData* data = file.done.front();
        file.done.pop_front();
        UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        umockdev_ioctl_data_set_ptr(pointer, 0, data); // writes the URB and its buffer back to the client
        g_object_unref(pointer);
        g_object_unref(data);
        finishIoctl(client, 0);
    }

    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        for (auto it = pendingUrbs.begin(); it != pendingUrbs.end(); ++it) {
            if (it->client == client && it->data->client_addr == address) {
                auto* urb = reinterpret_cast<usbdevfs_urb*>(it->data->data);
                auto race = discardRaces.find(urb->endpoint);
                if (race != discardRaces.end() && race->second > 0) {
                    // The URB completed just before the cancel reached it.
                    --race->second;
                    urb->status = 0;
                    urb->actual_length = static_cast<int>(it->filled);
                    finish(client, it->data, it->record);
                    pendingUrbs.erase(it);
                    return finishIoctl(client, EINVAL);
                }
                urb->status = -ECONNRESET;
                urb->actual_length = static_cast<int>(it->filled); // what came before the cancel stays
                records[it->record].discarded = true;
                finish(client, it->data, it->record);
                pendingUrbs.erase(it);
                return finishIoctl(client, 0);
            }
        }
        finishIoctl(client, EINVAL);
    }

    std::shared_ptr<UsbCameraModel> model;
    bool hasNode;
    std::string sysPath;
    std::string devNode;
    int deviceNumber = 0;
    UMockdevIoctlBase* handler = nullptr;
    IoctlLink* link = nullptr; // owned by the handler's signal closure
    std::mutex mutex;
    std::map<UMockdevIoctlClient*, OpenFile> files;
    std::list<PendingUrb> pendingUrbs;
    std::vector<UrbRecord> records;
    std::map<uint8_t, SubmitFailure> submitFailures;
    std::map<uint8_t, int> discardRaces;
};

UmockdevUsbBus::UmockdevUsbBus() {
    m_testbed = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        g_object_unref(m_testbed);
        m_testbed = nullptr;
        throw std::runtime_error("not running under the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0)");
    }
}

UmockdevUsbBus::~UmockdevUsbBus() {
    for (auto& device : m_devices) {
        device->model->setWakeCallback(nullptr);
    }
    if (m_testbed) {
        g_object_unref(m_testbed);
    }
    m_devices.clear();
}

bool UmockdevUsbBus::available() {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    const bool inMock = umockdev_in_mock_environment();
    g_object_unref(testbed);
    return inMock;
}

std::shared_ptr<UsbCameraModel> UmockdevUsbBus::plug(UsbCameraConfig config, PlugOptions options) {
    auto model = std::make_shared<UsbCameraModel>(std::move(config));
    plug(model, options);
    return model;
}

void UmockdevUsbBus::plug(const std::shared_ptr<UsbCameraModel>& model, PlugOptions options) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto device = std::make_unique<Device>(model, static_cast<int>(m_devices.size()), options.deviceNode);
    GError* error = nullptr;
    if (options.deviceNode) {
        device->handler = umockdev_ioctl_base_new();
        device->link = new Device::IoctlLink;
        device->link->device = device.get();
        g_signal_connect_data(device->handler, "handle-ioctl", G_CALLBACK(&Device::onIoctl), device->link,
                              &Device::freeLink, static_cast<GConnectFlags>(0));
        if (!umockdev_testbed_attach_ioctl(m_testbed, device->devNode.c_str(), device->handler, &error)) {
            std::string text = error ? error->message : "unknown error";
            g_clear_error(&error);
            throw std::runtime_error("umockdev_testbed_attach_ioctl: " + text);
        }
    }
    if (!umockdev_testbed_add_from_string(m_testbed, device->udevText().c_str(), &error)) {
        std::string text = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev_testbed_add_from_string: " + text);
    }
    if (!options.deviceNode) {
        // Listed by udev, but opening finds no node (as a node without access rights would fail).
        gchar* root = umockdev_testbed_get_root_dir(m_testbed);
        std::string node = std::string(root) + device->devNode;
        g_free(root);
        std::remove(node.c_str());
    }
    Device* raw = device.get();
    model->setWakeCallback([raw] { raw->wake(); });
    m_devices.push_back(std::move(device));
}

void UmockdevUsbBus::unplug(const std::shared_ptr<UsbCameraModel>& model) {
    Device* device = find(model);
    if (!device) {
        return;
    }
    model->unplug();
    std::lock_guard<std::mutex> lock(m_lock);
    umockdev_testbed_uevent(m_testbed, device->sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, device->sysPath.c_str());
}

UmockdevUsbBus::Device* UmockdevUsbBus::find(const std::shared_ptr<UsbCameraModel>& model) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& device : m_devices) {
        if (device->model == model) {
            return device.get();
        }
    }
    return nullptr;
}

void UmockdevUsbBus::failSubmissions(const std::shared_ptr<UsbCameraModel>& model, uint8_t endpoint, int count,
                                     int error) {
    Device* device = find(model);
    if (!device) {
        return;
    }
    std::lock_guard<std::mutex> lock(device->mutex);
    device->submitFailures[endpoint] = {count, error};
}

void UmockdevUsbBus::raceDiscards(const std::shared_ptr<UsbCameraModel>& model, uint8_t endpoint, int count) {
    Device* device = find(model);
    if (!device) {
        return;
    }
    std::lock_guard<std::mutex> lock(device->mutex);
    device->discardRaces[endpoint] = count;
}

std::vector<UrbRecord> UmockdevUsbBus::urbs(const std::shared_ptr<UsbCameraModel>& model) const {
    Device* device = find(model);
    if (!device) {
        return {};
    }
    std::lock_guard<std::mutex> lock(device->mutex);
    return device->records;
}

std::vector<uint8_t> UmockdevUsbBus::claimedInterfaces(const std::shared_ptr<UsbCameraModel>& model) const {
    Device* device = find(model);
    if (!device) {
        return {};
    }
    std::lock_guard<std::mutex> lock(device->mutex);
    std::set<uint8_t> claimed;
    for (const auto& [client, file] : device->files) {
        claimed.insert(file.claims.begin(), file.claims.end());
    }
    return std::vector<uint8_t>(claimed.begin(), claimed.end());
}

} // namespace quelnor::test::usbcam

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer: umockdev's testbed worker, the GLib/GIO code under it and the libudev it sends
// uevents through are not instrumented; their memory accesses reach the sanitizer only through the
// calls it intercepts (free, strlen, getrandom) and race with each other inside those libraries.
// Only the calls those libraries make are ignored: every access of our own code, including the
// ioctl handler running on umockdev's thread, stays checked. Linked into every test that uses the bus.
// libusb is not instrumented either: a synchronous transfer made while another thread handles events
// waits on a completion flag libusb writes and reads itself, so the free after that wait looks
// unordered with the event thread's last lock of the transfer. Only that free is ignored.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libusb_free_transfer\n"
           "called_from_lib:libumockdev.so.0\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libudev.so.1\n";
}
#endif
