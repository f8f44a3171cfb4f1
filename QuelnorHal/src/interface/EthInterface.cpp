#include "QuelnorHal/interface/EthInterface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>
#include <utility>

#include "Protocol/QuelnorGigEVision.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorHal/interface/EthHandle.h"
#include "interface/StreamPacketTracker.h"

namespace quelnor {

namespace {

constexpr const char* BROADCAST_IP = "255.255.255.255";
constexpr size_t ADAPTER_NAME_LIMIT = 256;
constexpr const char* FIRMWARE_EXTENSION = "bin";
constexpr int64_t LOSS_WARNING_PERIOD_MS = 1000;

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

unsigned long long macArg(uint64_t mac) { return static_cast<unsigned long long>(mac); }

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and teardown

EthInterface::EthInterface(CameraDescription desc) : Interface(ETH), description(std::move(desc)) {
    lastStreamPacketMs.store(steadyClockMs());
    pendingPayload.reserve(MAX_STREAM_PAYLOAD);
    packetTracker = std::make_unique<StreamPacketTracker>();

    controlHandle = std::make_shared<EthHandle>(description.ipAddresses[1], 0, description.ipAddresses[0], CONTROL_PORT,
                                                UDP_UNICAST);
    // Answers come only from the camera's control port.
    controlHandle->setAcceptedSender(description.ipAddresses[0], CONTROL_PORT);

    switch (writeRegisterExchange(CONTROL_OWNER_REGISTER, 1)) {
    case ExchangeResult::Accepted:
        QN_INFO("Occupy camera port successfully");
        break;
    case ExchangeResult::Rejected:
        QN_ERROR("Failed to occupy camera port");
        break;
    default:
        break;
    }

    uint32_t streamPort = 0;
    const auto portRead = exchange(GvcpPacket::buildReadRegCmd(STREAM_PORT_REGISTER, nextRequestId()),
                                   REGISTER_RETRY, [&streamPort](const uint8_t* data, int length) {
                                       return GvcpPacket::parseReadRegAck(data, length, streamPort);
                                   });
    if (portRead == ExchangeResult::Accepted) {
        QN_INFO("Read camera event stream port: %u", streamPort);
    } else {
        streamPort = 0;
    }

    dataHandle = std::make_shared<EthHandle>(description.ipAddresses[1], 0, description.ipAddresses[0],
                                             static_cast<uint16_t>(streamPort), UDP_UNICAST);
    // Stream data only from the camera; its source port is not bound by the protocol.
    dataHandle->setAcceptedSender(description.ipAddresses[0], 0);
    // Not judged here (construction never fails); start() asks isHostPortConfirmed/confirmHostPort.
    hostPortConfirmed.store(writeRegisterExchange(HOST_PORT_REGISTER, dataHandle->getBoundPort()) ==
                            ExchangeResult::Accepted);
}

EthInterface::~EthInterface() {
    writeRegisterExchange(CONTROL_OWNER_REGISTER, 0);
    {
        std::lock_guard<std::mutex> lock(streamSwitchMutex);
        stopOnlineCheckThread();
    }
    dataHandle.reset();
    controlHandle.reset();
}

std::shared_ptr<EthInterface> EthInterface::createEthInterface(CameraDescription desc) {
    return std::make_shared<EthInterface>(std::move(desc));
}

// ---------------------------------------------------------------------------------------------
// Control exchanges

// The control turn, held for one whole exchange.
class EthInterface::ControlTurn {
public:
    explicit ControlTurn(EthInterface& owner) : self(owner) {
        std::unique_lock<std::mutex> lock(self.controlMutex);
        self.controlFreed.wait(lock, [this] { return !self.controlBusy; });
        self.controlBusy = true;
        taken = true;
    }
    // Waits at most `wait` for the turn; held() tells whether it came.
    ControlTurn(EthInterface& owner, std::chrono::milliseconds wait) : self(owner) {
        std::unique_lock<std::mutex> lock(self.controlMutex);
        if (self.controlFreed.wait_for(lock, wait, [this] { return !self.controlBusy; })) {
            self.controlBusy = true;
            taken = true;
        }
    }
    ~ControlTurn() { release(); }
    ControlTurn(const ControlTurn&) = delete;
    ControlTurn& operator=(const ControlTurn&) = delete;

    bool held() const { return taken; }
    void release() {
        if (!taken) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(self.controlMutex);
            self.controlBusy = false;
        }
        taken = false;
        self.controlFreed.notify_all();
    }

private:
    EthInterface& self;
    bool taken = false;
};

uint16_t EthInterface::nextRequestId() {
    // 0 is not a valid request id.
    uint16_t id = static_cast<uint16_t>(requestCounter.fetch_add(1) + 1);
    while (id == 0) {
        id = static_cast<uint16_t>(requestCounter.fetch_add(1) + 1);
    }
    return id;
}

template <typename Accept>
EthInterface::ExchangeResult EthInterface::runExchange(EthHandle& handle, const std::vector<uint8_t>& request,
                                                       const RetryPolicy& policy, Accept&& accept, int* sends) {
    uint16_t code = 0;
    uint16_t requestId = 0;
    GvcpPacket::readCommandHeader(request, code, requestId);
    const uint16_t ackCode = static_cast<uint16_t>(code + 1);
    const auto send = [&] {
        if (sends != nullptr) {
            ++*sends;
        }
        return handle.sendData(request.data(), static_cast<int>(request.size()));
    };
    if (!send()) {
        return ExchangeResult::SendFailed;
    }
    const auto started = Clock::now();
    auto deadline = started + std::chrono::milliseconds(policy.budgetMs);
    int interval = policy.firstRetryMs;
    // Resends follow the schedule from the first send, not from when this thread woke: a loaded host
    // waking late still makes every planned send, so the number of tries does not depend on load.
    auto resendAt = started + std::chrono::milliseconds(interval);
    uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
    for (;;) {
        int length = 0;
        if (handle.readData(buffer, length, millisecondsLeft(std::min(resendAt, deadline)))) {
            GvcpPacket::AckHeader header;
            // Every try carries the same id, so a late reply to an earlier try is as good as any.
            if (GvcpPacket::readAckHeader(buffer, length, header) && header.acknowledge == ackCode &&
                header.ackId == requestId) {
                return accept(static_cast<const uint8_t*>(buffer), length) ? ExchangeResult::Accepted
                                                                           : ExchangeResult::Rejected;
            }
            // A late reply to an earlier exchange, or something else: not ours.
            QN_DEBUG("Discarded a reply of %d bytes while waiting for acknowledge 0x%04x id %u", length, ackCode,
                     requestId);
        }
        const auto now = Clock::now();
        const auto plannedDeadline = started + std::chrono::milliseconds(policy.budgetMs);
        if (resendAt < plannedDeadline && now >= resendAt) {
            // A failed resend is not the end: the first try may still be answered.
            send();
            interval = std::min(interval * 2, policy.maxRetryMs);
            resendAt += std::chrono::milliseconds(interval);
            // A send owed from before the deadline but made after it still gets one short wait.
            deadline = std::max(deadline, now + std::chrono::milliseconds(policy.firstRetryMs));
            continue;
        }
        if (now >= deadline) {
            return ExchangeResult::NoReply;
        }
    }
}

template <typename Accept>
EthInterface::ExchangeResult EthInterface::exchange(const std::vector<uint8_t>& request, const RetryPolicy& policy,
                                                    Accept&& accept, int* sends) {
    // Held for the whole exchange: the keep-alive and the caller's thread share the socket, and a
    // reply must reach the thread whose request it answers.
    ControlTurn turn(*this);
    if (!controlHandle) {
        return ExchangeResult::SendFailed;
    }
    const auto result = runExchange(*controlHandle, request, policy, std::forward<Accept>(accept), sends);
    if (result == ExchangeResult::Accepted || result == ExchangeResult::Rejected) {
        lastControlReplyMs.store(steadyClockMs());
    }
    return result;
}

EthInterface::ExchangeResult EthInterface::writeRegisterExchange(uint32_t address, uint32_t value) {
    return exchange(GvcpPacket::buildWriteRegCmd(address, value, nextRequestId()), REGISTER_RETRY,
                    [](const uint8_t* data, int length) { return GvcpPacket::checkWriteRegAck(data, length); });
}

// ---------------------------------------------------------------------------------------------
// Registers

bool EthInterface::isConnected() const { return online.load(); }

bool EthInterface::tryReadRegister(uint32_t address, uint32_t& value) {
    uint32_t read = 0;
    const auto result =
        exchange(GvcpPacket::buildReadRegCmd(address, nextRequestId()), REGISTER_RETRY,
                 [&read](const uint8_t* data, int length) { return GvcpPacket::parseReadRegAck(data, length, read); });
    if (result != ExchangeResult::Accepted) {
        QN_ERROR("Read register 0x%08x failed", address);
        value = 0;
        return false;
    }
    value = read;
    return true;
}

uint32_t EthInterface::readRegister(uint32_t address) {
    uint32_t value = 0;
    tryReadRegister(address, value);
    return value;
}

void EthInterface::writeRegister(uint32_t address, uint32_t value) { tryWriteRegister(address, value); }

bool EthInterface::tryWriteRegister(uint32_t address, uint32_t value) {
    switch (writeRegisterExchange(address, value)) {
    case ExchangeResult::Accepted:
        return true;
    case ExchangeResult::Rejected:
        QN_INFO("Write register 0x%08x value 0x%08x failed", address, value);
        return false;
    default:
        QN_ERROR("No reply to write register 0x%08x value 0x%08x", address, value);
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Stream and online check

bool EthInterface::setEventStream(bool enable) {
    std::lock_guard<std::mutex> lock(streamSwitchMutex);
    const auto result = writeRegisterExchange(STREAM_ENABLE_REGISTER, enable ? 1 : 0);
    QN_INFO("Set stream %d", enable ? 1 : 0);
    if (enable && !streamEnabled.load()) {
        streamEnabled.store(true);
        startOnlineCheckThread();
        QN_INFO("Started online check thread for device monitoring");
    } else if (!enable && streamEnabled.load()) {
        streamEnabled.store(false);
        stopOnlineCheckThread();
        QN_INFO("Stopped online check thread");
    }
    return result == ExchangeResult::Accepted;
}

bool EthInterface::isHostPortConfirmed() const { return hostPortConfirmed.load(); }

bool EthInterface::confirmHostPort() {
    if (hostPortConfirmed.load()) {
        return true;
    }
    if (!dataHandle || !dataHandle->isInitialized()) {
        return false;
    }
    const bool confirmed = writeRegisterExchange(HOST_PORT_REGISTER, dataHandle->getBoundPort()) ==
                           ExchangeResult::Accepted;
    hostPortConfirmed.store(confirmed);
    return confirmed;
}

bool EthInterface::fillBufferData(uint8_t* destination, int& length, int room, int timeoutMs) {
    bool gapBefore = false;
    return fillBufferData(destination, length, room, timeoutMs, gapBefore);
}

bool EthInterface::fillBufferData(uint8_t* destination, int& length, int room, int timeoutMs, bool& gapBefore) {
    length = 0;
    gapBefore = false;
    if (destination == nullptr || room <= 0) {
        return false;
    }
    if (pendingOffset < pendingPayload.size()) {
        const size_t n = std::min(static_cast<size_t>(room), pendingPayload.size() - pendingOffset);
        std::memcpy(destination, pendingPayload.data() + pendingOffset, n);
        pendingOffset += n;
        if (pendingOffset == pendingPayload.size()) {
            pendingPayload.clear();
            pendingOffset = 0;
        }
        length = static_cast<int>(n);
        return true;
    }
    if (!dataHandle || !dataHandle->isInitialized()) {
        // No socket to wait on: wait out the time anyway, or the worker's loop would spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(timeoutMs, 0)));
        return false;
    }
    // The payload goes straight into the caller's room; only what does not fit lands in the spill.
    uint8_t header[GvcpPacket::GVSP_HEADER_SIZE];
    uint8_t spill[MAX_STREAM_PAYLOAD];
    const size_t direct = std::min(static_cast<size_t>(room), static_cast<size_t>(MAX_STREAM_PAYLOAD));
    const EthHandle::Part parts[] = {
        {header, sizeof header},
        {destination, direct},
        {spill, MAX_STREAM_PAYLOAD - direct},
    };
    int received = 0;
    if (!dataHandle->readDataScattered(parts, 3, received, timeoutMs)) {
        noteStreamLoss(); // refused datagrams are counted by the socket
        return false;
    }
    size_t payloadOffset = 0;
    int payloadLength = 0;
    uint32_t packetId = 0;
    // The header check reads only the first 8 bytes; the count gives the payload length.
    if (!GvcpPacket::parseGvspHeader(header, received, payloadOffset, payloadLength, packetId)) {
        QN_ERROR("Parse GVSP packet error");
        malformedDatagrams.fetch_add(1, std::memory_order_relaxed);
        noteStreamLoss();
        return false;
    }
    noteStreamPacketReceived();
    const StreamPacketTracker::Result packet = packetTracker->onPacket(packetId);
    if (packet.verdict != StreamPacketTracker::Verdict::Take) {
        // Splicing it in would put data behind what came after it.
        (packet.verdict == StreamPacketTracker::Verdict::Late ? latePackets : duplicatePackets)
            .fetch_add(1, std::memory_order_relaxed);
        noteStreamLoss();
        return false;
    }
    if (packet.missed > 0) {
        lostPackets.fetch_add(packet.missed, std::memory_order_relaxed);
        lostBytes.fetch_add(uint64_t(packet.missed) * largestPayload, std::memory_order_relaxed);
    }
    gapBefore = packet.gapBefore;
    if (gapBefore) {
        noteStreamLoss();
    }
    largestPayload = std::max(largestPayload, static_cast<uint32_t>(payloadLength));
    if (static_cast<size_t>(payloadLength) > direct) {
        pendingPayload.assign(spill, spill + (static_cast<size_t>(payloadLength) - direct));
        pendingOffset = 0;
        length = static_cast<int>(direct);
    } else {
        length = payloadLength;
    }
    return length >= 1;
}

bool EthInterface::hasPendingStreamData() const { return pendingOffset < pendingPayload.size(); }

void EthInterface::resetStreamTracking() {
    pendingPayload.clear();
    pendingOffset = 0;
    packetTracker->reset();
    largestPayload = PAYLOAD_SIZE;
    lostPackets.store(0);
    lostBytes.store(0);
    malformedDatagrams.store(0);
    latePackets.store(0);
    duplicatePackets.store(0);
    if (dataHandle) {
        dataHandle->resetRefusedDatagrams();
    }
    if (controlHandle) {
        controlHandle->resetRefusedDatagrams();
    }
    lastLossWarningMs = 0;
    lostAtLastWarning = 0;
    lostBytesAtLastWarning = 0;
    refusedAtLastWarning = 0;
}

uint64_t EthInterface::getLostPackets() const { return lostPackets.load(std::memory_order_relaxed); }

uint64_t EthInterface::getLostBytes() const { return lostBytes.load(std::memory_order_relaxed); }

uint64_t EthInterface::getRefusedDatagrams() const {
    return malformedDatagrams.load(std::memory_order_relaxed) + latePackets.load(std::memory_order_relaxed) +
           duplicatePackets.load(std::memory_order_relaxed) + (dataHandle ? dataHandle->getRefusedDatagrams() : 0) +
           (controlHandle ? controlHandle->getRefusedDatagrams() : 0);
}

uint64_t EthInterface::getLatePackets() const { return latePackets.load(std::memory_order_relaxed); }

uint64_t EthInterface::getDuplicatePackets() const { return duplicatePackets.load(std::memory_order_relaxed); }

StreamLossInfo EthInterface::getStreamLossInfo() const {
    StreamLossInfo info;
    info.lostPackets = getLostPackets();
    info.lostBytes = getLostBytes();
    info.refusedDatagrams = getRefusedDatagrams();
    return info;
}

// At most one line a second while losses go on; what comes in between is only counted.
void EthInterface::noteStreamLoss() {
    const int64_t now = steadyClockMs();
    if (lastLossWarningMs != 0 && now - lastLossWarningMs < LOSS_WARNING_PERIOD_MS) {
        return;
    }
    const uint64_t lost = getLostPackets();
    const uint64_t bytes = getLostBytes();
    const uint64_t refused = getRefusedDatagrams();
    if (lost == lostAtLastWarning && refused == refusedAtLastWarning) {
        return;
    }
    QN_WARN("Ethernet stream losses: %llu packets lost (about %llu bytes), %llu datagrams refused",
            static_cast<unsigned long long>(lost - lostAtLastWarning),
            static_cast<unsigned long long>(bytes - lostBytesAtLastWarning),
            static_cast<unsigned long long>(refused - refusedAtLastWarning));
    lastLossWarningMs = now;
    lostAtLastWarning = lost;
    lostBytesAtLastWarning = bytes;
    refusedAtLastWarning = refused;
}

void EthInterface::logStreamLossSummary() const {
    const uint64_t lost = getLostPackets();
    const uint64_t refused = getRefusedDatagrams();
    const uint64_t late = getLatePackets();
    const uint64_t duplicates = getDuplicatePackets();
    const uint64_t malformed = malformedDatagrams.load(std::memory_order_relaxed);
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    QN_LOG(lost == 0 && refused == 0 ? LOG_INFO : LOG_WARN,
           "Ethernet stream: %llu packets lost (about %llu bytes), %llu datagrams refused (%llu late, %llu duplicate, "
           "%llu malformed, %llu too large or from another sender)",
           u(lost), u(getLostBytes()), u(refused), u(late), u(duplicates), u(malformed),
           u(refused - late - duplicates - malformed));
}

void EthInterface::startOnlineCheckThread() {
    if (onlineCheckThread.joinable()) {
        onlineCheckThread.join();
    }
    {
        std::lock_guard<std::mutex> lock(onlineWakeMutex);
        stopOnlineCheck.store(false);
    }
    onlineCheckThread = std::thread([this] { onlineCheckLoop(); });
}

void EthInterface::stopOnlineCheckThread() {
    {
        std::lock_guard<std::mutex> lock(onlineWakeMutex);
        stopOnlineCheck.store(true);
    }
    onlineWake.notify_all();
    if (onlineCheckThread.joinable()) {
        onlineCheckThread.join();
    }
}

void EthInterface::onlineCheckLoop() {
    while (!stopOnlineCheck.load()) {
        const Liveness liveness = checkDeviceOnline();
        if (liveness != Liveness::Unknown) {
            std::lock_guard<std::mutex> lock(onlineMutex);
            if (liveness == Liveness::Online) {
                consecutiveFailures.store(0);
                online.store(true);
            } else {
                const int failures = consecutiveFailures.fetch_add(1) + 1;
                if (failures >= OFFLINE_AFTER_FAILURES) {
                    online.store(false);
                    QN_WARN("Device marked as offline after %d consecutive failures", failures);
                    stopOnlineCheck.store(true);
                }
            }
        }
        std::unique_lock<std::mutex> lock(onlineWakeMutex);
        onlineWake.wait_for(lock, std::chrono::milliseconds(ONLINE_CHECK_PERIOD_MS),
                            [this] { return stopOnlineCheck.load(); });
    }
}

EthInterface::Liveness EthInterface::checkDeviceOnline() {
    try {
        ControlTurn turn(*this, std::chrono::milliseconds(KEEP_ALIVE_LOCK_WAIT_MS));
        if (!turn.held()) {
            // Another exchange holds the socket (a write being resent, a firmware chunk): the replies it
            // heard, or the stream, tell that the camera is there. Without them nothing is known yet;
            // that exchange ends within its own bound and the next check asks again.
            const int64_t now = steadyClockMs();
            return hasRecentControlReply(now, STREAM_RECENT_WINDOW_MS) ||
                           hasRecentStreamPacket(now, STREAM_RECENT_WINDOW_MS)
                       ? Liveness::Online
                       : Liveness::Unknown;
        }
        uint32_t value = 0;
        const auto result =
            controlHandle
                ? runExchange(*controlHandle, GvcpPacket::buildReadRegCmd(KEEP_ALIVE_REGISTER, nextRequestId()),
                              REGISTER_RETRY,
                              [&value](const uint8_t* data, int length) {
                                  return GvcpPacket::parseReadRegAck(data, length, value);
                              })
                : ExchangeResult::SendFailed;
        turn.release();
        if (result == ExchangeResult::Accepted) {
            lastControlReplyMs.store(steadyClockMs());
            return Liveness::Online;
        }
        if (result == ExchangeResult::Rejected) {
            QN_WARN("Failed to read register 0x0088");
        }
    } catch (const std::exception& e) {
        QN_ERROR("Error checking device online status: %s", e.what());
    }
    // A camera busy streaming may be slow to answer: recent stream data also counts as online.
    return hasRecentStreamPacket(steadyClockMs(), STREAM_RECENT_WINDOW_MS) ? Liveness::Online : Liveness::Offline;
}

int64_t EthInterface::steadyClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void EthInterface::noteStreamPacketReceived() { lastStreamPacketMs.store(steadyClockMs()); }

bool EthInterface::hasRecentStreamPacket(int64_t nowMs, int64_t windowMs) const {
    return streamEnabled.load() && nowMs - lastStreamPacketMs.load() <= windowMs;
}

bool EthInterface::hasRecentControlReply(int64_t nowMs, int64_t windowMs) const {
    const int64_t last = lastControlReplyMs.load();
    return last != 0 && nowMs - last <= windowMs;
}

uint32_t EthInterface::maskId(uint32_t id) { return StreamPacketTracker::maskId(id); }

uint32_t EthInterface::forwardDist(uint32_t a, uint32_t b) { return StreamPacketTracker::forwardDist(a, b); }

bool EthInterface::isNewer(uint32_t a, uint32_t b) { return StreamPacketTracker::isNewer(a, b); }

// ---------------------------------------------------------------------------------------------
// Discovery

std::vector<NetworkInterface> EthInterface::getNetworkInterfaces() {
    std::vector<NetworkInterface> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return result;
    }
    for (ifaddrs* p = list; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET || p->ifa_netmask == nullptr) {
            continue;
        }
        const unsigned flags = p->ifa_flags;
        // A veth counts as well as a physical adapter: up, not loopback, able to broadcast.
        if ((flags & IFF_UP) == 0 || (flags & IFF_LOOPBACK) != 0 || (flags & IFF_BROADCAST) == 0 ||
            p->ifa_broadaddr == nullptr) {
            continue;
        }
        NetworkInterface adapter;
        const size_t nameLength = p->ifa_name != nullptr ? std::strlen(p->ifa_name) : 0;
        if (nameLength >= 1 && nameLength <= ADAPTER_NAME_LIMIT) {
            adapter.name = p->ifa_name;
        }
        adapter.ip = ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
        adapter.mask = ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr);
        adapter.broadcast = (adapter.ip & adapter.mask) | ~adapter.mask;
        result.push_back(adapter);
    }
    freeifaddrs(list);
    return result;
}

std::vector<CameraDescription> EthInterface::findEthDvsCamera() {
    std::vector<CameraDescription> found;
    const std::vector<uint8_t> discovery = GvcpPacket::buildDiscoveryCmd(true);
    for (const NetworkInterface& adapter : getNetworkInterfaces()) {
        const std::string adapterIp = ipToString(adapter.ip);
        EthHandle handle(adapterIp, CONTROL_PORT, BROADCAST_IP, CONTROL_PORT, UDP_BROADCAST);
        handle.sendBroadcastData(discovery.data(), static_cast<int>(discovery.size()));
        uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
        int length = 0;
        // Listening ends only after 100 ms without any datagram: a refused one (too large) is
        // skipped like any other datagram that is no answer.
        for (;;) {
            const EthHandle::ReceiveStatus status = handle.receiveBroadcast(buffer, length);
            if (status == EthHandle::ReceiveStatus::Refused) {
                continue;
            }
            if (status != EthHandle::ReceiveStatus::Received) {
                break;
            }
            GvcpDiscoveryInfo info;
            // Our own broadcast and anything else that is not an acknowledgement is skipped here.
            if (!GvcpPacket::parseDiscoveryAck(buffer, length, info)) {
                continue;
            }
            CameraDescription camera;
            camera.serialNumber = info.serialNumber;
            camera.productName = info.modelName;
            camera.manufacturer = info.manufacturerName;
            camera.vendorId = DISCOVERY_VENDOR_ID;
            camera.productId = DISCOVERY_PRODUCT_ID;
            camera.interfaceType = INTERFACE_ETH;
            camera.ipAddresses = {ipToString(info.ip), adapterIp, ipToString(info.subnetMask),
                                  ipToString(info.gateway)};
            camera.macAddress = info.mac;
            camera.firmwareVersion = info.deviceVersion;
            found.push_back(std::move(camera));
        }
    }
    return found;
}

// ---------------------------------------------------------------------------------------------
// Maintenance

bool isForceIpApplied(const std::vector<CameraDescription>& descriptions, uint64_t mac, const std::string& ip,
                      const std::string& mask, const std::string& gateway) {
    return std::any_of(descriptions.begin(), descriptions.end(), [&](const CameraDescription& d) {
        return d.macAddress == mac && d.ipAddresses[0] == ip && d.ipAddresses[2] == mask && d.ipAddresses[3] == gateway;
    });
}

// Each call its own request id. A camera answers a request equal to the last one from the same
// local port from its stored reply, without acting; the system may give a call the port of an
// earlier one, and with one id for all a call back to that call's address would then not move the
// camera, yet be acknowledged. Resends within a call keep its id.
static uint16_t nextForceIpRequestId() {
    static std::atomic<uint16_t> next{EthInterface::FORCE_IP_REQUEST_ID};
    for (;;) {
        const uint16_t id = next.fetch_add(1);
        if (id != 0 && id != GvcpPacket::DISCOVERY_REQUEST_ID) {
            return id;
        }
    }
}

bool EthInterface::ethCameraForceIP(CameraDescription desc, uint32_t ip, uint32_t mask, uint32_t gateway) {
    const std::string ipText = ipToString(ip);
    const std::string maskText = ipToString(mask);
    const std::string gatewayText = ipToString(gateway);
    const uint64_t mac = desc.macAddress;
    ExchangeResult result = ExchangeResult::NoReply;
    {
        EthHandle handle(desc.ipAddresses[1], 0, BROADCAST_IP, CONTROL_PORT, UDP_BROADCAST);
        // The camera answers a repeated request from its stored reply, so a resend never moves it twice.
        result = runExchange(handle, GvcpPacket::buildForceIpCmd(mac, ip, mask, gateway, nextForceIpRequestId()),
                             FORCE_IP_RETRY,
                             [](const uint8_t* data, int length) { return GvcpPacket::checkForceIpAck(data, length); });
        if (result == ExchangeResult::SendFailed) {
            QN_ERROR("ForceIP command send failed, MAC: %012llx, New IP: %s", macArg(mac), ipText.c_str());
            return false;
        }
    }
    const bool accepted = result == ExchangeResult::Accepted;
    const bool replied = result == ExchangeResult::Rejected;
    if (accepted) {
        QN_INFO("ForceIP ACK received; configuration succeeded, MAC: %012llx, New IP: %s", macArg(mac), ipText.c_str());
        return true;
    }
    if (replied) {
        QN_WARN("Invalid ForceIP ACK received; verifying by rediscovery, MAC: %012llx, New IP: %s", macArg(mac),
                ipText.c_str());
    } else {
        QN_WARN("ForceIP ACK timed out; verifying by rediscovery, MAC: %012llx, New IP: %s", macArg(mac),
                ipText.c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(FORCE_IP_SETTLE_MS));
    // A pass can lose its request or the camera's reply: look again before calling it a failure.
    std::vector<CameraDescription> rediscovered;
    for (int pass = 0; pass < FORCE_IP_VERIFY_PASSES; ++pass) {
        rediscovered = findEthDvsCamera();
        if (isForceIpApplied(rediscovered, mac, ipText, maskText, gatewayText)) {
            QN_INFO("ForceIP ACK %s, but rediscovery verified the configuration, MAC: %012llx, New IP: %s",
                    replied ? "was invalid" : "timed out", macArg(mac), ipText.c_str());
            return true;
        }
    }
    QN_ERROR("ForceIP configuration was not applied after rediscovery verification, MAC: %012llx, Expected IP: %s, "
             "Netmask: %s, Gateway: %s",
             macArg(mac), ipText.c_str(), maskText.c_str(), gatewayText.c_str());
    // Say where the camera is, so the user does not look for it at an address it does not have.
    const auto same = std::find_if(rediscovered.begin(), rediscovered.end(),
                                   [mac](const CameraDescription& d) { return d.macAddress == mac; });
    if (same != rediscovered.end()) {
        QN_ERROR("ForceIP: camera MAC %012llx still answers at IP %s, Netmask: %s, Gateway: %s", macArg(mac),
                 same->ipAddresses[0].c_str(), same->ipAddresses[2].c_str(), same->ipAddresses[3].c_str());
    } else {
        QN_ERROR("ForceIP: camera MAC %012llx not found by %d rediscovery passes", macArg(mac),
                 FORCE_IP_VERIFY_PASSES);
    }
    return false;
}

bool EthInterface::forceIP(uint64_t mac, uint32_t ip, uint32_t mask, uint32_t gateway) {
    const auto result =
        exchange(GvcpPacket::buildForceIpCmd(mac, ip, mask, gateway, nextRequestId()), FORCE_IP_RETRY,
                 [](const uint8_t* data, int length) { return GvcpPacket::checkForceIpAck(data, length); });
    return result == ExchangeResult::Accepted;
}

// What is known of the chunk; the chunks before it are written.
void EthInterface::reportUnacknowledgedChunk(ExchangeResult result, uint16_t status, int sends, uint32_t packet,
                                             uint32_t address) {
    const int p = static_cast<int>(packet);
    switch (result) {
    case ExchangeResult::Rejected:
        if (status != 0) {
            QN_ERROR("Firmware update stopped at packet %d, address 0x%08x: not written (the camera refused it, "
                     "status 0x%04x)",
                     p, address, status);
        } else {
            QN_ERROR("Firmware update stopped at packet %d, address 0x%08x: written, not acknowledged (the camera's "
                     "acknowledgement was malformed)",
                     p, address);
        }
        break;
    case ExchangeResult::SendFailed:
        QN_ERROR("Firmware update stopped at packet %d, address 0x%08x: not written (it could not be sent)", p,
                 address);
        break;
    default:
        QN_ERROR("Firmware update stopped at packet %d, address 0x%08x: not acknowledged after %d sends; whether it "
                 "was written is not known",
                 p, address, sends);
        break;
    }
}

bool EthInterface::updateFirmware(std::string path, uint32_t startAddress) {
    const size_t dot = path.rfind('.');
    const std::string extension = dot == std::string::npos ? path : path.substr(dot + 1);
    if (extension != FIRMWARE_EXTENSION) {
        QN_ERROR("Invalid firmware file format. Only .bin files are supported.");
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        QN_ERROR("Failed to open firmware file: %s", path.c_str());
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : std::streamoff(-1);
    if (!file || size < 0) {
        QN_ERROR("seekg failed! Error code: %d. File might be a pipe, device, or inaccessible.",
                 static_cast<int>(file.rdstate()));
        return false;
    }
    file.seekg(0, std::ios::beg);
    QN_INFO("Updating firmware with file: %s (size: %lld bytes)", path.c_str(), static_cast<long long>(size));

    uint32_t address = startAddress;
    // Counted in 32 bits for the reports; the request id is its low 16 bits.
    uint32_t packets = 0;
    uint64_t sent = 0;
    uint8_t chunk[FIRMWARE_CHUNK_SIZE];
    for (;;) {
        file.read(reinterpret_cast<char*>(chunk), static_cast<std::streamsize>(sizeof chunk));
        const std::streamsize got = file.gcount();
        if (got <= 0) {
            break;
        }
        const uint16_t requestId = static_cast<uint16_t>(packets);
        GvcpPacket::AckHeader ack;
        int sends = 0;
        const auto result =
            exchange(GvcpPacket::buildWriteMemCmd(requestId, address, chunk, static_cast<uint16_t>(got)),
                     FIRMWARE_RETRY,
                     [requestId, &ack](const uint8_t* data, int length) {
                         GvcpPacket::readAckHeader(data, length, ack);
                         return GvcpPacket::checkWriteMemAck(data, length, requestId);
                     },
                     &sends);
        if (result != ExchangeResult::Accepted) {
            if (result == ExchangeResult::Rejected) {
                QN_ERROR("Failed to parse response for packet %d at address 0x%08x", static_cast<int>(packets),
                         address);
            } else {
                QN_ERROR("Failed to read response for packet %d at address 0x%08x", static_cast<int>(packets),
                         address);
            }
            reportUnacknowledgedChunk(result, ack.status, sends, packets, address);
            return false;
        }
        address += static_cast<uint32_t>(got);
        sent += static_cast<uint64_t>(got);
        ++packets;
        if (packets % FIRMWARE_PROGRESS_EVERY == 0) {
            const float percent = static_cast<float>(sent) / static_cast<float>(size) * 100.0f;
            QN_INFO("Firmware update progress: %.1f%% (Packet %d, Address 0x%08x)", static_cast<double>(percent),
                    static_cast<int>(packets), address);
        }
        if (!file) {
            break;
        }
    }
    const bool readError = file.bad();
    file.close();
    // A read error or a file that changed under us ends the loop early: that is no success.
    if (readError || sent != static_cast<uint64_t>(size)) {
        QN_ERROR("Firmware file read ended early: %llu of %lld bytes sent", static_cast<unsigned long long>(sent),
                 static_cast<long long>(size));
        return false;
    }
    QN_INFO("Firmware update completed successfully. Total packets: %d, Total bytes: 0x%08x", static_cast<int>(packets),
            static_cast<uint32_t>(sent));
    return true;
}

bool EthInterface::writeDeviceParameters(GvcpDeviceParameters& params) {
    if (!controlHandle || !controlHandle->isInitialized()) {
        QN_ERROR("Command handle is not initialized");
        return false;
    }
    const auto result =
        exchange(GvcpPacket::buildWriteDeviceParametersCmd(params), DEVICE_PARAMETERS_RETRY,
                 [](const uint8_t* data, int length) {
                     return GvcpPacket::checkWriteMemAck(data, length, GvcpPacket::DEVICE_PARAMETERS_REQUEST_ID);
                 });
    if (result == ExchangeResult::Rejected) {
        QN_ERROR("Failed to parse write device parameters ack");
        return false;
    }
    if (result != ExchangeResult::Accepted) {
        QN_ERROR("Failed to read response for write device parameters");
        return false;
    }
    QN_INFO("Write device parameters completed successfully");
    return true;
}

} // namespace quelnor
