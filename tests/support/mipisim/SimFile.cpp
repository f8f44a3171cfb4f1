#include "mipisim/SimFile.h"

#include <sys/mman.h>

#include <cerrno>

namespace quelnor::test::mipisim {

SimFile::~SimFile() = default;

int SimFile::ioctl(unsigned long, void*) { return fail(ENOTTY); }

void* SimFile::mmap(size_t, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

int SimFile::munmap(void*, size_t) { return fail(EINVAL); }

short SimFile::poll(short events) { return static_cast<short>(events & (POLLIN | POLLOUT)); }

ssize_t SimFile::read(void*, size_t) { return fail(EINVAL); }

ssize_t SimFile::write(const void*, size_t) { return fail(EINVAL); }

void SimFile::release() {}

int SimFile::fail(int error) {
    errno = error;
    return -1;
}

} // namespace quelnor::test::mipisim
