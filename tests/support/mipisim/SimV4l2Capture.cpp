#include "mipisim/SimV4l2Capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quelnor::test::mipisim {

namespace {

constexpr unsigned OFFSET_SHIFT = 12; // offsets handed out by QUERYBUF are page multiples

std::string fourcc(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        text += static_cast<char>((code >> (8 * i)) & 0xFF);
    }
    return text;
}

std::string requestName(unsigned long request) {
    switch (request) {
    case VIDIOC_QUERYCAP: return "QUERYCAP";
    case VIDIOC_G_FMT: return "G_FMT";
    case VIDIOC_S_FMT: return "S_FMT";
    case VIDIOC_TRY_FMT: return "TRY_FMT";
    case VIDIOC_REQBUFS: return "REQBUFS";
    case VIDIOC_QUERYBUF: return "QUERYBUF";
    case VIDIOC_QBUF: return "QBUF";
    case VIDIOC_DQBUF: return "DQBUF";
    case VIDIOC_STREAMON: return "STREAMON";
    case VIDIOC_STREAMOFF: return "STREAMOFF";
    default: return "request";
    }
}

off_t offsetOf(uint32_t index, uint32_t plane) {
    return static_cast<off_t>((index * VIDEO_MAX_PLANES + plane)) << OFFSET_SHIFT;
}

} // namespace

class SimV4l2Capture::File : public SimFile {
public:
    File(std::shared_ptr<SimV4l2Capture> device, bool blocking) : m_device(std::move(device)), m_blocking(blocking) {}

    bool blocking() const { return m_blocking; }

    int ioctl(unsigned long request, void* argument) override { return m_device->request(*this, request, argument); }
    void* mmap(size_t length, int protection, int flags, off_t offset) override {
        return m_device->map(length, protection, flags, offset);
    }
    int munmap(void* address, size_t length) override { return m_device->unmap(address, length); }
    short poll(short events) override { return m_device->pollEvents(events); }
    void release() override { m_device->release(*this); }

private:
    std::shared_ptr<SimV4l2Capture> m_device;
    bool m_blocking;
};

SimV4l2Capture::SimV4l2Capture() : SimV4l2Capture(Options{}) {}

SimV4l2Capture::SimV4l2Capture(Options options) : m_options(options) {
    m_format.type = bufferType();
    if (m_options.multiplanar) {
        m_format.fmt.pix_mp.width = m_options.width;
        m_format.fmt.pix_mp.height = m_options.height;
        m_format.fmt.pix_mp.pixelformat = m_options.pixelFormat;
    } else {
        m_format.fmt.pix.width = m_options.width;
        m_format.fmt.pix.height = m_options.height;
        m_format.fmt.pix.pixelformat = m_options.pixelFormat;
    }
    adjust(m_format);
}

SimV4l2Capture::~SimV4l2Capture() = default;

uint32_t SimV4l2Capture::bufferType() const {
    return m_options.multiplanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

std::vector<std::pair<uint32_t, uint32_t>> SimV4l2Capture::planeLayout(const v4l2_format& format) const {
    const bool mp = m_options.multiplanar;
    const uint32_t w = mp ? format.fmt.pix_mp.width : format.fmt.pix.width;
    const uint32_t h = mp ? format.fmt.pix_mp.height : format.fmt.pix.height;
    switch (mp ? format.fmt.pix_mp.pixelformat : format.fmt.pix.pixelformat) {
    case V4L2_PIX_FMT_YUYV:
        return {{2 * w, 2 * w * h}};
    case V4L2_PIX_FMT_NV12:
        return {{w, w * h * 3 / 2}};
    case V4L2_PIX_FMT_NV12M:
        return {{w, w * h}, {w, w * h / 2}};
    default:
        return {{w, w * h}};
    }
}

void SimV4l2Capture::adjust(v4l2_format& format) const {
    const bool mp = m_options.multiplanar;
    // The multi-planar format is packed: work on copies.
    uint32_t w = mp ? format.fmt.pix_mp.width : format.fmt.pix.width;
    uint32_t h = mp ? format.fmt.pix_mp.height : format.fmt.pix.height;
    uint32_t code = mp ? format.fmt.pix_mp.pixelformat : format.fmt.pix.pixelformat;
    const bool known = code == V4L2_PIX_FMT_GREY || code == V4L2_PIX_FMT_YUYV || code == V4L2_PIX_FMT_NV12 ||
                       (mp && code == V4L2_PIX_FMT_NV12M);
    if (!known) {
        code = V4L2_PIX_FMT_GREY;
    }
    w = std::clamp<uint32_t>(w, 2, m_options.maxWidth);
    h = std::clamp<uint32_t>(h, 2, m_options.maxHeight);
    if (code != V4L2_PIX_FMT_GREY) {
        w &= ~1u;
        h &= ~1u;
    }
    if (mp) {
        format.fmt.pix_mp.width = w;
        format.fmt.pix_mp.height = h;
        format.fmt.pix_mp.pixelformat = code;
    } else {
        format.fmt.pix.width = w;
        format.fmt.pix.height = h;
        format.fmt.pix.pixelformat = code;
    }
    const auto layout = planeLayout(format);
    if (mp) {
        format.fmt.pix_mp.field = V4L2_FIELD_NONE;
        format.fmt.pix_mp.num_planes = static_cast<uint8_t>(layout.size());
        std::memset(format.fmt.pix_mp.plane_fmt, 0, sizeof(format.fmt.pix_mp.plane_fmt));
        for (size_t p = 0; p < layout.size(); ++p) {
            format.fmt.pix_mp.plane_fmt[p].bytesperline = layout[p].first;
            format.fmt.pix_mp.plane_fmt[p].sizeimage = layout[p].second;
        }
    } else {
        format.fmt.pix.field = V4L2_FIELD_NONE;
        format.fmt.pix.bytesperline = layout[0].first;
        format.fmt.pix.sizeimage = layout[0].second;
    }
}

void SimV4l2Capture::log(const std::string& entry) { m_requests.push_back(entry); }

int SimV4l2Capture::failWith(const std::string& what, int error) {
    log(what + " -> " + strerrorname_np(error));
    return SimFile::fail(error);
}

bool SimV4l2Capture::takeInjected(unsigned long request, int& error) {
    auto it = m_injected.find(request);
    if (it == m_injected.end()) {
        return false;
    }
    error = it->second;
    m_injected.erase(it);
    return true;
}

void SimV4l2Capture::pushFrame(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pending.push_back({std::move(bytes), false});
        fill();
    }
    notify();
}

void SimV4l2Capture::pushCorruptedFrame(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pending.push_back({std::move(bytes), true});
        fill();
    }
    notify();
}

void SimV4l2Capture::failNext(unsigned long request, int error) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_injected[request] = error;
}

void SimV4l2Capture::setQueueError() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queueError = true;
    }
    notify();
}

void SimV4l2Capture::unplug() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_unplugged = true;
    }
    notify();
}

// Hands pending frames to queued buffers, oldest first.
void SimV4l2Capture::fill() {
    while (m_streaming && !m_queueError && !m_unplugged && !m_pending.empty() && !m_queued.empty()) {
        Frame frame = std::move(m_pending.front());
        m_pending.pop_front();
        const uint32_t index = m_queued.front();
        m_queued.pop_front();
        Buffer& buffer = m_buffers[index];
        size_t offset = 0;
        for (Plane& plane : buffer.planes) {
            const size_t take = std::min(plane.memory->size(), frame.bytes.size() - offset);
            if (take > 0) {
                std::memcpy(plane.memory->data(), frame.bytes.data() + offset, take);
            }
            plane.bytesused = static_cast<uint32_t>(take);
            offset += take;
        }
        buffer.error = frame.error;
        buffer.sequence = m_sequence++;
        gettimeofday(&buffer.timestamp, nullptr);
        buffer.state = BufferState::Done;
        m_done.push_back(index);
    }
}

v4l2_format SimV4l2Capture::format() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_format;
}

uint32_t SimV4l2Capture::frameBytes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    uint32_t total = 0;
    for (const auto& plane : planeLayout(m_format)) {
        total += plane.second;
    }
    return total;
}

bool SimV4l2Capture::streaming() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_streaming;
}

size_t SimV4l2Capture::bufferCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_buffers.size();
}

size_t SimV4l2Capture::queuedCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_queued.size() + m_done.size();
}

size_t SimV4l2Capture::mappedCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_mappings.size();
}

size_t SimV4l2Capture::pendingFrames() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pending.size();
}

uint32_t SimV4l2Capture::framesFilled() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sequence;
}

int SimV4l2Capture::openFiles() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_openFiles;
}

std::vector<std::string> SimV4l2Capture::requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

void SimV4l2Capture::clearRequests() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.clear();
}

std::shared_ptr<SimFile> SimV4l2Capture::open(int flags) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_unplugged) {
        errno = ENODEV;
        return nullptr;
    }
    ++m_openFiles;
    log("OPEN");
    return std::make_shared<File>(std::static_pointer_cast<SimV4l2Capture>(shared_from_this()),
                                  (flags & O_NONBLOCK) == 0);
}

void SimV4l2Capture::release(File& file) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        --m_openFiles;
        log("CLOSE");
        if (m_owner == &file) {
            // The kernel's queue release: stop and free; mapped memory stays until unmapped.
            stopStreaming();
            freeBuffers();
            m_owner = nullptr;
        }
    }
    notify();
}

void SimV4l2Capture::stopStreaming() {
    m_streaming = false;
    m_queueError = false;
    m_queued.clear();
    m_done.clear();
    for (Buffer& buffer : m_buffers) {
        buffer.state = BufferState::Dequeued;
    }
}

void SimV4l2Capture::freeBuffers() {
    // Freeing cancels the queue first, as the kernel does.
    stopStreaming();
    m_buffers.clear();
}

int SimV4l2Capture::request(File& file, unsigned long request, void* argument) {
    int result;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        int injected = 0;
        if (m_unplugged) {
            return failWith("request", ENODEV);
        }
        if (argument == nullptr) {
            return failWith("request", EFAULT);
        }
        if (takeInjected(request, injected)) {
            return failWith(requestName(request), injected);
        }
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(argument);
            *cap = {};
            std::strncpy(reinterpret_cast<char*>(cap->driver), "mipisim", sizeof(cap->driver) - 1);
            std::strncpy(reinterpret_cast<char*>(cap->card), "Simulated MIPI capture", sizeof(cap->card) - 1);
            std::strncpy(reinterpret_cast<char*>(cap->bus_info), "platform:mipisim", sizeof(cap->bus_info) - 1);
            cap->device_caps = (m_options.multiplanar ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE) |
                               V4L2_CAP_STREAMING;
            cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
            log("QUERYCAP");
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT:
            return requestFormat(request, static_cast<v4l2_format*>(argument));
        case VIDIOC_REQBUFS:
            return requestBuffers(file, static_cast<v4l2_requestbuffers*>(argument));
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            result = querybuf(*buffer);
            if (result != 0) {
                return failWith("QUERYBUF " + std::to_string(buffer->index), errno);
            }
            log("QUERYBUF " + std::to_string(buffer->index));
            return 0;
        }
        case VIDIOC_QBUF:
            result = queueBuffer(file, static_cast<v4l2_buffer*>(argument));
            break;
        case VIDIOC_DQBUF:
            if (!file.blocking()) {
                return dequeueBuffer(file, static_cast<v4l2_buffer*>(argument));
            }
            result = -1; // waits below, outside the lock
            break;
        case VIDIOC_STREAMON:
            result = streamOn(file, static_cast<const int*>(argument));
            break;
        case VIDIOC_STREAMOFF:
            result = streamOff(file, static_cast<const int*>(argument));
            break;
        default:
            return SimFile::fail(ENOTTY);
        }
        if (request != VIDIOC_DQBUF) {
            fill();
        }
    }
    if (request == VIDIOC_DQBUF) {
        // A blocking file waits until a buffer is done or streaming stops.
        for (;;) {
            const uint64_t seen = signal()->generation();
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (!m_done.empty() || !m_streaming || m_queueError || m_unplugged) {
                    return dequeueBuffer(file, static_cast<v4l2_buffer*>(argument));
                }
            }
            signal()->waitChange(seen);
        }
    }
    notify();
    return result;
}

int SimV4l2Capture::requestFormat(unsigned long request, v4l2_format* format) {
    const char* name = request == VIDIOC_G_FMT ? "G_FMT" : request == VIDIOC_S_FMT ? "S_FMT" : "TRY_FMT";
    if (format->type != bufferType()) {
        return failWith(name, EINVAL);
    }
    if (request == VIDIOC_G_FMT) {
        *format = m_format;
        log(name);
        return 0;
    }
    if (request == VIDIOC_S_FMT && !m_buffers.empty()) {
        return failWith(name, EBUSY);
    }
    adjust(*format);
    const bool mp = m_options.multiplanar;
    log(std::string(name) + " " + std::to_string(mp ? format->fmt.pix_mp.width : format->fmt.pix.width) + "x" +
        std::to_string(mp ? format->fmt.pix_mp.height : format->fmt.pix.height) + " " +
        fourcc(mp ? format->fmt.pix_mp.pixelformat : format->fmt.pix.pixelformat));
    if (request == VIDIOC_S_FMT) {
        m_format = *format;
    }
    return 0;
}

int SimV4l2Capture::requestBuffers(File& file, v4l2_requestbuffers* request) {
    const std::string name = "REQBUFS " + std::to_string(request->count);
    if (request->type != bufferType() || request->memory != V4L2_MEMORY_MMAP) {
        return failWith(name, EINVAL);
    }
    if (m_owner != nullptr && m_owner != &file) {
        return failWith(name, EBUSY);
    }
    if (m_streaming) {
        return failWith(name, EBUSY);
    }
    if (!m_mappings.empty() && !m_buffers.empty()) {
        return failWith(name, EBUSY);
    }
    freeBuffers();
    if (request->count == 0) {
        m_owner = nullptr;
        log(name);
        return 0;
    }
    const uint32_t count = std::clamp(request->count, m_options.minBuffers, m_options.maxBuffers);
    const auto layout = planeLayout(m_format);
    m_buffers.resize(count);
    for (Buffer& buffer : m_buffers) {
        for (const auto& plane : layout) {
            buffer.planes.push_back({std::make_shared<std::vector<uint8_t>>(plane.second, 0), 0});
        }
    }
    request->count = count;
    request->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    m_owner = &file;
    log(name);
    return 0;
}

void SimV4l2Capture::describe(uint32_t index, v4l2_buffer& buffer) const {
    const Buffer& b = m_buffers[index];
    buffer.index = index;
    buffer.type = bufferType();
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.field = V4L2_FIELD_NONE;
    buffer.sequence = b.sequence;
    buffer.timestamp = b.timestamp;
    buffer.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (b.state == BufferState::Queued) buffer.flags |= V4L2_BUF_FLAG_QUEUED;
    if (b.state == BufferState::Done) buffer.flags |= V4L2_BUF_FLAG_DONE;
    if (b.error) buffer.flags |= V4L2_BUF_FLAG_ERROR;
    for (const auto& [address, mapping] : m_mappings) {
        if (mapping.index == index) {
            buffer.flags |= V4L2_BUF_FLAG_MAPPED;
        }
    }
    if (m_options.multiplanar) {
        for (uint32_t p = 0; p < b.planes.size(); ++p) {
            v4l2_plane& plane = buffer.m.planes[p];
            plane = {};
            plane.length = static_cast<uint32_t>(b.planes[p].memory->size());
            plane.bytesused = b.planes[p].bytesused;
            plane.m.mem_offset = static_cast<uint32_t>(offsetOf(index, p));
        }
        buffer.length = static_cast<uint32_t>(b.planes.size());
    } else {
        buffer.length = static_cast<uint32_t>(b.planes[0].memory->size());
        buffer.bytesused = b.planes[0].bytesused;
        buffer.m.offset = static_cast<uint32_t>(offsetOf(index, 0));
    }
}

int SimV4l2Capture::querybuf(v4l2_buffer& buffer) const {
    if (buffer.type != bufferType() || buffer.index >= m_buffers.size()) {
        return SimFile::fail(EINVAL);
    }
    if (m_options.multiplanar && (buffer.m.planes == nullptr || buffer.length < m_buffers[buffer.index].planes.size())) {
        return SimFile::fail(EINVAL);
    }
    describe(buffer.index, buffer);
    return 0;
}

int SimV4l2Capture::queueBuffer(File& file, v4l2_buffer* buffer) {
    const std::string name = "QBUF " + std::to_string(buffer->index);
    if (m_owner != &file) {
        return failWith(name, EBUSY);
    }
    if (m_queueError) {
        return failWith(name, EIO);
    }
    if (buffer->type != bufferType() || buffer->memory != V4L2_MEMORY_MMAP || buffer->index >= m_buffers.size()) {
        return failWith(name, EINVAL);
    }
    Buffer& b = m_buffers[buffer->index];
    if (m_options.multiplanar && (buffer->m.planes == nullptr || buffer->length < b.planes.size())) {
        return failWith(name, EINVAL);
    }
    if (b.state != BufferState::Dequeued) {
        return failWith(name, EINVAL);
    }
    b.state = BufferState::Queued;
    b.error = false;
    m_queued.push_back(buffer->index);
    describe(buffer->index, *buffer);
    log(name);
    return 0;
}

int SimV4l2Capture::dequeueBuffer(File& file, v4l2_buffer* buffer) {
    if (m_owner != &file) {
        return failWith("DQBUF", EBUSY);
    }
    if (buffer->type != bufferType() || buffer->memory != V4L2_MEMORY_MMAP) {
        return failWith("DQBUF", EINVAL);
    }
    if (m_options.multiplanar && buffer->m.planes == nullptr) {
        return failWith("DQBUF", EINVAL);
    }
    if (m_queueError) {
        return failWith("DQBUF", EIO);
    }
    if (!m_streaming) {
        return failWith("DQBUF", EINVAL);
    }
    if (m_done.empty()) {
        return SimFile::fail(EAGAIN); // not logged: pollers ask often
    }
    const uint32_t index = m_done.front();
    if (m_options.multiplanar && buffer->length < m_buffers[index].planes.size()) {
        return failWith("DQBUF", EINVAL);
    }
    m_done.pop_front();
    m_buffers[index].state = BufferState::Dequeued;
    describe(index, *buffer);
    log("DQBUF " + std::to_string(index));
    return 0;
}

int SimV4l2Capture::streamOn(File& file, const int* type) {
    if (m_owner != &file) {
        return failWith("STREAMON", EBUSY);
    }
    if (*type != static_cast<int>(bufferType()) || m_buffers.empty()) {
        return failWith("STREAMON", EINVAL);
    }
    m_streaming = true;
    log("STREAMON");
    return 0;
}

int SimV4l2Capture::streamOff(File& file, const int* type) {
    if (m_owner != nullptr && m_owner != &file) {
        return failWith("STREAMOFF", EBUSY);
    }
    if (*type != static_cast<int>(bufferType())) {
        return failWith("STREAMOFF", EINVAL);
    }
    stopStreaming();
    log("STREAMOFF");
    return 0;
}

void* SimV4l2Capture::map(size_t length, int protection, int flags, off_t offset) {
    std::lock_guard<std::mutex> lock(m_lock);
    const std::string name = "MMAP";
    int injected = 0;
    if (m_unplugged) {
        failWith(name, ENODEV);
        return MAP_FAILED;
    }
    if (takeInjected(MMAP_REQUEST, injected)) {
        failWith(name, injected);
        return MAP_FAILED;
    }
    if (!(flags & MAP_SHARED) || !(protection & PROT_READ)) {
        failWith(name, EINVAL);
        return MAP_FAILED;
    }
    const auto cookie = static_cast<uint64_t>(offset) >> OFFSET_SHIFT;
    const auto index = static_cast<uint32_t>(cookie / VIDEO_MAX_PLANES);
    const auto plane = static_cast<uint32_t>(cookie % VIDEO_MAX_PLANES);
    if ((static_cast<uint64_t>(offset) & ((1u << OFFSET_SHIFT) - 1)) != 0 || index >= m_buffers.size() ||
        plane >= m_buffers[index].planes.size() || length == 0 || length > m_buffers[index].planes[plane].memory->size()) {
        failWith(name, EINVAL);
        return MAP_FAILED;
    }
    const auto& memory = m_buffers[index].planes[plane].memory;
    void* address = memory->data();
    if (m_mappings.count(address)) {
        // The same buffer mapped twice: the kernel gives another address; one mapping each is all we need.
        failWith(name, EEXIST);
        return MAP_FAILED;
    }
    m_mappings[address] = {memory, index, plane};
    log(name + " " + std::to_string(index) + "." + std::to_string(plane));
    return address;
}

int SimV4l2Capture::unmap(void* address, size_t) {
    std::lock_guard<std::mutex> lock(m_lock);
    int injected = 0;
    if (takeInjected(MUNMAP_REQUEST, injected)) {
        return failWith("MUNMAP", injected);
    }
    auto it = m_mappings.find(address);
    if (it == m_mappings.end()) {
        return failWith("MUNMAP", EINVAL);
    }
    log("MUNMAP " + std::to_string(it->second.index) + "." + std::to_string(it->second.plane));
    m_mappings.erase(it);
    return 0;
}

short SimV4l2Capture::pollEvents(short events) const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_unplugged) {
        return POLLERR | POLLHUP | POLLPRI;
    }
    if (!m_streaming || m_queueError) {
        return POLLERR;
    }
    if (!m_done.empty()) {
        return static_cast<short>(events & (POLLIN | POLLRDNORM));
    }
    return 0;
}

} // namespace quelnor::test::mipisim
