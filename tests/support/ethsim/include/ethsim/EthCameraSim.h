#pragma once

// EthCameraSim: the camera side of the Ethernet camera protocol, run for real over UDP on threads of
// the test process. Link `quelnor_ethsim`, include "ethsim/EthCameraSim.h".
//
//   quelnor::test::EthCameraSimConfig config;
//   config.ip = "127.0.0.2";                       // loopback test; or netns = "<ns>" for a namespace
//   quelnor::test::EthCameraSim camera(config);
//   camera.setStreamWords(encoder.words());        // EVT3 from the test encoder (or setStreamFile)
//   camera.start();
//   auto eth = quelnor::EthInterface::createEthInterface(camera.description("127.0.0.1"));
//   ...
//   EXPECT_THAT(camera.logLines(), testing::Contains("WRITEREG 0x00000773 = 0x00000001"));
//
// What it answers (control socket, port 3956):
//   DISCOVERY  a 256-byte acknowledgement with its identity and current address; by broadcast when
//              the request allows it (and broadcastDiscoveryAck is set), else to the sender.
//   READREG    from the register file (IMX636 map defaults, the sensor's done flags reading 1);
//              0x0D1C answers the stream source port. A failed read (registers().failReads) answers
//              status 0x8003.
//   WRITEREG   to the register file; 0x0773 takes/releases control, 0x0D00 sets the host stream
//              port (the host address is the request's sender), 0x0770 switches the stream.
//   FORCEIP    for its own MAC: adopts address, mask and gateway, answers, then calls the force-IP
//              hook (which may move the namespace's adapter to the new address).
//   WRITEMEM   into a sparse memory (unwritten bytes read 0), logged chunk by chunk.
//   anything else: status 0x8001 (not implemented).
//   A request that repeats the sender's previous one byte for byte (a resend: same id) is answered
//   with the stored reply and not executed again, as a device must; it is logged with repeat set.
//   Discovery is always answered afresh.
// Stream: while switched on and told a host port, GVSP payload datagrams (status 0, block id,
// format 3, 24-bit packet id from 1) carrying the stream source in payloads of payloadSize bytes, at
// the chosen rate, to host address : host port.
//
// Faults: reply faults (first matching rule applies) and stream faults by packet id, see below.
// Log: one entry per request received, in order; texts as in the comment of SimLogEntry.
//
// Threads: a control thread (it enters the namespace first when one is configured) and a stream
// thread. Every public member may be called from any thread. Hooks and the log sink run on the
// control thread and must not call stop().

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor::test {

// For a thread that stands in for another machine on the network (the simulator's control thread, a
// stranger host): a real device answers from hardware of its own within the protocol's windows
// (discovery listens for 100 ms) however busy the host is, so the thread runs ahead of the host's
// ordinary threads where the system allows it (as root) and stays as it is elsewhere. Such a thread
// sleeps between datagrams, so it takes no time from the others otherwise. All such threads of a
// process share one CPU, so a request and its answer pass without a wake-up on another CPU. A test
// whose host thread must hear its replies in time uses it too; threads started from such a thread
// inherit both.
void answerPromptly();
// The thread back among the ordinary ones, on the CPUs it had.
void answerAsUsual();

class DeviceDouble;

struct EthCameraSimConfig {
    std::string ip = "127.0.0.2"; // the camera's address, as discovery reports it
    std::string mask = "255.255.255.0";
    std::string gateway = "0.0.0.0";
    // Local address of the sockets: empty means `ip`, or 0.0.0.0 when a namespace is given (needed
    // to hear broadcasts).
    std::string bindIp;
    std::string netns; // network namespace to run in (a name under /var/run/netns); empty: the caller's
    uint16_t controlPort = 3956;
    uint16_t streamSourcePort = 0; // answered at 0x0D1C; 0: chosen when the socket is bound
    uint64_t mac = 0x0050C258C100ULL;
    std::string manufacturer = "Quelnor";
    std::string model = "Tolvane";
    std::string deviceVersion = "1.0.0-sim";
    std::string serial = "QNSIM0001";
    std::string userName;
    bool broadcastDiscoveryAck = true; // answer discovery by broadcast when the request allows it
    bool seedImx636 = true;            // register file from the IMX636 map defaults
};

// A fault applied to replies. Rules are tried in the order added; the first that matches the request
// (command, address) and has replies left applies. The register file and memory act as usual
// (a silenced write is still done): only the reply changes.
struct ReplyFault {
    enum class Kind {
        Silence,      // no reply
        Late,         // the reply delayMs later (other requests are answered meanwhile)
        UntilNext,    // the reply held until the next request has been handled, then sent
        WrongId,      // only a reply with another acknowledge id
        WrongIdFirst, // a reply with another id, then the right one
        WrongCode,    // the acknowledge code of another command
        BadStatus,    // the reply with `status`
        Truncate,     // the reply cut to `size` bytes
        Oversize,     // the reply padded with zeros to `size` bytes
        Duplicate,    // the reply twice
    };
    // ReplyFault(Kind::Late, 0x0080, 0x1004, 1).delay(150): the next READREG of 0x1004 answered late.
    explicit ReplyFault(Kind k, uint16_t cmd = 0, std::optional<uint32_t> addr = {}, int n = -1)
        : kind(k), command(cmd), address(addr), count(n) {}
    ReplyFault& delay(int ms) {
        delayMs = ms;
        return *this;
    }
    ReplyFault& withStatus(uint16_t s) {
        status = s;
        return *this;
    }
    ReplyFault& withSize(size_t bytes) {
        size = bytes;
        return *this;
    }

    Kind kind;
    uint16_t command;                // command code (0x0080 READREG, ...); 0: every command
    std::optional<uint32_t> address; // READREG/WRITEREG (first address), WRITEMEM start address
    int count;                       // replies affected; < 0: all
    int delayMs = 150;               // Late
    uint16_t status = 0x8001;        // BadStatus
    size_t size = 0;                 // Truncate, Oversize
};

// Control-datagram loss, as a lossy network would cause it (never the stream): each request
// received and each reply about to leave is dropped with its share, decided by a generator seeded
// with `seed`, so the same traffic loses the same datagrams. Discovery and force IP included.
struct ControlLoss {
    double requestShare = 0; // 0 .. 1: requests the camera never sees (not logged, not executed)
    double replyShare = 0;   // 0 .. 1: replies that never reach the host (the request was executed)
    uint64_t seed = 1;
    // At most this many datagrams of one request id dropped, both ways together (0: no bound). A
    // bound keeps every exchange inside the tries that still leave its reply time on a loaded machine.
    int maxDropsPerId = 0;
};

struct ControlLossStats {
    uint64_t requestsDropped = 0;
    uint64_t repliesDropped = 0;
    uint64_t repeatsAnswered = 0; // resent requests answered from the stored reply
};

// Stream faults by packet id (payload packets count from 1).
struct StreamFaults {
    std::set<uint32_t> lost;         // never sent
    std::set<uint32_t> duplicated;   // sent twice in a row
    std::set<uint32_t> reordered;    // sent after the packet that follows it
    std::set<uint32_t> oversized;    // padded to oversizedBytes (larger than any receive buffer)
    std::set<uint32_t> truncated;    // cut to 6 bytes (no complete header)
    std::set<uint32_t> badStatus;    // sent with status 0x8001
    uint32_t leaderTrailerEvery = 0; // a leader before and a trailer after every n payload packets
    size_t oversizedBytes = 2000;
};

// One request as received. Texts:
//   "DISCOVERY", "READREG 0x00000D1C", "WRITEREG 0x00000773 = 0x00000001",
//   "FORCEIP 192.0.2.50 255.255.255.0 192.0.2.1" ("FORCEIP ignored, MAC 001122334455" for another MAC),
//   "WRITEMEM 0x00400000 +256", "UNKNOWN 0x1234", "MALFORMED 5 bytes".
struct SimLogEntry {
    uint16_t command = 0;
    uint16_t requestId = 0;
    uint32_t address = 0; // READREG/WRITEREG/WRITEMEM
    uint32_t value = 0;   // WRITEREG value, READREG answer, WRITEMEM length
    std::string from;     // "ip:port" of the sender
    std::string text;
    std::vector<uint8_t> datagram;
    bool repeat = false; // a resend, answered from the stored reply; text starts with "REPEAT "
};

struct MemoryWrite {
    uint16_t requestId = 0;
    uint32_t address = 0;
    size_t length = 0;
};

struct StreamStats {
    uint64_t packetsSent = 0;      // payload packets that left (duplicates once, faulty ones included)
    uint64_t payloadBytesSent = 0; // payload bytes of packetsSent
    uint64_t packetsLost = 0;      // payload packets not sent on purpose (StreamFaults::lost)
    uint64_t datagramsSent = 0;    // everything sent, leaders, trailers and duplicates included
    uint64_t sendErrors = 0;
    uint32_t lastPacketId = 0;
    bool sourceDone = false; // a non-looping source was sent to its end
};

class EthCameraSim {
public:
    static constexpr uint32_t CONTROL_OWNER_REGISTER = 0x0773;
    static constexpr uint32_t STREAM_PORT_REGISTER = 0x0D1C;
    static constexpr uint32_t HOST_PORT_REGISTER = 0x0D00;
    static constexpr uint32_t STREAM_ENABLE_REGISTER = 0x0770;
    static constexpr uint32_t KEEP_ALIVE_REGISTER = 0x0088;
    static constexpr size_t DEFAULT_PAYLOAD_SIZE = 1400;

    using ForceIpHook = std::function<void(const std::string& ip, const std::string& mask, const std::string& gateway)>;
    using WriteMemHook = std::function<void(const MemoryWrite& write)>;
    using LogSink = std::function<void(const SimLogEntry& entry)>;

    explicit EthCameraSim(EthCameraSimConfig config = {});
    ~EthCameraSim();
    EthCameraSim(const EthCameraSim&) = delete;
    EthCameraSim& operator=(const EthCameraSim&) = delete;

    // Binds the sockets and starts the threads; throws std::runtime_error when that fails.
    void start();
    void stop();

    const EthCameraSimConfig& config() const;
    // The description discovery would give for this camera, found through the adapter at localIp.
    CameraDescription description(const std::string& localIp) const;

    // ---- registers and state ----
    DeviceDouble& registers();
    bool controlTaken() const;
    bool streamOn() const;
    uint16_t hostStreamPort() const;
    std::string hostAddress() const;
    uint16_t streamSourcePort() const; // valid after start
    std::string currentIp() const;
    std::string currentMask() const;
    std::string currentGateway() const;

    // ---- stream source ----
    void setStreamData(std::vector<uint8_t> bytes, bool loop = false);
    void setStreamWords(const std::vector<uint16_t>& words, bool loop = false);
    // The EVT3 data after the header of a raw recording.
    void setStreamFile(const std::string& rawPath, bool loop = false);
    // Endless generated payloads whose first four bytes are the packet id (little-endian).
    void setStreamPattern();
    void setStreamRate(double payloadBytesPerSecond); // 0: as fast as possible
    void setPayloadSize(size_t bytes);                // 1 .. 1406
    // Payload sizes used in turn, packet after packet.
    void setPayloadSizes(std::vector<size_t> sizes);
    void setStreamFaults(StreamFaults faults);
    // Keep the payloads that a correct receiver gets, in arrival order (on by default, off for the
    // generated pattern). Faulty datagrams, lost packets, leaders and trailers are left out, and so
    // are the second copy of a duplicated packet and a reordered packet that went out after a newer
    // one (a correct receiver never splices a late packet in).
    void setRecordDelivery(bool record);
    std::vector<uint8_t> expectedDelivery() const;
    StreamStats streamStats() const;
    // Restarts the source from its beginning and packet ids from 1.
    void rewindStream();

    // ---- memory ----
    std::vector<uint8_t> readMemory(uint32_t address, size_t length) const;
    std::vector<MemoryWrite> memoryWrites() const;

    // ---- faults and hooks ----
    void addReplyFault(ReplyFault fault);
    void clearReplyFaults();
    void setControlLoss(ControlLoss loss); // restarts the generator from the seed
    ControlLossStats controlLossStats() const;
    void setForceIpHook(ForceIpHook hook);
    void setWriteMemHook(WriteMemHook hook);

    // ---- log ----
    std::vector<SimLogEntry> log() const;
    std::vector<std::string> logLines() const;
    // Requests of a command (to an address) executed, counted without copying the log (repeats left out).
    size_t countRequests(uint16_t command, std::optional<uint32_t> address = {}) const;
    void clearLog();
    void setLogSink(LogSink sink);

    // Polls condition until it holds or the time is up.
    static bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

    class Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace quelnor::test
