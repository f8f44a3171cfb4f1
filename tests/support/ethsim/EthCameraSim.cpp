#include "ethsim/EthCameraSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "device/DeviceDouble.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3TestEncoder.h"

namespace quelnor::test {

namespace {

// The one CPU the prompt threads of this process share, and the threads' CPUs before, as the first
// caller found them.
struct PromptCpu {
    int cpu = -1;
    cpu_set_t usual;
};

const PromptCpu& promptCpu() {
    static const PromptCpu chosen = [] {
        PromptCpu c;
        CPU_ZERO(&c.usual);
        if (sched_getaffinity(0, sizeof c.usual, &c.usual) == 0) {
            c.cpu = sched_getcpu();
        }
        return c;
    }();
    return chosen;
}

} // namespace

void answerPromptly() {
    sched_param param{};
    param.sched_priority = 1;
    (void)pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    // A request and its answer then never wait for a wake-up on another CPU. On a virtual machine
    // that CPU may not be running at all while the hypervisor runs something else, and such a wake-up
    // can wait tens of milliseconds, however high the thread's priority.
    const PromptCpu& shared = promptCpu();
    if (shared.cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(shared.cpu, &one);
        (void)pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    }
}

void answerAsUsual() {
    sched_param param{};
    (void)pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    const PromptCpu& shared = promptCpu();
    if (shared.cpu >= 0) {
        (void)pthread_setaffinity_np(pthread_self(), sizeof shared.usual, &shared.usual);
    }
}

namespace {

using Clock = std::chrono::steady_clock;

// The device side of the protocol is written here on its own, from the byte layouts, so that the
// product's packet code is checked against an independent peer.
constexpr uint8_t COMMAND_KEY = 0x42;
constexpr uint8_t FLAG_BROADCAST_ACK = 0x10;
constexpr size_t HEADER_SIZE = 8;

constexpr uint16_t DISCOVERY_CMD = 0x0002;
constexpr uint16_t FORCEIP_CMD = 0x0004;
constexpr uint16_t READREG_CMD = 0x0080;
constexpr uint16_t WRITEREG_CMD = 0x0082;
constexpr uint16_t WRITEMEM_CMD = 0x0086;

constexpr uint16_t STATUS_SUCCESS = 0x0000;
constexpr uint16_t STATUS_NOT_IMPLEMENTED = 0x8001;
constexpr uint16_t STATUS_INVALID_PARAMETER = 0x8002;
constexpr uint16_t STATUS_INVALID_ADDRESS = 0x8003;
constexpr uint16_t STATUS_STREAM_ERROR = 0x8001;

constexpr size_t DISCOVERY_ACK_SIZE = 256;
constexpr size_t FORCEIP_CMD_SIZE = 64;
constexpr size_t WRITEMEM_ACK_PAYLOAD = 4;

constexpr size_t GVSP_HEADER_SIZE = 8;
constexpr uint8_t GVSP_LEADER = 1;
constexpr uint8_t GVSP_TRAILER = 2;
constexpr uint8_t GVSP_PAYLOAD = 3;
constexpr size_t LEADER_PAYLOAD = 36;
constexpr size_t TRAILER_PAYLOAD = 8;
constexpr size_t TRUNCATED_DATAGRAM = 6;
constexpr uint32_t PACKET_ID_MASK = 0xFFFFFF;
constexpr size_t MAX_PAYLOAD = 1406;

constexpr uint32_t MEMORY_PAGE = 4096;
constexpr size_t SEND_BATCH = 32;
constexpr int IDLE_POLL_MS = 50;
constexpr int SOCKET_BUFFER_BYTES = 8 << 20;
constexpr size_t RECEIVE_SIZE = 65536;

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t get32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void putText(uint8_t* p, const std::string& text, size_t width) {
    std::memcpy(p, text.data(), std::min(width, text.size()));
}

std::string hex8(uint32_t v) {
    char out[16];
    std::snprintf(out, sizeof out, "0x%08X", v);
    return out;
}

uint32_t parseIp(const std::string& text) {
    in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        throw std::runtime_error("EthCameraSim: not an IPv4 address: '" + text + "'");
    }
    return ntohl(a.s_addr);
}

std::string ipText(uint32_t hostOrder) {
    in_addr a;
    a.s_addr = htonl(hostOrder);
    char out[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, out, sizeof out);
    return out;
}

std::string endpoint(const sockaddr_in& a) {
    return ipText(ntohl(a.sin_addr.s_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

sockaddr_in socketAddress(uint32_t hostOrderIp, uint16_t port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(hostOrderIp);
    a.sin_port = htons(port);
    return a;
}

std::vector<uint8_t> ackHeader(uint16_t status, uint16_t ackCode, uint16_t payloadLength, uint16_t ackId) {
    std::vector<uint8_t> out(HEADER_SIZE + payloadLength, 0);
    put16(&out[0], status);
    put16(&out[2], ackCode);
    put16(&out[4], payloadLength);
    put16(&out[6], ackId);
    return out;
}

void enterNamespace(const std::string& name) {
    const std::string path = "/var/run/netns/" + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("EthCameraSim: cannot open " + path + ": " + std::strerror(errno));
    }
    if (::setns(fd, CLONE_NEWNET) != 0) {
        int e = errno;
        ::close(fd);
        throw std::runtime_error("EthCameraSim: cannot enter namespace " + name + ": " + std::strerror(e));
    }
    ::close(fd);
}

void setBuffer(int fd, int option, int forceOption, int bytes) {
    if (setsockopt(fd, SOL_SOCKET, forceOption, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
    }
}

} // namespace

class EthCameraSim::Impl {
public:
    explicit Impl(EthCameraSimConfig c) : cfg(std::move(c)) {
        if (cfg.seedImx636) {
            regs = std::make_unique<DeviceDouble>(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, Interface::ETH);
            // The sensor reports its set-up steps done at once.
            regs->setDoneField("roi_win_ctrl", "roi_win_done", 0);
            regs->setDoneField("afk/initialization", "afk_flag_init_done", 0);
            regs->setDoneField("stc/initialization", "stc_flag_init_done", 0);
        } else {
            regs = std::make_unique<DeviceDouble>(Interface::ETH);
        }
        ip = parseIp(cfg.ip);
        mask = parseIp(cfg.mask);
        gateway = parseIp(cfg.gateway);
    }

    ~Impl() { stop(); }

    // ---- life cycle ----

    void start() {
        if (running) {
            return;
        }
        stopping.store(false);
        std::promise<void> ready;
        std::future<void> result = ready.get_future();
        controlThread = std::thread([this, ready = std::move(ready)]() mutable {
            try {
                if (!cfg.netns.empty()) {
                    enterNamespace(cfg.netns);
                }
                openSockets();
            } catch (...) {
                closeSockets();
                ready.set_exception(std::current_exception());
                return;
            }
            ready.set_value();
            answerPromptly();
            controlLoop();
        });
        try {
            result.get();
        } catch (...) {
            controlThread.join();
            throw;
        }
        streamThread = std::thread([this] {
            answerAsUsual();  // a stream sent flat out must not run ahead of the host, whatever started it
            streamLoop();
        });
        running = true;
    }

    void stop() {
        if (!running) {
            return;
        }
        stopping.store(true);
        wake();
        streamCv.notify_all();
        controlThread.join();
        streamThread.join();
        closeSockets();
        scheduled.clear();
        heldReplies.clear();
        running = false;
    }

    void wake() {
        if (wakeFd >= 0) {
            uint64_t one = 1;
            ssize_t ignored = ::write(wakeFd, &one, sizeof one);
            (void)ignored;
        }
    }

    void openSockets() {
        const std::string bindIp = !cfg.bindIp.empty() ? cfg.bindIp : (cfg.netns.empty() ? cfg.ip : "0.0.0.0");
        const uint32_t local = parseIp(bindIp);
        boundIp = local;
        const int one = 1;

        controlFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        setsockopt(controlFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(controlFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        setsockopt(controlFd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        sockaddr_in control = socketAddress(local, cfg.controlPort);
        if (::bind(controlFd, reinterpret_cast<sockaddr*>(&control), sizeof control) != 0) {
            throw std::runtime_error("EthCameraSim: cannot bind the control socket to " + bindIp + ":" +
                                     std::to_string(cfg.controlPort) + ": " + std::strerror(errno));
        }

        streamFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        setBuffer(streamFd, SO_SNDBUF, SO_SNDBUFFORCE, SOCKET_BUFFER_BYTES);
        sockaddr_in source = socketAddress(local, cfg.streamSourcePort);
        if (::bind(streamFd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            throw std::runtime_error("EthCameraSim: cannot bind the stream socket to " + bindIp + ": " +
                                     std::strerror(errno));
        }
        sockaddr_in bound;
        socklen_t size = sizeof bound;
        getsockname(streamFd, reinterpret_cast<sockaddr*>(&bound), &size);
        {
            std::lock_guard<std::mutex> guard(lock);
            streamPort = ntohs(bound.sin_port);
        }
        regs->poke(STREAM_PORT_REGISTER, streamPort);

        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    void closeSockets() {
        for (int* fd : {&controlFd, &streamFd, &wakeFd}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    // ---- control ----

    // The last request executed for a sender, and what it was answered.
    struct Executed {
        std::vector<uint8_t> datagram;
        std::vector<uint8_t> reply;
        uint16_t command = 0;
        std::optional<uint32_t> faultAddress;
        std::string text;
        uint32_t address = 0;
        uint32_t value = 0;
    };

    struct Scheduled {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        sockaddr_in to;
        int ifindex;
    };

    void controlLoop() {
        std::vector<uint8_t> buffer(RECEIVE_SIZE);
        while (!stopping.load()) {
            int timeout = IDLE_POLL_MS;
            for (const Scheduled& s : scheduled) {
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(s.due - Clock::now()).count() + 1;
                timeout = std::clamp(static_cast<int>(ms), 0, timeout);
            }
            pollfd fds[2] = {{controlFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            int r = ::poll(fds, 2, timeout);
            if (r > 0 && (fds[1].revents & POLLIN) != 0) {
                uint64_t value;
                ssize_t ignored = ::read(wakeFd, &value, sizeof value);
                (void)ignored;
            }
            sendDue();
            if (r <= 0 || (fds[0].revents & POLLIN) == 0) {
                continue;
            }
            for (;;) {
                sockaddr_in from;
                std::memset(&from, 0, sizeof from);
                iovec iov{buffer.data(), buffer.size()};
                alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
                msghdr msg;
                std::memset(&msg, 0, sizeof msg);
                msg.msg_name = &from;
                msg.msg_namelen = sizeof from;
                msg.msg_iov = &iov;
                msg.msg_iovlen = 1;
                msg.msg_control = control;
                msg.msg_controllen = sizeof control;
                ssize_t n = ::recvmsg(controlFd, &msg, MSG_DONTWAIT);
                if (n < 0) {
                    break;
                }
                int ifindex = 0;
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                        in_pktinfo info;
                        std::memcpy(&info, CMSG_DATA(c), sizeof info);
                        ifindex = info.ipi_ifindex;
                    }
                }
                // Held replies go once the next request is handled (and in the log), so whoever reads
                // the log after taking a held reply finds that request in it.
                std::vector<Scheduled> release = std::move(heldReplies);
                heldReplies.clear();
                handleRequest(buffer.data(), static_cast<size_t>(n), from, ifindex);
                for (const Scheduled& s : release) {
                    sendNow(s.bytes, s.to, s.ifindex);
                }
            }
        }
    }

    void sendDue() {
        const auto now = Clock::now();
        std::vector<Scheduled> due;
        auto it = std::stable_partition(scheduled.begin(), scheduled.end(),
                                        [now](const Scheduled& s) { return s.due > now; });
        due.assign(std::make_move_iterator(it), std::make_move_iterator(scheduled.end()));
        scheduled.erase(it, scheduled.end());
        std::sort(due.begin(), due.end(), [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
        for (const Scheduled& s : due) {
            sendNow(s.bytes, s.to, s.ifindex);
        }
    }

    // Control thread only: the next loss decision for a datagram with this share.
    bool lose(double share) {
        if (share <= 0) {
            return false;
        }
        // splitmix64: small, seeded, the same sequence on every platform.
        uint64_t z = (lossState += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53 < share;
    }

    // Requests and acknowledgements carry their id in the same place of the header.
    static uint16_t datagramId(const uint8_t* d, size_t n) {
        return n >= HEADER_SIZE ? static_cast<uint16_t>(d[6] << 8 | d[7]) : 0;
    }

    // Lock held. The generator is drawn for every datagram, so a cap leaves the sequence as it was.
    bool dropLocked(double share, uint16_t id, uint64_t& dropped) {
        if (!lose(share)) {
            return false;
        }
        if (loss.maxDropsPerId > 0 && dropsById[id]++ >= loss.maxDropsPerId) {
            return false;
        }
        ++dropped;
        return true;
    }

    bool dropRequest(const uint8_t* d, size_t n) {
        std::lock_guard<std::mutex> guard(lock);
        return dropLocked(loss.requestShare, datagramId(d, n), lossStats.requestsDropped);
    }

    bool dropReply(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> guard(lock);
        return dropLocked(loss.replyShare, datagramId(bytes.data(), bytes.size()), lossStats.repliesDropped);
    }

    void sendNow(const std::vector<uint8_t>& bytes, const sockaddr_in& to, int ifindex) {
        if (dropReply(bytes)) {
            return;
        }
        iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        std::memset(control, 0, sizeof control);
        msghdr msg;
        std::memset(&msg, 0, sizeof msg);
        msg.msg_name = const_cast<sockaddr_in*>(&to);
        msg.msg_namelen = sizeof to;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (ifindex > 0) {
            // Out through the adapter the request came in on (a camera with two links answers on each).
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info;
            std::memset(&info, 0, sizeof info);
            info.ipi_ifindex = ifindex;
            // From the camera's own address when the socket has one (the system would pick the adapter's).
            info.ipi_spec_dst.s_addr = htonl(boundIp);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        }
        ::sendmsg(controlFd, &msg, 0);
    }

    bool takeFault(uint16_t command, std::optional<uint32_t> address, ReplyFault& out) {
        std::lock_guard<std::mutex> guard(lock);
        for (ReplyFault& f : faults) {
            if (f.count == 0 || (f.command != 0 && f.command != command)) {
                continue;
            }
            if (f.address && (!address || *f.address != *address)) {
                continue;
            }
            if (f.count > 0) {
                --f.count;
            }
            out = f;
            return true;
        }
        return false;
    }

    void reply(std::vector<uint8_t> bytes, uint16_t command, std::optional<uint32_t> address, const sockaddr_in& to,
               int ifindex) {
        ReplyFault f(ReplyFault::Kind::Silence);
        if (!takeFault(command, address, f)) {
            sendNow(bytes, to, ifindex);
            return;
        }
        auto patchedId = [&bytes] {
            std::vector<uint8_t> copy = bytes;
            put16(&copy[6], static_cast<uint16_t>(get16(&copy[6]) ^ 0x8000));
            return copy;
        };
        switch (f.kind) {
        case ReplyFault::Kind::Silence:
            break;
        case ReplyFault::Kind::Late:
            scheduled.push_back({Clock::now() + std::chrono::milliseconds(f.delayMs), std::move(bytes), to, ifindex});
            break;
        case ReplyFault::Kind::UntilNext:
            heldReplies.push_back({Clock::now(), std::move(bytes), to, ifindex});
            break;
        case ReplyFault::Kind::WrongId:
            sendNow(patchedId(), to, ifindex);
            break;
        case ReplyFault::Kind::WrongIdFirst:
            sendNow(patchedId(), to, ifindex);
            sendNow(bytes, to, ifindex);
            break;
        case ReplyFault::Kind::WrongCode:
            put16(&bytes[2], static_cast<uint16_t>(get16(&bytes[2]) ^ 0x0002));
            sendNow(bytes, to, ifindex);
            break;
        case ReplyFault::Kind::BadStatus:
            put16(&bytes[0], f.status);
            sendNow(bytes, to, ifindex);
            break;
        case ReplyFault::Kind::Truncate:
            bytes.resize(std::min(bytes.size(), f.size));
            if (!bytes.empty()) {
                sendNow(bytes, to, ifindex);
            }
            break;
        case ReplyFault::Kind::Oversize:
            bytes.resize(std::max(bytes.size(), f.size), 0);
            sendNow(bytes, to, ifindex);
            break;
        case ReplyFault::Kind::Duplicate:
            sendNow(bytes, to, ifindex);
            sendNow(bytes, to, ifindex);
            break;
        }
    }

    void append(SimLogEntry entry) {
        LogSink s;
        {
            std::lock_guard<std::mutex> guard(lock);
            entries.push_back(entry);
            s = sink;
        }
        if (s) {
            s(entry);
        }
    }

    void handleRequest(const uint8_t* d, size_t n, const sockaddr_in& from, int ifindex) {
        // Acknowledgements of other cameras and our own broadcasts are not requests.
        if (n == 0 || d[0] != COMMAND_KEY) {
            return;
        }
        if (dropRequest(d, n)) {
            return;
        }
        SimLogEntry e;
        e.from = endpoint(from);
        e.datagram.assign(d, d + n);
        if (n < HEADER_SIZE) {
            e.text = "MALFORMED " + std::to_string(n) + " bytes";
            append(std::move(e));
            return;
        }
        const uint64_t sender = (static_cast<uint64_t>(ntohl(from.sin_addr.s_addr)) << 16) | ntohs(from.sin_port);
        if (get16(d + 2) != DISCOVERY_CMD) {
            auto last = lastRequest.find(sender);
            if (last != lastRequest.end() && last->second.datagram == e.datagram) {
                e.command = get16(d + 2);
                e.requestId = get16(d + 6);
                e.address = last->second.address;
                e.value = last->second.value;
                e.text = "REPEAT " + last->second.text;
                e.repeat = true;
                {
                    std::lock_guard<std::mutex> guard(lock);
                    ++lossStats.repeatsAnswered;
                }
                append(std::move(e));
                if (!last->second.reply.empty()) {
                    reply(last->second.reply, last->second.command, last->second.faultAddress, from, ifindex);
                }
                return;
            }
        }
        const uint8_t flags = d[1];
        const uint16_t code = get16(d + 2);
        const uint16_t id = get16(d + 6);
        const uint8_t* payload = d + HEADER_SIZE;
        const size_t payloadLength = std::min<size_t>(get16(d + 4), n - HEADER_SIZE);
        e.command = code;
        e.requestId = id;
        const uint16_t ackCode = static_cast<uint16_t>(code + 1);
        sockaddr_in to = from;
        std::optional<uint32_t> faultAddress;
        std::vector<uint8_t> answer;
        std::vector<uint8_t> sentAnswer; // what a resend of this request gets
        Executed executed;
        executed.datagram = e.datagram;
        executed.command = code;
        const auto remember = [&executed](const SimLogEntry& entry) {
            executed.text = entry.text;
            executed.address = entry.address;
            executed.value = entry.value;
        };

        switch (code) {
        case DISCOVERY_CMD: {
            e.text = "DISCOVERY";
            answer = discoveryAck(id);
            if ((flags & FLAG_BROADCAST_ACK) != 0 && cfg.broadcastDiscoveryAck) {
                to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
            }
            remember(e);
            append(std::move(e));
            break;
        }
        case READREG_CMD: {
            const size_t count = payloadLength / 4;
            if (count == 0) {
                e.text = "MALFORMED READREG";
                remember(e);
            append(std::move(e));
                answer = ackHeader(STATUS_INVALID_PARAMETER, ackCode, 0, id);
                break;
            }
            answer = ackHeader(STATUS_SUCCESS, ackCode, static_cast<uint16_t>(4 * count), id);
            for (size_t i = 0; i < count; ++i) {
                const uint32_t address = get32(payload + 4 * i);
                uint32_t value = 0;
                if (!regs->tryReadRegister(address, value)) {
                    put16(&answer[0], STATUS_INVALID_ADDRESS);
                    value = 0;
                }
                put32(&answer[HEADER_SIZE + 4 * i], value);
                if (i == 0) {
                    e.address = address;
                    e.value = value;
                }
            }
            faultAddress = e.address;
            e.text = "READREG " + hex8(e.address) + (count > 1 ? " (+" + std::to_string(count - 1) + ")" : "");
            remember(e);
            append(std::move(e));
            break;
        }
        case WRITEREG_CMD: {
            const size_t count = payloadLength / 8;
            if (count == 0) {
                e.text = "MALFORMED WRITEREG";
                remember(e);
            append(std::move(e));
                answer = ackHeader(STATUS_INVALID_PARAMETER, ackCode, 4, id);
                break;
            }
            for (size_t i = 0; i < count; ++i) {
                const uint32_t address = get32(payload + 8 * i);
                const uint32_t value = get32(payload + 8 * i + 4);
                regs->writeRegister(address, value);
                registerWritten(address, value, from);
                if (i == 0) {
                    e.address = address;
                    e.value = value;
                }
            }
            faultAddress = e.address;
            e.text = "WRITEREG " + hex8(e.address) + " = " + hex8(e.value) +
                     (count > 1 ? " (+" + std::to_string(count - 1) + ")" : "");
            remember(e);
            append(std::move(e));
            answer = ackHeader(STATUS_SUCCESS, ackCode, 4, id);
            put16(&answer[10], static_cast<uint16_t>(count));
            break;
        }
        case FORCEIP_CMD: {
            if (n < FORCEIP_CMD_SIZE) {
                e.text = "MALFORMED FORCEIP";
                remember(e);
            append(std::move(e));
                break;
            }
            uint64_t mac = 0;
            for (size_t i = 10; i < 16; ++i) {
                mac = (mac << 8) | d[i];
            }
            if (mac != cfg.mac) {
                char text[64];
                std::snprintf(text, sizeof text, "FORCEIP ignored, MAC %012llx", static_cast<unsigned long long>(mac));
                e.text = text;
                remember(e);
            append(std::move(e));
                break;
            }
            const uint32_t newIp = get32(d + 28);
            const uint32_t newMask = get32(d + 44);
            const uint32_t newGateway = get32(d + 60);
            ForceIpHook hook;
            {
                std::lock_guard<std::mutex> guard(lock);
                ip = newIp;
                mask = newMask;
                gateway = newGateway;
                hook = forceIpHook;
            }
            e.text = "FORCEIP " + ipText(newIp) + " " + ipText(newMask) + " " + ipText(newGateway);
            remember(e);
            append(std::move(e));
            // Answer first, then move the adapter: the host waits only briefly for the answer.
            sentAnswer = ackHeader(STATUS_SUCCESS, ackCode, 0, id);
            reply(sentAnswer, code, faultAddress, to, ifindex);
            if (hook) {
                hook(ipText(newIp), ipText(newMask), ipText(newGateway));
            }
            break;
        }
        case WRITEMEM_CMD: {
            if (payloadLength < 4) {
                e.text = "MALFORMED WRITEMEM";
                remember(e);
            append(std::move(e));
                answer = ackHeader(STATUS_INVALID_PARAMETER, ackCode, WRITEMEM_ACK_PAYLOAD, id);
                break;
            }
            const uint32_t address = get32(payload);
            const size_t length = payloadLength - 4;
            MemoryWrite write{id, address, length};
            WriteMemHook hook;
            {
                std::lock_guard<std::mutex> guard(lock);
                for (size_t i = 0; i < length; ++i) {
                    const uint32_t a = address + static_cast<uint32_t>(i);
                    auto& page = pages[a / MEMORY_PAGE];
                    if (page.empty()) {
                        page.assign(MEMORY_PAGE, 0);
                    }
                    page[a % MEMORY_PAGE] = payload[4 + i];
                }
                memWrites.push_back(write);
                hook = writeMemHook;
            }
            e.address = address;
            e.value = static_cast<uint32_t>(length);
            e.text = "WRITEMEM " + hex8(address) + " +" + std::to_string(length);
            faultAddress = address;
            remember(e);
            append(std::move(e));
            if (hook) {
                hook(write);
            }
            answer = ackHeader(STATUS_SUCCESS, ackCode, WRITEMEM_ACK_PAYLOAD, id);
            put16(&answer[10], static_cast<uint16_t>(length));
            break;
        }
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "UNKNOWN 0x%04X", code);
            e.text = text;
            remember(e);
            append(std::move(e));
            answer = ackHeader(STATUS_NOT_IMPLEMENTED, ackCode, 0, id);
            break;
        }
        }
        if (!answer.empty()) {
            sentAnswer = answer;
            reply(std::move(answer), code, faultAddress, to, ifindex);
        }
        if (code != DISCOVERY_CMD) {
            executed.reply = std::move(sentAnswer);
            executed.faultAddress = faultAddress;
            lastRequest[sender] = std::move(executed);
        }
    }

    void registerWritten(uint32_t address, uint32_t value, const sockaddr_in& from) {
        {
            std::lock_guard<std::mutex> guard(lock);
            switch (address) {
            case CONTROL_OWNER_REGISTER:
                controlTaken = (value & 1) != 0;
                break;
            case HOST_PORT_REGISTER:
                hostPort = static_cast<uint16_t>(value);
                hostIp = ntohl(from.sin_addr.s_addr);
                break;
            case STREAM_ENABLE_REGISTER:
                streamEnabled = (value & 1) != 0;
                break;
            default:
                return;
            }
        }
        streamCv.notify_all();
    }

    std::vector<uint8_t> discoveryAck(uint16_t id) {
        uint32_t curIp, curMask, curGateway;
        {
            std::lock_guard<std::mutex> guard(lock);
            curIp = ip;
            curMask = mask;
            curGateway = gateway;
        }
        std::vector<uint8_t> a =
            ackHeader(STATUS_SUCCESS, DISCOVERY_CMD + 1, static_cast<uint16_t>(DISCOVERY_ACK_SIZE - HEADER_SIZE), id);
        put16(&a[8], 2);            // version 2.0
        put32(&a[12], 0x80000000u); // a transmitter, big-endian registers
        put16(&a[18], static_cast<uint16_t>(cfg.mac >> 32));
        put32(&a[20], static_cast<uint32_t>(cfg.mac));
        put32(&a[24], 0x80000007u); // address options: persistent, DHCP, link-local
        put32(&a[28], 0x00000005u); // current: persistent
        put32(&a[44], curIp);
        put32(&a[60], curMask);
        put32(&a[76], curGateway);
        putText(&a[80], cfg.manufacturer, 32);
        putText(&a[112], cfg.model, 32);
        putText(&a[144], cfg.deviceVersion, 32);
        putText(&a[176], "Quelnor camera simulator", 48);
        putText(&a[224], cfg.serial, 16);
        putText(&a[240], cfg.userName, 16);
        return a;
    }

    // ---- stream ----

    enum class Source { None, Bytes, Pattern };

    bool canStreamLocked() const {
        if (!streamEnabled || hostPort == 0) {
            return false;
        }
        switch (source) {
        case Source::Pattern:
            return true;
        case Source::Bytes:
            return data && !data->empty() && (loop || position < data->size() || held.has_value());
        default:
            return false;
        }
    }

    std::vector<uint8_t> gvsp(uint16_t status, uint8_t format, uint32_t packetId, const uint8_t* payload,
                              size_t length) {
        std::vector<uint8_t> out(GVSP_HEADER_SIZE + length, 0);
        put16(&out[0], status);
        put16(&out[2], blockId);
        out[4] = format;
        out[5] = static_cast<uint8_t>(packetId >> 16);
        out[6] = static_cast<uint8_t>(packetId >> 8);
        out[7] = static_cast<uint8_t>(packetId);
        if (length > 0 && payload != nullptr) {
            std::memcpy(&out[GVSP_HEADER_SIZE], payload, length);
        }
        return out;
    }

    struct Outgoing {
        std::vector<uint8_t> bytes;
        bool valid; // a correct receiver takes its payload
    };

    // Appends the datagrams of the next payload packet (with its faults) to out. Under the lock.
    void nextPacketLocked(std::vector<Outgoing>& out) {
        std::vector<uint8_t> payload;
        const size_t payloadSize = payloadSizes[sizeIndex % payloadSizes.size()];
        ++sizeIndex;
        if (source == Source::Pattern) {
            payload.resize(payloadSize);
            const uint32_t id = nextPacketId;
            for (size_t i = 0; i < payloadSize; ++i) {
                payload[i] = i < 4 ? static_cast<uint8_t>(id >> (8 * i)) : static_cast<uint8_t>(id + i);
            }
        } else {
            if (position >= data->size()) {
                if (!loop) {
                    flushHeldLocked(out);
                    return;
                }
                position = 0;
            }
            const size_t n = std::min(payloadSize, data->size() - position);
            payload.assign(data->begin() + static_cast<std::ptrdiff_t>(position),
                           data->begin() + static_cast<std::ptrdiff_t>(position + n));
            position += n;
        }
        const uint32_t id = nextPacketId;
        nextPacketId = (nextPacketId + 1) & PACKET_ID_MASK;
        if (nextPacketId == 0) {
            nextPacketId = 1;
        }
        stats.lastPacketId = id;

        if (faultsOf.leaderTrailerEvery > 0 && packetsInBlock == 0) {
            uint8_t leader[LEADER_PAYLOAD] = {};
            out.push_back({gvsp(STATUS_SUCCESS, GVSP_LEADER, 0, leader, sizeof leader), false});
        }
        if (faultsOf.lost.count(id) != 0) {
            ++stats.packetsLost;
        } else {
            const bool bad = faultsOf.badStatus.count(id) != 0;
            std::vector<uint8_t> datagram =
                gvsp(bad ? STATUS_STREAM_ERROR : STATUS_SUCCESS, GVSP_PAYLOAD, id, payload.data(), payload.size());
            bool valid = !bad;
            if (faultsOf.truncated.count(id) != 0) {
                datagram.resize(TRUNCATED_DATAGRAM);
                valid = false;
            } else if (faultsOf.oversized.count(id) != 0) {
                datagram.resize(std::max(datagram.size(), faultsOf.oversizedBytes), 0xEE);
                valid = false;
            }
            ++stats.packetsSent;
            stats.payloadBytesSent += payload.size();
            const int copies = faultsOf.duplicated.count(id) != 0 ? 2 : 1;
            std::vector<Outgoing> these;
            for (int i = 0; i < copies; ++i) {
                // A correct receiver takes a packet once.
                these.push_back({datagram, valid && i == 0});
            }
            if (faultsOf.reordered.count(id) != 0 && !held) {
                held = std::move(these);
            } else {
                for (Outgoing& o : these) {
                    out.push_back(std::move(o));
                }
                // Sent after a newer packet: late, so a correct receiver refuses it.
                if (held) {
                    for (Outgoing& o : *held) {
                        o.valid = false;
                    }
                }
                flushHeldLocked(out);
            }
        }
        if (faultsOf.leaderTrailerEvery > 0 && ++packetsInBlock == faultsOf.leaderTrailerEvery) {
            uint8_t trailer[TRAILER_PAYLOAD] = {};
            out.push_back({gvsp(STATUS_SUCCESS, GVSP_TRAILER, 0, trailer, sizeof trailer), false});
            packetsInBlock = 0;
            ++blockId;
        }
        if (source == Source::Bytes && !loop && position >= data->size()) {
            flushHeldLocked(out);
        }
    }

    void flushHeldLocked(std::vector<Outgoing>& out) {
        if (held) {
            for (Outgoing& o : *held) {
                out.push_back(std::move(o));
            }
            held.reset();
        }
    }

    void streamLoop() {
        bool wasStreaming = false;
        Clock::time_point epoch;
        uint64_t bytesSinceEpoch = 0;
        std::vector<Outgoing> batch;
        while (!stopping.load()) {
            sockaddr_in to;
            {
                std::unique_lock<std::mutex> guard(lock);
                streamCv.wait_for(guard, std::chrono::milliseconds(IDLE_POLL_MS),
                                  [this] { return stopping.load() || canStreamLocked(); });
                if (stopping.load()) {
                    break;
                }
                if (!canStreamLocked()) {
                    if (source == Source::Bytes && !loop && data && position >= data->size() && !held) {
                        stats.sourceDone = true;
                    }
                    wasStreaming = false;
                    continue;
                }
                if (!wasStreaming) {
                    wasStreaming = true;
                    epoch = Clock::now();
                    bytesSinceEpoch = 0;
                }
                size_t packets = SEND_BATCH;
                if (rate > 0) {
                    const double elapsed = std::chrono::duration<double>(Clock::now() - epoch).count();
                    const double allowed = rate * elapsed - static_cast<double>(bytesSinceEpoch);
                    const double perPacket = static_cast<double>(payloadSizes[sizeIndex % payloadSizes.size()]);
                    if (allowed < perPacket) {
                        const double waitSeconds = (perPacket - allowed) / rate;
                        guard.unlock();
                        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(waitSeconds, 0.05)));
                        continue;
                    }
                    packets = std::min(packets, static_cast<size_t>(allowed / perPacket));
                }
                to = socketAddress(hostIp, hostPort);
                batch.clear();
                for (size_t i = 0; i < packets && canStreamLocked(); ++i) {
                    const uint64_t before = stats.payloadBytesSent;
                    nextPacketLocked(batch);
                    bytesSinceEpoch += stats.payloadBytesSent - before;
                    if (stats.payloadBytesSent == before && source == Source::Bytes && !loop &&
                        position >= data->size()) {
                        break;
                    }
                }
                if (record) {
                    for (const Outgoing& o : batch) {
                        if (o.valid) {
                            delivered.insert(delivered.end(), o.bytes.begin() + GVSP_HEADER_SIZE, o.bytes.end());
                        }
                    }
                }
            }
            sendBatch(batch, to);
        }
    }

    void sendBatch(const std::vector<Outgoing>& batch, sockaddr_in to) {
        size_t done = 0;
        uint64_t errors = 0;
        while (done < batch.size()) {
            const size_t count = std::min(batch.size() - done, SEND_BATCH);
            mmsghdr messages[SEND_BATCH];
            iovec iov[SEND_BATCH];
            std::memset(messages, 0, sizeof messages);
            for (size_t i = 0; i < count; ++i) {
                iov[i].iov_base = const_cast<uint8_t*>(batch[done + i].bytes.data());
                iov[i].iov_len = batch[done + i].bytes.size();
                messages[i].msg_hdr.msg_name = &to;
                messages[i].msg_hdr.msg_namelen = sizeof to;
                messages[i].msg_hdr.msg_iov = &iov[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            int sent = ::sendmmsg(streamFd, messages, static_cast<unsigned>(count), 0);
            if (sent <= 0) {
                if (sent < 0 && errno == EINTR) {
                    continue;
                }
                // A refused datagram (the receiver's port unreachable, no buffer): skip it.
                ++errors;
                ++done;
                continue;
            }
            done += static_cast<size_t>(sent);
        }
        std::lock_guard<std::mutex> guard(lock);
        stats.datagramsSent += batch.size() - errors;
        stats.sendErrors += errors;
    }

    // ---- state ----
    EthCameraSimConfig cfg;
    std::unique_ptr<DeviceDouble> regs;

    mutable std::mutex lock;
    std::condition_variable streamCv;
    uint32_t ip = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
    bool controlTaken = false;
    bool streamEnabled = false;
    uint16_t hostPort = 0;
    uint32_t hostIp = 0;
    uint16_t streamPort = 0;

    Source source = Source::None;
    std::shared_ptr<const std::vector<uint8_t>> data;
    bool loop = false;
    size_t position = 0;
    double rate = 0;
    std::vector<size_t> payloadSizes{DEFAULT_PAYLOAD_SIZE};
    size_t sizeIndex = 0;
    StreamFaults faultsOf;
    bool record = true;
    std::vector<uint8_t> delivered;
    StreamStats stats;
    uint32_t nextPacketId = 1;
    uint16_t blockId = 1;
    uint32_t packetsInBlock = 0;
    std::optional<std::vector<Outgoing>> held;

    std::map<uint32_t, std::vector<uint8_t>> pages;
    std::vector<MemoryWrite> memWrites;
    std::vector<ReplyFault> faults;
    ForceIpHook forceIpHook;
    WriteMemHook writeMemHook;
    LogSink sink;
    std::vector<SimLogEntry> entries;

    uint32_t boundIp = 0; // host order; 0 when bound to every address
    int controlFd = -1;
    int streamFd = -1;
    int wakeFd = -1;
    std::thread controlThread;
    std::thread streamThread;
    std::atomic<bool> stopping{false};
    bool running = false;
    std::vector<Scheduled> scheduled; // control thread only
    std::vector<Scheduled> heldReplies; // UntilNext replies; control thread only
    std::map<uint64_t, Executed> lastRequest; // control thread only; by sender address and port
    ControlLoss loss;
    uint64_t lossState = 1;
    std::map<uint16_t, int> dropsById; // datagrams dropped so far of each request id
    ControlLossStats lossStats;
};

// ---------------------------------------------------------------------------------------------

EthCameraSim::EthCameraSim(EthCameraSimConfig config) : impl(std::make_unique<Impl>(std::move(config))) {}

EthCameraSim::~EthCameraSim() = default;

void EthCameraSim::start() { impl->start(); }

void EthCameraSim::stop() { impl->stop(); }

const EthCameraSimConfig& EthCameraSim::config() const { return impl->cfg; }

CameraDescription EthCameraSim::description(const std::string& localIp) const {
    CameraDescription d;
    d.serialNumber = impl->cfg.serial;
    d.productName = impl->cfg.model;
    d.manufacturer = impl->cfg.manufacturer;
    d.vendorId = 1205;
    d.productId = 1;
    d.interfaceType = INTERFACE_ETH;
    d.ipAddresses = {currentIp(), localIp, currentMask(), currentGateway()};
    d.macAddress = impl->cfg.mac;
    d.firmwareVersion = impl->cfg.deviceVersion;
    return d;
}

DeviceDouble& EthCameraSim::registers() { return *impl->regs; }

bool EthCameraSim::controlTaken() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->controlTaken;
}

bool EthCameraSim::streamOn() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->streamEnabled;
}

uint16_t EthCameraSim::hostStreamPort() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->hostPort;
}

std::string EthCameraSim::hostAddress() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return ipText(impl->hostIp);
}

uint16_t EthCameraSim::streamSourcePort() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->streamPort;
}

std::string EthCameraSim::currentIp() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return ipText(impl->ip);
}

std::string EthCameraSim::currentMask() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return ipText(impl->mask);
}

std::string EthCameraSim::currentGateway() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return ipText(impl->gateway);
}

void EthCameraSim::setStreamData(std::vector<uint8_t> bytes, bool loop) {
    {
        std::lock_guard<std::mutex> guard(impl->lock);
        impl->source = Impl::Source::Bytes;
        impl->data = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
        impl->loop = loop;
        impl->position = 0;
        impl->stats.sourceDone = false;
    }
    impl->streamCv.notify_all();
}

void EthCameraSim::setStreamWords(const std::vector<uint16_t>& words, bool loop) {
    setStreamData(toBytes(words), loop);
}

void EthCameraSim::setStreamFile(const std::string& rawPath, bool loop) {
    setStreamData(loadEvt3RawFile(rawPath).data, loop);
}

void EthCameraSim::setStreamPattern() {
    {
        std::lock_guard<std::mutex> guard(impl->lock);
        impl->source = Impl::Source::Pattern;
        impl->data.reset();
        impl->record = false;
        impl->stats.sourceDone = false;
    }
    impl->streamCv.notify_all();
}

void EthCameraSim::setStreamRate(double payloadBytesPerSecond) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->rate = payloadBytesPerSecond;
}

void EthCameraSim::setPayloadSize(size_t bytes) { setPayloadSizes({bytes}); }

void EthCameraSim::setPayloadSizes(std::vector<size_t> sizes) {
    if (sizes.empty()) {
        throw std::invalid_argument("EthCameraSim: no payload size");
    }
    for (size_t bytes : sizes) {
        if (bytes == 0 || bytes > MAX_PAYLOAD) {
            throw std::invalid_argument("EthCameraSim: payload sizes must be 1 .. 1406");
        }
    }
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->payloadSizes = std::move(sizes);
    impl->sizeIndex = 0;
}

void EthCameraSim::setStreamFaults(StreamFaults faults) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->faultsOf = std::move(faults);
}

void EthCameraSim::setRecordDelivery(bool record) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->record = record;
}

std::vector<uint8_t> EthCameraSim::expectedDelivery() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->delivered;
}

StreamStats EthCameraSim::streamStats() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->stats;
}

void EthCameraSim::rewindStream() {
    {
        std::lock_guard<std::mutex> guard(impl->lock);
        impl->position = 0;
        impl->nextPacketId = 1;
        impl->sizeIndex = 0;
        impl->packetsInBlock = 0;
        impl->held.reset();
        impl->delivered.clear();
        impl->stats = StreamStats{};
    }
    impl->streamCv.notify_all();
}

std::vector<uint8_t> EthCameraSim::readMemory(uint32_t address, size_t length) const {
    std::lock_guard<std::mutex> guard(impl->lock);
    std::vector<uint8_t> out(length, 0);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        auto it = impl->pages.find(a / MEMORY_PAGE);
        if (it != impl->pages.end()) {
            out[i] = it->second[a % MEMORY_PAGE];
        }
    }
    return out;
}

std::vector<MemoryWrite> EthCameraSim::memoryWrites() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->memWrites;
}

void EthCameraSim::addReplyFault(ReplyFault fault) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->faults.push_back(fault);
}

void EthCameraSim::clearReplyFaults() {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->faults.clear();
}

void EthCameraSim::setControlLoss(ControlLoss loss) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->loss = loss;
    impl->lossState = loss.seed;
    impl->dropsById.clear();
}

ControlLossStats EthCameraSim::controlLossStats() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->lossStats;
}

void EthCameraSim::setForceIpHook(ForceIpHook hook) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->forceIpHook = std::move(hook);
}

void EthCameraSim::setWriteMemHook(WriteMemHook hook) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->writeMemHook = std::move(hook);
}

std::vector<SimLogEntry> EthCameraSim::log() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->entries;
}

std::vector<std::string> EthCameraSim::logLines() const {
    std::lock_guard<std::mutex> guard(impl->lock);
    std::vector<std::string> out;
    for (const SimLogEntry& e : impl->entries) {
        out.push_back(e.text);
    }
    return out;
}

size_t EthCameraSim::countRequests(uint16_t command, std::optional<uint32_t> address) const {
    std::lock_guard<std::mutex> guard(impl->lock);
    return static_cast<size_t>(
        std::count_if(impl->entries.begin(), impl->entries.end(), [command, address](const SimLogEntry& e) {
            return !e.repeat && e.command == command && (!address || e.address == *address);
        }));
}

void EthCameraSim::clearLog() {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->entries.clear();
}

void EthCameraSim::setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->sink = std::move(sink);
}

bool EthCameraSim::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace quelnor::test
