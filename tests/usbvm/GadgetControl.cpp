#include "GadgetControl.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace quelnor::test::usbvm {

namespace {

constexpr const char* OK_PREFIX = "ok";
constexpr const char* ERROR_PREFIX = "error ";
constexpr size_t READ_CHUNK = 4096;

} // namespace

GadgetControl::GadgetControl(const std::string& socketPath) {
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path)) {
        ::close(m_fd);
        throw std::invalid_argument("socket path too long: " + socketPath);
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
        const int error = errno;
        ::close(m_fd);
        throw std::system_error(error, std::generic_category(), "connect " + socketPath);
    }
}

GadgetControl::~GadgetControl() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::string GadgetControl::request(const std::string& line) {
    const std::string out = line + "\n";
    size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(m_fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "send to the gadget");
        }
        sent += static_cast<size_t>(n);
    }
    size_t end;
    while ((end = m_pending.find('\n')) == std::string::npos) {
        char chunk[READ_CHUNK];
        const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("the gadget closed its control socket during: " + line);
        }
        m_pending.append(chunk, static_cast<size_t>(n));
    }
    std::string reply = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    if (reply == OK_PREFIX) {
        return {};
    }
    if (reply.rfind(std::string(OK_PREFIX) + " ", 0) == 0) {
        return reply.substr(std::strlen(OK_PREFIX) + 1);
    }
    if (reply.rfind(ERROR_PREFIX, 0) == 0) {
        throw std::runtime_error("gadget: " + reply.substr(std::strlen(ERROR_PREFIX)) + " (" + line + ")");
    }
    throw std::runtime_error("gadget: unreadable reply '" + reply + "' to " + line);
}

std::map<std::string, std::string> GadgetControl::fields(const std::string& line) {
    std::map<std::string, std::string> out;
    std::istringstream words(request(line));
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) {
            out[word.substr(0, eq)] = word.substr(eq + 1);
        }
    }
    return out;
}

uint64_t GadgetControl::number(const std::string& text) { return std::stoull(text, nullptr, 0); }

std::vector<std::string> GadgetControl::sockets() {
    std::vector<std::string> out;
    const char* value = std::getenv(SOCKETS_VARIABLE);
    if (!value) {
        return out;
    }
    std::string all(value);
    size_t start = 0;
    while (start <= all.size()) {
        size_t colon = all.find(':', start);
        if (colon == std::string::npos) {
            colon = all.size();
        }
        if (colon > start) {
            out.push_back(all.substr(start, colon - start));
        }
        start = colon + 1;
    }
    return out;
}

} // namespace quelnor::test::usbvm
