#include "usbcam/FunctionFsGadget.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <system_error>
#include <utility>

namespace quelnor::test::usbcam {

namespace {

constexpr uint8_t INTERFACE_DESCRIPTOR_LENGTH = 9;
constexpr uint8_t ENDPOINT_DESCRIPTOR_LENGTH = 7;
constexpr uint8_t COMPANION_DESCRIPTOR_LENGTH = 6;
constexpr uint8_t ATTRIBUTE_TYPE_MASK = 0x03;
constexpr uint8_t INTERRUPT_INTERVAL = 4;
constexpr int EP0_EVENTS_PER_READ = 4;
constexpr auto WORK_POLL = std::chrono::milliseconds(100);
constexpr auto ERROR_PAUSE = std::chrono::milliseconds(10);
constexpr auto STOP_SIGNAL_PERIOD = std::chrono::milliseconds(5);

void put8(std::vector<uint8_t>& out, uint8_t value) { out.push_back(value); }

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void set32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}

enum class Speed { Full, High, Super };

uint16_t packetSize(const EndpointConfig& e, Speed speed) {
    if ((e.attributes & ATTRIBUTE_TYPE_MASK) == USB_ENDPOINT_XFER_BULK) {
        switch (speed) {
        case Speed::Full:
            return FunctionFsGadget::FULL_SPEED_BULK_PACKET;
        case Speed::High:
            return FunctionFsGadget::HIGH_SPEED_BULK_PACKET;
        case Speed::Super:
            return FunctionFsGadget::SUPER_SPEED_BULK_PACKET;
        }
    }
    return speed == Speed::Full ? std::min<uint16_t>(e.maxPacketSize, FunctionFsGadget::FULL_SPEED_BULK_PACKET)
                                : e.maxPacketSize;
}

// Interface and endpoint descriptors of every setting for one speed; returns how many.
uint32_t appendDescriptors(std::vector<uint8_t>& out, const UsbCameraConfig& config, Speed speed) {
    uint32_t count = 0;
    for (size_t number = 0; number < config.interfaces.size(); ++number) {
        const auto& settings = config.interfaces[number].altSettings;
        for (size_t alt = 0; alt < settings.size(); ++alt) {
            const AltSettingConfig& s = settings[alt];
            put8(out, INTERFACE_DESCRIPTOR_LENGTH);
            put8(out, USB_DT_INTERFACE);
            put8(out, static_cast<uint8_t>(number));
            put8(out, static_cast<uint8_t>(alt));
            put8(out, static_cast<uint8_t>(s.endpoints.size()));
            put8(out, s.interfaceClass);
            put8(out, s.interfaceSubClass);
            put8(out, s.interfaceProtocol);
            put8(out, 0); // no interface string
            ++count;
            for (const EndpointConfig& e : s.endpoints) {
                const bool interrupt = (e.attributes & ATTRIBUTE_TYPE_MASK) == USB_ENDPOINT_XFER_INT;
                put8(out, ENDPOINT_DESCRIPTOR_LENGTH);
                put8(out, USB_DT_ENDPOINT);
                put8(out, e.address);
                put8(out, e.attributes);
                put16(out, packetSize(e, speed));
                put8(out, interrupt ? INTERRUPT_INTERVAL : 0);
                ++count;
                if (speed == Speed::Super) {
                    put8(out, COMPANION_DESCRIPTOR_LENGTH);
                    put8(out, USB_DT_SS_ENDPOINT_COMP);
                    put8(out, interrupt ? 0 : FunctionFsGadget::SUPER_SPEED_MAX_BURST);
                    put8(out, 0);
                    put16(out, interrupt ? packetSize(e, speed) : 0);
                    ++count;
                }
            }
        }
    }
    return count;
}

// Endpoints in the order FunctionFS numbers its endpoint files: the order of the descriptors.
std::vector<EndpointConfig> endpointOrder(const UsbCameraConfig& config) {
    std::vector<EndpointConfig> out;
    for (const InterfaceConfig& i : config.interfaces) {
        for (const AltSettingConfig& s : i.altSettings) {
            out.insert(out.end(), s.endpoints.begin(), s.endpoints.end());
        }
    }
    return out;
}

std::system_error systemError(const std::string& what) { return std::system_error(errno, std::generic_category(), what); }

} // namespace

std::vector<uint8_t> FunctionFsGadget::descriptorBlock(const UsbCameraConfig& config) {
    std::vector<uint8_t> out;
    put32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put32(out, 0); // length, set below
    put32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_HAS_SS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    const size_t counts = out.size();
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    set32(out, counts, appendDescriptors(out, config, Speed::Full));
    set32(out, counts + 4, appendDescriptors(out, config, Speed::High));
    set32(out, counts + 8, appendDescriptors(out, config, Speed::Super));
    set32(out, 4, static_cast<uint32_t>(out.size()));
    return out;
}

std::vector<uint8_t> FunctionFsGadget::stringBlock() {
    std::vector<uint8_t> out;
    put32(out, FUNCTIONFS_STRINGS_MAGIC);
    put32(out, 16); // length of this header, the whole block
    put32(out, 0);  // no strings
    put32(out, 0);  // in no language
    return out;
}

FunctionFsGadget::FunctionFsGadget(std::shared_ptr<UsbCameraModel> model, std::string mountDir)
    : m_model(std::move(model)), m_dir(std::move(mountDir)) {}

FunctionFsGadget::~FunctionFsGadget() { stop(); }

void FunctionFsGadget::start() {
    struct sigaction action {};
    action.sa_handler = +[](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the signal ends a blocking read or write with EINTR
    sigaction(SIGUSR2, &action, nullptr);

    const std::string ep0Path = m_dir + "/ep0";
    m_ep0 = ::open(ep0Path.c_str(), O_RDWR);
    if (m_ep0 < 0) {
        throw systemError("open " + ep0Path);
    }
    const std::vector<uint8_t> descriptors = descriptorBlock(m_model->config());
    if (::write(m_ep0, descriptors.data(), descriptors.size()) < 0) {
        throw systemError("FunctionFS refused the descriptors");
    }
    const std::vector<uint8_t> strings = stringBlock();
    if (::write(m_ep0, strings.data(), strings.size()) < 0) {
        throw systemError("FunctionFS refused the strings");
    }

    std::map<uint8_t, bool> seen;
    const std::vector<EndpointConfig> order = endpointOrder(m_model->config());
    for (size_t i = 0; i < order.size(); ++i) {
        auto ep = std::make_unique<Endpoint>();
        ep->config = order[i];
        ep->path = m_dir + "/ep" + std::to_string(i + 1);
        ep->fd = ::open(ep->path.c_str(), O_RDWR);
        if (ep->fd < 0) {
            throw systemError("open " + ep->path);
        }
        ep->served = !seen[ep->config.address];
        seen[ep->config.address] = true;
        m_endpoints.push_back(std::move(ep));
    }

    m_model->setWakeCallback([this] { notifyWork(); });
    auto ep0 = std::make_unique<Worker>();
    Worker* ep0Worker = ep0.get();
    ep0->thread = std::thread([this, ep0Worker] {
        runEp0();
        ep0Worker->done = true;
    });
    m_workers.push_back(std::move(ep0));
    for (auto& ep : m_endpoints) {
        if (!ep->served) {
            continue;
        }
        const uint8_t address = ep->config.address;
        if ((address & USB_DIR_IN) == 0) {
            spawn(&FunctionFsGadget::runOut, *ep);
        } else if (address == m_model->config().answerEndpoint) {
            spawn(&FunctionFsGadget::runAnswers, *ep);
        } else {
            spawn(&FunctionFsGadget::runStream, *ep);
        }
    }
}

void FunctionFsGadget::spawn(void (FunctionFsGadget::*body)(Endpoint&), Endpoint& ep) {
    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    worker->thread = std::thread([this, body, &ep, w] {
        (this->*body)(ep);
        w->done = true;
    });
    m_workers.push_back(std::move(worker));
}

void FunctionFsGadget::stop() {
    m_stopping = true;
    notifyWork();
    for (auto& worker : m_workers) {
        // Repeated: a signal that comes just before the thread enters its blocking call is lost.
        while (!worker->done) {
            pthread_kill(worker->thread.native_handle(), SIGUSR2);
            std::this_thread::sleep_for(STOP_SIGNAL_PERIOD);
        }
        worker->thread.join();
    }
    m_workers.clear();
    m_model->setWakeCallback({});
    for (auto& ep : m_endpoints) {
        if (ep->fd >= 0) {
            ::close(ep->fd);
        }
    }
    m_endpoints.clear();
    if (m_ep0 >= 0) {
        ::close(m_ep0);
        m_ep0 = -1;
    }
}

// ---------------------------------------------------------------- state

bool FunctionFsGadget::enabled() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_enabled;
}

bool FunctionFsGadget::waitEnabled(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, limit, [this] { return m_enabled; });
}

bool FunctionFsGadget::waitDisabled(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, limit, [this] { return !m_enabled; });
}

void FunctionFsGadget::setEnabled(bool enabled) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_enabled = enabled;
        ++m_work;
    }
    m_changed.notify_all();
}

uint64_t FunctionFsGadget::workGeneration() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_work;
}

void FunctionFsGadget::notifyWork() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_work;
    }
    m_changed.notify_all();
}

void FunctionFsGadget::waitForWork(uint64_t seen) {
    std::unique_lock<std::mutex> lock(m_lock);
    // Polls as well: the model does not report every change (a fault knob, say).
    m_changed.wait_for(lock, WORK_POLL, [&] { return m_work != seen || m_stopping; });
}

void FunctionFsGadget::dropStreamData(uint8_t endpoint) {
    for (auto& ep : m_endpoints) {
        if (ep->served && ep->config.address == endpoint) {
            ep->drop = true;
        }
    }
    m_model->dropStreamData(endpoint);
    notifyWork();
}

bool FunctionFsGadget::streamIdle(uint8_t endpoint) const {
    for (const auto& ep : m_endpoints) {
        if (ep->served && ep->config.address == endpoint) {
            return ep->idle;
        }
    }
    return true;
}

// ---------------------------------------------------------------- ep0

void FunctionFsGadget::runEp0() {
    usb_functionfs_event events[EP0_EVENTS_PER_READ];
    while (!m_stopping) {
        const ssize_t n = ::read(m_ep0, events, sizeof(events));
        if (n < 0) {
            if (errno != EINTR) {
                std::perror("gadget: ep0 read");
                std::this_thread::sleep_for(ERROR_PAUSE);
            }
            continue;
        }
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof(usb_functionfs_event); ++i) {
            switch (events[i].type) {
            case FUNCTIONFS_ENABLE:
                setEnabled(true);
                break;
            case FUNCTIONFS_DISABLE:
            case FUNCTIONFS_UNBIND:
                setEnabled(false);
                break;
            case FUNCTIONFS_SETUP:
                handleSetup(&events[i].u.setup);
                break;
            default: // BIND, SUSPEND, RESUME
                break;
            }
        }
    }
}

void FunctionFsGadget::handleSetup(const void* request) {
    usb_ctrlrequest raw;
    std::memcpy(&raw, request, sizeof(raw));
    SetupPacket setup;
    setup.requestType = raw.bRequestType;
    setup.request = raw.bRequest;
    setup.value = le16toh(raw.wValue);
    setup.index = le16toh(raw.wIndex);
    setup.length = le16toh(raw.wLength);

    if (setup.in()) {
        ControlReply reply = m_model->control(setup, {});
        if (reply.silent) {
            return; // the host's time-out ends it; the next request cancels it here
        }
        if (reply.stall) {
            // The wrong direction on ep0 stalls the request.
            if (::read(m_ep0, nullptr, 0) < 0 && errno != EL2HLT) {
                std::perror("gadget: stall");
            }
            return;
        }
        reply.data.resize(std::min<size_t>(reply.data.size(), setup.length));
        if (::write(m_ep0, reply.data.data(), reply.data.size()) < 0) {
            std::perror("gadget: ep0 answer");
        }
        return;
    }
    std::vector<uint8_t> data(setup.length);
    if (setup.length > 0) {
        // Reading the data stage acknowledges the request.
        const ssize_t n = ::read(m_ep0, data.data(), data.size());
        if (n < 0) {
            std::perror("gadget: ep0 data");
            return;
        }
        data.resize(static_cast<size_t>(n));
        ControlReply reply = m_model->control(setup, data);
        if (reply.stall) {
            std::fprintf(stderr, "gadget: request 0x%02x acknowledged with its data, too late to stall it\n",
                         setup.request);
        }
        return;
    }
    ControlReply reply = m_model->control(setup, data);
    if (reply.silent) {
        return;
    }
    if (reply.stall) {
        if (::write(m_ep0, nullptr, 0) < 0 && errno != EL2HLT) {
            std::perror("gadget: stall");
        }
        return;
    }
    if (::read(m_ep0, nullptr, 0) < 0) {
        std::perror("gadget: ep0 status");
    }
}

// ---------------------------------------------------------------- endpoints

uint16_t FunctionFsGadget::maxPacket(Endpoint& ep) {
    usb_endpoint_descriptor descriptor{};
    if (::ioctl(ep.fd, FUNCTIONFS_ENDPOINT_DESC, &descriptor) < 0 || descriptor.wMaxPacketSize == 0) {
        return HIGH_SPEED_BULK_PACKET;
    }
    return le16toh(descriptor.wMaxPacketSize) & 0x7FF;
}

void FunctionFsGadget::halt(Endpoint& ep) {
    // I/O in the wrong direction halts a FunctionFS endpoint.
    uint8_t byte = 0;
    if ((ep.config.address & USB_DIR_IN) != 0) {
        (void)!::read(ep.fd, &byte, 1);
    } else {
        (void)!::write(ep.fd, &byte, 1);
    }
}

bool FunctionFsGadget::writePacketData(Endpoint& ep, const uint8_t* data, size_t size) {
    while (!m_stopping) {
        const ssize_t n = ::write(ep.fd, data, size);
        if (n >= 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == ESHUTDOWN) {
            return false; // the endpoint was disabled under the write
        }
        std::fprintf(stderr, "gadget: write on %s: %s\n", ep.path.c_str(), std::strerror(errno));
        std::this_thread::sleep_for(ERROR_PAUSE);
    }
    return false;
}

void FunctionFsGadget::runAnswers(Endpoint& ep) {
    std::vector<uint8_t> buffer(ANSWER_BUFFER_SIZE);
    while (!m_stopping) {
        const uint64_t seen = workGeneration();
        size_t filled = 0;
        const InResult result = m_model->bulkIn(ep.config.address, buffer.data(), buffer.size(), filled);
        switch (result) {
        case InResult::Complete:
        case InResult::Overflow:
            if (writePacketData(ep, buffer.data(), filled) && filled > 0 && filled % maxPacket(ep) == 0) {
                writePacketData(ep, nullptr, 0);
            }
            break;
        case InResult::Stall:
            halt(ep);
            m_model->clearHalt(ep.config.address);
            break;
        case InResult::Pending:
        case InResult::Gone:
            waitForWork(seen);
            break;
        }
    }
}

void FunctionFsGadget::runStream(Endpoint& ep) {
    std::vector<uint8_t> buffer(STREAM_WRITE_SIZE);
    size_t filled = 0;
    while (!m_stopping) {
        const uint64_t seen = workGeneration();
        if (ep.drop.exchange(false)) {
            filled = 0;
        }
        // Not idle from before the model is asked until the thread waits again with nothing held.
        ep.idle = false;
        bool ends = false;
        const InResult result = m_model->bulkIn(ep.config.address, buffer.data(), buffer.size(), filled, &ends);
        if (result == InResult::Stall) {
            halt(ep);
            m_model->clearHalt(ep.config.address);
            continue;
        }
        if (result == InResult::Gone) {
            filled = 0;
            ep.idle = true;
            waitForWork(seen);
            continue;
        }
        const uint16_t packet = maxPacket(ep);
        size_t send = filled;
        bool zeroLengthPacket = false;
        if (ends || result == InResult::Overflow) {
            zeroLengthPacket = filled % packet == 0;
        } else if (filled < buffer.size()) {
            send = filled - filled % packet; // the transfer stays open: whole packets only
        }
        if (send == 0 && !zeroLengthPacket) {
            ep.idle = filled == 0;
            waitForWork(seen);
            continue;
        }
        bool sent = send == 0 || writePacketData(ep, buffer.data(), send);
        if (sent && zeroLengthPacket) {
            writePacketData(ep, nullptr, 0);
        }
        std::memmove(buffer.data(), buffer.data() + send, filled - send);
        filled -= send;
    }
}

void FunctionFsGadget::runOut(Endpoint& ep) {
    std::vector<uint8_t> buffer(OUT_READ_SIZE);
    while (!m_stopping) {
        const ssize_t n = ::read(ep.fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno != EINTR && errno != ESHUTDOWN) {
                std::fprintf(stderr, "gadget: read on %s: %s\n", ep.path.c_str(), std::strerror(errno));
                std::this_thread::sleep_for(ERROR_PAUSE);
            }
            continue;
        }
        if (!m_model->bulkOut(ep.config.address, buffer.data(), static_cast<size_t>(n))) {
            // Already received: the STALL can only meet what comes next.
            halt(ep);
            m_model->clearHalt(ep.config.address);
        }
        notifyWork();
    }
}

} // namespace quelnor::test::usbcam
