// The USB transfer ring feeding an EventStream, against a simulated camera over real libusb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <errno.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/EventStream/UsbDataTransfer.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "UsbTestRig.h"
#include "evt3/Evt3RawFile.h"
#include "usbcam/UmockdevUsbBus.h"

using namespace quelnor;
using namespace quelnor::test::usbcam;
using namespace usbtest;
using namespace std::chrono_literals;
using quelnor::test::LogCapture;

namespace {

constexpr const char* SERIAL = "QNP0000001";
constexpr uint32_t BUFFER_SIZE = 131072;
constexpr uint8_t TRANSFERS = 20;
constexpr uint8_t DATA_EP = UsbCameraConfig::DATA_ENDPOINT;

// A chunk the device sends as one transfer: its number, then a pattern.
std::vector<uint8_t> chunk(uint32_t number, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(number * 31 + i);
    }
    for (size_t i = 0; i < 4 && i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(number >> (8 * i));
    }
    return bytes;
}

struct Received {
    std::vector<uint8_t> bytes;
    std::vector<size_t> sizes;
};

// Where two byte streams part, and each buffer's size and leading chunk number, for a failure message.
std::string describeDifference(const Received& got, const std::vector<uint8_t>& expected) {
    size_t i = 0;
    while (i < got.bytes.size() && i < expected.size() && got.bytes[i] == expected[i]) {
        ++i;
    }
    std::string sizes;
    size_t at = 0;
    for (size_t s : got.sizes) {
        uint32_t number = 0;
        for (int b = 0; b < 4 && at + static_cast<size_t>(b) < got.bytes.size(); ++b) {
            number |= static_cast<uint32_t>(got.bytes[at + static_cast<size_t>(b)]) << (8 * b);
        }
        sizes += std::to_string(s) + "#" + std::to_string(number) + " ";
        at += s;
    }
    return "got " + std::to_string(got.bytes.size()) + " bytes, expected " + std::to_string(expected.size()) +
           ", first difference at " + std::to_string(i) + "; buffers: " + sizes;
}

class UsbRing : public testing::Test {
protected:
    void SetUp() override {
        cam = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, SERIAL));
        usb = openEventCamera(SERIAL);
        ASSERT_TRUE(usb);
    }

    void TearDown() override {
        stream.reset();
        usb.reset();
    }

    void makeStream(uint8_t transfers = TRANSFERS, UsbDataTransferEndpoint endpoint = USB_DATA_ENDPOINT) {
        auto transfer = createDataTransferUniquePtr(usb, 2, BUFFER_SIZE, transfers, endpoint);
        ASSERT_TRUE(transfer);
        stream = std::make_unique<EventStream>(std::move(transfer));
    }

    // Takes buffers from the stream until `bytes` bytes came or the (generous) limit passed.
    void collect(Received& into, size_t bytes, std::chrono::seconds limit = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (into.bytes.size() < bytes && std::chrono::steady_clock::now() < deadline) {
            if (stream->waitNextBuffer() != 1) {
                continue;
            }
            while (auto buffer = stream->getLatestBuffer()) {
                into.sizes.push_back((*buffer)->size());
                into.bytes.insert(into.bytes.end(), (*buffer)->begin(), (*buffer)->end());
            }
        }
    }

    std::vector<UrbRecord> ringUrbs(size_t length = BUFFER_SIZE, uint8_t endpoint = DATA_EP) const {
        std::vector<UrbRecord> out;
        for (const UrbRecord& r : bus.urbs(cam)) {
            if (r.type == UrbRecord::Type::BulkIn && r.endpoint == endpoint && r.length == static_cast<int>(length)) {
                out.push_back(r);
            }
        }
        return out;
    }

    size_t pendingRingUrbs() const {
        auto urbs = ringUrbs();
        return static_cast<size_t>(std::count_if(urbs.begin(), urbs.end(), [](const UrbRecord& r) { return !r.done; }));
    }

    size_t discardedRingUrbs() const {
        auto urbs = ringUrbs();
        return static_cast<size_t>(std::count_if(urbs.begin(), urbs.end(), [](const UrbRecord& r) { return r.discarded; }));
    }

    UmockdevUsbBus bus;
    std::shared_ptr<UsbCameraModel> cam;
    std::shared_ptr<UsbInterface> usb;
    std::unique_ptr<EventStream> stream;
};

} // namespace

TEST_F(UsbRing, DeliversARecordingInOrderWithNothingLost) {
    const auto recording = quelnor::test::loadEvt3RawFile(std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecc_evt3_trigger_1280x720.raw");
    const std::vector<uint8_t>& data = recording.data;
    makeStream();
    stream->start();
    // Bursts of many sizes: exactly one transfer, several, a part that leaves the transfer open
    // until the next burst goes on filling it.
    const size_t bursts[] = {BUFFER_SIZE, 50000, 300000, 1000, 77777, 4096, 131071, 2};
    size_t offset = 0;
    for (size_t i = 0; offset < data.size(); ++i) {
        const size_t n = std::min(bursts[i % std::size(bursts)], data.size() - offset);
        const bool last = offset + n == data.size();
        cam->streamData(std::vector<uint8_t>(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + n)),
                        last || i % 3 != 1);
        offset += n;
    }
    Received received;
    collect(received, data.size());
    ASSERT_EQ(received.bytes.size(), data.size());
    EXPECT_TRUE(received.bytes == data) << describeDifference(received, data);
    for (size_t size : received.sizes) {
        EXPECT_GT(size, 0u);
        EXPECT_LE(size, BUFFER_SIZE);
    }
    stream->stop();
}

TEST_F(UsbRing, ATransferThatTimesOutWithDataDeliversWhatItGot) {
    makeStream();
    stream->start();
    cam->streamData(chunk(1, 100), false); // no short packet: the transfer stays open
    Received received;
    collect(received, 100);
    ASSERT_EQ(received.sizes.size(), 1u);
    EXPECT_EQ(received.sizes[0], 100u);
    auto urbs = ringUrbs();
    auto withData = std::find_if(urbs.begin(), urbs.end(), [](const UrbRecord& r) { return r.actualLength == 100; });
    ASSERT_NE(withData, urbs.end());
    EXPECT_TRUE(withData->discarded) << "ended by libusb's time-out";
    cam->streamData(chunk(2, 200));
    collect(received, 300);
    EXPECT_EQ(received.bytes, [] {
        auto all = chunk(1, 100);
        auto second = chunk(2, 200);
        all.insert(all.end(), second.begin(), second.end());
        return all;
    }());
}

TEST_F(UsbRing, ATimeOutThatMeetsTheLastPacketLosesNothing) {
    makeStream();
    stream->start();
    LogCapture logs;
    // The cancel of the time-out finds the transfer already complete: once with the 100 bytes it
    // held, twice empty.
    bus.raceDiscards(cam, DATA_EP, 3);
    cam->streamData(chunk(1, 100), false);
    Received received;
    collect(received, 100);
    ASSERT_TRUE(waitFor([&] { return discardedRingUrbs() >= 1; }));
    cam->streamData(chunk(2, 200));
    collect(received, 300);
    auto expected = chunk(1, 100);
    auto second = chunk(2, 200);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(received.bytes, expected);
    EXPECT_EQ(logs.countAt(LOG_ERROR), 0);
    stream->stop();
}

TEST_F(UsbRing, TimeOutScheduleOfTheRing) {
    makeStream();
    stream->start();
    ASSERT_TRUE(waitFor([&] { return ringUrbs().size() >= TRANSFERS + 1 && ringUrbs()[TRANSFERS - 1].done; }));
    auto urbs = ringUrbs();
    // The first pass times out after 500, 525, ... 975 ms, one after the other.
    const auto tolerance = 150ms; // between libusb arming the time-out and the bus seeing the URB
    for (size_t k = 0; k < TRANSFERS; ++k) {
        EXPECT_TRUE(urbs[k].discarded) << k;
        EXPECT_EQ(urbs[k].actualLength, 0) << k;
        const auto expected = std::chrono::milliseconds(500 + 25 * k);
        EXPECT_GE(urbs[k].ended - urbs[k].submitted, expected - tolerance) << k;
        if (k > 0) {
            EXPECT_GE(urbs[k].ended, urbs[k - 1].ended) << k;
        }
    }
    // A transfer refilled after data waits the base 500 ms.
    cam->streamData(chunk(1, 10));
    Received received;
    collect(received, 10);
    const size_t before = ringUrbs().size();
    ASSERT_TRUE(waitFor([&] {
        auto now = ringUrbs();
        return now.size() > before + 1 && std::any_of(now.begin() + static_cast<long>(before), now.end(),
                                                      [](const UrbRecord& r) { return r.done; });
    }));
    for (const UrbRecord& r : ringUrbs()) {
        if (r.discarded) {
            EXPECT_GE(r.ended - r.submitted, 500ms - tolerance);
        }
    }
    stream->stop();
}

TEST_F(UsbRing, EmptyTimeOutsKeepTheRingOrder) {
    makeStream();
    stream->start();
    std::vector<uint8_t> expected;
    uint32_t number = 0;
    Received received;
    // Data arriving right after the first time-out (the device now fills the second transfer),
    // and again after many more, when the ring has turned further.
    for (size_t discards : {size_t(1), size_t(TRANSFERS + 7)}) {
        ASSERT_TRUE(waitFor([&] { return discardedRingUrbs() >= discards; }));
        for (int i = 0; i < 30; ++i, ++number) {
            auto c = chunk(number, 1000 + number);
            expected.insert(expected.end(), c.begin(), c.end());
            cam->streamData(std::move(c));
        }
        collect(received, expected.size());
        ASSERT_EQ(received.bytes.size(), expected.size());
        EXPECT_TRUE(received.bytes == expected)
            << "after " << discards << " time-outs: " << describeDifference(received, expected);
    }
    stream->stop();
}

TEST_F(UsbRing, StallClearsTheHaltAndTheDataGoesOnInOrder) {
    makeStream();
    stream->start();
    std::vector<uint8_t> expected;
    for (uint32_t i = 0; i < 10; ++i) {
        auto c = chunk(i, 5000);
        expected.insert(expected.end(), c.begin(), c.end());
        cam->streamData(std::move(c));
    }
    Received received;
    collect(received, expected.size());
    LogCapture logs;
    cam->haltEndpoint(DATA_EP);
    ASSERT_TRUE(waitFor([&] { return cam->clearHaltCount(DATA_EP) >= 1 && pendingRingUrbs() == TRANSFERS; }));
    for (uint32_t i = 10; i < 20; ++i) {
        auto c = chunk(i, 5000);
        expected.insert(expected.end(), c.begin(), c.end());
        cam->streamData(std::move(c));
    }
    collect(received, expected.size());
    EXPECT_TRUE(received.bytes == expected) << describeDifference(received, expected);
    EXPECT_TRUE(logs.has(LOG_WARN, "Data endpoint 0x82 stalled, clearing the halt"));
    stream->stop();
}

// Data, then a STALL, then more data, with no short packet before the halt: the transfer that
// stalls already holds bytes, which come first.
struct StallCase {
    const char* name;
    size_t before; // bytes sent before the halt
    size_t after;  // bytes sent once the halt is cleared
    bool afterEndsTransfer;
};

void PrintTo(const StallCase& c, std::ostream* out) { *out << c.name; }

class UsbRingStall : public UsbRing, public testing::WithParamInterface<StallCase> {};

TEST_P(UsbRingStall, DataAroundAStallArrivesWholeAndInOrder) {
    const StallCase& c = GetParam();
    makeStream();
    stream->start();
    ASSERT_TRUE(waitFor([&] { return pendingRingUrbs() == TRANSFERS; }));
    LogCapture logs;
    const std::vector<uint8_t> first = chunk(1, c.before);
    const std::vector<uint8_t> second = chunk(2, c.after);
    cam->streamDataThenHalt(DATA_EP, first);
    cam->streamData(second, c.afterEndsTransfer);
    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    Received received;
    collect(received, expected.size());
    EXPECT_TRUE(received.bytes == expected) << describeDifference(received, expected);
    // The stall came where it was meant to: in the transfer holding the end of the first part.
    auto urbs = ringUrbs();
    auto stalled = std::find_if(urbs.begin(), urbs.end(), [](const UrbRecord& r) { return r.status == -EPIPE; });
    ASSERT_NE(stalled, urbs.end());
    EXPECT_EQ(static_cast<size_t>(stalled->actualLength), c.before % BUFFER_SIZE);
    EXPECT_GE(cam->clearHaltCount(DATA_EP), 1);
    EXPECT_TRUE(logs.has(LOG_WARN, "Data endpoint 0x82 stalled, clearing the halt"));
    stream->stop();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbRingStall,
    testing::Values(StallCase{"HundredThenTwoHundred", 100, 200, true},
                    StallCase{"WholePacketsBeforeTheHalt", 4096, 300, true},
                    StallCase{"AFullTransferAndAPart", BUFFER_SIZE + 100, 200, true},
                    StallCase{"ExactlyAFullTransfer", BUFFER_SIZE, 200, true},
                    StallCase{"NoShortPacketAfterEither", 100, 200, false}),
    [](const testing::TestParamInfo<StallCase>& info) { return std::string(info.param.name); });

TEST_F(UsbRing, AnEndpointThatKeepsStallingEndsTheWorker) {
    makeStream();
    stream->start();
    LogCapture logs;
    cam->haltEndpoint(DATA_EP, true);
    ASSERT_TRUE(waitFor([&] { return logs.has(LOG_ERROR, "Data endpoint 0x82 keeps stalling, data transfer ended"); }));
    EXPECT_EQ(cam->clearHaltCount(DATA_EP), static_cast<int>(UsbDataTransfer::STALLS_PER_TRANSFER_LIMIT * TRANSFERS));
    EXPECT_TRUE(usb->isConnected());
    EXPECT_EQ(stream->waitNextBuffer(), -1);
    stream->stop();
    EXPECT_EQ(pendingRingUrbs(), 0u);
}

TEST_F(UsbRing, UnplugEndsTheWorkerAndShowsAsNotConnected) {
    makeStream();
    stream->start();
    cam->streamData(chunk(0, 3000));
    Received received;
    collect(received, 3000);
    LogCapture logs;
    bus.unplug(cam);
    ASSERT_TRUE(waitFor([&] { return logs.has(LOG_ERROR, "USB device lost, data transfer ended"); }));
    EXPECT_FALSE(usb->isConnected());
    EXPECT_EQ(stream->waitNextBuffer(), -1);
    EXPECT_FALSE(stream->getLatestBuffer());
    stream->stop();
    EXPECT_EQ(pendingRingUrbs(), 0u);
}

TEST_F(UsbRing, StopCancelsEveryTransferInFlightAndTheRingStartsAgain) {
    makeStream();
    for (uint32_t round = 0; round < 3; ++round) {
        stream->start();
        ASSERT_TRUE(waitFor([&] { return pendingRingUrbs() == TRANSFERS; }));
        stream->stop();
        EXPECT_EQ(pendingRingUrbs(), 0u) << "a transfer was left in flight";
        EXPECT_EQ(stream->waitNextBuffer(), -1);
    }
    stream->start();
    cam->streamData(chunk(7, 4000));
    Received received;
    collect(received, 4000);
    EXPECT_EQ(received.bytes, chunk(7, 4000));
    stream->stop();
}

TEST_F(UsbRing, StopWhileDataFlows) {
    makeStream();
    for (int round = 0; round < 2; ++round) {
        stream->start();
        std::atomic<bool> feeding{true};
        std::vector<uint8_t> sent;
        std::thread feeder([&] {
            for (uint32_t i = 0; feeding; ++i) {
                auto c = chunk(i, 20000 + i % 7);
                sent.insert(sent.end(), c.begin(), c.end());
                cam->streamData(std::move(c));
                while (feeding && cam->pendingStreamBytes(DATA_EP) > 200000) {
                    std::this_thread::sleep_for(1ms);
                }
            }
        });
        Received received;
        collect(received, 300000);
        stream->stop(); // with transfers completing at the same time
        feeding = false;
        feeder.join();
        EXPECT_EQ(pendingRingUrbs(), 0u);
        ASSERT_LE(received.bytes.size(), sent.size());
        EXPECT_TRUE(std::equal(received.bytes.begin(), received.bytes.end(), sent.begin()))
            << describeDifference(received, sent);
        // Drop what the device still holds before the next round.
        while (cam->pendingStreamBytes(DATA_EP) > 0) {
            usb->flushEndpointBuffer(DATA_EP);
        }
    }
}

TEST_F(UsbRing, FailedSubmissionsAreRetriedAndNeverDeliverStaleData) {
    makeStream();
    LogCapture logs;
    bus.failSubmissions(cam, DATA_EP, 45, ENOMEM); // the whole first ring and then some
    stream->start();
    std::vector<uint8_t> expected;
    uint32_t number = 0;
    auto send = [&](int count) {
        for (int i = 0; i < count; ++i, ++number) {
            auto c = chunk(number, 3000 + number);
            expected.insert(expected.end(), c.begin(), c.end());
            cam->streamData(std::move(c));
        }
    };
    send(40);
    Received received;
    collect(received, expected.size());
    EXPECT_TRUE(received.bytes == expected);
    // Logged once for the whole run of failures, not once per retry.
    EXPECT_EQ(logs.count(LOG_ERROR, "Submit transfer error: LIBUSB_ERROR_NO_MEM"), 1);
    EXPECT_TRUE(logs.has(LOG_INFO, "USB transfers are submitted again"));
    // Now the refills of transfers that carried data fail: their recycled buffers must not go out.
    bus.failSubmissions(cam, DATA_EP, 10, ENOMEM);
    send(40);
    collect(received, expected.size());
    EXPECT_TRUE(received.bytes == expected);
    EXPECT_EQ(received.sizes.size(), 80u);
    stream->stop();
}

TEST_F(UsbRing, AnEmptyTransferIsNotQueued) {
    makeStream();
    stream->start();
    cam->streamData({}); // a zero-length packet
    cam->streamData(chunk(3, 10));
    Received received;
    collect(received, 10);
    ASSERT_EQ(received.sizes.size(), 1u);
    EXPECT_EQ(received.sizes[0], 10u);
    stream->stop();
}

TEST_F(UsbRing, ZeroLengthPacketsCannotHoldUpTheStart) {
    constexpr int PACKETS = 20000;
    for (int i = 0; i < PACKETS; ++i) {
        cam->streamData({});
    }
    makeStream();
    LogCapture logs;
    const auto begin = std::chrono::steady_clock::now();
    stream->start();
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    // A watchdog, not a speed target: the flush ends at its bounds, the rest of start is quick.
    constexpr auto WATCHDOG_SLACK = 2s;
    EXPECT_LT(elapsed, std::chrono::milliseconds(UsbInterface::FLUSH_TIME_LIMIT_MS + UsbInterface::FLUSH_TIMEOUT_MS) +
                           WATCHDOG_SLACK);
    const auto flushReads = ringUrbs(UsbInterface::FLUSH_READ_SIZE).size();
    EXPECT_GT(flushReads, 0u);
    EXPECT_LE(flushReads, static_cast<size_t>(UsbInterface::FLUSH_MAX_READS));
    EXPECT_TRUE(logs.has(LOG_WARN, "Flush of endpoint 0x82 stopped after " + std::to_string(flushReads) + " reads"));
    EXPECT_TRUE(logs.has(LOG_INFO, "Total of {0} bytes flushed"));
    // The stream runs: what comes after the empty packets is delivered.
    cam->dropStreamData(DATA_EP);
    cam->streamData(chunk(5, 3000));
    Received received;
    collect(received, 3000);
    EXPECT_EQ(received.bytes, chunk(5, 3000));
    stream->stop();
}

TEST_F(UsbRing, OneTransferRing) {
    makeStream(1);
    stream->start();
    std::vector<uint8_t> expected;
    for (uint32_t i = 0; i < 5; ++i) {
        auto c = chunk(i, 70000);
        expected.insert(expected.end(), c.begin(), c.end());
        cam->streamData(std::move(c));
    }
    Received received;
    collect(received, expected.size());
    EXPECT_TRUE(received.bytes == expected);
    stream->stop();
}

TEST_F(UsbRing, AnEndpointTheCameraLacksCannotStart) {
    makeStream(TRANSFERS, USB_DATA_ENDPOINT_2); // an event camera has no second data endpoint
    try {
        stream->start();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "USB data endpoint is not available");
    }
    EXPECT_EQ(stream->waitNextBuffer(), -1);
    EXPECT_TRUE(ringUrbs().empty());
}

TEST_F(UsbRing, AnUnknownEndpointValueIsLogged) {
    LogCapture logs;
    auto transfer = createDataTransferUniquePtr(usb, 2, BUFFER_SIZE, TRANSFERS, static_cast<UsbDataTransferEndpoint>('X'));
    ASSERT_TRUE(transfer);
    EXPECT_TRUE(logs.has(LOG_ERROR, "input endpoint num error!"));
    EventStream unusable(std::move(transfer));
    EXPECT_THROW(unusable.start(), std::runtime_error);
}

TEST(UsbRingFusion, TheSecondDataEndpointCarriesTheFrameStream) {
    UmockdevUsbBus bus;
    auto cam = bus.plug(UsbCameraConfig::fusionCamera(ONDRIK_VID, ONDRIK_PID, "OND0001"));
    auto usb = UsbInterface::createUsbFusionInterface(describe("OND0001", ONDRIK_VID, ONDRIK_PID));
    ASSERT_TRUE(usb);
    usb->initByCamera({ONDRIK_VID, ONDRIK_PID, 0x19});
    constexpr uint32_t FRAME = 64 * 48 * 3 / 2;
    EventStream frames(createDataTransferUniquePtr(usb, 2, FRAME, 1, USB_DATA_ENDPOINT_2));
    frames.start();
    cam->streamData(UsbCameraConfig::DATA_ENDPOINT_2, chunk(1, FRAME));
    cam->streamData(UsbCameraConfig::DATA_ENDPOINT, chunk(2, 100)); // the event endpoint is not read here
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (got.empty() && std::chrono::steady_clock::now() < deadline) {
        if (frames.waitNextBuffer() == 1) {
            got = **frames.getLatestBuffer();
        }
    }
    EXPECT_EQ(got, chunk(1, FRAME));
    frames.stop();
    EXPECT_EQ(cam->pendingStreamBytes(UsbCameraConfig::DATA_ENDPOINT), 100u);
}
