#pragma once

// Where the sample programs were built, and how the tests start them.

#include <sys/syscall.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "childprocess/ChildProcess.h"

namespace quelnor::test {

constexpr const char* VIEWER_PROGRAM = QUELNOR_VIEWER_PROGRAM;
constexpr const char* WRITE_PARAMS_PROGRAM = QUELNOR_WRITE_PARAMS_PROGRAM;
constexpr const char* IP_CONFIG_PROGRAM = QUELNOR_IP_CONFIG_PROGRAM;
constexpr const char* FIRMWARE_PROGRAM = QUELNOR_FIRMWARE_PROGRAM;
constexpr const char* RESET_LOADER_PROGRAM = QUELNOR_RESET_LOADER_PROGRAM;

// Generous: sanitizer builds are many times slower, and the machine is shared.
constexpr std::chrono::seconds PROGRAM_TIMEOUT{120};

// A program's standard output without the logger's lines ("[hh:mm:ss.mmm] [level] text\n"), which
// the library threads may write between (or right after a prompt of) the program's own texts.
inline std::string withoutLogLines(const std::string& out) {
    const auto isStamp = [&out](size_t at) {
        static const char pattern[] = "[dd:dd:dd.ddd] [";
        for (size_t i = 0; pattern[i] != '\0'; ++i) {
            const char c = at + i < out.size() ? out[at + i] : '\0';
            if (pattern[i] == 'd' ? (c < '0' || c > '9') : c != pattern[i]) {
                return false;
            }
        }
        return true;
    };
    std::string text;
    for (size_t at = 0; at < out.size();) {
        if (isStamp(at)) {
            const size_t end = out.find('\n', at);
            at = end == std::string::npos ? out.size() : end + 1;
            continue;
        }
        text += out[at++];
    }
    return text;
}

// Waits until the child's output and errors are read to their end: right after the child exits,
// part of what it wrote may still be on its way through the pipes.
inline void drainOutput(ChildProcess& child) {
    constexpr const char* NEVER_PRINTED = "\x01\x02 end of output \x02\x01";
    child.waitForOutput(NEVER_PRINTED, PROGRAM_TIMEOUT);
    child.waitForErrors(NEVER_PRINTED, PROGRAM_TIMEOUT);
}

// Waits until the child's main thread sits in a read of its standard input (as /proc shows a thread
// blocked in a system call); false when the child ends first or the time is up.
inline bool waitUntilReadingInput(ChildProcess& child, std::chrono::milliseconds timeout = PROGRAM_TIMEOUT) {
    constexpr std::chrono::milliseconds POLL{10};
    const std::string wanted = std::to_string(__NR_read) + " 0x0 ";
    const std::string path = "/proc/" + std::to_string(child.pid()) + "/syscall";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (child.running() && std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        std::string line;
        if (std::getline(in, line) && line.rfind(wanted, 0) == 0) {
            return true;
        }
        std::this_thread::sleep_for(POLL);
    }
    return false;
}

inline ChildOptions programIn(const std::string& netns, std::vector<std::string> argv) {
    ChildOptions options;
    options.argv = std::move(argv);
    options.netns = netns;
    return options;
}

} // namespace quelnor::test
