#include "mipisim/DequeueFaultDeviceIo.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <utility>

namespace quelnor::test::mipisim {

DequeueFaultDeviceIo::DequeueFaultDeviceIo(std::shared_ptr<DeviceIo> target) : m_target(std::move(target)) {}

void DequeueFaultDeviceIo::failDequeues(int count) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults = count;
}

void DequeueFaultDeviceIo::setAlwaysReady(bool ready) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_alwaysReady = ready;
}

size_t DequeueFaultDeviceIo::dequeueRequests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dequeueRequests;
}

size_t DequeueFaultDeviceIo::failedDequeues() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_failedDequeues;
}

bool DequeueFaultDeviceIo::waitForDequeueRequests(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_dequeueSeen.wait_for(lock, limit, [&] { return m_dequeueRequests >= count; });
}

int DequeueFaultDeviceIo::ioctl(int fd, unsigned long request, void* argument) {
    const int result = m_target->ioctl(fd, request, argument);
    if (request != VIDIOC_DQBUF) {
        return result;
    }
    const int error = errno;
    bool fail = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_dequeueRequests;
        if (m_faults < 0 || (m_faults > 0 && result == 0)) {
            fail = true;
            ++m_failedDequeues;
            if (m_faults > 0) {
                --m_faults;
            }
        }
    }
    m_dequeueSeen.notify_all();
    if (fail) {
        errno = EIO;
        return -1;
    }
    errno = error;
    return result;
}

int DequeueFaultDeviceIo::poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_alwaysReady) {
            for (nfds_t i = 0; i < count; ++i) {
                fds[i].revents = static_cast<short>(fds[i].events & (POLLIN | POLLRDNORM));
            }
            return static_cast<int>(count);
        }
    }
    return m_target->poll(fds, count, timeoutMs);
}

int DequeueFaultDeviceIo::open(const std::string& path, int flags) { return m_target->open(path, flags); }

int DequeueFaultDeviceIo::close(int fd) { return m_target->close(fd); }

void* DequeueFaultDeviceIo::mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    return m_target->mmap(address, length, protection, flags, fd, offset);
}

int DequeueFaultDeviceIo::munmap(void* address, size_t length) { return m_target->munmap(address, length); }

ssize_t DequeueFaultDeviceIo::read(int fd, void* data, size_t size) { return m_target->read(fd, data, size); }

ssize_t DequeueFaultDeviceIo::write(int fd, const void* data, size_t size) { return m_target->write(fd, data, size); }

bool DequeueFaultDeviceIo::exists(const std::string& path) { return m_target->exists(path); }

bool DequeueFaultDeviceIo::isCharacterDevice(const std::string& path) { return m_target->isCharacterDevice(path); }

} // namespace quelnor::test::mipisim
