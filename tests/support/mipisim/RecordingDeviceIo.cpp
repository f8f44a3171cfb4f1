#include "mipisim/RecordingDeviceIo.h"

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <utility>

namespace quelnor::test {

namespace {
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;

bool multiplanar(uint32_t type) { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }
} // namespace

RecordingDeviceIo::RecordingDeviceIo(std::shared_ptr<DeviceIo> target) : m_target(std::move(target)) {}

uint64_t RecordingDeviceIo::checksum(const uint8_t* data, size_t size, uint64_t seed) {
    uint64_t hash = seed;
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * FNV_PRIME;
    }
    return hash;
}

std::vector<RecordingDeviceIo::Dequeued> RecordingDeviceIo::dequeued() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dequeued;
}

int RecordingDeviceIo::queued() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_queued;
}

int RecordingDeviceIo::mappings() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<int>(m_mappings.size());
}

int RecordingDeviceIo::openFiles() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_openFiles;
}

bool RecordingDeviceIo::streaming() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_streaming;
}

std::vector<std::string> RecordingDeviceIo::requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

int RecordingDeviceIo::open(const std::string& path, int flags) {
    const int fd = m_target->open(path, flags);
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_openFiles;
    }
    return fd;
}

int RecordingDeviceIo::close(int fd) {
    const int result = m_target->close(fd);
    if (result == 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        --m_openFiles;
    }
    return result;
}

void RecordingDeviceIo::recordDequeue(int fd, const void* argument) {
    const auto* buffer = static_cast<const v4l2_buffer*>(argument);
    Dequeued entry{buffer->index, buffer->sequence, buffer->flags, 0, FNV_OFFSET};
    auto offsets = m_offsets.find({fd, buffer->index});
    const size_t planes = multiplanar(buffer->type) ? buffer->length : 1;
    for (size_t p = 0; offsets != m_offsets.end() && p < planes && p < offsets->second.size(); ++p) {
        auto mapped = m_mapped.find({fd, static_cast<off_t>(offsets->second[p])});
        if (mapped == m_mapped.end()) {
            continue;
        }
        uint32_t begin = 0;
        uint32_t end = buffer->bytesused;
        if (multiplanar(buffer->type)) {
            begin = buffer->m.planes[p].data_offset;
            end = buffer->m.planes[p].bytesused;
        }
        if (end > begin) {
            entry.checksum = checksum(mapped->second + begin, end - begin, entry.checksum);
            entry.bytes += end - begin;
        }
    }
    m_dequeued.push_back(entry);
}

int RecordingDeviceIo::ioctl(int fd, unsigned long request, void* argument) {
    const int result = m_target->ioctl(fd, request, argument);
    if (result != 0) {
        return result;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    switch (request) {
    case VIDIOC_REQBUFS:
        m_queued = 0;
        m_requests.push_back("REQBUFS " + std::to_string(static_cast<v4l2_requestbuffers*>(argument)->count));
        break;
    case VIDIOC_QUERYBUF: {
        const auto* buffer = static_cast<const v4l2_buffer*>(argument);
        std::vector<uint32_t> offsets;
        if (multiplanar(buffer->type)) {
            for (uint32_t p = 0; p < buffer->length; ++p) {
                offsets.push_back(buffer->m.planes[p].m.mem_offset);
            }
        } else {
            offsets.push_back(buffer->m.offset);
        }
        m_offsets[{fd, buffer->index}] = std::move(offsets);
        break;
    }
    case VIDIOC_QBUF:
        ++m_queued;
        m_requests.push_back("QBUF " + std::to_string(static_cast<v4l2_buffer*>(argument)->index));
        break;
    case VIDIOC_DQBUF:
        --m_queued;
        recordDequeue(fd, argument);
        m_requests.push_back("DQBUF " + std::to_string(static_cast<v4l2_buffer*>(argument)->index));
        break;
    case VIDIOC_STREAMON:
        m_streaming = true;
        m_requests.push_back("STREAMON");
        break;
    case VIDIOC_STREAMOFF:
        m_streaming = false;
        m_queued = 0;
        m_requests.push_back("STREAMOFF");
        break;
    default:
        break;
    }
    return result;
}

void* RecordingDeviceIo::mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    void* mapped = m_target->mmap(address, length, protection, flags, fd, offset);
    if (mapped != MAP_FAILED) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mapped[{fd, offset}] = static_cast<const uint8_t*>(mapped);
        m_mappings[mapped] = length;
    }
    return mapped;
}

int RecordingDeviceIo::munmap(void* address, size_t length) {
    const int result = m_target->munmap(address, length);
    if (result == 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mappings.erase(address);
        for (auto it = m_mapped.begin(); it != m_mapped.end();) {
            it = it->second == address ? m_mapped.erase(it) : std::next(it);
        }
    }
    return result;
}

int RecordingDeviceIo::poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    return m_target->poll(fds, count, timeoutMs);
}

ssize_t RecordingDeviceIo::read(int fd, void* data, size_t size) { return m_target->read(fd, data, size); }

ssize_t RecordingDeviceIo::write(int fd, const void* data, size_t size) { return m_target->write(fd, data, size); }

bool RecordingDeviceIo::exists(const std::string& path) { return m_target->exists(path); }

bool RecordingDeviceIo::isCharacterDevice(const std::string& path) { return m_target->isCharacterDevice(path); }

} // namespace quelnor::test
