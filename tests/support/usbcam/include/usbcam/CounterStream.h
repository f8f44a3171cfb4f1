#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quelnor::test::usbcam {

// A test byte stream in which every byte tells where it stands: the little-endian 32-bit words
// 0, 1, 2, ... back to back. Whoever reads a piece of it can tell its position, so a reader checks
// that pieces arrive in order with nothing lost or doubled without keeping what was sent.
class CounterStream {
public:
    static constexpr size_t WORD = 4;

    // The bytes at stream positions [start, start + count).
    static void fill(uint64_t start, uint8_t* out, size_t count);
    static std::vector<uint8_t> bytes(uint64_t start, size_t count);
};

// Follows a stream of buffers that should be one piece of the counter stream.
class CounterStreamChecker {
public:
    // Expects the first buffer at `start`.
    explicit CounterStreamChecker(uint64_t start);
    // Takes the position of the first buffer from its content (for a stream joined late).
    CounterStreamChecker();

    // Whether the buffer continues the stream where the last one ended. After the first mismatch
    // every call answers false and error() says where it went wrong.
    bool check(const uint8_t* data, size_t size);

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    bool started() const { return m_started; }
    uint64_t start() const { return m_start; }
    // The stream position the next buffer should start at.
    uint64_t position() const { return m_position; }
    uint64_t buffers() const { return m_buffers; }

private:
    bool findStart(const uint8_t* data, size_t size);

    bool m_started = false;
    uint64_t m_start = 0;
    uint64_t m_position = 0;
    uint64_t m_buffers = 0;
    std::string m_error;
};

} // namespace quelnor::test::usbcam
