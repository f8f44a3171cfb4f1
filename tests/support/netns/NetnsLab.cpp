#include "netns/NetnsLab.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quelnor::test {

namespace {

constexpr const char* NAME_TAG = "qn";
constexpr const char* NETNS_DIR = "/var/run/netns/";
constexpr const char* BRIDGE = "br0";
constexpr auto STOP_GRACE = std::chrono::seconds(3);

std::atomic<int> labCounter{0};

// What a test process killed by SIGINT, SIGTERM or SIGHUP leaves behind is removed by its signal
// handler (the trap); SIGKILL leaves it to the next lab's sweep. Fixed-size tables: the handler may
// only use async-signal-safe calls.
constexpr int MAX_TRACKED = 64;
constexpr size_t TRACKED_NAME = 64;
char trackedNamespaces[MAX_TRACKED][TRACKED_NAME];
std::atomic<int> trackedNamespaceCount{0};
std::atomic<pid_t> trackedProcesses[MAX_TRACKED];
std::atomic<int> trackedProcessCount{0};
std::once_flag trapOnce;

void removeOnSignal(int signal) {
    for (int i = 0; i < trackedProcessCount.load() && i < MAX_TRACKED; ++i) {
        const pid_t pid = trackedProcesses[i].load();
        if (pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }
    for (int i = 0; i < trackedNamespaceCount.load() && i < MAX_TRACKED; ++i) {
        if (trackedNamespaces[i][0] == '\0') {
            continue;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            char ip[] = "ip";
            char netns[] = "netns";
            char del[] = "del";
            char* args[] = {ip, netns, del, trackedNamespaces[i], nullptr};
            char* noEnvironment[] = {nullptr};
            ::execve("/usr/sbin/ip", args, noEnvironment);
            ::execve("/sbin/ip", args, noEnvironment);
            ::execve("/usr/bin/ip", args, noEnvironment);
            ::_exit(127);
        }
        if (child > 0) {
            ::waitpid(child, nullptr, 0);
        }
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void installTrap() {
    std::call_once(trapOnce, [] {
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction current;
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
                struct sigaction action;
                std::memset(&action, 0, sizeof action);
                action.sa_handler = removeOnSignal;
                ::sigaction(signal, &action, nullptr);
            }
        }
    });
}

void trackNamespace(const std::string& name) {
    const int slot = trackedNamespaceCount.load();
    if (slot < MAX_TRACKED && name.size() < TRACKED_NAME) {
        std::memcpy(trackedNamespaces[slot], name.c_str(), name.size() + 1);
        trackedNamespaceCount.store(slot + 1);
    }
}

void untrackNamespace(const std::string& name) {
    for (int i = 0; i < trackedNamespaceCount.load(); ++i) {
        if (name == trackedNamespaces[i]) {
            trackedNamespaces[i][0] = '\0';
        }
    }
}

void trackProcess(pid_t pid) {
    const int slot = trackedProcessCount.load();
    if (slot < MAX_TRACKED) {
        trackedProcesses[slot].store(pid);
        trackedProcessCount.store(slot + 1);
    }
}

void untrackProcess(pid_t pid) {
    for (int i = 0; i < trackedProcessCount.load(); ++i) {
        if (trackedProcesses[i].load() == pid) {
            trackedProcesses[i].store(0);
        }
    }
}

struct CommandResult {
    int status;
    std::string output;
};

CommandResult capture(const std::string& command) {
    CommandResult result{-1, {}};
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        result.output += buffer;
    }
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string quoteForShell(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool bringLoopbackUp() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return ok;
}

void killProcessesIn(const std::string& ns) { capture("ip netns pids " + ns + " | xargs -r kill -9"); }

} // namespace

std::string netnsUnavailableReason() {
    static std::once_flag once;
    static std::string reason;
    std::call_once(once, [] {
        if (::geteuid() != 0) {
            reason = "network namespace tests need root (they make namespaces and veth pairs)";
            return;
        }
        if (capture("ip netns list").status != 0) {
            reason = "`ip netns` is not available (install iproute2)";
            return;
        }
        const std::string probe = std::string(NAME_TAG) + std::to_string(::getpid()) + "probe";
        CommandResult made = capture("ip netns add " + probe);
        capture("ip netns del " + probe);
        if (made.status != 0) {
            reason = "cannot make a network namespace here: " + made.output;
        }
    });
    return reason;
}

bool isolateNetwork(std::string* reason) {
    auto fail = [reason](const std::string& why) {
        if (reason != nullptr) {
            *reason = why;
        }
        return false;
    };
    if (::geteuid() != 0) {
        return fail("a private network namespace needs root");
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        return fail(std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno));
    }
    if (!bringLoopbackUp()) {
        return fail("cannot bring the loopback interface up in the new namespace");
    }
    return true;
}

NetnsLab::NetnsLab() {
    installTrap();
    removeLeftovers();
    m_prefix = std::string(NAME_TAG) + std::to_string(::getpid()) + "x" + std::to_string(labCounter.fetch_add(1));
}

NetnsLab::~NetnsLab() {
    for (pid_t pid : std::vector<pid_t>(m_processes)) {
        stopProcess(pid);
    }
    for (const std::string& name : m_namespaces) {
        killProcessesIn(name);
        capture("ip netns del " + name);
        untrackNamespace(name);
    }
}

void NetnsLab::removeLeftovers() {
    // Names are "qn<pid>x<n>-...": a lab whose process is gone was killed before it could clean up.
    std::istringstream lines(capture("ip netns list").output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.rfind(NAME_TAG, 0) != 0) {
            continue;
        }
        const size_t x = name.find('x');
        const size_t dash = name.find('-');
        if (x == std::string::npos || dash == std::string::npos || x > dash) {
            continue;
        }
        const std::string digits = name.substr(2, x - 2);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t owner = static_cast<pid_t>(std::stol(digits));
        if (::kill(owner, 0) != 0 && errno == ESRCH) {
            killProcessesIn(name);
            capture("ip netns del " + name);
        }
    }
}

std::string NetnsLab::ns(const std::string& host) const { return m_prefix + "-" + host; }

void NetnsLab::run(const std::string& command) const {
    CommandResult r = capture(command);
    if (r.status != 0) {
        throw std::runtime_error("NetnsLab: '" + command + "' failed: " + r.output);
    }
}

void NetnsLab::addHost(const std::string& host) {
    const std::string name = ns(host);
    run("ip netns add " + name);
    m_namespaces.push_back(name);
    trackNamespace(name);
    run("ip -n " + name + " link set lo up");
}

void NetnsLab::addSegment(const std::string& segment) {
    const std::string name = ns("sw-" + segment);
    run("ip netns add " + name);
    m_namespaces.push_back(name);
    trackNamespace(name);
    run("ip -n " + name + " link set lo up");
    run("ip -n " + name + " link add " + BRIDGE + " type bridge");
    run("ip -n " + name + " link set " + BRIDGE + " up");
}

void NetnsLab::connect(const std::string& host, const std::string& ifname, const std::string& segment,
                       const std::string& cidr) {
    const std::string hostNs = ns(host);
    const std::string switchNs = ns("sw-" + segment);
    const std::string port = "p" + std::to_string(++m_ports);
    // Both ends are made directly inside their namespaces: nothing appears in the machine's own.
    run("ip link add " + ifname + " netns " + hostNs + " type veth peer name " + port + " netns " + switchNs);
    run("ip -n " + switchNs + " link set " + port + " master " + BRIDGE + " up");
    run("ip -n " + hostNs + " link set " + ifname + " up");
    run("ip -n " + hostNs + " addr add " + cidr + " broadcast + dev " + ifname);
    bool first = true;
    for (const std::string& h : m_connected) {
        first = first && h != host;
    }
    if (first) {
        // Without it a socket not bound to an adapter address cannot send to 255.255.255.255.
        run("ip -n " + hostNs + " route add 255.255.255.255/32 dev " + ifname);
        m_connected.push_back(host);
    }
}

void NetnsLab::setAddress(const std::string& host, const std::string& ifname, const std::string& cidr) {
    const std::string hostNs = ns(host);
    run("ip -n " + hostNs + " addr flush dev " + ifname);
    run("ip -n " + hostNs + " addr add " + cidr + " broadcast + dev " + ifname);
    run("ip -n " + hostNs + " route replace 255.255.255.255/32 dev " + ifname);
}

int NetnsLab::exec(const std::string& host, const std::string& command) const {
    return capture("ip netns exec " + ns(host) + " sh -c " + quoteForShell(command)).status;
}

pid_t NetnsLab::spawn(const std::string& host, const std::vector<std::string>& argv, const std::string& logFile) {
    std::vector<std::string> all = {"ip", "netns", "exec", ns(host)};
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : all) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("NetnsLab: fork failed: ") + std::strerror(errno));
    }
    if (pid == 0) {
        int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        ::execvp("ip", args.data());
        ::_exit(127);
    }
    m_processes.push_back(pid);
    trackProcess(pid);
    return pid;
}

void NetnsLab::stopProcess(pid_t pid) {
    bool known = false;
    for (auto it = m_processes.begin(); it != m_processes.end(); ++it) {
        if (*it == pid) {
            m_processes.erase(it);
            known = true;
            break;
        }
    }
    if (!known) {
        return;
    }
    untrackProcess(pid);
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + STOP_GRACE;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

NetnsLab::Inside NetnsLab::enter(const std::string& host) const {
    int previous = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (previous < 0) {
        throw std::runtime_error(std::string("NetnsLab: cannot open the current namespace: ") + std::strerror(errno));
    }
    const std::string path = NETNS_DIR + ns(host);
    int target = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0 || ::setns(target, CLONE_NEWNET) != 0) {
        const int e = errno;
        if (target >= 0) {
            ::close(target);
        }
        ::close(previous);
        throw std::runtime_error("NetnsLab: cannot enter " + path + ": " + std::strerror(e));
    }
    ::close(target);
    return Inside(previous);
}

NetnsLab::Inside::Inside(int previousNamespace) : m_previous(previousNamespace) {}

NetnsLab::Inside::Inside(Inside&& other) noexcept : m_previous(other.m_previous) { other.m_previous = -1; }

NetnsLab::Inside::~Inside() {
    if (m_previous >= 0) {
        ::setns(m_previous, CLONE_NEWNET);
        ::close(m_previous);
    }
}

} // namespace quelnor::test
