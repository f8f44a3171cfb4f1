// Discovery and force IP over veth pairs between network namespaces: the test thread runs in the
// host namespace, cameras run in namespaces of their own (as simulator threads or as the
// quelnor_ethsim program). Needs root; skipped otherwise.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "LogCapture.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/interface/EthInterface.h"
#include "QuelnorHal/register/RegisterController.h"
#include "device/DeviceDouble.h"
#include "ethsim/EthCameraSim.h"
#include "netns/NetnsLab.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;
using testing::ElementsAre;
using testing::UnorderedElementsAre;

constexpr uint16_t FORCEIP = 0x0004;
constexpr uint32_t NEW_IP = 0xC0000232;      // 192.0.2.50
constexpr uint32_t NEW_MASK = 0xFFFFFF00;    // 255.255.255.0
constexpr uint32_t NEW_GATEWAY = 0xC00002FE; // 192.0.2.254

// Another host on the camera's subnet: a UDP socket made inside its namespace (a socket keeps the
// namespace it was made in, so any thread may use it afterwards).
class Stranger {
public:
    Stranger(const NetnsLab& lab, const std::string& host, uint16_t port) {
        auto inside = lab.enter(host);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~Stranger() { ::close(fd); }
    Stranger(const Stranger&) = delete;
    Stranger& operator=(const Stranger&) = delete;

    bool sendTo(const std::string& ip, uint16_t port, const std::vector<uint8_t>& bytes) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
        return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Waits up to timeoutMs for one datagram; its sender's address and port.
    bool receive(std::string& senderIp, uint16_t& senderPort, int timeoutMs) const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return false;
        }
        uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t size = sizeof from;
        if (::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size) < 0) {
            return false;
        }
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        senderIp = text;
        senderPort = ntohs(from.sin_port);
        return true;
    }

    int fd = -1;
    bool ok = false;
};

// "192.0.2.1:40000" -> port.
uint16_t portOf(const std::string& endpoint) {
    return static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1)));
}

class EthNetnsTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string why = netnsUnavailableReason();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        lab = std::make_unique<NetnsLab>();
    }

    // The usual network: the host and camera namespaces on one segment, host at 192.0.2.1/24.
    void oneSegment(std::initializer_list<std::pair<std::string, std::string>> cameraHosts) {
        lab->addSegment("lan");
        lab->addHost("host");
        lab->connect("host", "eth0", "lan", "192.0.2.1/24");
        for (const auto& [host, cidr] : cameraHosts) {
            lab->addHost(host);
            lab->connect(host, "eth0", "lan", cidr);
        }
    }

    EthCameraSim& addCamera(const std::string& host, const std::string& ip, const std::string& serial,
                            uint64_t mac = 0x0050C258C100ULL, bool broadcastAck = true) {
        EthCameraSimConfig config;
        config.netns = lab->ns(host);
        config.ip = ip;
        config.mask = "255.255.255.0";
        config.gateway = "192.0.2.254";
        config.serial = serial;
        config.mac = mac;
        config.broadcastDiscoveryAck = broadcastAck;
        cameras.push_back(std::make_unique<EthCameraSim>(config));
        cameras.back()->start();
        return *cameras.back();
    }

    // The camera program in a namespace; returns once it answers.
    void addCameraProgram(const std::string& host, const std::vector<std::string>& arguments) {
        const std::string log = "/tmp/" + lab->prefix() + "-" + host + ".log";
        std::vector<std::string> argv = {QUELNOR_ETHSIM_PROGRAM};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        lab->spawn(host, argv, log);
        programLogs.push_back(log);
        const bool ready = EthCameraSim::waitUntil(
            [&log] {
                std::ifstream in(log);
                std::stringstream text;
                text << in.rdbuf();
                return text.str().find("READY") != std::string::npos;
            },
            std::chrono::seconds(20));
        ASSERT_TRUE(ready) << "the camera program did not start, see " << log;
    }

    void TearDown() override {
        for (auto& camera : cameras) {
            camera->stop();
        }
        if (mover.joinable()) {
            {
                std::lock_guard<std::mutex> lock(moveLock);
                stopMoving = true;
            }
            moveWake.notify_one();
            mover.join();
        }
        for (const auto& log : programLogs) {
            ::unlink(log.c_str());
        }
    }

    // Moves the camera's adapter when it adopts a new address, in order, on a thread of its own;
    // `moved` tells when the first move is done. A camera's firmware takes its new address at once.
    // The lab's `ip` commands can take a second on a loaded machine, and run on the simulator's
    // control thread they left discovery and resends unanswered meanwhile, so that a force IP the
    // camera had applied was reported as failed.
    void followForceIp(EthCameraSim& camera, const std::string& host) {
        camera.setForceIpHook([this, host](const std::string& ip, const std::string&, const std::string&) {
            {
                std::lock_guard<std::mutex> lock(moveLock);
                moves.emplace_back(host, ip);
            }
            moveWake.notify_one();
        });
        if (!mover.joinable()) {
            mover = std::thread([this] { moveAdapters(); });
        }
    }

    void moveAdapters() {
        std::unique_lock<std::mutex> lock(moveLock);
        for (;;) {
            moveWake.wait(lock, [this] { return stopMoving || !moves.empty(); });
            if (moves.empty()) {
                return;
            }
            const auto [host, ip] = moves.front();
            moves.pop_front();
            lock.unlock();
            lab->setAddress(host, "eth0", ip + "/24");
            moved = true;
            lock.lock();
        }
    }

    static std::vector<std::string> serials(const std::vector<CameraDescription>& found) {
        std::vector<std::string> out;
        for (const auto& d : found) {
            out.push_back(d.serialNumber);
        }
        return out;
    }

    std::unique_ptr<NetnsLab> lab;
    std::vector<std::unique_ptr<EthCameraSim>> cameras; // stopped before the lab goes
    std::vector<std::string> programLogs;
    std::atomic<bool> moved{false};
    std::mutex moveLock;
    std::condition_variable moveWake;
    std::deque<std::pair<std::string, std::string>> moves; // host and address, guarded by moveLock
    bool stopMoving = false;                                // guarded by moveLock
    std::thread mover;
};

TEST_F(EthNetnsTest, AdaptersAreThoseThatAreUpAndCanBroadcast) {
    lab->addSegment("a");
    lab->addSegment("b");
    lab->addHost("host");
    lab->connect("host", "eth0", "a", "192.0.2.1/24");
    lab->connect("host", "eth1", "b", "198.51.100.1/25");
    lab->exec("host", "ip link add dummy0 type dummy && ip addr add 203.0.113.1/24 dev dummy0");
    auto inside = lab->enter("host");
    const auto adapters = EthInterface::getNetworkInterfaces();
    ASSERT_EQ(adapters.size(), 2u); // not loopback, not the adapter that is down
    EXPECT_EQ(adapters[0].name, "eth0");
    EXPECT_EQ(adapters[0].ip, 0xC0000201u);
    EXPECT_EQ(adapters[0].mask, 0xFFFFFF00u);
    EXPECT_EQ(adapters[0].broadcast, 0xC00002FFu);
    EXPECT_EQ(adapters[1].name, "eth1");
    EXPECT_EQ(adapters[1].ip, 0xC6336401u);
    EXPECT_EQ(adapters[1].mask, 0xFFFFFF80u);
    EXPECT_EQ(adapters[1].broadcast, 0xC633647Fu);
}

TEST_F(EthNetnsTest, NoAdapterNoCamera) {
    lab->addHost("host");
    LogCapture logs;
    auto inside = lab->enter("host");
    EXPECT_TRUE(EthInterface::getNetworkInterfaces().empty());
    EXPECT_TRUE(EthInterface::findEthDvsCamera().empty());
    EXPECT_EQ(logs.countAt(LOG_ERROR), 0);
}

TEST_F(EthNetnsTest, OneCameraIsFoundAndOpened) {
    oneSegment({{"cam1", "192.0.2.11/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    auto inside = lab->enter("host");
    const auto found = EthInterface::findEthDvsCamera();
    ASSERT_EQ(found.size(), 1u);
    const CameraDescription& d = found[0];
    EXPECT_EQ(d.serialNumber, "TV0001");
    EXPECT_EQ(d.productName, "Tolvane");
    EXPECT_EQ(d.manufacturer, "Quelnor");
    EXPECT_EQ(d.firmwareVersion, "1.0.0-sim");
    EXPECT_EQ(d.vendorId, 1205);
    EXPECT_EQ(d.productId, 1);
    EXPECT_EQ(d.interfaceType, INTERFACE_ETH);
    EXPECT_THAT(d.ipAddresses, ElementsAre("192.0.2.11", "192.0.2.1", "255.255.255.0", "192.0.2.254"));
    EXPECT_EQ(d.macAddress, 0x0050C258C100ULL);
    const auto log = cam.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "DISCOVERY");
    EXPECT_EQ(log[0].from, "192.0.2.1:3956");
    EXPECT_THAT(log[0].datagram, ElementsAre(0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF));

    auto eth = EthInterface::createEthInterface(d);
    RegisterController controller(eth, IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/");
    controller.writeRegister("bias/bias_fo", 0x1234);
    EXPECT_EQ(cam.registers().peek("bias/bias_fo"), 0x1234u);
    EXPECT_EQ(controller.readRegister("bias/bias_fo"), 0x1234u);
    EXPECT_EQ(cam.hostAddress(), "192.0.2.1");
    EXPECT_TRUE(cam.controlTaken());
}

// Anyone on the subnet can send to the host's sockets: only the camera is heard, the rest is counted.
TEST_F(EthNetnsTest, DatagramsFromAnotherHostChangeNoAnswerAndNoStreamData) {
    oneSegment({{"cam1", "192.0.2.11/24"}, {"other", "192.0.2.66/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    Stranger stranger(*lab, "other", 0);
    ASSERT_TRUE(stranger.ok);
    auto inside = lab->enter("host");
    const auto found = EthInterface::findEthDvsCamera();
    ASSERT_EQ(found.size(), 1u);
    auto eth = EthInterface::createEthInterface(found[0]);
    RegisterController controller(eth, IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/");
    controller.writeRegister("bias/bias_fo", 0x1234);

    // A forged answer to the next register read, sent as soon as the camera has the request; the
    // camera's own answer comes 60 ms later.
    cam.addReplyFault(ReplyFault(ReplyFault::Kind::Late, 0x0080, {}, 1).delay(60));
    // Once: the host resends its request while the answer is late, and each resend reaches the log.
    cam.setLogSink([&stranger](const SimLogEntry& entry) {
        if (entry.command != 0x0080 || entry.repeat) {
            return;
        }
        std::vector<uint8_t> forged = {0x00, 0x00, 0x00, 0x81, 0x00, 0x04, 0, 0, 0x00, 0x00, 0xBA, 0xD0};
        forged[6] = static_cast<uint8_t>(entry.requestId >> 8);
        forged[7] = static_cast<uint8_t>(entry.requestId);
        stranger.sendTo("192.0.2.1", portOf(entry.from), forged);
    });
    EXPECT_EQ(controller.readRegister("bias/bias_fo"), 0x1234u);
    cam.setLogSink(nullptr);
    EXPECT_EQ(eth->getRefusedDatagrams(), 1u) << "counted until the next stream start";

    // Forged stream datagrams to the host's stream port, between the camera's: the data that goes on
    // is the camera's, with no gap, and each forged one is counted.
    const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> out(300 * 1400);
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<uint8_t>(i * 7 + i / 1400);
        }
        return out;
    }();
    cam.setStreamRate(2'000'000);
    cam.setStreamData(data);
    EventStream stream(createDataTransferUniquePtr(eth, 2, 131072, 20, USB_DATA_ENDPOINT));
    stream.start();
    eth->setEventStream(true);
    const uint16_t hostPort = cam.hostStreamPort();
    constexpr int FORGED = 20;
    for (int i = 0; i < FORGED; ++i) {
        // Payload packets with ids far ahead of the camera's: taken, they would declare a gap.
        std::vector<uint8_t> forged(8 + 1400, 0xEE);
        forged[0] = forged[1] = forged[2] = forged[3] = 0;
        forged[4] = 3;
        forged[5] = 0x10;
        forged[6] = 0;
        forged[7] = static_cast<uint8_t>(i);
        ASSERT_TRUE(stranger.sendTo("192.0.2.1", hostPort, forged));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(EthCameraSim::waitUntil([&] { return cam.streamStats().sourceDone; }, std::chrono::seconds(20)));
    std::vector<uint8_t> received;
    bool anyGap = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
        if (stream.waitNextBuffer() == 1) {
            bool gap = false;
            auto buffer = stream.getLatestBuffer(gap);
            anyGap = anyGap || gap;
            received.insert(received.end(), (*buffer)->begin(), (*buffer)->end());
        }
    }
    stream.stop();
    eth->setEventStream(false);
    EXPECT_TRUE(received == data);
    EXPECT_FALSE(anyGap);
    EXPECT_EQ(eth->getLostPackets(), 0u);
    EXPECT_EQ(eth->getRefusedDatagrams(), static_cast<uint64_t>(FORGED));
}

// Junk and a datagram too large for any buffer reach the host before the camera's answer: discovery
// skips them and goes on listening.
TEST_F(EthNetnsTest, DiscoveryFindsTheCameraAfterJunkAndOversizedDatagrams) {
    oneSegment({{"cam1", "192.0.2.11/24"}, {"other", "192.0.2.66/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    cam.addReplyFault(ReplyFault(ReplyFault::Kind::Late, 0x0002).delay(50));
    Stranger stranger(*lab, "other", 3956);
    ASSERT_TRUE(stranger.ok);
    std::atomic<int> answered{0};
    std::thread noisy([&] {
        answerPromptly();  // its junk must come within the discovery window, like the camera's answer
        std::string ip;
        uint16_t port = 0;
        if (stranger.receive(ip, port, 10000)) {
            stranger.sendTo(ip, port, std::vector<uint8_t>(2000, 0x00)); // too large
            stranger.sendTo(ip, port, {0x00, 0x00, 0x00, 0x03, 0x00, 0xF8, 0xFF, 0xFF}); // no payload
            stranger.sendTo(ip, port, std::vector<uint8_t>(40, 0x5A));
            stranger.sendTo(ip, port, std::vector<uint8_t>(2000, 0x00));
            answered = 1;
        }
    });
    LogCapture logs;
    std::vector<CameraDescription> found;
    {
        auto inside = lab->enter("host");
        found = EthInterface::findEthDvsCamera();
    }
    noisy.join();
    EXPECT_EQ(answered.load(), 1);
    EXPECT_THAT(serials(found), ElementsAre("TV0001"));
    const auto lines = logs.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const LogLine& l) { return l.text.rfind("Datagram of 2000 bytes from 192.0.2.66", 0) == 0; }),
              2);
}

TEST_F(EthNetnsTest, TwoCamerasOnOneAdapter) {
    oneSegment({{"cam1", "192.0.2.11/24"}, {"cam2", "192.0.2.12/24"}});
    addCamera("cam1", "192.0.2.11", "TV0001");
    addCameraProgram("cam2", {"--ip", "192.0.2.12", "--serial", "TV0002", "--mac", "0050c258c102"});
    auto inside = lab->enter("host");
    const auto found = EthInterface::findEthDvsCamera();
    EXPECT_THAT(serials(found), UnorderedElementsAre("TV0001", "TV0002"));
    for (const auto& d : found) {
        EXPECT_EQ(d.ipAddresses[1], "192.0.2.1");
        EXPECT_EQ(d.ipAddresses[0], d.serialNumber == "TV0001" ? "192.0.2.11" : "192.0.2.12");
    }
}

// Cameras differ in how they answer: by broadcast (needed on another subnet) or to the sender.
TEST_F(EthNetnsTest, CamerasAnsweringByBroadcastOrByUnicastAreFound) {
    oneSegment({{"cam1", "192.0.2.11/24"}, {"cam2", "198.51.100.12/24"}});
    addCamera("cam1", "192.0.2.11", "UNICAST", 0x0050C258C101ULL, false);
    addCamera("cam2", "198.51.100.12", "OTHERNET", 0x0050C258C102ULL, true);
    auto inside = lab->enter("host");
    const auto found = EthInterface::findEthDvsCamera();
    EXPECT_THAT(serials(found), UnorderedElementsAre("UNICAST", "OTHERNET"));
    for (const auto& d : found) {
        EXPECT_EQ(d.ipAddresses[0], d.serialNumber == "UNICAST" ? "192.0.2.11" : "198.51.100.12");
    }
}

TEST_F(EthNetnsTest, OneCameraThroughTwoAdaptersIsListedTwice) {
    for (bool broadcastAck : {true, false}) {
        SCOPED_TRACE(broadcastAck ? "broadcast answers" : "unicast answers");
        lab = std::make_unique<NetnsLab>(); // a fresh network per round
        lab->addSegment("a");
        lab->addSegment("b");
        lab->addHost("host");
        lab->addHost("cam");
        lab->connect("host", "eth0", "a", "192.0.2.1/24");
        lab->connect("host", "eth1", "b", "198.51.100.1/24");
        lab->connect("cam", "eth0", "a", "192.0.2.11/24");
        lab->connect("cam", "eth1", "b", "198.51.100.11/24");
        auto& cam = addCamera("cam", "192.0.2.11", "TV0001", 0x0050C258C100ULL, broadcastAck);
        {
            auto inside = lab->enter("host");
            const auto found = EthInterface::findEthDvsCamera();
            ASSERT_EQ(found.size(), 2u);
            EXPECT_EQ(found[0].serialNumber, "TV0001");
            EXPECT_EQ(found[1].serialNumber, "TV0001");
            EXPECT_EQ(found[0].ipAddresses[1], "192.0.2.1");
            EXPECT_EQ(found[1].ipAddresses[1], "198.51.100.1");
        }
        cam.stop();
        cameras.clear();
    }
}

TEST_F(EthNetnsTest, ForceIpAcknowledged) {
    oneSegment({{"cam1", "192.0.2.11/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    followForceIp(cam, "cam1");
    LogCapture logs;
    auto inside = lab->enter("host");
    const auto found = EthInterface::findEthDvsCamera();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(EthInterface::ethCameraForceIP(found[0], NEW_IP, NEW_MASK, NEW_GATEWAY));
    EXPECT_TRUE(
        logs.has(LOG_INFO, "ForceIP ACK received; configuration succeeded, MAC: 0050c258c100, New IP: 192.0.2.50"));
    EXPECT_EQ(cam.logLines().back(), "FORCEIP 192.0.2.50 255.255.255.0 192.0.2.254");

    // The camera is reached at its new address.
    ASSERT_TRUE(EthCameraSim::waitUntil([this] { return moved.load(); }, std::chrono::seconds(20)));
    const auto again = EthInterface::findEthDvsCamera();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_THAT(again[0].ipAddresses, ElementsAre("192.0.2.50", "192.0.2.1", "255.255.255.0", "192.0.2.254"));
    auto eth = EthInterface::createEthInterface(again[0]);
    cam.registers().poke(0x1004, 77);
    EXPECT_EQ(eth->readRegister(0x1004), 77u);
}

TEST_F(EthNetnsTest, ForceIpWithoutOrWithABadAcknowledgementIsVerifiedByRediscovery) {
    struct Case {
        ReplyFault fault;
        const char* firstLine;
        const char* verified;
    };
    const Case cases[] = {
        {ReplyFault(ReplyFault::Kind::Silence, FORCEIP),
         "ForceIP ACK timed out; verifying by rediscovery, MAC: 0050c258c100, New IP: 192.0.2.50",
         "ForceIP ACK timed out, but rediscovery verified the configuration, MAC: 0050c258c100, New IP: 192.0.2.50"},
        {ReplyFault(ReplyFault::Kind::BadStatus, FORCEIP),
         "Invalid ForceIP ACK received; verifying by rediscovery, MAC: 0050c258c100, New IP: 192.0.2.50",
         "ForceIP ACK was invalid, but rediscovery verified the configuration, MAC: 0050c258c100, New IP: 192.0.2.50"},
    };
    oneSegment({{"cam1", "192.0.2.11/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    followForceIp(cam, "cam1");
    auto inside = lab->enter("host");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstLine);
        lab->setAddress("cam1", "eth0", "192.0.2.11/24");
        LogCapture logs;
        cam.clearReplyFaults();
        cam.addReplyFault(c.fault);
        CameraDescription d = cam.description("192.0.2.1");
        EXPECT_TRUE(EthInterface::ethCameraForceIP(d, NEW_IP, NEW_MASK, NEW_GATEWAY));
        EXPECT_TRUE(logs.has(LOG_WARN, c.firstLine));
        EXPECT_TRUE(logs.has(LOG_INFO, c.verified));
    }
}

TEST_F(EthNetnsTest, ForceIpThatIsNotAppliedFails) {
    oneSegment({{"cam1", "192.0.2.11/24"}});
    addCamera("cam1", "192.0.2.11", "TV0001");
    LogCapture logs;
    auto inside = lab->enter("host");
    CameraDescription other = cameras[0]->description("192.0.2.1");
    other.macAddress = 0x001122334455ULL; // nobody has it
    EXPECT_FALSE(EthInterface::ethCameraForceIP(other, NEW_IP, NEW_MASK, NEW_GATEWAY));
    EXPECT_TRUE(logs.has(LOG_ERROR,
                         "ForceIP configuration was not applied after rediscovery verification, MAC: 001122334455, "
                         "Expected IP: 192.0.2.50, Netmask: 255.255.255.0, Gateway: 192.0.2.254"));
    EXPECT_TRUE(logs.has(LOG_ERROR, "ForceIP: camera MAC 001122334455 not found by 5 rediscovery passes"));
    EXPECT_EQ(cameras[0]->currentIp(), "192.0.2.11");

    CameraDescription noAdapter = cameras[0]->description("");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(EthInterface::ethCameraForceIP(noAdapter, NEW_IP, NEW_MASK, NEW_GATEWAY));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(logs.has(LOG_ERROR, "ForceIP command send failed, MAC: 0050c258c100, New IP: 192.0.2.50"));
}

TEST_F(EthNetnsTest, CameraProgramAdoptsAForcedAddress) {
    oneSegment({{"cam1", "192.0.2.11/24"}});
    addCameraProgram("cam1", {"--ip", "192.0.2.11", "--mask", "255.255.255.0", "--gateway", "192.0.2.254", "--serial",
                              "TV0009", "--apply-force-ip", "eth0"});
    auto inside = lab->enter("host");
    const auto found = EthInterface::findEthDvsCamera();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(EthInterface::ethCameraForceIP(found[0], NEW_IP, NEW_MASK, NEW_GATEWAY));
    ASSERT_TRUE(EthCameraSim::waitUntil(
        [&] {
            const auto now = EthInterface::findEthDvsCamera();
            if (now.size() != 1 || now[0].ipAddresses[0] != "192.0.2.50") {
                return false;
            }
            // Reachable at the new address.
            auto eth = EthInterface::createEthInterface(now[0]);
            uint32_t value = 0;
            return eth->tryReadRegister(EthInterface::STREAM_PORT_REGISTER, value) && value != 0;
        },
        std::chrono::seconds(20)));
}

// Every acknowledgement lost, and the camera's answer to the first rediscovery too: the camera is
// looked for again and found at its new address, which is a success.
TEST_F(EthNetnsTest, ForceIpWhoseAcknowledgementAndFirstRediscoveryAreLostSucceeds) {
    oneSegment({{"cam1", "192.0.2.11/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    followForceIp(cam, "cam1");
    auto inside = lab->enter("host");
    LogCapture logs;
    cam.addReplyFault(ReplyFault(ReplyFault::Kind::Silence, FORCEIP));
    cam.addReplyFault(ReplyFault(ReplyFault::Kind::Silence, 0x0002, {}, 1));
    EXPECT_TRUE(EthInterface::ethCameraForceIP(cam.description("192.0.2.1"), NEW_IP, NEW_MASK, NEW_GATEWAY));
    EXPECT_TRUE(logs.has(LOG_INFO, "ForceIP ACK timed out, but rediscovery verified the configuration, MAC: "
                                   "0050c258c100, New IP: 192.0.2.50"));
    EXPECT_EQ(cam.countRequests(FORCEIP), 1u) << "resends were answered, not applied again";
    EXPECT_GE(cam.countRequests(0x0002), 2u);
}

// The system may give a force-IP call the local port of an earlier one, and the camera answers a
// request equal to the last one from that port from its stored reply, without acting. With one
// request id for all calls, a call back to the address of that earlier call would be acknowledged
// without moving the camera. Each call carries an id of its own; its resends keep it.
TEST_F(EthNetnsTest, EveryForceIpCallCarriesARequestIdOfItsOwn) {
    oneSegment({{"cam1", "192.0.2.11/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    followForceIp(cam, "cam1");
    auto inside = lab->enter("host");
    const uint32_t addresses[] = {0xC0000232, 0xC0000233, 0xC0000232}; // .50, .51, .50
    for (uint32_t target : addresses) {
        SCOPED_TRACE(ipToString(target));
        EXPECT_TRUE(EthInterface::ethCameraForceIP(cam.description("192.0.2.1"), target, NEW_MASK, NEW_GATEWAY));
        EXPECT_EQ(cam.currentIp(), ipToString(target));
    }
    std::set<uint16_t> ids;
    size_t calls = 0;
    for (const auto& entry : cam.log()) {
        if (entry.command == FORCEIP && !entry.repeat) {
            ++calls;
            EXPECT_NE(entry.requestId, 0);
            EXPECT_NE(entry.requestId, 0xFFFF) << "the id of discovery";
            ids.insert(entry.requestId);
        }
    }
    EXPECT_EQ(calls, 3u);
    EXPECT_EQ(ids.size(), 3u);
}

// Under 5 % control loss each way, force IP back and forth: each call reports what happened, that is,
// true exactly when the camera now has the address asked for.
TEST_F(EthNetnsTest, ForceIpUnderControlLossReportsWhatHappened) {
    oneSegment({{"cam1", "192.0.2.11/24"}});
    auto& cam = addCamera("cam1", "192.0.2.11", "TV0001");
    followForceIp(cam, "cam1");
    auto inside = lab->enter("host");
    cam.setControlLoss({0.05, 0.05, 77});
    const uint32_t addresses[] = {0xC0000232, 0xC0000233}; // 192.0.2.50, .51
    for (int i = 0; i < 12; ++i) {
        const uint32_t target = addresses[i % 2];
        SCOPED_TRACE(i);
        const bool reported = EthInterface::ethCameraForceIP(cam.description("192.0.2.1"), target, NEW_MASK,
                                                             NEW_GATEWAY);
        EXPECT_TRUE(reported);
        EXPECT_EQ(reported, cam.currentIp() == ipToString(target));
    }
    const ControlLossStats lost = cam.controlLossStats();
    EXPECT_GT(lost.requestsDropped + lost.repliesDropped, 0u);
    cam.setControlLoss({});
}

} // namespace
