#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/EventStream/RawBuffer.h"
#include "QuelnorHal/interface/DeviceIo.h"
#include "QuelnorHal/interface/V4l2StreamConfig.h"

namespace quelnor {

// One streaming session on a V4L2 video capture node with memory-mapped buffers: single-planar or
// multi-planar capture, whichever the driver offers. open() sets the format, requests, maps and queues
// the buffers and starts streaming; next() hands out one filled buffer as a copy and gives the buffer
// back to the driver at once (also one the driver dequeued while answering an error); close() stops
// streaming, unmaps and frees the buffers and closes the node.
// Not thread safe: one thread at a time.
class V4l2Capture {
public:
    // Buffers asked for when the configuration names none.
    static constexpr uint32_t DEFAULT_BUFFER_COUNT = 4;

    enum class Result {
        Frame,   // `frame` holds a complete buffer
        Empty,   // a buffer came back with nothing in it; it was given back to the driver
        Dropped, // a buffer came back marked corrupted: its data is lost; it was given back
        Error,   // VIDIOC_DQBUF failed for now (I/O error): a frame is lost; the buffer it named, if
                 // any, was given back. Returns without waiting
        NotReady, // poll said ready but there was nothing to dequeue; returns without waiting
        Timeout, // nothing within the time-out
        Failed,  // the device failed (error logged); nothing more will come
    };

    // Makes the raw buffer a frame is copied into; its size is then set to the frame's.
    using Allocator = std::function<RawBuffer(size_t frameBytes)>;

    V4l2Capture(std::shared_ptr<DeviceIo> io, V4l2StreamConfig config);
    ~V4l2Capture();
    V4l2Capture(const V4l2Capture&) = delete;
    V4l2Capture& operator=(const V4l2Capture&) = delete;

    // Throws std::runtime_error, with everything it had set up undone, when a step fails.
    void open();
    // Waits up to timeoutMs for a filled buffer.
    Result next(int timeoutMs, const Allocator& allocate, RawBuffer& frame);
    // Undoes open(); harmless when nothing is open.
    void close();

    bool isOpen() const { return m_fd >= 0; }
    bool isMultiplanar() const { return m_multiplanar; }
    uint32_t width() const { return m_width; }
    uint32_t height() const { return m_height; }
    uint32_t pixelFormat() const { return m_pixelFormat; }
    uint32_t frameBytes() const { return m_frameBytes; }
    size_t bufferCount() const { return m_buffers.size(); }

private:
    struct Plane {
        void* data = nullptr;
        size_t length = 0;
    };
    struct Buffer {
        std::vector<Plane> planes;
    };

    [[noreturn]] void fail(const std::string& step, int error);
    void queryCapabilities();
    void setFormat();
    void mapBuffers();
    bool queue(uint32_t index);
    // After VIDIOC_DQBUF answered EIO; index is the buffer the driver named, if any.
    Result dequeueFailed(uint32_t index);

    std::shared_ptr<DeviceIo> m_io;
    V4l2StreamConfig m_config;
    int m_fd = -1;
    bool m_multiplanar = false;
    uint32_t m_bufferType = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_pixelFormat = 0;
    uint32_t m_frameBytes = 0;
    uint32_t m_planeCount = 1;
    bool m_buffersRequested = false;
    bool m_buffersQueued = false;
    bool m_streaming = false;
    bool m_failed = false;
    std::vector<Buffer> m_buffers;
};

} // namespace quelnor
