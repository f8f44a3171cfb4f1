// The pieces of the USB runs on a real kernel that run anywhere: the counter stream and its checker
// (which the in-order claims rest on), the model's end-of-transfer report, the FunctionFS
// descriptor block, and the gadget's control socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GadgetCommandServer.h"
#include "GadgetControl.h"
#include "evt3/Evt3RawFile.h"
#include "usbcam/CounterStream.h"
#include "usbcam/FunctionFsGadget.h"
#include "usbcam/UsbCameraModel.h"

using namespace quelnor::test::usbcam;
using quelnor::test::usbvm::GadgetBinding;
using quelnor::test::usbvm::GadgetCommandServer;
using quelnor::test::usbvm::GadgetControl;

namespace {

constexpr uint8_t DATA_EP = UsbCameraConfig::DATA_ENDPOINT;

uint32_t le32(const std::vector<uint8_t>& b, size_t offset) {
    return b[offset] | (uint32_t(b[offset + 1]) << 8) | (uint32_t(b[offset + 2]) << 16) | (uint32_t(b[offset + 3]) << 24);
}

// Cuts [start, start + total) of the counter stream into buffers of the given sizes, cycling.
std::vector<std::vector<uint8_t>> cut(uint64_t start, size_t total, const std::vector<size_t>& sizes) {
    std::vector<std::vector<uint8_t>> out;
    size_t done = 0;
    for (size_t i = 0; done < total; ++i) {
        const size_t n = std::min(sizes[i % sizes.size()], total - done);
        out.push_back(CounterStream::bytes(start + done, n));
        done += n;
    }
    return out;
}

bool checkAll(CounterStreamChecker& checker, const std::vector<std::vector<uint8_t>>& buffers) {
    for (const auto& b : buffers) {
        if (!checker.check(b.data(), b.size())) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(CounterStream, EveryPositionHoldsItsWordsByte) {
    auto bytes = CounterStream::bytes(4 * 0x01020304ull + 1, 7);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x03, 0x02, 0x01, 0x05, 0x03, 0x02, 0x01}));
    auto fromZero = CounterStream::bytes(0, 12);
    EXPECT_EQ(le32(fromZero, 0), 0u);
    EXPECT_EQ(le32(fromZero, 8), 2u);
}

TEST(CounterStreamChecker, AcceptsTheStreamCutAnywhere) {
    for (uint64_t start : {uint64_t(0), uint64_t(3), uint64_t(4ull << 30) + 2}) {
        CounterStreamChecker checker(start);
        EXPECT_TRUE(checkAll(checker, cut(start, 300000, {131072, 1, 77777, 2, 3, 512, 0})))
            << start << ": " << checker.error();
        EXPECT_EQ(checker.position(), start + 300000);
    }
}

TEST(CounterStreamChecker, FindsTheStartOfAStreamJoinedLate) {
    for (uint64_t start : {uint64_t(1000), uint64_t(1001), uint64_t(1002), uint64_t(1003), uint64_t(6ull << 30)}) {
        CounterStreamChecker checker;
        EXPECT_TRUE(checkAll(checker, cut(start, 5000, {700, 33}))) << start << ": " << checker.error();
        EXPECT_TRUE(checker.started());
        EXPECT_EQ(checker.start(), start);
    }
    CounterStreamChecker checker;
    std::vector<uint8_t> noise(100, 0xA5);
    EXPECT_FALSE(checker.check(noise.data(), noise.size()));
}

TEST(CounterStreamChecker, CatchesLossRepetitionReorderAndCorruption) {
    const auto buffers = cut(0, 10 * 4096, {4096});
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> sequence;
    };
    std::vector<Case> cases;
    cases.push_back({"lost", buffers});
    cases.back().sequence.erase(cases.back().sequence.begin() + 3);
    cases.push_back({"repeated", buffers});
    cases.back().sequence.insert(cases.back().sequence.begin() + 5, buffers[4]);
    cases.push_back({"swapped", buffers});
    std::swap(cases.back().sequence[6], cases.back().sequence[7]);
    cases.push_back({"one byte changed", buffers});
    cases.back().sequence[8][1001] ^= 0x10;
    cases.push_back({"a buffer cut short", buffers});
    cases.back().sequence[2].resize(4000);
    for (const Case& c : cases) {
        CounterStreamChecker checker(0);
        EXPECT_FALSE(checkAll(checker, c.sequence)) << c.name;
        EXPECT_FALSE(checker.ok()) << c.name;
        EXPECT_FALSE(checker.error().empty()) << c.name;
        std::vector<uint8_t> next = CounterStream::bytes(checker.position(), 16);
        EXPECT_FALSE(checker.check(next.data(), next.size())) << c.name << ": stays failed";
    }
}

TEST(UsbCameraModelStream, TellsWhereTheDeviceEndsATransfer) {
    UsbCameraModel cam(UsbCameraConfig::eventCamera(0x04B5, 0x0001, "QNP1"));
    cam.streamData(std::vector<uint8_t>(100, 1), false);
    cam.streamData(std::vector<uint8_t>(50, 2), true);
    cam.streamData(std::vector<uint8_t>(1000, 3), true);
    std::vector<uint8_t> buffer(400);
    size_t filled = 0;
    bool ends = true;
    EXPECT_EQ(cam.bulkIn(DATA_EP, buffer.data(), buffer.size(), filled, &ends), InResult::Complete);
    EXPECT_EQ(filled, 150u);
    EXPECT_TRUE(ends) << "the second piece ends the transfer";
    filled = 0;
    EXPECT_EQ(cam.bulkIn(DATA_EP, buffer.data(), buffer.size(), filled, &ends), InResult::Complete);
    EXPECT_EQ(filled, 400u);
    EXPECT_FALSE(ends) << "the buffer is full, the device's transfer goes on";
    cam.dropStreamData(DATA_EP);
    EXPECT_EQ(cam.pendingStreamBytes(DATA_EP), 0u);
    filled = 0;
    EXPECT_EQ(cam.bulkIn(DATA_EP, buffer.data(), buffer.size(), filled, &ends), InResult::Pending);
    EXPECT_FALSE(ends);

    cam.bulkOut(UsbCameraConfig::COMMAND_ENDPOINT, std::vector<uint8_t>{121, 0, 0, 0, 0, 0, 0, 0}.data(), 8);
    filled = 0;
    EXPECT_EQ(cam.bulkIn(UsbCameraConfig::ANSWER_ENDPOINT, buffer.data(), buffer.size(), filled, &ends),
              InResult::Complete);
    EXPECT_EQ(filled, 12u);
    EXPECT_TRUE(ends) << "an answer is a transfer of its own";
}

TEST(FunctionFsDescriptors, EverySpeedOfTheVendorInterface) {
    for (bool fusion : {false, true}) {
        const UsbCameraConfig config = fusion ? UsbCameraConfig::fusionCamera(0x2207, 0x0006, "OND1")
                                              : UsbCameraConfig::eventCamera(0x04B5, 0x0001, "QNP1");
        const size_t endpoints = fusion ? 4 : 3;
        const auto block = FunctionFsGadget::descriptorBlock(config);
        ASSERT_GE(block.size(), 24u);
        EXPECT_EQ(le32(block, 0), 3u) << "descriptor block, second form";
        EXPECT_EQ(le32(block, 4), block.size());
        EXPECT_EQ(le32(block, 8), 0x1u | 0x2u | 0x4u | 0x40u) << "full, high and SuperSpeed; every control request";
        EXPECT_EQ(le32(block, 12), 1 + endpoints);
        EXPECT_EQ(le32(block, 16), 1 + endpoints);
        EXPECT_EQ(le32(block, 20), 1 + 2 * endpoints) << "each SuperSpeed endpoint with its companion";
        EXPECT_EQ(block.size(), 24 + 3 * 9 + 2 * 7 * endpoints + (7 + 6) * endpoints);
        // The interface, then the endpoints in the model's order, for each speed.
        size_t at = 24;
        for (uint16_t packet : {FunctionFsGadget::FULL_SPEED_BULK_PACKET, FunctionFsGadget::HIGH_SPEED_BULK_PACKET,
                                FunctionFsGadget::SUPER_SPEED_BULK_PACKET}) {
            EXPECT_EQ(block[at + 1], 4) << "interface";
            EXPECT_EQ(block[at + 4], endpoints);
            EXPECT_EQ(block[at + 5], 0xFF);
            EXPECT_EQ(block[at + 6], 0x19);
            at += 9;
            const auto& expected = config.interfaces[0].altSettings[0].endpoints;
            for (size_t e = 0; e < endpoints; ++e) {
                EXPECT_EQ(block[at + 1], 5) << "endpoint";
                EXPECT_EQ(block[at + 2], expected[e].address);
                EXPECT_EQ(block[at + 3], 2) << "bulk";
                EXPECT_EQ(block[at + 4] | (block[at + 5] << 8), packet);
                at += 7;
                if (packet == FunctionFsGadget::SUPER_SPEED_BULK_PACKET) {
                    EXPECT_EQ(block[at + 1], 0x30) << "companion";
                    at += 6;
                }
            }
        }
        EXPECT_EQ(at, block.size());
    }
    const auto strings = FunctionFsGadget::stringBlock();
    EXPECT_EQ(strings.size(), 16u);
    EXPECT_EQ(le32(strings, 0), 2u);
    EXPECT_EQ(le32(strings, 4), 16u);
}

// The control socket, client and server, against a model that no gadget serves.
class GadgetControlSocket : public testing::Test {
protected:
    void SetUp() override {
        socketPath = (std::filesystem::temp_directory_path() / ("quelnor-usbvm-" + std::to_string(::getpid()) + ".sock")).string();
        model = std::make_shared<UsbCameraModel>(UsbCameraConfig::eventCamera(0x04B5, 0x0001, "QNP1"));
        gadget = std::make_unique<FunctionFsGadget>(model, "/nonexistent");
        server = std::make_unique<GadgetCommandServer>(model, *gadget, GadgetBinding{"/nonexistent/UDC", "none"},
                                                       socketPath, "kind=event vid=0x04b5");
        serving = std::thread([this] { server->run(); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!std::filesystem::exists(socketPath) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        client = std::make_unique<GadgetControl>(socketPath);
    }

    void TearDown() override {
        if (client) {
            client->request("quit");
            client.reset();
        } else {
            server->requestStop(); // SetUp failed before a client could ask
        }
        serving.join();
        server.reset();
        gadget.reset();
    }

    std::string socketPath;
    std::shared_ptr<UsbCameraModel> model;
    std::unique_ptr<FunctionFsGadget> gadget;
    std::unique_ptr<GadgetCommandServer> server;
    std::thread serving;
    std::unique_ptr<GadgetControl> client;
};

TEST_F(GadgetControlSocket, RequestsReachTheModel) {
    EXPECT_EQ(client->fields("info"), (std::map<std::string, std::string>{{"kind", "event"}, {"vid", "0x04b5"}}));
    client->request("set-register 0x9008 4660");
    EXPECT_EQ(model->registerValue(0x9008), 0x1234u);
    model->setRegister(0x10, 0xabc);
    EXPECT_EQ(GadgetControl::number(client->request("register 0x10")), 0xabcu);
    model->setBoardRegister(0x20, {0x01, 0xfe});
    EXPECT_EQ(client->request("board 0x20"), "01fe");
    EXPECT_EQ(client->request("calibration"), "");
    EXPECT_EQ(client->request("commands"), "0");

    client->request("fault command-failed 1");
    model->bulkOut(UsbCameraConfig::COMMAND_ENDPOINT, std::vector<uint8_t>{121, 0, 0, 0, 0, 0, 0, 0}.data(), 8);
    std::vector<uint8_t> answer(64);
    size_t filled = 0;
    model->bulkIn(UsbCameraConfig::ANSWER_ENDPOINT, answer.data(), answer.size(), filled);
    EXPECT_EQ(le32(answer, 0), 121u | 0x80000000u);

    for (const char* bad : {"fault no-such-fault", "no-such-request", "register", "register 12x", "",
                            "stream-counter 0x82 0 10 0 end", "stream-counter 0x82 0 10 4 sideways"}) {
        EXPECT_THROW(client->request(bad), std::runtime_error) << bad;
    }
    EXPECT_EQ(client->request("commands"), "1") << "the connection survives bad requests";
}

TEST_F(GadgetControlSocket, StreamsAreFedInOrderAndStopped) {
    const std::string path = std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecc_evt3_trigger_1280x720.raw";
    const auto data = quelnor::test::loadEvt3RawFile(path).data;
    EXPECT_EQ(client->request("stream-file 0x82 " + path), std::to_string(data.size()));
    EXPECT_EQ(model->pendingStreamBytes(DATA_EP), data.size());
    client->request("stream-stop 0x82");
    EXPECT_EQ(model->pendingStreamBytes(DATA_EP), 0u);

    // More than the feeder puts ahead: taking bytes out lets it go on.
    const uint64_t total = GadgetCommandServer::FEED_AHEAD_BYTES * 2 + 1000;
    client->request("stream-counter 0x82 12 " + std::to_string(total) + " 65536 end");
    CounterStreamChecker checker(12);
    std::vector<uint8_t> buffer(100000);
    uint64_t taken = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (taken < total && std::chrono::steady_clock::now() < deadline) {
        size_t filled = 0;
        bool ends = false;
        model->bulkIn(DATA_EP, buffer.data(), buffer.size(), filled, &ends);
        if (filled == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        EXPECT_LE(filled, 65536u) << "each piece ends its transfer";
        EXPECT_TRUE(ends);
        ASSERT_TRUE(checker.check(buffer.data(), filled)) << checker.error();
        taken += filled;
    }
    EXPECT_EQ(taken, total);
    auto status = client->fields("stream-status 0x82");
    EXPECT_EQ(status["fed"], std::to_string(total));
    EXPECT_EQ(status["pending"], "0");

    client->request("stream-counter 0x82 0 " + std::to_string(total) + " 65536 open");
    client->request("stream-stop 0x82");
    status = client->fields("stream-status 0x82");
    EXPECT_EQ(status["feeding"], "0");
    EXPECT_EQ(status["pending"], "0");
}
