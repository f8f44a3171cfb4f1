#include "EventStream/V4l2Capture.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

std::string fourccText(uint32_t fourcc) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

using PlaneArray = std::array<v4l2_plane, VIDEO_MAX_PLANES>;

constexpr uint32_t NO_BUFFER = UINT32_MAX;

// A buffer request of this capture's type and memory, with room for the planes of a multi-planar one.
v4l2_buffer bufferRequest(uint32_t type, bool multiplanar, PlaneArray& planes, uint32_t planeCount) {
    v4l2_buffer buffer{};
    buffer.type = type;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (multiplanar) {
        planes = {};
        buffer.m.planes = planes.data();
        buffer.length = planeCount;
    }
    return buffer;
}

} // namespace

V4l2Capture::V4l2Capture(std::shared_ptr<DeviceIo> io, V4l2StreamConfig config)
    : m_io(std::move(io)), m_config(std::move(config)) {}

V4l2Capture::~V4l2Capture() { close(); }

void V4l2Capture::fail(const std::string& step, int error) {
    const std::string message = "V4L2 capture " + m_config.devicePath + ": " + step +
                                (error != 0 ? std::string(": ") + std::strerror(error) : std::string());
    close();
    throw std::runtime_error(message);
}

void V4l2Capture::open() {
    close();
    m_failed = false;
    m_fd = m_io->open(m_config.devicePath, O_RDWR | O_NONBLOCK);
    if (m_fd < 0) {
        const int error = errno;
        m_fd = -1;
        fail("cannot open the device", error);
    }
    queryCapabilities();
    setFormat();
    mapBuffers();
    for (uint32_t index = 0; index < m_buffers.size(); ++index) {
        if (!queue(index)) {
            const int error = errno;
            fail("VIDIOC_QBUF " + std::to_string(index) + " failed", error);
        }
    }
    int type = static_cast<int>(m_bufferType);
    if (m_io->ioctl(m_fd, VIDIOC_STREAMON, &type) != 0) {
        fail("VIDIOC_STREAMON failed", errno);
    }
    m_streaming = true;
    QN_INFO("V4L2 capture %s: %ux%u %s, %zu buffers of %u bytes%s", m_config.devicePath.c_str(), m_width,
            m_height, fourccText(m_pixelFormat).c_str(), m_buffers.size(), m_frameBytes,
            m_multiplanar ? " (multi-planar)" : "");
}

void V4l2Capture::queryCapabilities() {
    v4l2_capability capability{};
    if (m_io->ioctl(m_fd, VIDIOC_QUERYCAP, &capability) != 0) {
        fail("not a V4L2 device (VIDIOC_QUERYCAP failed)", errno);
    }
    const uint32_t caps =
        (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    if (caps & V4L2_CAP_VIDEO_CAPTURE) {
        m_multiplanar = false;
        m_bufferType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    } else if (caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) {
        m_multiplanar = true;
        m_bufferType = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    } else {
        fail("not a video capture device", 0);
    }
    if (!(caps & V4L2_CAP_STREAMING)) {
        fail("the device does not support streaming", 0);
    }
}

void V4l2Capture::setFormat() {
    v4l2_format format{};
    format.type = m_bufferType;
    if (m_io->ioctl(m_fd, VIDIOC_G_FMT, &format) != 0) {
        fail("VIDIOC_G_FMT failed", errno);
    }
    const uint32_t wantWidth = m_config.width > 0 ? static_cast<uint32_t>(m_config.width) : 0;
    const uint32_t wantHeight = m_config.height > 0 ? static_cast<uint32_t>(m_config.height) : 0;
    const uint32_t wantFormat = static_cast<uint32_t>(m_config.pixelFormat);
    if (m_multiplanar) {
        v4l2_pix_format_mplane& pix = format.fmt.pix_mp;
        if (wantWidth) pix.width = wantWidth;
        if (wantHeight) pix.height = wantHeight;
        if (wantFormat) pix.pixelformat = wantFormat;
        pix.field = V4L2_FIELD_NONE;
        // Let the driver lay out the planes of the new format.
        pix.num_planes = 0;
        std::memset(pix.plane_fmt, 0, sizeof(pix.plane_fmt));
    } else {
        v4l2_pix_format& pix = format.fmt.pix;
        if (wantWidth) pix.width = wantWidth;
        if (wantHeight) pix.height = wantHeight;
        if (wantFormat) pix.pixelformat = wantFormat;
        pix.field = V4L2_FIELD_NONE;
        pix.bytesperline = 0;
        pix.sizeimage = 0;
    }
    if (m_io->ioctl(m_fd, VIDIOC_S_FMT, &format) != 0) {
        fail("VIDIOC_S_FMT failed", errno);
    }
    if (m_multiplanar) {
        const v4l2_pix_format_mplane& pix = format.fmt.pix_mp;
        m_width = pix.width;
        m_height = pix.height;
        m_pixelFormat = pix.pixelformat;
        m_planeCount = std::clamp<uint32_t>(pix.num_planes, 1, VIDEO_MAX_PLANES);
        m_frameBytes = 0;
        for (uint32_t p = 0; p < m_planeCount; ++p) {
            m_frameBytes += pix.plane_fmt[p].sizeimage;
        }
    } else {
        const v4l2_pix_format& pix = format.fmt.pix;
        m_width = pix.width;
        m_height = pix.height;
        m_pixelFormat = pix.pixelformat;
        m_planeCount = 1;
        m_frameBytes = pix.sizeimage;
    }
    // Drivers adjust what they cannot do instead of refusing it; the capture goes on with their choice.
    if ((wantWidth && wantWidth != m_width) || (wantHeight && wantHeight != m_height) ||
        (wantFormat && wantFormat != m_pixelFormat)) {
        QN_WARN("V4L2 capture %s: asked for %ux%u %s, the driver chose %ux%u %s", m_config.devicePath.c_str(),
                wantWidth ? wantWidth : m_width, wantHeight ? wantHeight : m_height,
                fourccText(wantFormat ? wantFormat : m_pixelFormat).c_str(), m_width, m_height,
                fourccText(m_pixelFormat).c_str());
    }
}

void V4l2Capture::mapBuffers() {
    v4l2_requestbuffers request{};
    request.count = m_config.bufferCount > 0 ? static_cast<uint32_t>(m_config.bufferCount) : DEFAULT_BUFFER_COUNT;
    request.type = m_bufferType;
    request.memory = V4L2_MEMORY_MMAP;
    if (m_io->ioctl(m_fd, VIDIOC_REQBUFS, &request) != 0) {
        fail("VIDIOC_REQBUFS failed (memory-mapped streaming)", errno);
    }
    m_buffersRequested = true;
    if (request.count == 0) {
        fail("the driver granted no buffers", 0);
    }
    m_buffers.reserve(request.count);
    for (uint32_t index = 0; index < request.count; ++index) {
        PlaneArray planes;
        v4l2_buffer buffer = bufferRequest(m_bufferType, m_multiplanar, planes, VIDEO_MAX_PLANES);
        buffer.index = index;
        if (m_io->ioctl(m_fd, VIDIOC_QUERYBUF, &buffer) != 0) {
            const int error = errno;
            fail("VIDIOC_QUERYBUF " + std::to_string(index) + " failed", error);
        }
        m_buffers.emplace_back();
        Buffer& mapped = m_buffers.back();
        const uint32_t planeCount = m_multiplanar ? std::min<uint32_t>(buffer.length, VIDEO_MAX_PLANES) : 1;
        for (uint32_t p = 0; p < planeCount; ++p) {
            const size_t length = m_multiplanar ? planes[p].length : buffer.length;
            const off_t offset = m_multiplanar ? static_cast<off_t>(planes[p].m.mem_offset)
                                               : static_cast<off_t>(buffer.m.offset);
            void* data = m_io->mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, offset);
            if (data == MAP_FAILED) {
                const int error = errno;
                fail("mmap of buffer " + std::to_string(index) + " failed", error);
            }
            mapped.planes.push_back({data, length});
        }
    }
}

bool V4l2Capture::queue(uint32_t index) {
    PlaneArray planes;
    v4l2_buffer buffer = bufferRequest(m_bufferType, m_multiplanar, planes,
                                       static_cast<uint32_t>(m_buffers[index].planes.size()));
    buffer.index = index;
    if (m_io->ioctl(m_fd, VIDIOC_QBUF, &buffer) != 0) {
        return false;
    }
    m_buffersQueued = true;
    return true;
}

V4l2Capture::Result V4l2Capture::next(int timeoutMs, const Allocator& allocate, RawBuffer& frame) {
    if (m_fd < 0 || m_failed) {
        return Result::Failed;
    }
    pollfd waitFor{m_fd, POLLIN, 0};
    const int ready = m_io->poll(&waitFor, 1, timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) {
            return Result::Timeout;
        }
        QN_ERROR("V4L2 capture %s: poll failed: %s", m_config.devicePath.c_str(), std::strerror(errno));
        m_failed = true;
        return Result::Failed;
    }
    if (ready == 0) {
        return Result::Timeout;
    }
    if (!(waitFor.revents & POLLIN) && (waitFor.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        QN_ERROR("V4L2 capture %s: the device reported an error (poll events 0x%X)", m_config.devicePath.c_str(),
                 static_cast<unsigned>(waitFor.revents));
        m_failed = true;
        return Result::Failed;
    }

    PlaneArray planes;
    v4l2_buffer buffer = bufferRequest(m_bufferType, m_multiplanar, planes, m_planeCount);
    if (m_multiplanar) {
        buffer.length = VIDEO_MAX_PLANES;
    }
    // Tells a buffer the driver named apart from one it did not: drivers may dequeue a buffer and
    // still answer with an error.
    buffer.index = NO_BUFFER;
    if (m_io->ioctl(m_fd, VIDIOC_DQBUF, &buffer) != 0) {
        const int error = errno;
        if (error == EAGAIN) {
            return Result::NotReady;
        }
        if (error == EINTR) {
            return Result::Timeout;
        }
        if (error == EIO) {
            return dequeueFailed(buffer.index);
        }
        QN_ERROR("V4L2 capture %s: VIDIOC_DQBUF failed: %s", m_config.devicePath.c_str(), std::strerror(error));
        m_failed = true;
        return Result::Failed;
    }
    if (buffer.index >= m_buffers.size()) {
        QN_ERROR("V4L2 capture %s: the driver returned unknown buffer %u", m_config.devicePath.c_str(), buffer.index);
        m_failed = true;
        return Result::Failed;
    }
    const Buffer& mapped = m_buffers[buffer.index];

    // The bytes the driver filled, plane by plane, never beyond a mapping.
    struct Span {
        const uint8_t* data;
        size_t size;
    };
    std::array<Span, VIDEO_MAX_PLANES> spans{};
    size_t spanCount = 0;
    size_t total = 0;
    if (m_multiplanar) {
        const size_t planeCount = std::min<size_t>(buffer.length, mapped.planes.size());
        for (size_t p = 0; p < planeCount; ++p) {
            const size_t used = std::min<size_t>(planes[p].bytesused, mapped.planes[p].length);
            const size_t offset = std::min<size_t>(planes[p].data_offset, used);
            spans[spanCount++] = {static_cast<const uint8_t*>(mapped.planes[p].data) + offset, used - offset};
            total += used - offset;
        }
    } else {
        const size_t used = std::min<size_t>(buffer.bytesused, mapped.planes[0].length);
        spans[spanCount++] = {static_cast<const uint8_t*>(mapped.planes[0].data), used};
        total = used;
    }

    const bool corrupted = (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0;
    Result result = Result::Empty;
    if (corrupted) {
        result = Result::Dropped;
        QN_WARN("V4L2 capture %s: dropped corrupted buffer (sequence %u)", m_config.devicePath.c_str(),
                buffer.sequence);
    } else if (total > 0) {
        frame = allocate(total);
        frame->clear();
        frame->reserve(total);
        for (size_t s = 0; s < spanCount; ++s) {
            frame->insert(frame->end(), spans[s].data, spans[s].data + spans[s].size);
        }
        result = Result::Frame;
    }

    // Back to the driver at once, whatever came in it, so the ring never runs dry.
    if (!queue(buffer.index)) {
        QN_ERROR("V4L2 capture %s: cannot give buffer %u back to the driver: %s", m_config.devicePath.c_str(),
                 buffer.index, std::strerror(errno));
        m_failed = true;
    }
    return result;
}

V4l2Capture::Result V4l2Capture::dequeueFailed(uint32_t index) {
    // A transient fault (lost signal, say). The driver may have taken a buffer off the ring for it:
    // unless it goes back, the ring shrinks with every such error until nothing more comes.
    QN_WARN("V4L2 capture %s: VIDIOC_DQBUF reported an I/O error", m_config.devicePath.c_str());
    if (index < m_buffers.size() && !queue(index)) {
        // A driver that kept the buffer refuses it back; it is still on the ring.
        QN_DEBUG("V4L2 capture %s: buffer %u stays with the driver: %s", m_config.devicePath.c_str(), index,
                 std::strerror(errno));
    }
    return Result::Error;
}

void V4l2Capture::close() {
    if (m_fd < 0) {
        return;
    }
    // Queued buffers stay queued when STREAMON fails: STREAMOFF takes them back in any case.
    if (m_streaming || m_buffersQueued) {
        int type = static_cast<int>(m_bufferType);
        // Stops the device and takes every buffer back from it.
        if (m_io->ioctl(m_fd, VIDIOC_STREAMOFF, &type) != 0) {
            QN_ERROR("V4L2 capture %s: VIDIOC_STREAMOFF failed: %s", m_config.devicePath.c_str(),
                     std::strerror(errno));
        }
        m_streaming = false;
        m_buffersQueued = false;
    }
    for (Buffer& buffer : m_buffers) {
        for (Plane& plane : buffer.planes) {
            if (m_io->munmap(plane.data, plane.length) != 0) {
                QN_ERROR("V4L2 capture %s: munmap failed: %s", m_config.devicePath.c_str(), std::strerror(errno));
            }
        }
    }
    m_buffers.clear();
    if (m_buffersRequested) {
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = m_bufferType;
        request.memory = V4L2_MEMORY_MMAP;
        if (m_io->ioctl(m_fd, VIDIOC_REQBUFS, &request) != 0) {
            QN_WARN("V4L2 capture %s: freeing the buffers failed: %s", m_config.devicePath.c_str(),
                    std::strerror(errno));
        }
        m_buffersRequested = false;
    }
    m_io->close(m_fd);
    m_fd = -1;
}

} // namespace quelnor
