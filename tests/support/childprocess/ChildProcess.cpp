#include "childprocess/ChildProcess.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace quelnor::test {

namespace {

constexpr const char* NETNS_DIR = "/var/run/netns/";
constexpr auto REAP_POLL = std::chrono::milliseconds(10);
// Generous: only a pipe some other process keeps open waits this long.
constexpr auto PIPE_DRAIN_BOUND = std::chrono::seconds(10);
constexpr int SIGNAL_EXIT_BASE = 128;
constexpr size_t READ_CHUNK = 4096;

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

} // namespace

ChildProcess::ChildProcess(const ChildOptions& options) {
    if (options.argv.empty()) {
        throw std::invalid_argument("ChildProcess: no program");
    }
    // A child that stops reading must not kill the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);

    // Everything the child needs is made before fork: between fork and exec only system calls.
    std::vector<std::string> arguments = options.argv;
    std::vector<char*> argv;
    for (std::string& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const std::string& extra : options.env) {
            replaced = replaced || nameOf(extra) == nameOf(*e);
        }
        if (!replaced) {
            environment.emplace_back(*e);
        }
    }
    environment.insert(environment.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp;
    for (std::string& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int netnsFd = -1;
    if (!options.netns.empty()) {
        const std::string path = NETNS_DIR + options.netns;
        netnsFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (netnsFd < 0) {
            throw std::runtime_error("ChildProcess: cannot open " + path + ": " + std::strerror(errno));
        }
    }
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("ChildProcess: pipe failed: ") + std::strerror(errno));
    }
    const char* workDir = options.workDir.empty() ? nullptr : options.workDir.c_str();
    m_pid = ::fork();
    if (m_pid < 0) {
        throw std::runtime_error(std::string("ChildProcess: fork failed: ") + std::strerror(errno));
    }
    if (m_pid == 0) {
        if (netnsFd >= 0 && ::setns(netnsFd, CLONE_NEWNET) != 0) {
            ::_exit(126);
        }
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        if (workDir != nullptr && ::chdir(workDir) != 0) {
            ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (netnsFd >= 0) {
        ::close(netnsFd);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_input = in[1];
    m_out.fd = out[0];
    m_err.fd = err[0];
    m_out.reader = std::thread([this] { readLoop(m_out); });
    m_err.reader = std::thread([this] { readLoop(m_err); });
}

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(m_pid, SIGKILL);
    }
    reap(true);
    closeInput();
    for (Stream* s : {&m_out, &m_err}) {
        if (s->reader.joinable()) {
            s->reader.join();
        }
        ::close(s->fd);
    }
}

void ChildProcess::readLoop(Stream& stream) {
    char buffer[READ_CHUNK];
    for (;;) {
        const ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (n <= 0) {
            stream.closed = true;
            m_changed.notify_all();
            return;
        }
        stream.data.append(buffer, static_cast<size_t>(n));
        m_changed.notify_all();
    }
}

bool ChildProcess::write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(m_input, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::closeInput() {
    if (m_input >= 0) {
        ::close(m_input);
        m_input = -1;
    }
}

void ChildProcess::sendSignal(int signal) {
    if (running()) {
        ::kill(m_pid, signal);
    }
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_out.data;
}

std::string ChildProcess::errors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_err.data;
}

size_t ChildProcess::countOf(const std::string& s, const std::string& text, size_t from) {
    size_t count = 0;
    for (size_t at = s.find(text, from); at != std::string::npos; at = s.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

bool ChildProcess::waitFor(const Stream& stream, const std::string& text, std::chrono::milliseconds timeout,
                           size_t count, size_t from) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return countOf(stream.data, text, from) >= count || stream.closed; }) &&
           countOf(stream.data, text, from) >= count;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t count,
                                 size_t from) {
    return waitFor(m_out, text, timeout, count, from);
}

bool ChildProcess::waitForErrors(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor(m_err, text, timeout, 1, 0);
}

void ChildProcess::reap(bool block) {
    if (m_exitCode || m_pid <= 0) {
        return;
    }
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, block ? 0 : WNOHANG);
    if (r == m_pid) {
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : SIGNAL_EXIT_BASE + WTERMSIG(status);
    }
}

bool ChildProcess::running() {
    std::lock_guard<std::mutex> lock(m_mutex);
    reap(false);
    return !m_exitCode;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::optional<int> code;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            reap(false);
            code = m_exitCode;
        }
        if (code) {
            waitForPipesClosed();
            return code;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(REAP_POLL);
    }
}

// The reader threads may still be draining the pipes when the child has been reaped.
void ChildProcess::waitForPipesClosed() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, PIPE_DRAIN_BOUND, [this] { return m_out.closed && m_err.closed; })) {
        throw std::runtime_error(std::string("ChildProcess: the program exited but its ") +
                                 (m_out.closed ? "standard error" : "standard output") + " was still open " +
                                 std::to_string(PIPE_DRAIN_BOUND.count()) +
                                 " s later (another process holds the pipe)");
    }
}

} // namespace quelnor::test
