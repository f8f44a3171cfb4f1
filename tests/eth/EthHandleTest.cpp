// The UDP socket handle over loopback.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "EthTestSupport.h"
#include "LogCapture.h"
#include "QuelnorHal/interface/EthHandle.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;

// A plain socket that sends datagrams of any size to a port on loopback.
class Sender {
public:
    Sender() : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~Sender() { ::close(fd); }
    void send(const std::string& ip, uint16_t port, const std::vector<uint8_t>& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
        ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

private:
    int fd;
};

class EthHandleTest : public testing::Test {
protected:
    void SetUp() override { prepareLoopback(); }
};

TEST_F(EthHandleTest, PortZeroIsReadBack) {
    EthHandle handle(HOST_ADDRESS, 0, HOST_ADDRESS, 3956, UDP_UNICAST);
    EXPECT_TRUE(handle.isInitialized());
    EXPECT_NE(handle.getBoundPort(), 0);
    EXPECT_GT(handle.getReceiveBufferSize(), 0);
}

TEST_F(EthHandleTest, InvalidLocalAddressLeavesTheHandleUnusable) {
    testing::internal::CaptureStderr();
    {
        EthHandle handle("192.168.1.300", 0, HOST_ADDRESS, 3956, UDP_UNICAST);
        EXPECT_FALSE(handle.isInitialized());
        uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
        int length = 5;
        EXPECT_FALSE(handle.readData(buffer, length, 10));
        EXPECT_EQ(length, 0);
        const uint8_t data[] = {1, 2, 3};
        EXPECT_FALSE(handle.sendData(data, 3));
    }
    EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("Invalid LOCAL_IFACE_IP\n"));
}

TEST_F(EthHandleTest, InvalidServerAddressIsLoggedOnSend) {
    LogCapture logs;
    EthHandle handle(HOST_ADDRESS, 0, "300.1.1.1", 3956, UDP_UNICAST);
    const uint8_t data[] = {1, 2, 3};
    EXPECT_FALSE(handle.sendData(data, 3));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Invalid IP address: 300.1.1.1"));
    EXPECT_FALSE(handle.sendData(data, 0));
    EXPECT_FALSE(handle.sendData(nullptr, 3));
}

TEST_F(EthHandleTest, ReadWithoutTrafficTimesOut) {
    EthHandle handle(HOST_ADDRESS, 0, HOST_ADDRESS, 3956, UDP_UNICAST);
    uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
    int length = 7;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(handle.readData(buffer, length, 100));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(95));
    EXPECT_EQ(length, 0);
}

TEST_F(EthHandleTest, SendAndReceiveBetweenTwoHandles) {
    EthHandle a(HOST_ADDRESS, 0, HOST_ADDRESS, 0, UDP_UNICAST);
    EthHandle b(HOST_ADDRESS, 0, HOST_ADDRESS, a.getBoundPort(), UDP_UNICAST);
    const std::vector<uint8_t> data(EthHandle::MAX_DATAGRAM_SIZE, 0x42);
    ASSERT_TRUE(b.sendData(data.data(), static_cast<int>(data.size())));
    uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
    int length = 0;
    ASSERT_TRUE(a.readData(buffer, length, 1000));
    EXPECT_EQ(length, EthHandle::MAX_DATAGRAM_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), data);
}

// The system would cut a datagram larger than the buffer without a word: it is refused instead.
TEST_F(EthHandleTest, DatagramLargerThanTheBufferIsRefused) {
    LogCapture logs;
    EthHandle handle(HOST_ADDRESS, 0, HOST_ADDRESS, 0, UDP_UNICAST);
    Sender sender;
    sender.send(HOST_ADDRESS, handle.getBoundPort(), std::vector<uint8_t>(1500, 1));
    sender.send(HOST_ADDRESS, handle.getBoundPort(), std::vector<uint8_t>(20, 2));
    uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
    int length = 0;
    EXPECT_FALSE(handle.readData(buffer, length, 1000));
    EXPECT_EQ(length, 0);
    const auto lines = logs.lines();
    ASSERT_EQ(logs.countAt(LOG_ERROR), 1);
    EXPECT_THAT(lines.back().text, testing::HasSubstr("Datagram of 1500 bytes"));
    ASSERT_TRUE(handle.readData(buffer, length, 1000));
    EXPECT_EQ(length, 20);

    // The same through scattered parts smaller than the datagram.
    sender.send(HOST_ADDRESS, handle.getBoundPort(), std::vector<uint8_t>(30, 3));
    uint8_t first[8];
    uint8_t second[16];
    const EthHandle::Part parts[] = {{first, sizeof first}, {second, sizeof second}};
    EXPECT_FALSE(handle.readDataScattered(parts, 2, length, 1000));
}

TEST_F(EthHandleTest, ScatteredReceiveFillsThePartsInOrder) {
    EthHandle handle(HOST_ADDRESS, 0, HOST_ADDRESS, 0, UDP_UNICAST);
    Sender sender;
    std::vector<uint8_t> data(20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    sender.send(HOST_ADDRESS, handle.getBoundPort(), data);
    uint8_t first[8] = {};
    uint8_t second[16] = {};
    const EthHandle::Part parts[] = {{first, sizeof first}, {second, sizeof second}};
    int length = 0;
    ASSERT_TRUE(handle.readDataScattered(parts, 2, length, 1000));
    EXPECT_EQ(length, 20);
    EXPECT_EQ(first[7], 7);
    EXPECT_EQ(second[0], 8);
    EXPECT_EQ(second[11], 19);
}

// Discovery sockets: replies by broadcast reach the listener on 3956, replies by unicast the main
// socket bound to the adapter's address; both are received.
TEST_F(EthHandleTest, BroadcastHandleReceivesOnBothSockets) {
    if (!prepareLoopback()) {
        GTEST_SKIP() << "binds port 3956 on every address: needs a private network namespace (root)";
    }
    EthHandle handle(HOST_ADDRESS, 3956, "255.255.255.255", 3956, UDP_BROADCAST);
    ASSERT_TRUE(handle.isInitialized());
    Sender sender;
    uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
    int length = 0;

    sender.send(HOST_ADDRESS, 3956, {1, 2, 3}); // to the adapter address: the main socket
    ASSERT_TRUE(handle.recvBroadcastData(buffer, length));
    EXPECT_EQ(length, 3);

    sender.send("127.0.0.9", 3956, {4, 5, 6, 7}); // to another local address: only the listener
    ASSERT_TRUE(handle.recvBroadcastData(buffer, length));
    EXPECT_EQ(length, 4);
    EXPECT_EQ(buffer[0], 4);

    EXPECT_FALSE(handle.recvBroadcastData(buffer, length));
    EXPECT_EQ(length, 0);
}

TEST_F(EthHandleTest, BroadcastSendOnAnUnusableHandleFails) {
    testing::internal::CaptureStderr();
    EthHandle handle("not an address", 0, "255.255.255.255", 3956, UDP_UNICAST);
    testing::internal::GetCapturedStderr();
    const uint8_t data[] = {1};
    EXPECT_FALSE(handle.sendBroadcastData(data, 1));
    EXPECT_FALSE(handle.sendBroadcastData(nullptr, 1));
}

} // namespace
