#include "interface/SystemDeviceIo.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quelnor {

int SystemDeviceIo::open(const std::string& path, int flags) { return ::open(path.c_str(), flags | O_CLOEXEC); }

int SystemDeviceIo::close(int fd) { return ::close(fd); }

int SystemDeviceIo::ioctl(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

void* SystemDeviceIo::mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    return ::mmap(address, length, protection, flags, fd, offset);
}

int SystemDeviceIo::munmap(void* address, size_t length) { return ::munmap(address, length); }

int SystemDeviceIo::poll(struct pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }

ssize_t SystemDeviceIo::read(int fd, void* data, size_t size) { return ::read(fd, data, size); }

ssize_t SystemDeviceIo::write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }

bool SystemDeviceIo::exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool SystemDeviceIo::isCharacterDevice(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

} // namespace quelnor
