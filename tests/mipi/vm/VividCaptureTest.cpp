// The V4L2 capture against a real V4L2 driver: the kernel's vivid test driver, inside the throw-away VM
// (tests/vm). Every device call goes through a recorder over the real system calls, so the frames the
// capture delivers can be matched against what the driver handed out.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/interface/DeviceIo.h"
#include "QuelnorHal/interface/V4l2StreamConfig.h"
#include "mipisim/RecordingDeviceIo.h"

namespace quelnor {
namespace {

using test::RecordingDeviceIo;

constexpr int WIDTH = 640;
constexpr int HEIGHT = 480;
constexpr int BUFFERS = 4;
constexpr size_t FRAMES = 20;
constexpr size_t NV12_BYTES = WIDTH * HEIGHT * 3 / 2;
constexpr std::chrono::seconds CAPTURE_TIMEOUT{60};

std::string nodeFrom(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? value : "";
}

struct Capture {
    std::vector<std::vector<uint8_t>> frames;
    std::shared_ptr<RecordingDeviceIo> recorder;
};

Capture captureFrom(const std::string& node, int32_t pixelFormat) {
    Capture result;
    result.recorder = std::make_shared<RecordingDeviceIo>(DeviceIo::system());
    V4l2StreamConfig config{node, WIDTH, HEIGHT, pixelFormat, BUFFERS, 0};
    EventStream stream(createV4l2DataTransferUniquePtr(config, 1, result.recorder));
    stream.start();
    const auto deadline = std::chrono::steady_clock::now() + CAPTURE_TIMEOUT;
    while (result.frames.size() < FRAMES && std::chrono::steady_clock::now() < deadline) {
        if (stream.waitNextBuffer() == 1) {
            auto buffer = stream.getLatestBuffer();
            if (buffer) {
                result.frames.push_back(**buffer);
            }
        }
    }
    stream.stop();
    return result;
}

// What the driver itself says after the capture: no buffers left allocated (so none queued) and the
// queue free for the next user, with the format the capture set.
void expectDriverReleased(const std::string& node, uint32_t type, uint32_t pixelFormat) {
    auto io = DeviceIo::system();
    const int fd = io->open(node, O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::array<v4l2_plane, VIDEO_MAX_PLANES> planes{};
    v4l2_buffer buffer{};
    buffer.type = type;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = 0;
    buffer.m.planes = planes.data();
    buffer.length = VIDEO_MAX_PLANES;
    EXPECT_NE(io->ioctl(fd, VIDIOC_QUERYBUF, &buffer), 0) << "a buffer is still allocated";

    v4l2_requestbuffers request{};
    request.count = 2;
    request.type = type;
    request.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(io->ioctl(fd, VIDIOC_REQBUFS, &request), 0) << "the queue is still owned";
    request.count = 0;
    EXPECT_EQ(io->ioctl(fd, VIDIOC_REQBUFS, &request), 0);

    v4l2_format format{};
    format.type = type;
    ASSERT_EQ(io->ioctl(fd, VIDIOC_G_FMT, &format), 0);
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        EXPECT_EQ(format.fmt.pix_mp.width, uint32_t(WIDTH));
        EXPECT_EQ(format.fmt.pix_mp.height, uint32_t(HEIGHT));
        EXPECT_EQ(format.fmt.pix_mp.pixelformat, pixelFormat);
    } else {
        EXPECT_EQ(format.fmt.pix.width, uint32_t(WIDTH));
        EXPECT_EQ(format.fmt.pix.height, uint32_t(HEIGHT));
        EXPECT_EQ(format.fmt.pix.pixelformat, pixelFormat);
    }
    io->close(fd);
}

void checkSession(const Capture& capture) {
    ASSERT_EQ(capture.frames.size(), FRAMES);
    const RecordingDeviceIo& recorder = *capture.recorder;
    const auto requests = recorder.requests();
    ASSERT_GE(requests.size(), 2u + BUFFERS);
    EXPECT_EQ(requests[0], "REQBUFS " + std::to_string(BUFFERS));
    for (int i = 0; i < BUFFERS; ++i) {
        EXPECT_EQ(requests[1 + i], "QBUF " + std::to_string(i));
    }
    EXPECT_EQ(requests[1 + BUFFERS], "STREAMON");
    EXPECT_EQ(requests[requests.size() - 2], "STREAMOFF");
    EXPECT_EQ(requests.back(), "REQBUFS 0");

    // The device is left with nothing queued, mapped, streaming or open.
    EXPECT_EQ(recorder.queued(), 0);
    EXPECT_EQ(recorder.mappings(), 0);
    EXPECT_FALSE(recorder.streaming());
    EXPECT_EQ(recorder.openFiles(), 0);

    // The frames delivered are the complete buffers the driver handed out, in the order it did.
    std::vector<RecordingDeviceIo::Dequeued> complete;
    for (const auto& entry : recorder.dequeued()) {
        if (!(entry.flags & V4L2_BUF_FLAG_ERROR) && entry.bytes > 0) {
            complete.push_back(entry);
        }
    }
    ASSERT_GE(complete.size(), FRAMES);
    // vivid writes a frame counter into its picture, so the order check below has teeth.
    std::set<uint64_t> distinct;
    for (size_t i = 0; i < FRAMES; ++i) {
        distinct.insert(complete[i].checksum);
    }
    EXPECT_GT(distinct.size(), FRAMES / 2);
    for (size_t i = 0; i < FRAMES; ++i) {
        EXPECT_EQ(capture.frames[i].size(), NV12_BYTES) << "frame " << i;
        EXPECT_EQ(capture.frames[i].size(), complete[i].bytes) << "frame " << i;
        EXPECT_EQ(RecordingDeviceIo::checksum(capture.frames[i].data(), capture.frames[i].size()),
                  complete[i].checksum)
            << "frame " << i;
        if (i > 0) {
            EXPECT_GT(complete[i].sequence, complete[i - 1].sequence) << "frame " << i;
        }
    }
}

TEST(VividCapture, SinglePlanarNv12) {
    const std::string node = nodeFrom("QUELNOR_VIVID_DEVICE");
    if (node.empty()) {
        GTEST_SKIP() << "no vivid node (run inside the test VM)";
    }
    const Capture capture = captureFrom(node, V4L2_PIX_FMT_NV12);
    checkSession(capture);
    expectDriverReleased(node, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_PIX_FMT_NV12);
}

TEST(VividCapture, MultiPlanarNv12WithTwoPlanes) {
    const std::string node = nodeFrom("QUELNOR_VIVID_MPLANE_DEVICE");
    if (node.empty()) {
        GTEST_SKIP() << "no vivid node (run inside the test VM)";
    }
    const Capture capture = captureFrom(node, V4L2_PIX_FMT_NV12M);
    checkSession(capture);
    expectDriverReleased(node, V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE, V4L2_PIX_FMT_NV12M);
}

} // namespace
} // namespace quelnor
