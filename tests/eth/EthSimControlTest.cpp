// The camera simulator's control side as a device must behave on a lossy network: a resent request
// is answered from the stored reply without being executed again, and the loss knob drops a seeded
// share of requests and replies.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <vector>

#include "EthTestSupport.h"
#include "Protocol/QuelnorGigEVision.h"
#include "QuelnorHal/interface/EthHandle.h"
#include "device/DeviceDouble.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;

class EthSimControlTest : public EthLoopbackTest {
protected:
    void SetUp() override {
        EthLoopbackTest::SetUp();
        startCamera();
    }

    std::unique_ptr<EthHandle> host() const {
        return std::make_unique<EthHandle>(HOST_ADDRESS, 0, camera->config().ip, camera->config().controlPort);
    }

    static uint16_t idOf(const uint8_t* datagram) { return static_cast<uint16_t>((datagram[6] << 8) | datagram[7]); }

    // Reads datagrams for up to `timeoutMs`, handing each of 8 bytes or more to `take` until it says
    // it has what it waited for.
    template <typename Take>
    static void readReplies(EthHandle& h, int timeoutMs, Take&& take) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            uint8_t buffer[EthHandle::MAX_DATAGRAM_SIZE];
            int length = 0;
            if (left.count() <= 0 || !h.readData(buffer, length, static_cast<int>(left.count()))) {
                return;
            }
            if (length >= 8 && take(buffer, length)) {
                return;
            }
        }
    }

    // Records the id (bytes 6 and 7) of each reply within `timeoutMs`; stops early once the reply with
    // `until` came.
    static void takeReplies(EthHandle& h, std::set<uint16_t>& ids, int timeoutMs, std::optional<uint16_t> until = {}) {
        readReplies(h, timeoutMs, [&](const uint8_t* datagram, int) {
            ids.insert(idOf(datagram));
            return until && ids.count(*until) != 0;
        });
    }

    // The reply to `request` (same id), or nothing within the time-out. A late reply to an earlier
    // request is skipped.
    static std::vector<uint8_t> ask(EthHandle& h, const std::vector<uint8_t>& request, int timeoutMs = 200) {
        h.sendData(request.data(), static_cast<int>(request.size()));
        std::vector<uint8_t> reply;
        readReplies(h, timeoutMs, [&](const uint8_t* datagram, int length) {
            if (idOf(datagram) != idOf(request.data())) {
                return false;
            }
            reply.assign(datagram, datagram + length);
            return true;
        });
        return reply;
    }
};

TEST_F(EthSimControlTest, ResentRequestIsAnsweredFromTheStoredReplyWithoutActingAgain) {
    auto h = host();
    const uint8_t chunk[4] = {1, 2, 3, 4};
    const auto write = GvcpPacket::buildWriteMemCmd(7, 0x100, chunk, 4);
    const auto first = ask(*h, write);
    ASSERT_FALSE(first.empty());
    // Between the two tries the memory changes under the camera: a repeat must not write again.
    const auto second = ask(*h, write);
    EXPECT_EQ(second, first);
    EXPECT_EQ(camera->memoryWrites().size(), 1u);
    EXPECT_EQ(camera->countRequests(GvcpPacket::WRITEMEM_CMD), 1u);
    EXPECT_THAT(camera->logLines(), testing::ElementsAre("WRITEMEM 0x00000100 +4", "REPEAT WRITEMEM 0x00000100 +4"));
    EXPECT_EQ(camera->controlLossStats().repeatsAnswered, 1u);

    // A register write repeated after the register changed keeps the later value.
    const auto setA = GvcpPacket::buildWriteRegCmd(0x600, 1, 8);
    ASSERT_FALSE(ask(*h, setA).empty());
    camera->registers().poke(0x600, 2);
    ASSERT_FALSE(ask(*h, setA).empty());
    EXPECT_EQ(camera->registers().peek(0x600), 2u);

    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        bool fromOtherSocket;
    };
    const Case executed[] = {
        {"same id, other content", GvcpPacket::buildWriteRegCmd(0x600, 3, 8), false},
        {"same content, another id", GvcpPacket::buildWriteRegCmd(0x600, 3, 9), false},
        {"the same datagram from another socket", GvcpPacket::buildWriteRegCmd(0x600, 3, 9), true},
    };
    auto other = host();
    for (const Case& c : executed) {
        SCOPED_TRACE(c.name);
        camera->registers().poke(0x600, 0);
        ASSERT_FALSE(ask(c.fromOtherSocket ? *other : *h, c.request).empty());
        EXPECT_EQ(camera->registers().peek(0x600), 3u);
    }
}

TEST_F(EthSimControlTest, LossDropsASeededShareOfRequestsAndReplies) {
    struct Case {
        const char* name;
        ControlLoss loss;
        bool requestsLost;
        bool repliesLost;
    };
    const Case cases[] = {
        {"requests only", {0.3, 0, 11}, true, false},
        {"replies only", {0, 0.3, 12}, false, true},
        {"both", {0.3, 0.3, 13}, true, true},
    };
    constexpr int REQUESTS = 200;
    auto h = host();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<bool>> answeredRuns;
        ControlLossStats stats;
        for (int run = 0; run < 2; ++run) {
            camera->setControlLoss(c.loss);
            camera->clearLog();
            const ControlLossStats before = camera->controlLossStats();
            // Distinct ids: no request is a repeat of the one before.
            auto idAt = [&](int i) { return static_cast<uint16_t>(1000 + i + run * 300); };
            std::set<uint16_t> replied;
            for (int i = 0; i < REQUESTS; ++i) {
                const auto request = GvcpPacket::buildReadRegCmd(0x700, idAt(i));
                h->sendData(request.data(), static_cast<int>(request.size()));
                // Paces the requests; a reply later than this still counts, as it is taken below.
                takeReplies(*h, replied, 30, idAt(i));
            }
            // The camera has taken or dropped every request before the next run sets the seed again,
            // so each request draws from its own run's sequence.
            ASSERT_TRUE(eventually([&] {
                return camera->countRequests(GvcpPacket::READREG_CMD) +
                           (camera->controlLossStats().requestsDropped - before.requestsDropped) ==
                       static_cast<uint64_t>(REQUESTS);
            }));
            const ControlLossStats after = camera->controlLossStats();
            stats.requestsDropped = after.requestsDropped - before.requestsDropped;
            stats.repliesDropped = after.repliesDropped - before.repliesDropped;
            // Executed requests are logged; dropped ones never reached the camera.
            EXPECT_EQ(camera->countRequests(GvcpPacket::READREG_CMD), REQUESTS - stats.requestsDropped);
            // Every reply the camera sent comes in the end, however loaded the machine: which requests
            // were answered is decided by the replies, not by how long one took.
            const size_t sent = REQUESTS - stats.requestsDropped - stats.repliesDropped;
            EXPECT_TRUE(eventually([&] {
                takeReplies(*h, replied, 10);
                return replied.size() >= sent;
            }));
            std::vector<bool> answered;
            for (int i = 0; i < REQUESTS; ++i) {
                answered.push_back(replied.count(idAt(i)) != 0);
            }
            EXPECT_EQ(static_cast<size_t>(std::count(answered.begin(), answered.end(), true)), sent)
                << "a reply to no request of this run";
            answeredRuns.push_back(answered);
        }
        // The same seed loses the same datagrams.
        EXPECT_EQ(answeredRuns[0], answeredRuns[1]);
        EXPECT_EQ(stats.requestsDropped > 0, c.requestsLost);
        EXPECT_EQ(stats.repliesDropped > 0, c.repliesLost);
        // About the share asked for (30 % of 200 is 60; the bounds are far outside chance).
        if (c.requestsLost) {
            EXPECT_GT(stats.requestsDropped, 30u);
            EXPECT_LT(stats.requestsDropped, 95u);
        }
    }
    camera->setControlLoss({});
}

// The bound on drops of one request id: every datagram would be lost, yet each request is taken and
// answered at its third try.
TEST_F(EthSimControlTest, LossDropsNoMoreThanItsBoundOfOneRequestId) {
    camera->setControlLoss({1.0, 1.0, 21, 2});
    auto h = host();
    constexpr int UNTIL_ANSWERED_MS = 5000; // returns as soon as the reply comes
    for (uint16_t id : {uint16_t{40}, uint16_t{41}}) {
        SCOPED_TRACE(id);
        const auto request = GvcpPacket::buildReadRegCmd(0x700, id);
        EXPECT_TRUE(ask(*h, request, 30).empty());
        EXPECT_TRUE(ask(*h, request, 30).empty());
        const auto reply = ask(*h, request, UNTIL_ANSWERED_MS);
        ASSERT_FALSE(reply.empty());
        EXPECT_EQ(idOf(reply.data()), id);
    }
    const ControlLossStats stats = camera->controlLossStats();
    EXPECT_EQ(stats.requestsDropped, 4u) << "both tries before the third, of each id";
    EXPECT_EQ(stats.repliesDropped, 0u) << "the bound was reached by the requests";
    EXPECT_EQ(camera->countRequests(GvcpPacket::READREG_CMD, 0x700), 2u);
    camera->setControlLoss({});
}

} // namespace
