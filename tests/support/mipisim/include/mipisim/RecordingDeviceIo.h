#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "QuelnorHal/interface/DeviceIo.h"

namespace quelnor::test {

// Passes every call on to another DeviceIo (the real system calls, or a simulation) and keeps what a
// V4L2 memory-mapped capture did through it: each buffer dequeued with a checksum of the bytes it held
// at that moment, how many buffers are still queued, the mappings still in place, whether it streams,
// and the files still open. For checking a capture against a real driver.
// Thread safe.
class RecordingDeviceIo : public DeviceIo {
public:
    struct Dequeued {
        uint32_t index;
        uint32_t sequence;
        uint32_t flags;
        size_t bytes;      // filled bytes (past each plane's data offset)
        uint64_t checksum; // of those bytes, planes one after the other
    };

    explicit RecordingDeviceIo(std::shared_ptr<DeviceIo> target);

    // FNV-1a 64 over bytes; continue from a previous result to cover several pieces.
    static uint64_t checksum(const uint8_t* data, size_t size, uint64_t seed = FNV_OFFSET);
    static constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;

    std::vector<Dequeued> dequeued() const;
    // Buffers handed to the driver and not yet taken back (QBUF minus DQBUF; STREAMOFF and REQBUFS reset).
    int queued() const;
    int mappings() const;
    int openFiles() const;
    bool streaming() const;
    // Successful V4L2 requests in order: "REQBUFS 4", "QBUF 0", "STREAMON", "DQBUF 0", "STREAMOFF", "REQBUFS 0".
    std::vector<std::string> requests() const;

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
    void recordDequeue(int fd, const void* argument);

    std::shared_ptr<DeviceIo> m_target;
    mutable std::mutex m_lock;
    std::map<std::pair<int, uint32_t>, std::vector<uint32_t>> m_offsets; // (fd, index) -> plane offsets
    std::map<std::pair<int, off_t>, const uint8_t*> m_mapped;            // (fd, offset) -> address
    std::map<const void*, size_t> m_mappings;
    std::vector<Dequeued> m_dequeued;
    std::vector<std::string> m_requests;
    int m_queued = 0;
    int m_openFiles = 0;
    bool m_streaming = false;
};

} // namespace quelnor::test
