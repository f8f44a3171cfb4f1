#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuelnorHal/EventStream/StreamLossInfo.h"
#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/GvcpDeviceParameters.h"
#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/interface/NetworkInterface.h"

namespace quelnor {

class EthHandle;
class StreamPacketTracker;

// The device interface of an Ethernet event camera: discovery on every local adapter, a control
// socket for register access and a data socket on which the camera streams its events, the stream
// switch with an online check, and the maintenance operations (force IP, firmware, device parameters).
//
// Control exchanges (register access, stream switch, keep-alive, maintenance) are one request and
// its reply: one exchange at a time holds the control lock, every request carries a new request id,
// and replies whose code or id do not match the request are discarded until the time-out. A request
// without a reply is sent again, the same datagram with the same id, so a reply to any try of the
// exchange is taken; the camera answers a repeated id from its stored reply without acting twice.
//
// Only the camera is heard: the control socket takes datagrams only from the camera's address and
// control port, the data socket only from the camera's address; anything else is dropped and counted.
// Discovery hears every answer.
//
// Stream datagrams carry 24-bit packet ids. Payloads go on in arrival order; a packet newer than the
// one expected declares a gap (the packets between are lost), and a duplicate or a packet arriving
// after its gap was declared is refused, never spliced in.
//
// Threads: the caller's (construction, registers, stream switch, maintenance), the data-transfer
// worker (fillBufferData, data socket only, one thread at a time) and the online-check worker, which
// reads the keep-alive register once a second while the stream is on. isConnected never blocks.
class EthInterface : public Interface {
public:
    static constexpr uint32_t PACKET_ID_MASK = 0xFFFFFF;
    static constexpr uint32_t REORDER_WINDOW = 2048;
    static constexpr uint32_t RING_SIZE = 4096;
    static constexpr uint32_t PAYLOAD_SIZE = 1400;
    static constexpr uint32_t MAX_BATCH_BYTES = 131072;

    static constexpr uint16_t CONTROL_PORT = 3956;
    static constexpr uint32_t CONTROL_OWNER_REGISTER = 0x0773; // 1: take, 0: release the control port
    static constexpr uint32_t STREAM_PORT_REGISTER = 0x0D1C;   // the camera's stream source port
    static constexpr uint32_t HOST_PORT_REGISTER = 0x0D00;     // the host port the camera streams to
    static constexpr uint32_t STREAM_ENABLE_REGISTER = 0x0770; // 1: stream on, 0: off
    static constexpr uint32_t KEEP_ALIVE_REGISTER = 0x0088;

    // Overall bound of a register exchange (connection, registers, stream switch, keep-alive, force
    // IP acknowledgement): the single wait this exchange always had.
    static constexpr int CONTROL_TIMEOUT_MS = 100;
    // Resend interval within it. A camera on the LAN answers a register access in well under 1 ms, so
    // 20 ms means "lost", not "slow", even on a loaded host; a slow camera is still heard because a
    // reply to an earlier try counts. 100 / 20 gives 5 sends: with p of the datagrams lost each way an
    // exchange fails with about (2p)^5, 3e-9 at 1 % and 1e-5 at 5 %, where one try failed with 2p.
    static constexpr int CONTROL_RETRY_MS = 20;
    static constexpr int STREAM_TIMEOUT_MS = 100;
    // The largest stream payload a datagram can carry (the largest datagram less its header).
    static constexpr int MAX_STREAM_PAYLOAD = 1406;

    static constexpr int ONLINE_CHECK_PERIOD_MS = 1000;
    static constexpr int64_t STREAM_RECENT_WINDOW_MS = 3000;
    static constexpr int OFFLINE_AFTER_FAILURES = 5;

    static constexpr int FORCE_IP_TIMEOUT_MS = 100;
    static constexpr int FORCE_IP_SETTLE_MS = 300;
    // The request id of the first force-IP call; later calls count on from it.
    static constexpr uint16_t FORCE_IP_REQUEST_ID = 1;
    static constexpr size_t FIRMWARE_CHUNK_SIZE = 256;
    // Overall bound per chunk. A camera may take long to write its flash, so the resend interval
    // starts at CONTROL_RETRY_MS (a lost datagram costs 20 ms) and doubles up to
    // MAINTENANCE_MAX_RETRY_MS: about 15 sends in 10 s, few duplicates for a camera that is only slow.
    static constexpr int FIRMWARE_ACK_TIMEOUT_MS = 10000;
    static constexpr int MAINTENANCE_MAX_RETRY_MS = 1000;
    // Rediscovery passes that look for a camera at its new address after a lost force-IP
    // acknowledgement; each pass can lose its request or its reply, as the force IP could.
    static constexpr int FORCE_IP_VERIFY_PASSES = 5;
    static constexpr uint32_t FIRMWARE_PROGRESS_EVERY = 100;
    static constexpr int DEVICE_PARAMETERS_TIMEOUT_MS = 5000; // same resend intervals as a chunk
    // How long the keep-alive waits for the control socket while another exchange holds it; past that
    // the replies that exchange heard count as signs of life, and without any the check is skipped.
    static constexpr int KEEP_ALIVE_LOCK_WAIT_MS = CONTROL_TIMEOUT_MS;

    static constexpr uint16_t DISCOVERY_VENDOR_ID = 1205;
    static constexpr uint16_t DISCOVERY_PRODUCT_ID = 1;

    // Runs the connection sequence: takes the camera's control port, reads its stream port, opens
    // the data socket and tells the camera the host port. Never fails: an unreachable camera gives
    // an interface whose exchanges time out. Use createEthInterface.
    explicit EthInterface(CameraDescription description);
    // Releases the camera's control port, stops the online check, closes the sockets.
    ~EthInterface() override;
    EthInterface(const EthInterface&) = delete;
    EthInterface& operator=(const EthInterface&) = delete;

    static std::shared_ptr<EthInterface> createEthInterface(CameraDescription description);
    // One description per valid discovery acknowledgement, adapter by adapter; a camera seen
    // through two adapters is listed twice.
    static std::vector<CameraDescription> findEthDvsCamera();
    static std::vector<NetworkInterface> getNetworkInterfaces();
    // Gives the camera of `description` a new address (host order, first octet high). Without an
    // acknowledgement the result is verified by a new discovery.
    static bool ethCameraForceIP(CameraDescription description, uint32_t ip, uint32_t mask, uint32_t gateway);

    // False once the online check failed five times in a row.
    bool isConnected() const override;
    using Interface::readRegister;
    // 0 (and an error logged) when the read fails.
    uint32_t readRegister(uint32_t address) override;
    void writeRegister(uint32_t address, uint32_t value) override;
    // The write, true when the camera acknowledged it (after the resends); logged as writeRegister.
    bool tryWriteRegister(uint32_t address, uint32_t value) override;
    // False (and an error logged) when no valid reply came; value then holds 0.
    bool tryReadRegister(uint32_t address, uint32_t& value) override;

    // Switches the camera's stream; on starts the online check, off stops it. True when the camera
    // acknowledged the write.
    bool setEventStream(bool enable);
    // Waits up to timeoutMs for one stream datagram and copies its payload to destination, writing
    // at most `room` bytes. A payload larger than room is split: the rest is kept and delivered
    // first by the next call (without waiting). length: bytes written; true when at least one.
    // Leader, trailer, malformed and oversized datagrams are refused (false, logged).
    // Called by one thread at a time (the data-transfer worker).
    bool fillBufferData(uint8_t* destination, int& length, int room, int timeoutMs = STREAM_TIMEOUT_MS);
    // As above; gapBefore tells that stream data was lost before the payload written (packets
    // missing before it, or the camera's packet ids started anew). Duplicates and late packets are
    // refused (false) and counted. Same thread rule.
    bool fillBufferData(uint8_t* destination, int& length, int room, int timeoutMs, bool& gapBefore);
    // True while part of a split payload waits for the next fillBufferData.
    bool hasPendingStreamData() const;
    // A new stream: forgets the packet ids, any split payload and the loss counters below (also the
    // refused counts of both sockets). Called at stream start, while no thread is in fillBufferData.
    void resetStreamTracking();
    // Running totals since resetStreamTracking. Any thread; relaxed atomic reads, no lock.
    uint64_t getLostPackets() const;       // packets missing at the gaps declared
    uint64_t getLostBytes() const;         // estimated: missing packets x the largest payload seen
    uint64_t getRefusedDatagrams() const;  // malformed, late, duplicate, too large or from another sender
    uint64_t getLatePackets() const;       // arrived after their gap was declared (part of refused)
    uint64_t getDuplicatePackets() const;  // arrived twice (part of refused)
    // The three loss fields above in a StreamLossInfo (the dropped-buffer fields stay 0). Any thread.
    StreamLossInfo getStreamLossInfo() const;
    // Logs the totals once (warn level when anything was lost or refused, info otherwise). Called by
    // the data-transfer worker when the stream stops.
    void logStreamLossSummary() const;

    // Whether the camera acknowledged the host port (0x0D00) the stream goes to; set at connection and
    // by confirmHostPort. Never blocks.
    bool isHostPortConfirmed() const;
    // Caller's thread (the camera's start): tells the camera the host port again unless it already
    // confirmed it. One register exchange at most (up to CONTROL_TIMEOUT_MS).
    bool confirmHostPort();

    // Force IP through this interface's control socket, to the camera's own address.
    bool forceIP(uint64_t mac, uint32_t ip, uint32_t mask, uint32_t gateway);
    // Writes a ".bin" file into the camera's memory from startAddress in 256-byte chunks, each
    // acknowledged before the next (resent under its id while unanswered). True only when every byte
    // of the file was written. A chunk left unacknowledged ends it with an error line that says
    // whether the chunk is "not written", "written, not acknowledged", or not known to be either.
    bool updateFirmware(std::string path, uint32_t startAddress);
    // Writes the factory record to the camera's memory at 0x400000.
    bool writeDeviceParameters(GvcpDeviceParameters& params);

private:
    friend class EthInterfaceTestPeer;

    enum class ExchangeResult {
        Accepted, // the matching reply passed the check
        Rejected, // the matching reply failed the check
        NoReply,  // nothing matching before the time-out
        SendFailed,
    };

    // Resends come firstRetryMs after the first send, each interval doubling up to maxRetryMs, until
    // budgetMs after the first send.
    struct RetryPolicy {
        int firstRetryMs;
        int maxRetryMs;
        int budgetMs;
    };
    static constexpr RetryPolicy REGISTER_RETRY{CONTROL_RETRY_MS, CONTROL_RETRY_MS, CONTROL_TIMEOUT_MS};
    static constexpr RetryPolicy FORCE_IP_RETRY{CONTROL_RETRY_MS, CONTROL_RETRY_MS, FORCE_IP_TIMEOUT_MS};
    static constexpr RetryPolicy FIRMWARE_RETRY{CONTROL_RETRY_MS, MAINTENANCE_MAX_RETRY_MS, FIRMWARE_ACK_TIMEOUT_MS};
    static constexpr RetryPolicy DEVICE_PARAMETERS_RETRY{CONTROL_RETRY_MS, MAINTENANCE_MAX_RETRY_MS,
                                                         DEVICE_PARAMETERS_TIMEOUT_MS};

    // Sends request on the control socket and waits for the reply whose code is the request's code + 1
    // and whose id is the request's id, resending it by the policy; other datagrams are discarded.
    // accept judges the matching reply. Holds the control lock for the whole exchange.
    template <typename Accept>
    ExchangeResult exchange(const std::vector<uint8_t>& request, const RetryPolicy& policy, Accept&& accept,
                            int* sends = nullptr);
    // The exchange itself, on any socket (force IP uses a broadcast socket of its own). sends: how many
    // times the request went out.
    template <typename Accept>
    static ExchangeResult runExchange(EthHandle& handle, const std::vector<uint8_t>& request,
                                      const RetryPolicy& policy, Accept&& accept, int* sends = nullptr);
    uint16_t nextRequestId();
    // The error line that ends a firmware update: what is known of the chunk that got no acknowledgement.
    static void reportUnacknowledgedChunk(ExchangeResult result, uint16_t status, int sends, uint32_t packet,
                                          uint32_t address);
    // Register write of the connection sequence, teardown and stream switch.
    ExchangeResult writeRegisterExchange(uint32_t address, uint32_t value);

    void startOnlineCheckThread();
    void stopOnlineCheckThread();
    void onlineCheckLoop();
    enum class Liveness {
        Online,
        Offline,
        Unknown, // the control socket stayed busy and nothing recent was heard: counts neither way
    };
    Liveness checkDeviceOnline();
    static int64_t steadyClockMs();
    void noteStreamPacketReceived();
    bool hasRecentStreamPacket(int64_t nowMs, int64_t windowMs) const;
    bool hasRecentControlReply(int64_t nowMs, int64_t windowMs) const;

    // 24-bit stream packet ids.
    static uint32_t forwardDist(uint32_t a, uint32_t b);
    static bool isNewer(uint32_t a, uint32_t b);
    static uint32_t maskId(uint32_t id);

    std::shared_ptr<EthHandle> dataHandle;
    std::shared_ptr<EthHandle> controlHandle;
    CameraDescription description;
    std::thread onlineCheckThread;
    std::atomic<bool> online{true};
    std::atomic<int> consecutiveFailures{0};
    std::atomic<bool> stopOnlineCheck{false};
    std::atomic<bool> streamEnabled{false};
    std::mutex onlineMutex;
    std::atomic<int64_t> lastStreamPacketMs{0};
    // Steady-clock ms of the last reply that matched an exchange; what the keep-alive goes by while
    // another exchange holds the control socket.
    std::atomic<int64_t> lastControlReplyMs{0};
    std::atomic<bool> hostPortConfirmed{false};

    // One control exchange at a time: the turn is a flag under a mutex, so that the keep-alive can
    // wait for it with a bound (a condition variable, which the thread checkers understand).
    class ControlTurn;
    std::mutex controlMutex;
    std::condition_variable controlFreed;
    bool controlBusy = false;
    std::atomic<uint16_t> requestCounter{0};
    std::mutex onlineWakeMutex; // the online check's pause ends early on stop
    std::condition_variable onlineWake;
    std::mutex streamSwitchMutex; // serialises setEventStream and teardown of the worker

    // The rest of a stream payload that did not fit the caller's room.
    std::vector<uint8_t> pendingPayload;
    size_t pendingOffset = 0;

    // Stream loss accounting. The tracker and the warning state belong to the stream worker.
    void noteStreamLoss();
    std::unique_ptr<StreamPacketTracker> packetTracker;
    uint32_t largestPayload = PAYLOAD_SIZE;
    std::atomic<uint64_t> lostPackets{0};
    std::atomic<uint64_t> lostBytes{0};
    std::atomic<uint64_t> malformedDatagrams{0};
    std::atomic<uint64_t> latePackets{0};
    std::atomic<uint64_t> duplicatePackets{0};
    int64_t lastLossWarningMs = 0;
    uint64_t lostAtLastWarning = 0;
    uint64_t lostBytesAtLastWarning = 0;
    uint64_t refusedAtLastWarning = 0;
};

// Whether a description in the list has this MAC and these dotted address texts (entries 0, 2 and 3).
bool isForceIpApplied(const std::vector<CameraDescription>& descriptions, uint64_t mac, const std::string& ip,
                      const std::string& mask, const std::string& gateway);

} // namespace quelnor
