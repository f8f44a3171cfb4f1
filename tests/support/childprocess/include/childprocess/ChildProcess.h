#pragma once

// A program run as a child process: standard input, output and error on pipes, optionally inside a
// network namespace (a name under /var/run/netns, entered by the child before it starts the program).
// Link `quelnor_childprocess`, include "childprocess/ChildProcess.h".
//
//   quelnor::test::ChildProcess tool({.argv = {PROGRAM}, .netns = lab.ns("host")});
//   ASSERT_TRUE(tool.waitForOutput("Enter camera index"));
//   tool.write("1\n");
//   EXPECT_EQ(tool.waitForExit(), 0);
//   EXPECT_THAT(tool.output(), HasSubstr("applied successfully"));
//
// Threads: two reader threads gather the output; every member may be called from any thread.
// The child is killed (SIGKILL) when the object goes while it still runs.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quelnor::test {

struct ChildOptions {
    std::vector<std::string> argv; // argv[0] is the program's path
    std::string netns;             // network namespace to run in; empty: the caller's
    std::string workDir;           // empty: the caller's
    std::vector<std::string> env;  // "NAME=value" entries added to (or replacing in) the caller's environment
};

class ChildProcess {
public:
    static constexpr std::chrono::seconds DEFAULT_TIMEOUT{60};

    // Starts the program; throws std::runtime_error when it cannot.
    explicit ChildProcess(const ChildOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // Writes to the child's standard input; false when the child no longer reads it.
    bool write(const std::string& text);
    void closeInput();
    void sendSignal(int signal);

    // What the child printed so far.
    std::string output() const;
    std::string errors() const;
    // Waits until standard output holds `text` at least `count` times (counting from `from`, a
    // position in output()); false at the time-out or when the child ended without it.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = DEFAULT_TIMEOUT, size_t count = 1,
                       size_t from = 0);
    bool waitForErrors(const std::string& text, std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // The exit code (128 + n for a signal n), or nothing when the child still runs at the time-out.
    // Once it has the code it also waits for both pipes to reach their end, so output() and errors()
    // then hold everything the program printed. A pipe still open PIPE_DRAIN_BOUND after the exit (a
    // grandchild holding it) throws std::runtime_error saying so.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    bool running();

    // Occurrences of text in s from position from.
    static size_t countOf(const std::string& s, const std::string& text, size_t from = 0);

private:
    struct Stream {
        int fd = -1;
        std::string data;
        bool closed = false;
        std::thread reader;
    };

    void readLoop(Stream& stream);
    bool waitFor(const Stream& stream, const std::string& text, std::chrono::milliseconds timeout, size_t count,
                 size_t from);
    void reap(bool block);
    void waitForPipesClosed();

    pid_t m_pid = -1;
    int m_input = -1;
    std::optional<int> m_exitCode;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Stream m_out;
    Stream m_err;
};

} // namespace quelnor::test
