#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct sockaddr_in;

namespace quelnor {

// How an EthHandle is used.
enum UDP_TYPE : int32_t {
    UDP_UNICAST = 0,   // one socket for request and response
    UDP_BROADCAST = 1, // the main socket may send to 255.255.255.255; a second socket listens on port 3956
};

// A UDP socket bound to a local address and port and aimed at one peer, and in its broadcast form a
// second socket listening on port 3956 of every local address. Sends and waits for single datagrams
// and reports socket failures in the log instead of throwing.
//
// A datagram larger than the buffer it is received into is refused (never delivered cut short).
// With an accepted sender set, datagrams from any other address (or port) are refused as well.
// Refused datagrams are counted.
// An object has no lock: one thread at a time per socket (the owner decides which); the refused
// count may be read and reset from any thread.
class EthHandle {
public:
    static constexpr int MAX_DATAGRAM_SIZE = 1414;
    static constexpr uint16_t BROADCAST_LISTEN_PORT = 3956;
    static constexpr int RECEIVE_BUFFER_BYTES = 0x4000000;
    static constexpr int BROADCAST_RECEIVE_TIMEOUT_MS = 100;

    enum class ReceiveStatus {
        Received,
        Refused,  // a datagram came and was dropped: too large, or from a sender not accepted
        TimedOut, // nothing came
        Failed,   // the socket reported an error
    };

    // One piece of a scattered receive buffer.
    struct Part {
        uint8_t* data;
        size_t size;
    };

    // Never throws: a failed set-up is logged and leaves the handle unusable.
    EthHandle(const std::string& localIp = "0.0.0.0", uint16_t localPort = 65000,
              const std::string& serverIp = "127.0.0.1", uint16_t serverPort = 65000, UDP_TYPE type = UDP_UNICAST);
    ~EthHandle();
    EthHandle(const EthHandle&) = delete;
    EthHandle& operator=(const EthHandle&) = delete;

    // Waits up to timeoutMs for one datagram on the main socket and receives it into buffer, which
    // must hold MAX_DATAGRAM_SIZE bytes. length: bytes received, 0 when false.
    bool readData(uint8_t* buffer, int& length, int timeoutMs);
    // As readData, into the parts one after the other. A datagram larger than all parts together is refused.
    bool readDataScattered(const Part* parts, size_t count, int& length, int timeoutMs);
    // One datagram to the server address and port.
    bool sendData(const uint8_t* data, int length);
    // One datagram to 255.255.255.255 at the server port.
    bool sendBroadcastData(const uint8_t* data, int length);
    // Waits up to 100 ms for one datagram on the listening socket or on the main socket (a camera
    // that answers by unicast reaches the main socket) and copies it to buffer (MAX_DATAGRAM_SIZE bytes).
    bool recvBroadcastData(uint8_t* buffer, int& length);
    // As recvBroadcastData, telling a refused datagram from silence.
    ReceiveStatus receiveBroadcast(uint8_t* buffer, int& length);

    // From now on the main socket takes datagrams only from ip (dotted text) and, unless port is 0,
    // only from that port. Set before the socket is read (not while another thread reads it). False
    // for an invalid address text (nothing changes then).
    bool setAcceptedSender(const std::string& ip, uint16_t port);
    // Datagrams refused so far (too large, or from a sender not accepted). Any thread, atomic.
    uint64_t getRefusedDatagrams() const { return refusedDatagrams.load(std::memory_order_relaxed); }
    void resetRefusedDatagrams() { refusedDatagrams.store(0, std::memory_order_relaxed); }

    bool isInitialized() const { return initialized; }
    uint16_t getBoundPort() const { return boundPort; }
    // The receive buffer the system granted to the main socket, in bytes (0 when unusable).
    int getReceiveBufferSize() const { return receiveBufferSize; }

private:
    // One datagram from fd (already readable). sender: where it came from, when wanted.
    ReceiveStatus receiveOne(int fd, const Part* parts, size_t count, int& length, bool& wouldBlock,
                             struct sockaddr_in* sender, bool filter);

    uint16_t boundPort = 0;
    int socketHandle = -1;
    int broadcastSocketHandle = -1;
    std::string serverIp;
    uint16_t serverPort = 0;
    bool initialized = false;
    int receiveBufferSize = 0;
    bool senderFiltered = false;
    uint32_t acceptedAddress = 0; // network order
    uint16_t acceptedPort = 0;    // network order; 0: any port
    std::atomic<uint64_t> refusedDatagrams{0};
};

} // namespace quelnor
