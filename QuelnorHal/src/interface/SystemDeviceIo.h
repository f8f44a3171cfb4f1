#pragma once

#include "QuelnorHal/interface/DeviceIo.h"

namespace quelnor {

// DeviceIo over the real system calls.
class SystemDeviceIo : public DeviceIo {
public:
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
};

} // namespace quelnor
