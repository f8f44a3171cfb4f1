// The online check: a keep-alive read once a second while the stream is on; five failed checks in a
// row mark the camera offline, and recent stream data counts as a successful check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "EthTestSupport.h"
#include "LogCapture.h"
#include "QuelnorHal/EventStream/DataTransfer.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;

constexpr uint16_t READREG = 0x0080;

class EthOnlineCheckTest : public EthLoopbackTest {
protected:
    size_t keepAlives() const { return camera->countRequests(READREG, EthInterface::KEEP_ALIVE_REGISTER); }
    // No keep-alive read for a while longer than the check period.
    bool noMoreKeepAlives() const {
        const size_t before = keepAlives();
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return keepAlives() == before;
    }
};

TEST_F(EthOnlineCheckTest, RunsWhileTheStreamIsOnAndStaysOnlineWhileTheCameraAnswers) {
    LogCapture logs;
    startCamera();
    auto eth = connect();
    EXPECT_TRUE(eth->setEventStream(true));
    EXPECT_TRUE(logs.has(LOG_INFO, "Set stream 1"));
    EXPECT_TRUE(logs.has(LOG_INFO, "Started online check thread for device monitoring"));
    EXPECT_TRUE(camera->streamOn());
    ASSERT_TRUE(eventually([&] { return keepAlives() >= 3; }));
    EXPECT_TRUE(eth->isConnected());

    EXPECT_TRUE(eth->setEventStream(false));
    EXPECT_TRUE(logs.has(LOG_INFO, "Stopped online check thread"));
    EXPECT_FALSE(camera->streamOn());
    EXPECT_TRUE(noMoreKeepAlives());
}

TEST_F(EthOnlineCheckTest, UnansweredSwitchStillStartsTheCheck) {
    startCamera();
    auto eth = connect();
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Silence, 0x0082, EthInterface::STREAM_ENABLE_REGISTER));
    EXPECT_FALSE(eth->setEventStream(true));
    EXPECT_TRUE(eventually([&] { return keepAlives() >= 1; }));
    camera->clearReplyFaults();
    eth->setEventStream(false);
}

// A firmware chunk whose acknowledgements never come holds the control socket for its whole wait
// (10 s, longer than five checks); the keep-alive must neither block on it nor count it as failures.
TEST_F(EthOnlineCheckTest, ExchangeHoldingTheSocketForLongIsNoFailedCheck) {
    LogCapture logs;
    startCamera();
    auto eth = connect();
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Silence, 0x0086));
    ASSERT_TRUE(eth->setEventStream(true));
    const std::string path = "/tmp/quelnor-eth-online-" + std::to_string(::getpid()) + ".bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(512, 'x');
    }
    std::atomic<bool> done{false};
    std::thread update([&] {
        EXPECT_FALSE(eth->updateFirmware(path, 0));
        done = true;
    });
    while (!done.load()) {
        EXPECT_TRUE(eth->isConnected());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    update.join();
    std::remove(path.c_str());
    EXPECT_TRUE(eth->isConnected());
    EXPECT_EQ(logs.count(LOG_WARN, "Device marked as offline after 5 consecutive failures"), 0);
    // Afterwards the keep-alive asks again.
    const size_t before = keepAlives();
    EXPECT_TRUE(eventually([&] { return keepAlives() > before; }));
    eth->setEventStream(false);
}

TEST_F(EthOnlineCheckTest, SilentCameraGoesOfflineAfterFiveFailedChecksAndStaysOffline) {
    LogCapture logs;
    startCamera();
    auto eth = connect();
    camera->addReplyFault(ReplyFault(ReplyFault::Kind::Silence, READREG, EthInterface::KEEP_ALIVE_REGISTER));
    eth->setEventStream(true);
    const std::string offline = "Device marked as offline after 5 consecutive failures";
    ASSERT_TRUE(
        eventually([&] { return !eth->isConnected() && logs.has(LOG_WARN, offline); }, std::chrono::seconds(30)));
    EXPECT_EQ(logs.count(LOG_WARN, offline), 1);
    // The worker has ended; switching on again while on changes nothing.
    EXPECT_TRUE(noMoreKeepAlives());
    eth->setEventStream(true);
    EXPECT_TRUE(noMoreKeepAlives());
    EXPECT_FALSE(eth->isConnected());

    // Off and on: the count goes on, so one more failed check is enough.
    eth->setEventStream(false);
    eth->setEventStream(true);
    EXPECT_TRUE(
        eventually([&] { return logs.has(LOG_WARN, "Device marked as offline after 6 consecutive failures"); }));
    EXPECT_FALSE(eth->isConnected());

    // A camera answering again: one good check and it is back.
    camera->clearReplyFaults();
    eth->setEventStream(false);
    eth->setEventStream(true);
    EXPECT_TRUE(eventually([&] { return eth->isConnected(); }));
    eth->setEventStream(false);
}

TEST_F(EthOnlineCheckTest, CameraThatStreamsButNoLongerAnswersStaysOnlineUntilTheStreamEnds) {
    LogCapture logs;
    auto& cam = startCamera();
    cam.setStreamRate(200'000);
    cam.setStreamPattern();
    auto eth = connect();
    auto transfer = createDataTransferUniquePtr(eth, 2, 131072, 20, USB_DATA_ENDPOINT);
    std::atomic<size_t> bytes{0};
    transfer->registerNewBufferCallback([&bytes](RawBuffer buffer) { bytes += buffer->size(); });
    transfer->start();
    eth->setEventStream(true);
    ASSERT_TRUE(eventually([&] { return bytes.load() > 0; }));

    // It stops answering every request, but keeps streaming.
    cam.addReplyFault(ReplyFault(ReplyFault::Kind::Silence));
    const size_t before = keepAlives();
    ASSERT_TRUE(eventually([&] { return keepAlives() >= before + 7; }, std::chrono::seconds(30)));
    EXPECT_TRUE(eth->isConnected());
    EXPECT_EQ(logs.count(LOG_WARN, "Failed to read register 0x0088"), 0);

    // Now the stream ends too: offline at the fifth failed check after its last datagram is 3 s old.
    const size_t received = bytes.load();
    cam.setStreamData({});
    ASSERT_TRUE(eventually(
        [&] {
            return !eth->isConnected() && logs.has(LOG_WARN, "Device marked as offline after 5 consecutive failures");
        },
        std::chrono::seconds(30)));
    EXPECT_GT(received, 0u);
    transfer->stop();
    eth->setEventStream(false);
}

} // namespace
