#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

namespace quelnor {

// The device-file calls of the MIPI camera (V4L2 video and subdevice nodes, I2C nodes, sysfs PWM files).
// Each call behaves like the system call of its name: failures answer -1 (MAP_FAILED for mmap) and set errno.
// The library uses system(); tests hand in a simulated board instead.
// Implementations must allow calls from several threads at once (a capture worker polls while other
// threads reach the registers).
class DeviceIo {
public:
    virtual ~DeviceIo();

    // The real system calls; one object shared by the whole process.
    static std::shared_ptr<DeviceIo> system();

    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    // Interrupted calls are repeated.
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, size_t length) = 0;
    virtual int poll(struct pollfd* fds, nfds_t count, int timeoutMs) = 0;
    virtual ssize_t read(int fd, void* data, size_t size) = 0;
    virtual ssize_t write(int fd, const void* data, size_t size) = 0;

    // Whether anything exists at path (file, folder or device node).
    virtual bool exists(const std::string& path) = 0;
    // Whether path is a character device node (what V4L2 and I2C nodes are).
    virtual bool isCharacterDevice(const std::string& path) = 0;

protected:
    DeviceIo() = default;
};

} // namespace quelnor
