// The USB transfer ring feeding an EventStream from the camera gadgets, through the kernel's usbfs
// and dummy_hcd: a recording and counter streams arrive in order with nothing lost, stop and start
// while data flows, the frame stream of the second data endpoint, and unplugging.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "UsbVmRig.h"
#include "evt3/Evt3RawFile.h"
#include "usbcam/CounterStream.h"

using namespace quelnor;
using namespace usbvm;
using quelnor::test::LogCapture;
using quelnor::test::usbcam::CounterStreamChecker;

namespace {

constexpr uint64_t MIB = 1024 * 1024;
// Far beyond what a test reads: the gadget keeps streaming until told to stop.
constexpr uint64_t ENDLESS = 4096 * MIB;
// The frame sensor's NV12 frame (3840 x 2160), read as one transfer.
constexpr uint32_t FULL_FRAME = 3840 * 2160 * 3 / 2;

std::string endpointText(uint8_t endpoint) { return "0x" + [&] {
    char text[3];
    std::snprintf(text, sizeof(text), "%02x", endpoint);
    return std::string(text);
}(); }

std::string streamCounter(uint8_t endpoint, uint64_t start, uint64_t bytes, uint64_t chunk, bool endEachChunk) {
    return "stream-counter " + endpointText(endpoint) + " " + std::to_string(start) + " " + std::to_string(bytes) +
           " " + std::to_string(chunk) + (endEachChunk ? " end" : " open");
}

} // namespace

TEST_F(UsbVm, ARecordingArrivesInOrderWithNothingLost) {
    const std::string path = std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecc_evt3_trigger_1280x720.raw";
    const std::vector<uint8_t> data = quelnor::test::loadEvt3RawFile(path).data;
    GadgetControl gadget(textCamera().socket);
    auto usb = open(textCamera());
    ASSERT_TRUE(usb);
    auto stream = makeStream(usb);
    stream->start();
    EXPECT_EQ(gadget.request("stream-file " + endpointText(MODEL_DATA_ENDPOINT) + " " + path), std::to_string(data.size()));
    Collected got;
    collect(*stream, got, data.size(), true);
    stream->stop();
    ASSERT_EQ(got.bytes.size(), data.size());
    EXPECT_TRUE(got.bytes == data) << "the bytes differ";
    for (size_t size : got.sizes) {
        EXPECT_GT(size, 0u);
        EXPECT_LE(size, RING_BUFFER_SIZE);
    }
}

struct CounterCase {
    const char* name;
    uint64_t bytes;
    uint64_t chunk;
    bool endEachChunk;
    size_t bufferSize; // every buffer but the last has this size
};

class UsbVmCounterStream : public UsbVm, public testing::WithParamInterface<CounterCase> {};

TEST_P(UsbVmCounterStream, EveryBufferInOrderNoneLost) {
    const CounterCase& c = GetParam();
    GadgetControl gadget(textCamera().socket);
    auto usb = open(textCamera());
    ASSERT_TRUE(usb);
    auto stream = makeStream(usb);
    stream->start();
    gadget.request(streamCounter(MODEL_DATA_ENDPOINT, 0, c.bytes, c.chunk, c.endEachChunk));
    CounterStreamChecker checker(0);
    Collected got;
    collect(*stream, got, c.bytes, false, &checker);
    stream->stop();
    stopStreaming(gadget, *usb, MODEL_DATA_ENDPOINT);
    EXPECT_TRUE(checker.ok()) << checker.error();
    EXPECT_EQ(got.total, c.bytes);
    ASSERT_FALSE(got.sizes.empty());
    for (size_t i = 0; i + 1 < got.sizes.size(); ++i) {
        ASSERT_EQ(got.sizes[i], c.bufferSize) << "buffer " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    UsbVm, UsbVmCounterStream,
    testing::Values(
        // As a camera streams: one long transfer, every ring transfer filled.
        CounterCase{"continuous", 32 * MIB, 4 * RING_BUFFER_SIZE, false, RING_BUFFER_SIZE},
        // Each piece ends with a short packet.
        CounterCase{"short_packet_ends", 8 * MIB, 77777, true, 77777},
        // Each piece is whole packets and ends with a zero-length packet.
        CounterCase{"zero_length_packet_ends", 4 * MIB, 65536, true, 65536}),
    [](const testing::TestParamInfo<CounterCase>& info) { return std::string(info.param.name); });

TEST_F(UsbVm, StopWhileDataFlowsAndStartAgain) {
    GadgetControl gadget(textCamera().socket);
    auto usb = open(textCamera());
    ASSERT_TRUE(usb);
    auto stream = makeStream(usb);
    // Far apart, so a byte of one run can never pass for one of the other.
    for (uint64_t start : {uint64_t(0), 3 * ENDLESS / 2}) {
        stream->start();
        gadget.request(streamCounter(MODEL_DATA_ENDPOINT, start, ENDLESS, 2 * RING_BUFFER_SIZE, false));
        CounterStreamChecker checker(start);
        Collected got;
        collect(*stream, got, 6 * MIB, false, &checker);
        stream->stop(); // with transfers completing at the same time
        stopStreaming(gadget, *usb, MODEL_DATA_ENDPOINT);
        EXPECT_TRUE(checker.ok()) << checker.error();
        EXPECT_GE(got.total, 6 * MIB);
        EXPECT_EQ(stream->waitNextBuffer(), -1);
        EXPECT_FALSE(stream->getLatestBuffer());
    }
}

TEST_F(UsbVm, TheFrameStreamOfTheSecondDataEndpointInOneTransferPerFrame) {
    const VmCamera& camera = fusionCamera();
    GadgetControl gadget(camera.socket);
    auto usb = open(camera);
    ASSERT_TRUE(usb);
    constexpr uint64_t FRAMES = 3;
    auto frames = makeStream(usb, FULL_FRAME, 1, USB_DATA_ENDPOINT_2);
    frames->start();
    gadget.request(streamCounter(MODEL_DATA_ENDPOINT_2, 0, FRAMES * FULL_FRAME, FULL_FRAME, true));
    CounterStreamChecker checker(0);
    Collected got;
    collect(*frames, got, FRAMES * FULL_FRAME, false, &checker);
    frames->stop();
    stopStreaming(gadget, *usb, MODEL_DATA_ENDPOINT_2);
    EXPECT_TRUE(checker.ok()) << checker.error();
    EXPECT_EQ(got.total, FRAMES * FULL_FRAME);
    // A frame that takes longer than the 500 ms refill time-out (as under emulation) comes in two
    // buffers, cut where the time-out met it; it never spills into the next frame's buffer.
    uint64_t position = 0;
    for (size_t size : got.sizes) {
        EXPECT_LE(position % FULL_FRAME + size, FULL_FRAME) << "a buffer crosses a frame's end";
        position += size;
    }
}

TEST_F(UsbVm, BothStreamsOfAFusionCameraAtOnce) {
    // The event ring (20 x 128 KiB) and a whole frame in flight together: within Linux's default
    // 16 MB of usbfs memory for one fusion camera.
    const VmCamera& camera = fusionCamera();
    GadgetControl gadget(camera.socket);
    auto usb = open(camera);
    ASSERT_TRUE(usb);
    constexpr uint64_t FRAMES = 2;
    constexpr uint64_t EVENT_BYTES = 16 * MIB;
    auto events = makeStream(usb);
    auto frames = makeStream(usb, FULL_FRAME, 1, USB_DATA_ENDPOINT_2);
    events->start();
    frames->start();
    gadget.request(streamCounter(MODEL_DATA_ENDPOINT, 0, EVENT_BYTES, 2 * RING_BUFFER_SIZE, false));
    gadget.request(streamCounter(MODEL_DATA_ENDPOINT_2, ENDLESS, FRAMES * FULL_FRAME, FULL_FRAME, true));
    CounterStreamChecker frameChecker(ENDLESS);
    Collected frameBytes;
    std::thread frameConsumer([&] { collect(*frames, frameBytes, FRAMES * FULL_FRAME, false, &frameChecker); });
    CounterStreamChecker eventChecker(0);
    Collected eventBytes;
    collect(*events, eventBytes, EVENT_BYTES, false, &eventChecker);
    frameConsumer.join();
    events->stop();
    frames->stop();
    stopStreaming(gadget, *usb, MODEL_DATA_ENDPOINT);
    stopStreaming(gadget, *usb, MODEL_DATA_ENDPOINT_2);
    EXPECT_TRUE(eventChecker.ok()) << "events: " << eventChecker.error();
    EXPECT_TRUE(frameChecker.ok()) << "frames: " << frameChecker.error();
    EXPECT_EQ(eventBytes.total, EVENT_BYTES);
    EXPECT_EQ(frameBytes.total, FRAMES * FULL_FRAME);
}

TEST_F(UsbVm, UnplugEndsTheStreamAndTheCameraIsFoundAgainWhenBack) {
    const VmCamera& camera = textCamera();
    GadgetControl gadget(camera.socket);
    auto usb = open(camera);
    ASSERT_TRUE(usb);
    auto stream = makeStream(usb);
    LogCapture logs;
    stream->start();
    gadget.request(streamCounter(MODEL_DATA_ENDPOINT, 0, ENDLESS, 2 * RING_BUFFER_SIZE, false));
    CounterStreamChecker checker(0);
    Collected got;
    collect(*stream, got, 2 * MIB, false, &checker);
    gadget.request("unplug");
    // The transfers fail as the device goes (a bus error first, as real unplugs show, or "no
    // device") and the worker ends; then the device is gone for the connection probe too.
    auto workerEnded = [&] {
        return logs.has(LOG_ERROR, "USB device lost, data transfer ended") || logs.has(LOG_ERROR, "Undefined status: 1");
    };
    const auto deadline = std::chrono::steady_clock::now() + STREAM_LIMIT;
    while (!workerEnded() && std::chrono::steady_clock::now() < deadline) {
        collect(*stream, got, got.total + 1, false, &checker, std::chrono::seconds(1));
    }
    EXPECT_TRUE(workerEnded());
    while (usb->isConnected() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(usb->isConnected());
    collect(*stream, got, got.total + 1, false, &checker, std::chrono::seconds(1));
    EXPECT_EQ(stream->waitNextBuffer(), -1);
    EXPECT_TRUE(checker.ok()) << "what came before the unplug: " << checker.error();
    stream->stop();
    stream.reset();
    usb.reset();

    gadget.request("plug");
    auto found = UsbInterface::findUsbDvsCamera(camera.vendorId, camera.productId);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serialNumber, camera.serial);
    usb = open(camera);
    ASSERT_TRUE(usb);
    // A write the gadget had ready when it went waits for the endpoint's return: read it away.
    stopStreaming(gadget, *usb, MODEL_DATA_ENDPOINT);
    gadget.request("set-register 0x9100 0x31");
    EXPECT_EQ(usb->readRegister(0x9100), 0x31u);
}
