#pragma once

// Shared pieces of the fuzz targets: reading the fuzzer's bytes, failing a check, a scratch directory
// and a quiet logger.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QuelnorBase/Logger.h"

namespace quelnor::fuzz {

// Takes numbers from the front of the input; what is left is the data. Past the end it gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data(data), size(size) {}

    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() {
        const uint16_t low = u8();
        return static_cast<uint16_t>(low | (u8() << 8));
    }
    uint32_t u32() {
        const uint32_t low = u16();
        return low | (static_cast<uint32_t>(u16()) << 16);
    }
    uint64_t u64() {
        const uint64_t low = u32();
        return low | (static_cast<uint64_t>(u32()) << 32);
    }
    const uint8_t* rest() const { return data + pos; }
    size_t restSize() const { return size - pos; }
    std::vector<uint8_t> restBytes() const { return std::vector<uint8_t>(rest(), rest() + restSize()); }

private:
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

// A broken invariant is a finding: say which and stop, so the fuzzer keeps the input.
[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "FUZZ CHECK FAILED at %s:%d: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition)                                             \
    do {                                                                  \
        if (!(condition)) {                                               \
            ::quelnor::fuzz::fail(__FILE__, __LINE__, #condition);        \
        }                                                                 \
    } while (0)

// Logging every refused input would slow the run down to the console's pace. QUELNOR_FUZZ_LOG=1 keeps
// the log, for looking into one input.
inline void quietLogger() {
    static const bool quiet = [] {
        const char* keep = std::getenv("QUELNOR_FUZZ_LOG");
        if (keep == nullptr || *keep == '\0' || *keep == '0') {
            Logger::Instance().setLogLevel(LOG_CRITICAL);
        }
        return true;
    }();
    (void)quiet;
}

// A directory of the process's own, in memory when /dev/shm is there, removed at exit (not after a
// crash).
class ScratchDir {
public:
    ScratchDir() {
        // QUELNOR_FUZZ_TMP: where a runner wants it (one that cleans up after a crashed target).
        const char* chosen = std::getenv("QUELNOR_FUZZ_TMP");
        const std::filesystem::path base = chosen != nullptr && *chosen != '\0' ? std::filesystem::path(chosen)
                                           : std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "quelnor-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (dir / name).string(); }

private:
    std::filesystem::path dir;
};

inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace quelnor::fuzz
