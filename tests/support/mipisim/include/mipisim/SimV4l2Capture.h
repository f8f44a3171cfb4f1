#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mipisim/SimDevice.h"

namespace quelnor::test::mipisim {

// A V4L2 video capture node with memory-mapped streaming, answering as a videobuf2 driver does:
//   QUERYCAP (single- or multi-planar capture, streaming), G_FMT / S_FMT / TRY_FMT (GREY, YUYV, NV12, and
//   NV12M with two planes on a multi-planar node; an unknown format becomes GREY; sizes clamped, even for
//   YUV), REQBUFS (count clamped to the driver's minimum and maximum; 0 frees; EBUSY while streaming, while
//   a buffer is mapped, or when another open file owns the buffers), QUERYBUF, mmap (MAP_SHARED and
//   PROT_READ needed, at the offset QUERYBUF gave), QBUF, DQBUF (EAGAIN on a non-blocking file with nothing
//   done), STREAMON, STREAMOFF (every buffer back to the application), poll (POLLERR while not streaming,
//   POLLIN|POLLRDNORM when a buffer is done). Closing the owning file stops streaming and frees the buffers
//   (mapped memory lives until unmapped).
// Frames come from the test in order: each pushed frame fills the next queued buffer once one is queued
// while streaming (pushed frames wait for a buffer instead of being dropped).
// Thread safe.
class SimV4l2Capture : public SimDevice {
public:
    struct Options {
        bool multiplanar = false;
        uint32_t width = 1024;
        uint32_t height = 512;
        uint32_t pixelFormat = V4L2_PIX_FMT_GREY;
        uint32_t maxWidth = 8192;
        uint32_t maxHeight = 8192;
        uint32_t minBuffers = 2;
        uint32_t maxBuffers = 32;
    };

    SimV4l2Capture();
    explicit SimV4l2Capture(Options options);
    ~SimV4l2Capture() override;

    // Frames, test side. The bytes fill the planes one after the other; bytes beyond the buffer are cut.
    void pushFrame(std::vector<uint8_t> bytes);
    // A frame the driver marks V4L2_BUF_FLAG_ERROR.
    void pushCorruptedFrame(std::vector<uint8_t> bytes);

    // The next request of this kind (VIDIOC_*) fails once with error; mmap and munmap count as requests 0
    // and 1.
    static constexpr unsigned long MMAP_REQUEST = 0;
    static constexpr unsigned long MUNMAP_REQUEST = 1;
    void failNext(unsigned long request, int error);
    // A fatal driver fault: poll answers POLLERR, QBUF and DQBUF answer EIO until streaming stops.
    void setQueueError();
    // The node is unregistered: requests answer ENODEV, poll POLLERR|POLLHUP|POLLPRI; munmap and close work.
    void unplug();

    // State, test side.
    v4l2_format format() const;
    uint32_t frameBytes() const; // sizeimage summed over the planes
    bool streaming() const;
    size_t bufferCount() const;  // buffers allocated
    size_t queuedCount() const;  // buffers with the driver (queued or done, not yet dequeued)
    size_t mappedCount() const;  // mappings not yet unmapped
    size_t pendingFrames() const;
    uint32_t framesFilled() const;
    int openFiles() const;
    // Every request in order: "QUERYCAP", "G_FMT", "S_FMT 640x480 NV12", "REQBUFS 4", "QUERYBUF 1", "MMAP 1.0",
    // "QBUF 1", "STREAMON", "DQBUF 1", "STREAMOFF", "MUNMAP 1.0", "REQBUFS 0", "CLOSE"; failed ones end in
    // " -> <errno name>".
    std::vector<std::string> requests() const;
    void clearRequests();

    std::shared_ptr<SimFile> open(int flags) override;

    // File side.
    class File;
    int request(File& file, unsigned long request, void* argument);
    void* map(size_t length, int protection, int flags, off_t offset);
    int unmap(void* address, size_t length);
    short pollEvents(short events) const;
    void release(File& file);

private:
    struct Plane {
        std::shared_ptr<std::vector<uint8_t>> memory;
        uint32_t bytesused = 0;
    };
    enum class BufferState { Dequeued, Queued, Done };
    struct Buffer {
        std::vector<Plane> planes;
        BufferState state = BufferState::Dequeued;
        uint32_t sequence = 0;
        bool error = false;
        timeval timestamp{};
    };
    struct Frame {
        std::vector<uint8_t> bytes;
        bool error;
    };
    struct Mapping {
        std::shared_ptr<std::vector<uint8_t>> memory;
        uint32_t index;
        uint32_t plane;
    };

    uint32_t bufferType() const;
    void adjust(v4l2_format& format) const;
    std::vector<std::pair<uint32_t, uint32_t>> planeLayout(const v4l2_format& format) const; // bytesperline, size
    int failWith(const std::string& what, int error);
    void log(const std::string& entry);
    bool takeInjected(unsigned long request, int& error);
    void fill();
    void stopStreaming();
    void freeBuffers();
    int querybuf(v4l2_buffer& buffer) const;
    void describe(uint32_t index, v4l2_buffer& buffer) const;

    int requestFormat(unsigned long request, v4l2_format* format);
    int requestBuffers(File& file, v4l2_requestbuffers* request);
    int queueBuffer(File& file, v4l2_buffer* buffer);
    int dequeueBuffer(File& file, v4l2_buffer* buffer);
    int streamOn(File& file, const int* type);
    int streamOff(File& file, const int* type);

    const Options m_options;
    mutable std::mutex m_lock;
    v4l2_format m_format{};
    std::vector<Buffer> m_buffers;
    File* m_owner = nullptr;
    bool m_streaming = false;
    bool m_queueError = false;
    bool m_unplugged = false;
    std::deque<uint32_t> m_queued;
    std::deque<uint32_t> m_done;
    std::deque<Frame> m_pending;
    uint32_t m_sequence = 0;
    std::map<void*, Mapping> m_mappings;
    std::map<unsigned long, int> m_injected;
    std::vector<std::string> m_requests;
    int m_openFiles = 0;
};

} // namespace quelnor::test::mipisim
