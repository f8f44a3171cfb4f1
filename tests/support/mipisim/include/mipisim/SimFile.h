#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace quelnor::test::mipisim {

// One open file of a simulated device node. Calls answer like the system calls: -1 (MAP_FAILED for mmap)
// with errno set on failure. The defaults refuse what a plain character device would refuse.
class SimFile {
public:
    virtual ~SimFile();

    virtual int ioctl(unsigned long request, void* argument);
    virtual void* mmap(size_t length, int protection, int flags, off_t offset);
    // For a mapping this file made; may come after release().
    virtual int munmap(void* address, size_t length);
    // The poll events ready now (POLLERR, POLLHUP and POLLNVAL whatever was asked for).
    virtual short poll(short events);
    virtual ssize_t read(void* data, size_t size);
    virtual ssize_t write(const void* data, size_t size);
    // The file is closed.
    virtual void release();

    // Sets errno and answers -1.
    static int fail(int error);
};

} // namespace quelnor::test::mipisim
