#include "usbcam/CounterStream.h"

#include <algorithm>
#include <cstring>

namespace quelnor::test::usbcam {

namespace {

uint8_t byteAt(uint64_t position) {
    const uint32_t word = static_cast<uint32_t>(position / CounterStream::WORD);
    return static_cast<uint8_t>(word >> (8 * (position % CounterStream::WORD)));
}

// How many bytes the first buffer of a late-joined stream must match to fix its position.
constexpr size_t START_PROOF_BYTES = 64;

} // namespace

void CounterStream::fill(uint64_t start, uint8_t* out, size_t count) {
    size_t i = 0;
    for (; i < count && (start + i) % WORD != 0; ++i) {
        out[i] = byteAt(start + i);
    }
    for (; i + WORD <= count; i += WORD) {
        const uint32_t word = static_cast<uint32_t>((start + i) / WORD);
        std::memcpy(out + i, &word, WORD); // little-endian host
    }
    for (; i < count; ++i) {
        out[i] = byteAt(start + i);
    }
}

std::vector<uint8_t> CounterStream::bytes(uint64_t start, size_t count) {
    std::vector<uint8_t> out(count);
    fill(start, out.data(), count);
    return out;
}

CounterStreamChecker::CounterStreamChecker(uint64_t start) : m_started(true), m_start(start), m_position(start) {}

CounterStreamChecker::CounterStreamChecker() = default;

bool CounterStreamChecker::findStart(const uint8_t* data, size_t size) {
    for (size_t shift = 0; shift < CounterStream::WORD && shift + CounterStream::WORD <= size; ++shift) {
        uint32_t word;
        std::memcpy(&word, data + shift, CounterStream::WORD);
        const uint64_t candidate = static_cast<uint64_t>(word) * CounterStream::WORD;
        if (candidate < shift) {
            continue;
        }
        const uint64_t start = candidate - shift;
        const size_t proof = std::min(size, START_PROOF_BYTES);
        bool match = true;
        for (size_t i = 0; i < proof && match; ++i) {
            match = data[i] == byteAt(start + i);
        }
        if (match) {
            m_started = true;
            m_start = start;
            m_position = start;
            return true;
        }
    }
    m_error = "the first buffer (" + std::to_string(size) + " bytes) is no piece of the counter stream";
    return false;
}

bool CounterStreamChecker::check(const uint8_t* data, size_t size) {
    if (!m_error.empty()) {
        return false;
    }
    if (!m_started && size > 0 && !findStart(data, size)) {
        return false;
    }
    size_t i = 0;
    for (; i < size && (m_position + i) % CounterStream::WORD != 0; ++i) {
        if (data[i] != byteAt(m_position + i)) {
            break;
        }
    }
    if (i == size || (m_position + i) % CounterStream::WORD == 0) {
        for (; i + CounterStream::WORD <= size; i += CounterStream::WORD) {
            uint32_t word;
            std::memcpy(&word, data + i, CounterStream::WORD);
            if (word != static_cast<uint32_t>((m_position + i) / CounterStream::WORD)) {
                break;
            }
        }
        for (; i < size && data[i] == byteAt(m_position + i); ++i) {
        }
    }
    if (i < size) {
        m_error = "buffer " + std::to_string(m_buffers) + " (" + std::to_string(size) + " bytes) expected at stream position " +
                  std::to_string(m_position) + " differs at its byte " + std::to_string(i) + ": " +
                  std::to_string(data[i]) + " instead of " + std::to_string(byteAt(m_position + i));
        if (i + CounterStream::WORD <= size) {
            uint32_t word;
            std::memcpy(&word, data + i, CounterStream::WORD);
            m_error += " (the word there would be from near position " +
                       std::to_string(static_cast<uint64_t>(word) * CounterStream::WORD) + ")";
        }
        return false;
    }
    m_position += size;
    ++m_buffers;
    return true;
}

} // namespace quelnor::test::usbcam
