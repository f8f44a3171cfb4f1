// Firmware update, device parameters and force IP through an interface, against the simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "EthTestSupport.h"
#include "LogCapture.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;
namespace fs = std::filesystem;

constexpr uint16_t WRITEMEM = 0x0086;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/quelnor-eth-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string p = path + "/" + name;
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    std::string path;
};

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

std::vector<std::string> linesStartingWith(const LogCapture& logs, const std::string& start) {
    std::vector<std::string> out;
    for (const auto& line : logs.lines()) {
        if (line.text.rfind(start, 0) == 0) {
            out.push_back(line.text);
        }
    }
    return out;
}

class EthMaintenanceTest : public EthLoopbackTest {
protected:
    void SetUp() override {
        EthLoopbackTest::SetUp();
        startCamera();
        eth = connect();
    }
    std::shared_ptr<EthInterface> eth;
    TempDir dir;
};

TEST_F(EthMaintenanceTest, FirmwareOf300BytesGoesOutInTwoChunks) {
    LogCapture logs;
    const auto content = randomBytes(300, 1);
    const std::string path = dir.file("fw.bin", content);
    ASSERT_TRUE(eth->updateFirmware(path, 0x00080000));
    const auto writes = camera->memoryWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].requestId, 0);
    EXPECT_EQ(writes[0].address, 0x00080000u);
    EXPECT_EQ(writes[0].length, 256u);
    EXPECT_EQ(writes[1].requestId, 1);
    EXPECT_EQ(writes[1].address, 0x00080100u);
    EXPECT_EQ(writes[1].length, 44u);
    EXPECT_EQ(camera->readMemory(0x00080000, 300), content);
    EXPECT_TRUE(logs.has(LOG_INFO, "Updating firmware with file: " + path + " (size: 300 bytes)"));
    EXPECT_TRUE(
        logs.has(LOG_INFO, "Firmware update completed successfully. Total packets: 2, Total bytes: 0x0000012c"));
    EXPECT_TRUE(linesStartingWith(logs, "Firmware update progress").empty());
}

// One mebibyte while the online check reads its keep-alive register on the same socket, and with
// some acknowledgements sent twice: every chunk still gets its own acknowledgement.
TEST_F(EthMaintenanceTest, FirmwareOfOneMebibyteIsWrittenByteExact) {
    LogCapture logs;
    const auto content = randomBytes(1 << 20, 2);
    const std::string path = dir.file("big.bin", content);
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Duplicate, WRITEMEM, {}, 50));
    ASSERT_TRUE(eth->setEventStream(true));
    ASSERT_TRUE(eth->updateFirmware(path, 0));
    eth->setEventStream(false);
    EXPECT_EQ(camera->readMemory(0, content.size()), content);
    EXPECT_EQ(camera->memoryWrites().size(), 4096u);
    const auto progress = linesStartingWith(logs, "Firmware update progress");
    ASSERT_EQ(progress.size(), 40u);
    EXPECT_EQ(progress.front(), "Firmware update progress: 2.4% (Packet 100, Address 0x00006400)");
    EXPECT_EQ(progress.back(), "Firmware update progress: 97.7% (Packet 4000, Address 0x000fa000)");
    EXPECT_TRUE(
        logs.has(LOG_INFO, "Firmware update completed successfully. Total packets: 4096, Total bytes: 0x00100000"));
}

// Control datagrams lost each way (seeded): the update still succeeds, every chunk is written once,
// the camera's memory equals the file, and the progress lines are those of a lossless update.
TEST_F(EthMaintenanceTest, FirmwareOfOneMebibyteSurvivesControlLoss) {
    struct Case {
        double share;
        uint64_t seed;
    };
    const Case cases[] = {{0.01, 11}, {0.05, 15}};
    const auto content = randomBytes(1 << 20, 9);
    const std::string path = dir.file("lossy.bin", content);
    uint32_t start = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.share);
        LogCapture logs;
        const size_t writesBefore = camera->memoryWrites().size();
        camera->setControlLoss({c.share, c.share, c.seed});
        ASSERT_TRUE(eth->updateFirmware(path, start));
        camera->setControlLoss({});
        EXPECT_EQ(camera->readMemory(start, content.size()), content);
        EXPECT_EQ(camera->memoryWrites().size() - writesBefore, 4096u);
        EXPECT_EQ(linesStartingWith(logs, "Firmware update progress").size(), 40u);
        EXPECT_EQ(logs.countAt(LOG_ERROR), 0);
        start += 0x00200000;
    }
    const ControlLossStats lost = camera->controlLossStats();
    EXPECT_GT(lost.requestsDropped, 0u);
    EXPECT_GT(lost.repliesDropped, 0u);
    EXPECT_GT(lost.repeatsAnswered, 0u);
}

TEST_F(EthMaintenanceTest, FirmwareOf99ChunksLogsNoProgress) {
    LogCapture logs;
    ASSERT_TRUE(eth->updateFirmware(dir.file("f.bin", randomBytes(99 * 256, 3)), 0));
    EXPECT_TRUE(linesStartingWith(logs, "Firmware update progress").empty());
    EXPECT_TRUE(
        logs.has(LOG_INFO, "Firmware update completed successfully. Total packets: 99, Total bytes: 0x00006300"));
}

TEST_F(EthMaintenanceTest, EmptyFirmwareSendsNothing) {
    LogCapture logs;
    ASSERT_TRUE(eth->updateFirmware(dir.file("empty.bin", {}), 0x100));
    EXPECT_TRUE(camera->memoryWrites().empty());
    EXPECT_TRUE(
        logs.has(LOG_INFO, "Firmware update completed successfully. Total packets: 0, Total bytes: 0x00000000"));
}

TEST_F(EthMaintenanceTest, OnlyBinFilesAreAccepted) {
    LogCapture logs;
    EXPECT_FALSE(eth->updateFirmware(dir.file("fw.BIN", {1, 2}), 0));
    EXPECT_FALSE(eth->updateFirmware(dir.file("firmware", {1, 2}), 0));
    EXPECT_EQ(logs.count(LOG_ERROR, "Invalid firmware file format. Only .bin files are supported."), 2);
    EXPECT_TRUE(eth->updateFirmware(dir.file("a.b.bin", {1, 2}), 0));
    EXPECT_TRUE(camera->memoryWrites().size() == 1);

    const std::string missing = dir.path + "/missing.bin";
    EXPECT_FALSE(eth->updateFirmware(missing, 0));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Failed to open firmware file: " + missing));
}

// The file shrinks while it is being sent: the read ends early, and that is no success.
TEST_F(EthMaintenanceTest, FirmwareFileEndingEarlyIsAFailure) {
    LogCapture logs;
    const std::string path = dir.file("shrinking.bin", randomBytes(1 << 20, 4));
    camera->setWriteMemHook([&path](const MemoryWrite& write) {
        if (write.requestId == 100) {
            fs::resize_file(path, 512 * 1024);
        }
    });
    EXPECT_FALSE(eth->updateFirmware(path, 0));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Firmware file read ended early: 524288 of 1048576 bytes sent"));
    EXPECT_FALSE(
        logs.has(LOG_INFO, "Firmware update completed successfully. Total packets: 2048, Total bytes: 0x00080000"));
}

TEST_F(EthMaintenanceTest, RefusedChunkStopsTheUpdate) {
    LogCapture logs;
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::BadStatus, WRITEMEM, 0x200u, 1).withStatus(0x8005));
    EXPECT_FALSE(eth->updateFirmware(dir.file("fw.bin", randomBytes(1024, 5)), 0));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Failed to parse response for packet 2 at address 0x00000200"));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Firmware update stopped at packet 2, address 0x00000200: not written (the "
                                    "camera refused it, status 0x8005)"));
    EXPECT_EQ(camera->memoryWrites().size(), 3u); // written chunks stay written, no more follow
}

// A chunk the camera took but whose acknowledgement came back malformed (status 0, too short).
TEST_F(EthMaintenanceTest, ChunkWithAMalformedAcknowledgementIsReportedWritten) {
    LogCapture logs;
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Truncate, WRITEMEM, 0x100u, 1).withSize(8));
    EXPECT_FALSE(eth->updateFirmware(dir.file("fw.bin", randomBytes(1024, 8)), 0));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Firmware update stopped at packet 1, address 0x00000100: written, not "
                                    "acknowledged (the camera's acknowledgement was malformed)"));
    EXPECT_EQ(camera->memoryWrites().size(), 2u);
}

TEST_F(EthMaintenanceTest, AcknowledgementOfAnotherChunkIsNotTaken) {
    LogCapture logs;
    // A stray acknowledgement first, then the right one: the update goes on.
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::WrongIdFirst, WRITEMEM, 0x100u, 1));
    ASSERT_TRUE(eth->updateFirmware(dir.file("fw.bin", randomBytes(1024, 6)), 0));
    // Only stray ones, to every try: the chunk counts as unanswered once the wait is over.
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::WrongId, WRITEMEM, 0x100u));
    EXPECT_FALSE(eth->updateFirmware(dir.file("fw2.bin", randomBytes(1024, 7)), 0));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Failed to read response for packet 1 at address 0x00000100"));
    const auto stopped = linesStartingWith(logs, "Firmware update stopped at packet 1, address 0x00000100: not "
                                                 "acknowledged after ");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_THAT(stopped[0], testing::EndsWith("sends; whether it was written is not known"));
}

TEST_F(EthMaintenanceTest, DeviceParametersGoOutAsOneDatagram) {
    LogCapture logs;
    GvcpDeviceParameters params;
    params.version = 0x00010002;
    params.macHigh = 0x0050;
    params.macLow = 0xC258C100;
    params.interfaceCapability = 0x00040003;
    const uint8_t ip[4] = {192, 168, 9, 99};
    std::memcpy(&params.currentIp, ip, 4);
    std::strcpy(params.manufacturerName, "Quelnor");
    std::strcpy(params.serialNumber, "TV0042");
    camera->clearLog();
    ASSERT_TRUE(eth->writeDeviceParameters(params));
    EXPECT_TRUE(logs.has(LOG_INFO, "Write device parameters completed successfully"));

    const auto log = camera->log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "WRITEMEM 0x00400000 +256");
    EXPECT_EQ(log[0].requestId, 0x7777);
    ASSERT_EQ(log[0].datagram.size(), 268u);

    std::vector<uint8_t> expected(256);
    std::memcpy(expected.data(), &params, 256);
    const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x58, 0xC1, 0x00};
    std::memcpy(&expected[10], mac, 6);
    EXPECT_EQ(camera->readMemory(0x400000, 256), expected);
}

TEST_F(EthMaintenanceTest, DeviceParametersWithoutAnAnswerFail) {
    LogCapture logs;
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Silence, WRITEMEM));
    GvcpDeviceParameters params;
    EXPECT_FALSE(eth->writeDeviceParameters(params));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Failed to read response for write device parameters"));
    camera->clearReplyFaults();
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::BadStatus, WRITEMEM));
    EXPECT_FALSE(eth->writeDeviceParameters(params));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Failed to parse write device parameters ack"));
}

TEST_F(EthMaintenanceTest, ForceIpThroughTheControlSocket) {
    EXPECT_TRUE(eth->forceIP(camera->config().mac, 0x0A000132, 0xFF000000, 0x0A000001));
    EXPECT_EQ(camera->currentIp(), "10.0.1.50");
    EXPECT_EQ(camera->currentMask(), "255.0.0.0");
    EXPECT_EQ(camera->currentGateway(), "10.0.0.1");
    // Another camera's MAC: this one ignores it and nothing answers.
    EXPECT_FALSE(eth->forceIP(0x001122334455ULL, 0x0A000133, 0xFF000000, 0x0A000001));
    EXPECT_EQ(camera->currentIp(), "10.0.1.50");
}

} // namespace
