#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FrameSink.h"
#include "LogCapture.h"
#include "MipiBoard.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/EventStream/V4l2DataTransfer.h"
#include "mipisim/DequeueFaultDeviceIo.h"

namespace quelnor {
namespace {

using test::FrameSink;
using test::MipiBoard;
using test::numberedFrame;
using test::mipisim::SimV4l2Capture;
using Bytes = std::vector<uint8_t>;

// Waits until cond holds; generous, as the worker runs on a loaded machine.
template <typename Cond>
bool eventually(Cond cond) {
    const auto deadline = std::chrono::steady_clock::now() + FrameSink::TIMEOUT;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What a stopped capture must leave behind on the device.
void expectReleased(const SimV4l2Capture& device, const test::mipisim::SimDeviceIo& io) {
    EXPECT_FALSE(device.streaming());
    EXPECT_EQ(device.queuedCount(), 0u);
    EXPECT_EQ(device.mappedCount(), 0u);
    EXPECT_EQ(device.bufferCount(), 0u);
    EXPECT_EQ(device.openFiles(), 0);
    EXPECT_EQ(io.mappings(), 0u);
    EXPECT_EQ(io.openFiles(), 0u);
}

class V4l2Capture : public testing::Test {
protected:
    std::unique_ptr<V4l2DataTransfer> transfer(const V4l2StreamConfig& config) {
        auto made = std::make_unique<V4l2DataTransfer>(config, 1, board.io);
        sink.attach(*made);
        return made;
    }

    MipiBoard board;
    FrameSink sink;
    test::LogCapture log;
};

TEST_F(V4l2Capture, ASessionSetsTheFormatMapsAndQueuesEveryBufferAndStreams) {
    auto capture = transfer(board.config.dvsStream);
    capture->start();

    EXPECT_THAT(board.dvs->requests(),
                testing::ElementsAre("OPEN", "QUERYCAP", "G_FMT", "S_FMT 64x32 GREY", "REQBUFS 4", "QUERYBUF 0",
                                     "MMAP 0.0", "QUERYBUF 1", "MMAP 1.0", "QUERYBUF 2", "MMAP 2.0", "QUERYBUF 3",
                                     "MMAP 3.0", "QBUF 0", "QBUF 1", "QBUF 2", "QBUF 3", "STREAMON"));
    EXPECT_TRUE(board.dvs->streaming());
    EXPECT_EQ(board.dvs->bufferCount(), 4u);
    EXPECT_EQ(board.dvs->queuedCount(), 4u);
    EXPECT_EQ(board.dvs->mappedCount(), 4u);

    capture->stop();
    expectReleased(*board.dvs, *board.io);
    const auto requests = board.dvs->requests();
    EXPECT_THAT(std::vector<std::string>(requests.end() - 7, requests.end()),
                testing::ElementsAre("STREAMOFF", "MUNMAP 0.0", "MUNMAP 1.0", "MUNMAP 2.0", "MUNMAP 3.0", "REQBUFS 0",
                                     "CLOSE"));
}

TEST_F(V4l2Capture, FramesArriveInOrderWithTheirSizes) {
    auto capture = transfer(board.config.dvsStream);
    capture->start();
    // More frames than buffers: every buffer is used several times.
    std::vector<Bytes> sent;
    for (uint8_t i = 0; i < 13; ++i) {
        sent.push_back(numberedFrame(i, 100 + 37 * i));
        board.dvs->pushFrame(sent.back());
    }
    ASSERT_TRUE(sink.waitFor(sent.size()));
    capture->stop();
    EXPECT_EQ(sink.frames(), sent);
    expectReleased(*board.dvs, *board.io);
}

TEST_F(V4l2Capture, AFullFrameIsDeliveredWholeEvenBeyondThePoolBufferSize) {
    V4l2StreamConfig config = board.config.dvsStream;
    config.bufferSize = 16;
    auto capture = transfer(config);
    capture->start();
    const Bytes frame = numberedFrame(1, board.dvs->frameBytes());
    board.dvs->pushFrame(frame);
    ASSERT_TRUE(sink.waitFor(1));
    capture->stop();
    EXPECT_EQ(sink.frames().at(0), frame);
    EXPECT_EQ(frame.size(), MipiBoard::DVS_WIDTH * MipiBoard::DVS_HEIGHT);
}

TEST_F(V4l2Capture, MultiPlanarFramesComeAsTheirPlanesOneAfterTheOther) {
    auto capture = transfer(board.config.apsStream);
    capture->start();
    EXPECT_THAT(board.aps->requests(), testing::Contains("S_FMT 32x16 NM12"));
    EXPECT_THAT(board.aps->requests(), testing::Contains("MMAP 2.1"));
    EXPECT_EQ(board.aps->mappedCount(), 6u); // 3 buffers of 2 planes

    const size_t luma = MipiBoard::APS_WIDTH * MipiBoard::APS_HEIGHT;
    const Bytes full = numberedFrame(3, luma * 3 / 2);
    const Bytes lumaOnly = numberedFrame(4, luma);
    const Bytes partChroma = numberedFrame(5, luma + 10);
    board.aps->pushFrame(full);
    board.aps->pushFrame(lumaOnly);
    board.aps->pushFrame(partChroma);
    ASSERT_TRUE(sink.waitFor(3));
    capture->stop();
    EXPECT_THAT(sink.frames(), testing::ElementsAre(full, lumaOnly, partChroma));
    expectReleased(*board.aps, *board.io);
}

TEST_F(V4l2Capture, TheConfiguredFormatIsAskedForAndZeroKeepsTheDrivers) {
    V4l2StreamConfig config = board.config.dvsStream;
    config.pixelFormat = V4L2_PIX_FMT_NV12;
    auto capture = transfer(config);
    capture->start();
    capture->stop();
    EXPECT_THAT(board.dvs->requests(), testing::Contains("S_FMT 64x32 NV12"));

    board.dvs->clearRequests();
    config.width = 0;
    config.height = 0;
    config.pixelFormat = 0;
    auto keeping = transfer(config);
    keeping->start();
    keeping->stop();
    EXPECT_THAT(board.dvs->requests(), testing::Contains("S_FMT 64x32 NV12")); // what the driver had
}

TEST_F(V4l2Capture, WhatTheDriverAdjustsIsWarnedAboutAndCaptured) {
    SimV4l2Capture::Options options;
    options.maxWidth = 32;
    auto narrow = std::make_shared<SimV4l2Capture>(options);
    board.io->addDevice("/sim/dev/video5", narrow);
    V4l2StreamConfig config = board.config.dvsStream;
    config.devicePath = "/sim/dev/video5";
    auto capture = transfer(config);
    capture->start();
    EXPECT_TRUE(log.has(LOG_WARN, "V4L2 capture /sim/dev/video5: asked for 64x32 GREY, the driver chose 32x32 GREY"));
    narrow->pushFrame(numberedFrame(1, 32 * 32));
    ASSERT_TRUE(sink.waitFor(1));
    capture->stop();
    EXPECT_EQ(sink.frames().at(0).size(), 32u * 32u);
}

TEST_F(V4l2Capture, CorruptedAndEmptyBuffersAreDroppedAndStillGivenBack) {
    auto capture = transfer(board.config.dvsStream);
    capture->start();
    std::vector<Bytes> good;
    // Twice round the ring of 4 buffers with bad ones in between: buffers that were not given back would
    // stall the stream.
    for (uint8_t i = 0; i < 5; ++i) {
        board.dvs->pushCorruptedFrame(numberedFrame(100 + i, 64));
        board.dvs->pushFrame({});
        good.push_back(numberedFrame(i, 50 + i));
        board.dvs->pushFrame(good.back());
    }
    ASSERT_TRUE(sink.waitFor(good.size()));
    ASSERT_TRUE(eventually([&] { return board.dvs->queuedCount() == 4u; }));
    EXPECT_EQ(board.dvs->framesFilled(), 15u);
    capture->stop();
    EXPECT_EQ(sink.frames(), good);
    EXPECT_EQ(log.countAt(LOG_WARN), 5);
    expectReleased(*board.dvs, *board.io);
}

struct SetupFault {
    const char* name;
    unsigned long request;
    int error;
    const char* step; // in the exception's message
};

class V4l2CaptureSetupFault : public testing::TestWithParam<SetupFault> {};

// A failing step throws and leaves the device as it was: nothing streaming, mapped, allocated or open.
TEST_P(V4l2CaptureSetupFault, StartThrowsAndUndoesEverything) {
    MipiBoard board;
    board.dvs->failNext(GetParam().request, GetParam().error);
    V4l2DataTransfer capture(board.config.dvsStream, 1, board.io);
    try {
        capture.start();
        FAIL() << "start did not throw";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), testing::HasSubstr("/sim/dev/video0"));
        EXPECT_THAT(error.what(), testing::HasSubstr(GetParam().step));
    }
    expectReleased(*board.dvs, *board.io);

    // Nothing is left behind that would stop a second try.
    FrameSink sink;
    sink.attach(capture);
    capture.start();
    board.dvs->pushFrame({1, 2, 3});
    ASSERT_TRUE(sink.waitFor(1));
    capture.stop();
    expectReleased(*board.dvs, *board.io);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, V4l2CaptureSetupFault,
    testing::Values(SetupFault{"QueryCap", VIDIOC_QUERYCAP, ENOTTY, "VIDIOC_QUERYCAP"},
                    SetupFault{"SetFormat", VIDIOC_S_FMT, EBUSY, "VIDIOC_S_FMT failed: Device or resource busy"},
                    SetupFault{"RequestBuffers", VIDIOC_REQBUFS, ENOMEM, "VIDIOC_REQBUFS"},
                    SetupFault{"QueryBuffer", VIDIOC_QUERYBUF, EINVAL, "VIDIOC_QUERYBUF 0"},
                    SetupFault{"Map", SimV4l2Capture::MMAP_REQUEST, ENOMEM, "mmap of buffer 0"},
                    SetupFault{"Queue", VIDIOC_QBUF, EINVAL, "VIDIOC_QBUF 0"},
                    SetupFault{"StreamOn", VIDIOC_STREAMON, EPIPE, "VIDIOC_STREAMON"}),
    [](const testing::TestParamInfo<SetupFault>& info) { return info.param.name; });

TEST_F(V4l2Capture, AMissingNodeCannotBeStarted) {
    V4l2StreamConfig config = board.config.dvsStream;
    config.devicePath = "/sim/dev/video7";
    V4l2DataTransfer capture(config, 1, board.io);
    EXPECT_THROW(capture.start(), std::runtime_error);
    capture.stop(); // nothing to do
    EXPECT_EQ(board.io->openFiles(), 0u);
}

TEST_F(V4l2Capture, ABufferThatCannotBeGivenBackEndsTheCaptureAfterDeliveringIt) {
    auto capture = transfer(board.config.dvsStream);
    capture->start();
    board.dvs->failNext(VIDIOC_QBUF, EIO);
    board.dvs->pushFrame({9, 9, 9});
    ASSERT_TRUE(sink.waitFor(1));
    ASSERT_TRUE(eventually([&] { return log.has(LOG_ERROR, "V4L2 capture /sim/dev/video0 stopped after a device failure"); }));
    board.dvs->pushFrame({8}); // nobody takes it any more
    capture->stop();
    EXPECT_EQ(sink.frames().size(), 1u);
    expectReleased(*board.dvs, *board.io);
}

TEST_F(V4l2Capture, AnUnpluggedDeviceEndsTheCaptureAndStopStillReleasesTheMappings) {
    auto capture = transfer(board.config.dvsStream);
    capture->start();
    board.dvs->pushFrame({1});
    ASSERT_TRUE(sink.waitFor(1));
    board.dvs->unplug();
    board.io->removeDevice(board.config.dvsStream.devicePath);
    ASSERT_TRUE(eventually([&] { return log.has(LOG_ERROR, "V4L2 capture /sim/dev/video0 stopped after a device failure"); }));
    capture->stop();
    EXPECT_EQ(board.dvs->mappedCount(), 0u);
    EXPECT_EQ(board.io->openFiles(), 0u);
    EXPECT_EQ(board.io->mappings(), 0u);
}

TEST_F(V4l2Capture, ADriverFaultEndsTheCaptureAndStopCleansUp) {
    auto capture = transfer(board.config.dvsStream);
    capture->start();
    board.dvs->setQueueError();
    ASSERT_TRUE(eventually([&] { return log.has(LOG_ERROR, "V4L2 capture /sim/dev/video0 stopped after a device failure"); }));
    capture->stop();
    expectReleased(*board.dvs, *board.io);
}

// A capture whose worker state the tests can read.
class ObservedV4l2Transfer : public V4l2DataTransfer {
public:
    using V4l2DataTransfer::V4l2DataTransfer;
    using DataTransfer::isRunning;
};

// VIDIOC_DQBUF answering EIO after it really dequeued a buffer, as the V4L2 API allows a driver to.
struct DequeueFault {
    const char* name;
    int faults;    // answers with EIO; < 0: every one from the first on
    uint8_t sent;  // frames pushed
    bool captureEnds;
};

void PrintTo(const DequeueFault& fault, std::ostream* out) { *out << fault.name; }

class V4l2DequeueFault : public testing::TestWithParam<DequeueFault> {
protected:
    MipiBoard board;
    std::shared_ptr<test::mipisim::DequeueFaultDeviceIo> io =
        std::make_shared<test::mipisim::DequeueFaultDeviceIo>(board.io);
    FrameSink sink;
    test::LogCapture log;
};

TEST_P(V4l2DequeueFault, BuffersGoBackToTheDriverAndOnlyRepeatedErrorsEndTheCapture) {
    const DequeueFault& fault = GetParam();
    ObservedV4l2Transfer capture(board.config.dvsStream, 1, io);
    sink.attach(capture);
    std::atomic<int> gaps{0};
    capture.registerGapCallback([&] { ++gaps; });
    capture.start();
    io->failDequeues(fault.faults);
    std::vector<Bytes> sent;
    for (uint8_t i = 0; i < fault.sent; ++i) {
        sent.push_back(numberedFrame(i, 40 + i));
        board.dvs->pushFrame(sent.back());
    }
    if (fault.captureEnds) {
        ASSERT_TRUE(eventually([&] { return !capture.isRunning(); }));
        EXPECT_TRUE(log.has(LOG_ERROR, "V4L2 capture /sim/dev/video0: VIDIOC_DQBUF failed 16 times in a row"));
        EXPECT_TRUE(log.has(LOG_ERROR, "V4L2 capture /sim/dev/video0 stopped after a device failure"));
        EXPECT_EQ(io->failedDequeues(), size_t{V4l2DataTransfer::DEQUEUE_ERROR_LIMIT});
        EXPECT_TRUE(sink.frames().empty());
    } else {
        // The frames the errors took are lost; every later one arrives, in order.
        const std::vector<Bytes> expected(sent.begin() + fault.faults, sent.end());
        ASSERT_TRUE(sink.waitFor(expected.size()));
        EXPECT_EQ(sink.frames(), expected);
        // The whole ring is back with the driver, and the stream goes on.
        ASSERT_TRUE(eventually([&] { return board.dvs->queuedCount() == 4u; }));
        board.dvs->pushFrame({7, 7, 7});
        ASSERT_TRUE(sink.waitFor(expected.size() + 1));
        EXPECT_TRUE(capture.isRunning());
        EXPECT_EQ(gaps.load(), fault.faults);
        EXPECT_EQ(log.count(LOG_WARN, "V4L2 capture /sim/dev/video0: VIDIOC_DQBUF reported an I/O error"),
                  fault.faults);
        EXPECT_EQ(log.countAt(LOG_ERROR), 0);
    }
    capture.stop();
    expectReleased(*board.dvs, *board.io);
}

INSTANTIATE_TEST_SUITE_P(Cases, V4l2DequeueFault,
                         testing::Values(DequeueFault{"Once", 1, 6, false}, DequeueFault{"FourTimes", 4, 8, false},
                                         DequeueFault{"Forever", -1, 40, true}),
                         [](const testing::TestParamInfo<DequeueFault>& info) { return std::string(info.param.name); });

// A driver that keeps saying "ready" with nothing to give, or with an error for every dequeue, must
// not make the worker spin: it pauses after each such answer.
TEST_F(V4l2DequeueFault, ADriverThatKeepsSayingReadyDoesNotMakeTheWorkerSpin) {
    ObservedV4l2Transfer capture(board.config.dvsStream, 1, io);
    sink.attach(capture);
    capture.start();
    io->setAlwaysReady(true); // and nothing to dequeue: EAGAIN
    constexpr size_t REQUESTS = 20;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(io->waitForDequeueRequests(REQUESTS, FrameSink::TIMEOUT));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, (REQUESTS - 1) * std::chrono::milliseconds(V4l2DataTransfer::ERROR_PAUSE_MS));
    EXPECT_TRUE(capture.isRunning());
    // Frames still come once the driver behaves.
    io->setAlwaysReady(false);
    board.dvs->pushFrame({1, 2, 3});
    ASSERT_TRUE(sink.waitFor(1));

    // Now every dequeue fails as well: the capture pauses between the errors and then ends.
    const size_t before = io->dequeueRequests(); // nothing is dequeued while no frame waits
    const auto errorsBegin = std::chrono::steady_clock::now();
    io->failDequeues(-1);
    io->setAlwaysReady(true);
    ASSERT_TRUE(eventually([&] { return !capture.isRunning(); }));
    const auto errorsElapsed = std::chrono::steady_clock::now() - errorsBegin;
    EXPECT_EQ(io->dequeueRequests() - before, size_t{V4l2DataTransfer::DEQUEUE_ERROR_LIMIT});
    EXPECT_GE(errorsElapsed, (V4l2DataTransfer::DEQUEUE_ERROR_LIMIT - 1) *
                                 std::chrono::milliseconds(V4l2DataTransfer::ERROR_PAUSE_MS));
    capture.stop();
    expectReleased(*board.dvs, *board.io);
}

TEST_F(V4l2Capture, ItRestartsAfterAStop) {
    auto capture = transfer(board.config.dvsStream);
    for (uint8_t round = 0; round < 3; ++round) {
        capture->start();
        capture->start(); // a second start while running does nothing
        EXPECT_EQ(board.dvs->openFiles(), 1);
        board.dvs->pushFrame(numberedFrame(round, 10));
        ASSERT_TRUE(sink.waitFor(round + 1u));
        capture->stop();
        capture->stop();
        expectReleased(*board.dvs, *board.io);
    }
    EXPECT_EQ(sink.frames().size(), 3u);
}

TEST_F(V4l2Capture, StoppingWithFramesPendingLeavesNothingQueued) {
    auto capture = transfer(board.config.dvsStream);
    capture->start();
    for (uint8_t i = 0; i < 50; ++i) {
        board.dvs->pushFrame(numberedFrame(i, 200));
    }
    capture->stop();
    expectReleased(*board.dvs, *board.io);
    const auto frames = sink.frames();
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], numberedFrame(static_cast<uint8_t>(i), 200)); // whatever came, came in order
    }
}

TEST_F(V4l2Capture, DestroyingARunningCaptureStopsItFirst) {
    {
        auto capture = transfer(board.config.dvsStream);
        capture->start();
        board.dvs->pushFrame({1, 2});
        ASSERT_TRUE(sink.waitFor(1));
    }
    expectReleased(*board.dvs, *board.io);
    EXPECT_EQ(log.count(LOG_ERROR, "DataTransfer destroyed while its worker runs"), 0);
}

TEST_F(V4l2Capture, PoolBuffersHaveTheConfiguredSizeOrTheDefault) {
    for (int32_t bufferSize : {0, -1}) {
        FrameSink defaults;
        V4l2StreamConfig config = board.config.dvsStream;
        config.bufferSize = bufferSize; // below zero is taken as unset rather than as 4 GiB
        V4l2DataTransfer capture(config, 1, board.io);
        defaults.attach(capture);
        capture.start();
        board.dvs->pushFrame({1, 2, 3});
        ASSERT_TRUE(defaults.waitFor(1));
        capture.stop();
        EXPECT_GE(defaults.capacities().at(0), V4l2DataTransfer::DEFAULT_BUFFER_SIZE);
        EXPECT_EQ(defaults.frames().at(0), (Bytes{1, 2, 3}));
    }
}

TEST_F(V4l2Capture, AnEventStreamOverTheInterfacesStreamsQueuesEveryFrame) {
    auto interface = board.makeInterface();
    auto made = createV4l2DataTransferUniquePtr(interface->dvsStreamConfig(), 1, interface->deviceIo());
    ASSERT_TRUE(made);
    EventStream stream(std::move(made));
    EXPECT_EQ(stream.waitNextBuffer(), -1); // stopped
    stream.start();
    std::vector<Bytes> sent;
    for (uint8_t i = 0; i < 10; ++i) {
        sent.push_back(numberedFrame(i, 64 + i));
        board.dvs->pushFrame(sent.back());
    }
    std::vector<Bytes> received;
    const auto deadline = std::chrono::steady_clock::now() + FrameSink::TIMEOUT;
    while (received.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
        if (stream.waitNextBuffer() == 1) {
            auto buffer = stream.getLatestBuffer();
            ASSERT_TRUE(buffer.has_value());
            received.push_back(**buffer);
        }
    }
    stream.stop();
    EXPECT_EQ(received, sent);
    expectReleased(*board.dvs, *board.io);
}

} // namespace
} // namespace quelnor
