// EthInterface against the camera simulator over loopback: the connection sequence, register access
// by name, and replies that are late, duplicated, stale, malformed or missing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "EthTestSupport.h"
#include "LogCapture.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorHal/register/RegisterController.h"
#include "device/DeviceDouble.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;
using testing::ElementsAre;
using testing::HasSubstr;

constexpr uint16_t READREG = 0x0080;
constexpr uint16_t WRITEREG = 0x0082;

std::string hex8(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::string readFailed(uint32_t address) {
    char text[64];
    std::snprintf(text, sizeof text, "Read register 0x%08x failed", address);
    return text;
}

// What the camera acted on, in order. A loaded machine may deliver a reply after the host's resend
// interval: the camera then logs the resend as a repeat, answered from its stored reply, which must
// be a resend of the request it acted on last.
std::vector<std::string> actedOn(const EthCameraSim& cam) {
    std::vector<std::string> lines;
    const SimLogEntry* last = nullptr;
    for (const SimLogEntry& entry : cam.log()) {
        if (!entry.repeat) {
            lines.push_back(entry.text);
            last = &entry;
            continue;
        }
        EXPECT_TRUE(last != nullptr && entry.requestId == last->requestId && entry.datagram == last->datagram)
            << entry.text;
    }
    return lines;
}

// The host's exchanges run on the test's thread. Starved of the CPU past a resend interval (20 ms)
// it sends again and the camera logs a repeat; past the exchange's bound (100 ms) the exchange
// fails, and either reads as loss where the tests count what was lost. A host on a LAN hears its
// reply in time, so the thread (and the interface's threads it starts) runs ahead of the ordinary
// ones where the system allows it, as the simulated camera's does.
class EthInterfaceTest : public EthLoopbackTest {
protected:
    void SetUp() override {
        answerPromptly();
        EthLoopbackTest::SetUp();
    }
    void TearDown() override {
        EthLoopbackTest::TearDown();
        answerAsUsual();
    }
};

TEST_F(EthInterfaceTest, ConnectionSequenceAndTeardownAsTheCameraSeesThem) {
    LogCapture logs;
    auto& cam = startCamera();
    auto eth = connect();
    ASSERT_TRUE(eth);
    const uint16_t hostPort = cam.hostStreamPort();
    EXPECT_NE(hostPort, 0);
    EXPECT_EQ(cam.hostAddress(), HOST_ADDRESS);
    EXPECT_TRUE(cam.controlTaken());
    EXPECT_THAT(actedOn(cam), ElementsAre("WRITEREG 0x00000773 = 0x00000001", "READREG 0x00000D1C",
                                          "WRITEREG 0x00000D00 = " + hex8(hostPort)));
    EXPECT_TRUE(logs.has(LOG_INFO, "Occupy camera port successfully"));
    EXPECT_TRUE(logs.has(LOG_INFO, "Read camera event stream port: " + std::to_string(cam.streamSourcePort())));
    EXPECT_TRUE(eth->isConnected());
    EXPECT_EQ(eth->getInterfaceType(), Interface::ETH);

    eth.reset();
    EXPECT_FALSE(cam.controlTaken());
    const auto lines = actedOn(cam);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines.back(), "WRITEREG 0x00000773 = 0x00000000");

    // Every request carried an id of its own.
    std::set<uint16_t> ids;
    for (const auto& entry : cam.log()) {
        EXPECT_NE(entry.requestId, 0);
        ids.insert(entry.requestId);
    }
    EXPECT_EQ(ids.size(), 4u);
}

TEST_F(EthInterfaceTest, UnreachableCameraGivesAnInterfaceWhoseExchangesTimeOut) {
    LogCapture logs;
    CameraDescription nobody;
    nobody.ipAddresses = {nextCameraAddress(), HOST_ADDRESS, "255.0.0.0", "0.0.0.0"};
    const auto began = std::chrono::steady_clock::now();
    auto eth = EthInterface::createEthInterface(nobody);
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_TRUE(eth);
    EXPECT_GE(took, std::chrono::milliseconds(290)); // three exchanges of 100 ms each
    EXPECT_EQ(logs.count("Occupy camera port successfully"), 0);
    EXPECT_EQ(logs.count("Failed to occupy camera port"), 0);
    EXPECT_TRUE(eth->isConnected());
    uint32_t value = 7;
    EXPECT_FALSE(eth->tryReadRegister(0x4, value));
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(eth->readRegister(0x4), 0u);
}

TEST_F(EthInterfaceTest, CameraRefusingTheControlPortIsLogged) {
    LogCapture logs;
    auto& cam = startCamera();
    cam.addReplyFault(ReplyFault(ReplyFault::Kind::BadStatus, WRITEREG, 0x0773u, 1));
    auto eth = connect();
    EXPECT_TRUE(logs.has(LOG_ERROR, "Failed to occupy camera port"));
}

TEST_F(EthInterfaceTest, OperationsAnEthernetCameraDoesNotOfferGiveTheBaseResults) {
    startCamera();
    auto eth = connect();
    uint32_t value = 5;
    uint8_t block[4] = {};
    std::vector<uint8_t> calibration;
    EXPECT_TRUE(eth->readRegister(0x4, 3).empty());
    EXPECT_EQ(eth->readRegisterWithControlTransfer(0x4, value), 0u);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(eth->readRegisterWithControlTransfer(0x4, block, 4), 0u);
    EXPECT_EQ(eth->writeRegisterWithControlTransfer(0x4, 1), 0u);
    EXPECT_FALSE(eth->writeCalibrationFile("calibration.json"));
    EXPECT_FALSE(eth->readCalibrationData(calibration));
    EXPECT_EQ(eth->getFirmwareVersion(), 0u);
    EXPECT_EQ(eth->getBuildDate(), 0u);
    EXPECT_EQ(eth->getDeviceCount(), 0u);
}

// Registers by name, the sensor's register map over the camera's register file.
class EthRegistersTest : public EthInterfaceTest {
protected:
    void SetUp() override {
        EthInterfaceTest::SetUp();
        startCamera();
        eth = connect();
        controller =
            std::make_shared<RegisterController>(eth, IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/");
        camera->clearLog();
    }

    std::vector<std::string> writesTo(uint32_t address) const {
        std::vector<std::string> out;
        for (const auto& e : camera->log()) {
            if (e.command == WRITEREG && e.address == address) {
                out.push_back(e.text);
            }
        }
        return out;
    }

    std::shared_ptr<EthInterface> eth;
    std::shared_ptr<RegisterController> controller;
};

TEST_F(EthRegistersTest, ReadAndWriteByName) {
    DeviceDouble& regs = camera->registers();
    EXPECT_EQ(controller->readRegister("roi_ctrl"), regs.peek("roi_ctrl"));
    EXPECT_EQ(controller->readRegister("bias/bias_diff"), regs.peek("bias/bias_diff"));

    controller->writeRegister("bias/bias_fo", 0x12345678);
    EXPECT_EQ(regs.peek("bias/bias_fo"), 0x12345678u);

    const uint32_t before = regs.peek("roi_ctrl");
    controller->writeRegisterField("roi_ctrl", "roi_td_en", 1);
    EXPECT_EQ(regs.peekField("roi_ctrl", "roi_td_en"), 1u);
    // Only that field changed.
    const uint32_t mask = regs.peek("roi_ctrl") ^ before;
    EXPECT_EQ(mask & ~regs.peek("roi_ctrl"), 0u);
    uint32_t field = 0;
    controller->readRegisterField("roi_ctrl", "roi_td_en", field);
    EXPECT_EQ(field, 1u);

    // The done flags the tools poll read as done.
    uint32_t done = 0;
    controller->readRegisterField("roi_win_ctrl", "roi_win_done", done);
    EXPECT_EQ(done, 1u);
    EXPECT_THAT(camera->logLines(),
                testing::Contains("WRITEREG " + hex8(regs.addressOf("bias/bias_fo")) + " = 0x12345678"));
}

TEST_F(EthRegistersTest, LateReplyToOneRegisterIsNotTakenForTheNext) {
    LogCapture logs;
    DeviceDouble& regs = camera->registers();
    const uint32_t a = regs.addressOf("bias/bias_fo");
    const uint32_t b = regs.addressOf("bias/bias_diff");
    regs.poke(a, 0xAAAA00FF);
    regs.poke(b, 0x0000B000);
    // Every try of the read is answered after the exchange has given up.
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Late, READREG, a).delay(150));

    uint32_t value = 0;
    EXPECT_FALSE(eth->tryReadRegister(a, value));
    EXPECT_TRUE(logs.has(LOG_ERROR, readFailed(a)));
    camera->clearReplyFaults();
    // a's late answer arrives while b is read for a read-modify-write of one of its fields.
    controller->writeRegisterField("bias/bias_diff", "idac_ctl", 0x4D);
    EXPECT_EQ(regs.peek(b), 0x0000B04Du);
    EXPECT_EQ(eth->readRegister(b), 0x0000B04Du);
    EXPECT_EQ(eth->readRegister(a), 0xAAAA00FFu);
}

TEST_F(EthRegistersTest, DuplicatedAndStaleRepliesAreDiscarded) {
    DeviceDouble& regs = camera->registers();
    regs.poke(0x100, 111);
    regs.poke(0x104, 222);
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Duplicate, READREG, 0x100u, 1));
    EXPECT_EQ(eth->readRegister(0x100), 111u);
    EXPECT_EQ(eth->readRegister(0x104), 222u);

    camera->addReplyFault(ReplyFault(ReplyFault::Kind::WrongIdFirst, READREG, 0x104u, 1));
    EXPECT_EQ(eth->readRegister(0x104), 222u);

    camera->addReplyFault(ReplyFault(ReplyFault::Kind::WrongCode, READREG, 0x104u));
    uint32_t value = 9;
    EXPECT_FALSE(eth->tryReadRegister(0x104, value));
    camera->clearReplyFaults();
    EXPECT_EQ(eth->readRegister(0x104), 222u);
}

TEST_F(EthRegistersTest, FailedReadWritesNothingBack) {
    struct Case {
        const char* name;
        ReplyFault fault;
    };
    DeviceDouble& regs = camera->registers();
    const uint32_t address = regs.addressOf("roi_ctrl");
    const Case cases[] = {
        {"no reply", ReplyFault(ReplyFault::Kind::Silence, READREG, address)},
        {"bad status", ReplyFault(ReplyFault::Kind::BadStatus, READREG, address).withStatus(0x8003)},
        {"reply without its value", ReplyFault(ReplyFault::Kind::Truncate, READREG, address).withSize(8)},
        {"reply of another id only", ReplyFault(ReplyFault::Kind::WrongId, READREG, address)},
        {"reply larger than any datagram", ReplyFault(ReplyFault::Kind::Oversize, READREG, address).withSize(2000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture logs;
        regs.poke(address, 0xFFFF0F0F);
        camera->clearLog();
        camera->addReplyFault(c.fault);
        controller->writeRegisterField("roi_ctrl", "roi_td_en", 0);
        EXPECT_TRUE(writesTo(address).empty());
        EXPECT_EQ(regs.peek(address), 0xFFFF0F0Fu);
        EXPECT_TRUE(logs.has(LOG_ERROR, readFailed(address)));
        camera->clearReplyFaults();
    }
    // The register file itself refusing the read answers with an error status.
    regs.failReads(1, address);
    camera->clearLog();
    controller->writeRegisterField("roi_ctrl", "roi_td_en", 0);
    EXPECT_TRUE(writesTo(address).empty());
}

TEST_F(EthRegistersTest, ReplyPaddedBeyondItsFieldsIsStillRead) {
    camera->registers().poke(0x200, 0x01020304);
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Oversize, READREG, 0x200u, 1).withSize(64));
    EXPECT_EQ(eth->readRegister(0x200), 0x01020304u);
}

TEST_F(EthRegistersTest, RefusedAndUnansweredWritesAreLogged) {
    LogCapture logs;
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::BadStatus, WRITEREG, 0x300u, 1));
    eth->writeRegister(0x300, 5);
    EXPECT_TRUE(logs.has(LOG_INFO, "Write register 0x00000300 value 0x00000005 failed"));
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Silence, WRITEREG, 0x304u));
    eth->writeRegister(0x304, 6);
    EXPECT_TRUE(logs.has(LOG_ERROR, "No reply to write register 0x00000304 value 0x00000006"));
    EXPECT_FALSE(eth->tryWriteRegister(0x304, 7));
    camera->clearReplyFaults();
    EXPECT_TRUE(eth->tryWriteRegister(0x304, 8));
    EXPECT_EQ(camera->registers().peek(0x304), 8u);
}

// A lost request or reply is made good by sending the same datagram again, same request id.
TEST_F(EthRegistersTest, UnansweredRequestIsSentAgainWithItsId) {
    struct Case {
        const char* name;
        uint16_t command;
        // Each case its own register: a try of an earlier case still on its way is not counted as this one's.
        uint32_t address;
        std::vector<ReplyFault> faults;
    };
    const Case cases[] = {
        {"read, first reply lost", READREG, 0x500, {ReplyFault(ReplyFault::Kind::Silence, READREG, 0x500u, 1)}},
        {"read, first two replies lost", READREG, 0x504, {ReplyFault(ReplyFault::Kind::Silence, READREG, 0x504u, 2)}},
        {"read, only another id at first", READREG, 0x508, {ReplyFault(ReplyFault::Kind::WrongId, READREG, 0x508u, 1)}},
        {"write, first reply lost", WRITEREG, 0x50C, {ReplyFault(ReplyFault::Kind::Silence, WRITEREG, 0x50Cu, 1)}},
        // The reply to the first try comes once the second try reached the camera (whatever the
        // machine's load), and the later tries go unanswered: the late reply is the one taken.
        {"read, reply to an earlier try",
         READREG,
         0x510,
         {ReplyFault(ReplyFault::Kind::UntilNext, READREG, 0x510u, 1),
          ReplyFault(ReplyFault::Kind::Silence, READREG, 0x510u)}},
    };
    DeviceDouble& regs = camera->registers();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture logs;
        camera->clearReplyFaults();
        regs.poke(c.address, 0x0BADF00D);
        camera->clearLog();
        for (const ReplyFault& f : c.faults) {
            camera->addReplyFault(f);
        }
        if (c.command == READREG) {
            uint32_t value = 0;
            EXPECT_TRUE(eth->tryReadRegister(c.address, value));
            EXPECT_EQ(value, 0x0BADF00Du);
        } else {
            EXPECT_TRUE(eth->tryWriteRegister(c.address, 0x600D));
            EXPECT_EQ(regs.peek(c.address), 0x600Du);
        }
        std::vector<SimLogEntry> log;
        for (const SimLogEntry& e : camera->log()) {
            if (e.address == c.address) {
                log.push_back(e);
            }
        }
        ASSERT_GE(log.size(), 2u);
        for (const auto& e : log) {
            EXPECT_EQ(e.command, c.command);
            EXPECT_EQ(e.requestId, log.front().requestId);
            EXPECT_EQ(e.datagram, log.front().datagram);
        }
        // The camera acted once; the resends were answered from its stored reply.
        EXPECT_EQ(camera->countRequests(c.command, c.address), 1u);
        EXPECT_EQ(logs.countAt(LOG_ERROR), 0);
    }
    camera->clearReplyFaults();
}

// A camera that never answers: five sends of the one request, and the exchange ends within its bound.
TEST_F(EthRegistersTest, UnansweredExchangeEndsAfterFiveSends) {
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Silence, READREG, 0x504u));
    const auto began = std::chrono::steady_clock::now();
    uint32_t value = 1;
    EXPECT_FALSE(eth->tryReadRegister(0x504, value));
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, std::chrono::milliseconds(EthInterface::CONTROL_TIMEOUT_MS - 5));
    // All five were sent before the exchange ended; on a loaded machine the last may still be on its way.
    EXPECT_TRUE(eventually([&] { return camera->log().size() >= 5; }));
    const auto log = camera->log();
    ASSERT_EQ(log.size(), 5u);
    for (const auto& e : log) {
        EXPECT_EQ(e.requestId, log.front().requestId);
    }
}

// The caller's register reads and the once-a-second keep-alive share the control socket. With every
// reply sent twice (stale copies everywhere), each read still gets its own register's value.
TEST_F(EthRegistersTest, CallerAndKeepAliveNeverTakeEachOthersReplies) {
    DeviceDouble& regs = camera->registers();
    constexpr uint32_t first = 0x400;
    constexpr uint32_t second = 0x404;
    regs.poke(first, 0x11111111);
    regs.poke(second, 0x22222222);
    regs.poke(EthInterface::KEEP_ALIVE_REGISTER, 0x88888888);
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Duplicate, READREG));
    ASSERT_TRUE(eth->setEventStream(true));

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<int> reads{0};
    auto reader = [&](uint32_t address, uint32_t expected) {
        answerAsUsual();  // reads flat out: ahead of the ordinary threads they would starve the machine
        while (!done.load()) {
            uint32_t value = 0;
            // A read may time out on a loaded machine; a value of another register must never come back.
            if (eth->tryReadRegister(address, value)) {
                wrong += value != expected;
                ++reads;
            }
        }
    };
    std::thread one(reader, first, 0x11111111u);
    std::thread two(reader, second, 0x22222222u);
    auto keepAlives = [&] { return camera->countRequests(READREG, EthInterface::KEEP_ALIVE_REGISTER); };
    EXPECT_TRUE(eventually([&] { return keepAlives() >= 3 && reads.load() >= 400; }));
    done = true;
    one.join();
    two.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(eth->isConnected());
    eth->setEventStream(false);
}

// A share of the control datagrams lost each way (seeded): every write arrives once and every
// read-back gives what was written. At most two datagrams of one exchange are lost, so its third try
// (40 ms in) is answered with 60 ms of its bound left: a loaded machine may hold a reply up for tens
// of milliseconds, which an exchange down to its last try (20 ms left) could not survive.
TEST_F(EthRegistersTest, WritesAndReadBacksUnderControlLossAreAllCorrect) {
    struct Case {
        double share;
        uint64_t seed;
    };
    const Case cases[] = {{0.01, 1}, {0.05, 5}};
    constexpr int PAIRS = 200;
    DeviceDouble& regs = camera->registers();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.share);
        LogCapture logs;
        camera->clearLog();
        camera->setControlLoss({c.share, c.share, c.seed, 2});
        int wrong = 0;
        int unconfirmed = 0;
        for (int i = 0; i < PAIRS; ++i) {
            const uint32_t address = 0x2000 + 4 * static_cast<uint32_t>(i % 16);
            const uint32_t value = 0xA5000000u ^ static_cast<uint32_t>(i * 7919);
            unconfirmed += !eth->tryWriteRegister(address, value);
            uint32_t back = 0;
            wrong += !eth->tryReadRegister(address, back) || back != value || regs.peek(address) != value;
        }
        camera->setControlLoss({});
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(unconfirmed, 0);
        EXPECT_EQ(camera->countRequests(WRITEREG), static_cast<size_t>(PAIRS)) << "each write executed once";
        EXPECT_EQ(logs.countAt(LOG_ERROR), 0);
        const ControlLossStats lost = camera->controlLossStats();
        EXPECT_GT(lost.requestsDropped, 0u);
        EXPECT_GT(lost.repliesDropped, 0u);
    }
}

} // namespace
