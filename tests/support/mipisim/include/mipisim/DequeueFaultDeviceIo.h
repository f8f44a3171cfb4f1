#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "QuelnorHal/interface/DeviceIo.h"

namespace quelnor::test::mipisim {

// Passes every call on to another DeviceIo (a simulated board, or the real system calls) and makes
// VIDIOC_DQBUF fail as some drivers do: the real request runs first, and whatever it dequeued, the
// answer is -1 with errno EIO (the buffer it filled in, index included, is left as the driver wrote
// it). It can also make poll answer "ready" at once, like a driver that keeps signalling POLLIN
// while it has nothing to give.
// Thread safe.
class DequeueFaultDeviceIo : public DeviceIo {
public:
    explicit DequeueFaultDeviceIo(std::shared_ptr<DeviceIo> target);

    // The next `count` VIDIOC_DQBUF requests that dequeue a buffer answer EIO after it; count < 0:
    // every VIDIOC_DQBUF from now on answers EIO, whether it dequeued anything or not.
    void failDequeues(int count);
    // Every poll answers POLLIN at once (without asking the target) while set.
    void setAlwaysReady(bool ready);

    // VIDIOC_DQBUF requests seen, and those answered with the injected EIO.
    size_t dequeueRequests() const;
    size_t failedDequeues() const;
    // Waits until at least count dequeue requests were seen, or the limit passed; true when they were.
    bool waitForDequeueRequests(size_t count, std::chrono::milliseconds limit);

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override;
    ssize_t read(int fd, void* data, size_t size) override;
    ssize_t write(int fd, const void* data, size_t size) override;
    bool exists(const std::string& path) override;
    bool isCharacterDevice(const std::string& path) override;

private:
    std::shared_ptr<DeviceIo> m_target;
    mutable std::mutex m_lock;
    std::condition_variable m_dequeueSeen;
    int m_faults = 0;
    bool m_alwaysReady = false;
    size_t m_dequeueRequests = 0;
    size_t m_failedDequeues = 0;
};

} // namespace quelnor::test::mipisim
