#include "QuelnorHal/interface/EthHandle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

constexpr const char* BROADCAST_ADDRESS = "255.255.255.255";
constexpr size_t MAX_PARTS = 8;

bool toAddress(const std::string& ip, uint16_t port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    // inet_pton, unlike inet_addr, tells 255.255.255.255 from an error.
    return inet_pton(AF_INET, ip.c_str(), &out.sin_addr) == 1;
}

void closeSocket(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// poll that resumes after signals until the time-out is used up.
int pollFor(pollfd* fds, nfds_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int r = ::poll(fds, count, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (r >= 0 || errno != EINTR) {
            return r;
        }
    }
}

int grantedReceiveBuffer(int fd) {
    int granted = 0;
    socklen_t size = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size) != 0) {
        return 0;
    }
    return granted;
}

} // namespace

EthHandle::EthHandle(const std::string& localIp, uint16_t localPort, const std::string& serverIpText,
                     uint16_t serverPortNumber, UDP_TYPE type) {
    socketHandle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketHandle < 0) {
        QN_ERROR("Failed to create socket");
        return;
    }
    const int one = 1;
    setsockopt(socketHandle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    if (type == UDP_BROADCAST) {
        if (setsockopt(socketHandle, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
            QN_WARN("Failed to enable broadcast option");
        }
        broadcastSocketHandle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (broadcastSocketHandle < 0) {
            perror("socket");
        } else if (setsockopt(broadcastSocketHandle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
            perror("setsockopt SO_REUSEADDR");
            closeSocket(broadcastSocketHandle);
        } else {
            sockaddr_in any;
            toAddress("0.0.0.0", BROADCAST_LISTEN_PORT, any);
            if (::bind(broadcastSocketHandle, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
                perror("bind failed");
                closeSocket(broadcastSocketHandle);
            }
        }
    }

    sockaddr_in local;
    if (!toAddress(localIp, localPort, local)) {
        std::fprintf(stderr, "Invalid LOCAL_IFACE_IP\n");
        closeSocket(socketHandle);
        return;
    }
    if (::bind(socketHandle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        QN_ERROR("Bind failed");
        closeSocket(socketHandle);
        return;
    }
    sockaddr_in bound;
    socklen_t boundSize = sizeof bound;
    if (getsockname(socketHandle, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0) {
        boundPort = ntohs(bound.sin_port);
    }
    serverIp = serverIpText;
    serverPort = serverPortNumber;
    initialized = true;

    // Stream bursts must survive while the reader is busy. The system caps SO_RCVBUF at rmem_max;
    // a privileged process may go beyond it.
    const int wanted = RECEIVE_BUFFER_BYTES;
    setsockopt(socketHandle, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    receiveBufferSize = grantedReceiveBuffer(socketHandle);
    if (receiveBufferSize < wanted) {
        if (setsockopt(socketHandle, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) == 0) {
            receiveBufferSize = grantedReceiveBuffer(socketHandle);
        }
    }
    QN_DEBUG("Socket initialized and bind to ip: %s local port: %d server port: %d; SO_RCVBUF: %d", localIp.c_str(),
             localPort, serverPort, receiveBufferSize);
}

EthHandle::~EthHandle() {
    closeSocket(socketHandle);
    closeSocket(broadcastSocketHandle);
}

bool EthHandle::setAcceptedSender(const std::string& ip, uint16_t port) {
    sockaddr_in address;
    if (!toAddress(ip, port, address)) {
        QN_ERROR("Invalid IP address: %s", ip.c_str());
        return false;
    }
    acceptedAddress = address.sin_addr.s_addr;
    acceptedPort = address.sin_port;
    senderFiltered = true;
    return true;
}

EthHandle::ReceiveStatus EthHandle::receiveOne(int fd, const Part* parts, size_t count, int& length, bool& wouldBlock,
                                               sockaddr_in* sender, bool filter) {
    length = 0;
    wouldBlock = false;
    iovec iov[MAX_PARTS];
    size_t capacity = 0;
    size_t used = 0;
    for (size_t i = 0; i < count && used < MAX_PARTS; ++i) {
        if (parts[i].size == 0) {
            continue;
        }
        iov[used].iov_base = parts[i].data;
        iov[used].iov_len = parts[i].size;
        capacity += parts[i].size;
        ++used;
    }
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = iov;
    msg.msg_iovlen = used;
    // MSG_TRUNC: the result is the datagram's real size, so one larger than the buffer is noticed
    // (the system would otherwise cut it silently).
    ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wouldBlock = true;
            return ReceiveStatus::TimedOut;
        }
        QN_ERROR("recvfrom failed, error code: %d", errno);
        return ReceiveStatus::Failed;
    }
    if (sender != nullptr) {
        *sender = from;
    }
    if (filter && (from.sin_addr.s_addr != acceptedAddress || (acceptedPort != 0 && from.sin_port != acceptedPort))) {
        // Anyone on the subnet can send here: only the peer is heard. Counted, not logged one by one.
        refusedDatagrams.fetch_add(1, std::memory_order_relaxed);
        return ReceiveStatus::Refused;
    }
    if ((msg.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) > capacity) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        QN_ERROR("Datagram of %d bytes from %s:%d exceeds the %d-byte receive buffer, refused", static_cast<int>(n),
                 text, ntohs(from.sin_port), static_cast<int>(capacity));
        refusedDatagrams.fetch_add(1, std::memory_order_relaxed);
        return ReceiveStatus::Refused;
    }
    length = static_cast<int>(n);
    return ReceiveStatus::Received;
}

bool EthHandle::readData(uint8_t* buffer, int& length, int timeoutMs) {
    const Part part{buffer, static_cast<size_t>(MAX_DATAGRAM_SIZE)};
    return readDataScattered(&part, buffer != nullptr ? 1 : 0, length, timeoutMs);
}

bool EthHandle::readDataScattered(const Part* parts, size_t count, int& length, int timeoutMs) {
    length = 0;
    if (!initialized || socketHandle < 0 || parts == nullptr || count == 0) {
        return false;
    }
    pollfd fd{socketHandle, POLLIN, 0};
    int r = pollFor(&fd, 1, timeoutMs);
    if (r == 0) {
        return false;
    }
    if (r < 0) {
        QN_ERROR("WSAPoll failed, error code: %d", errno);
        return false;
    }
    if ((fd.revents & POLLIN) == 0) {
        return false;
    }
    bool wouldBlock = false;
    return receiveOne(socketHandle, parts, count, length, wouldBlock, nullptr, senderFiltered) ==
           ReceiveStatus::Received;
}

bool EthHandle::sendData(const uint8_t* data, int length) {
    if (!initialized || socketHandle < 0 || data == nullptr || length <= 0) {
        return false;
    }
    sockaddr_in to;
    if (!toAddress(serverIp, serverPort, to)) {
        QN_ERROR("Invalid IP address: %s", serverIp.c_str());
        return false;
    }
    ssize_t n =
        ::sendto(socketHandle, data, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n < length) {
        QN_ERROR("sendto failed, WSA error code: %d", errno);
        return false;
    }
    return true;
}

bool EthHandle::sendBroadcastData(const uint8_t* data, int length) {
    if (data == nullptr || length <= 0) {
        return false;
    }
    sockaddr_in to;
    toAddress(BROADCAST_ADDRESS, serverPort, to);
    ssize_t n =
        ::sendto(socketHandle, data, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n < length) {
        QN_ERROR("sendto failed, WSA error code: %d", errno);
        return false;
    }
    return true;
}

bool EthHandle::recvBroadcastData(uint8_t* buffer, int& length) {
    return receiveBroadcast(buffer, length) == ReceiveStatus::Received;
}

EthHandle::ReceiveStatus EthHandle::receiveBroadcast(uint8_t* buffer, int& length) {
    length = 0;
    if (buffer == nullptr) {
        return ReceiveStatus::Failed;
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (broadcastSocketHandle >= 0) {
        fds[count++] = pollfd{broadcastSocketHandle, POLLIN, 0};
    }
    // Cameras that answer by unicast reach the main socket, bound to the adapter's address.
    if (initialized && socketHandle >= 0) {
        fds[count++] = pollfd{socketHandle, POLLIN, 0};
    }
    if (count == 0) {
        return ReceiveStatus::Failed;
    }
    int r = pollFor(fds, count, BROADCAST_RECEIVE_TIMEOUT_MS);
    if (r < 0) {
        QN_ERROR("poll failed");
        return ReceiveStatus::Failed;
    }
    for (nfds_t i = 0; i < count && r > 0; ++i) {
        if ((fds[i].revents & POLLIN) == 0) {
            continue;
        }
        const Part part{buffer, static_cast<size_t>(MAX_DATAGRAM_SIZE)};
        bool wouldBlock = false;
        sockaddr_in from;
        // Discovery hears every answer: no sender filter here.
        const ReceiveStatus status = receiveOne(fds[i].fd, &part, 1, length, wouldBlock, &from, false);
        if (status != ReceiveStatus::Received) {
            if (wouldBlock) {
                QN_ERROR("[Info] No data available (EAGAIN).\n");
            }
            length = 0;
            return status;
        }
        char sender[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
        QN_DEBUG("[Info] Received %d bytes from %s:%d\n", length, sender, ntohs(from.sin_port));
        return ReceiveStatus::Received;
    }
    return ReceiveStatus::TimedOut;
}

} // namespace quelnor
