#pragma once

// Private networks for tests, made of Linux network namespaces joined by veth pairs. Nothing is
// created in the machine's own namespace; everything is removed when the lab goes, by a signal
// handler when the process is interrupted (SIGINT, SIGTERM, SIGHUP), and labs left behind by killed
// test processes are removed by the next lab. Root only. Link `quelnor_netns`,
// include "netns/NetnsLab.h".
//
//   if (auto why = quelnor::test::netnsUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
//   quelnor::test::NetnsLab lab;
//   lab.addSegment("lan");                                // one Ethernet segment (a bridge)
//   lab.addHost("host");
//   lab.addHost("cam1");
//   lab.connect("host", "eth0", "lan", "192.0.2.1/24");
//   lab.connect("cam1", "eth0", "lan", "192.0.2.11/24");
//   // a simulator thread runs inside lab.ns("cam1") (EthCameraSimConfig::netns)
//   auto inside = lab.enter("host");                      // this thread now sees only the lab's adapters
//
// Threads started by a thread inside a namespace start there too. The lab's names carry a prefix
// made of the process id and a counter, so parallel test processes never meet.

#include <sys/types.h>

#include <string>
#include <vector>

namespace quelnor::test {

// Empty when namespaces can be made here; otherwise why not (not root, `ip netns` missing).
std::string netnsUnavailableReason();

// Moves the calling thread (and the threads it starts afterwards) into a new network namespace with
// only the loopback interface, up. Root only; false with the reason otherwise. The namespace goes
// away with the process.
bool isolateNetwork(std::string* reason = nullptr);

class NetnsLab {
public:
    NetnsLab();
    ~NetnsLab();
    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    const std::string& prefix() const { return m_prefix; }
    // Full namespace name of a host made by addHost.
    std::string ns(const std::string& host) const;

    // A namespace with loopback up.
    void addHost(const std::string& host);
    // An Ethernet segment: a bridge in a namespace of its own.
    void addSegment(const std::string& segment);
    // A veth from host (interface ifname, address cidr such as "192.0.2.1/24", broadcast address
    // set) to the segment, with a route for the limited broadcast 255.255.255.255 on the first one.
    void connect(const std::string& host, const std::string& ifname, const std::string& segment,
                 const std::string& cidr);
    // Replaces the addresses of ifname in host by cidr.
    void setAddress(const std::string& host, const std::string& ifname, const std::string& cidr);
    // Runs a shell command inside host's namespace; returns its exit status.
    int exec(const std::string& host, const std::string& command) const;
    // Starts a program inside host's namespace (stdout and stderr to logFile); stopped with SIGTERM
    // (then SIGKILL) by stopProcess or at the end.
    pid_t spawn(const std::string& host, const std::vector<std::string>& argv, const std::string& logFile);
    void stopProcess(pid_t pid);

    // While alive, the calling thread is inside host's namespace.
    class Inside {
    public:
        Inside(Inside&& other) noexcept;
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
        Inside& operator=(Inside&&) = delete;

    private:
        friend class NetnsLab;
        explicit Inside(int previousNamespace);
        int m_previous;
    };
    Inside enter(const std::string& host) const;

private:
    void run(const std::string& command) const;
    static void removeLeftovers();

    std::string m_prefix;
    std::vector<std::string> m_namespaces;
    std::vector<pid_t> m_processes;
    std::vector<std::string> m_connected; // hosts that already have a broadcast route
    int m_ports = 0;
};

} // namespace quelnor::test
