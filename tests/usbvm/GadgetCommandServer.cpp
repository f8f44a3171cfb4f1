#include "GadgetCommandServer.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "evt3/Evt3RawFile.h"
#include "usbcam/CounterStream.h"

namespace quelnor::test::usbvm {

using usbcam::AnswerFault;
using usbcam::CounterStream;

namespace {

constexpr auto PLUG_LIMIT = std::chrono::seconds(60);
constexpr auto UNPLUG_LIMIT = std::chrono::seconds(10);
constexpr auto FEED_PAUSE = std::chrono::milliseconds(1);
constexpr int ACCEPT_POLL_MS = 200;
constexpr int LISTEN_BACKLOG = 8;
constexpr size_t READ_CHUNK = 4096;
// Bursts a recording is put in: exactly one transfer, several, pieces that leave the transfer
// open for the next one (every third), down to two bytes.
constexpr size_t RECORDING_BURSTS[] = {131072, 50000, 300000, 1000, 77777, 4096, 131071, 2};
constexpr size_t OPEN_BURST_PERIOD = 3;

const std::map<std::string, AnswerFault>& faultNames() {
    static const std::map<std::string, AnswerFault> names{
        {"silent", AnswerFault::Silent},
        {"late", AnswerFault::Late},
        {"short", AnswerFault::Short},
        {"command-failed", AnswerFault::CommandFailed},
        {"not-implemented", AnswerFault::NotImplemented},
        {"property-mismatch", AnswerFault::PropertyMismatch},
        {"size-mismatch", AnswerFault::SizeMismatch},
        {"wrong-device", AnswerFault::WrongDevice},
        {"wrong-address", AnswerFault::WrongAddress},
        {"missing-value", AnswerFault::MissingValue},
    };
    return names;
}

uint64_t parseNumber(const std::string& text) {
    size_t used = 0;
    const uint64_t value = std::stoull(text, &used, 0);
    if (used != text.size()) {
        throw std::invalid_argument("not a number: " + text);
    }
    return value;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

std::string hexNumber(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text << '\n';
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace

GadgetCommandServer::GadgetCommandServer(std::shared_ptr<usbcam::UsbCameraModel> model,
                                         usbcam::FunctionFsGadget& gadget, GadgetBinding binding,
                                         std::string socketPath, std::string info)
    : m_model(std::move(model)),
      m_gadget(gadget),
      m_binding(std::move(binding)),
      m_socketPath(std::move(socketPath)),
      m_info(std::move(info)) {}

GadgetCommandServer::~GadgetCommandServer() {
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        for (int fd : m_connectionFds) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (auto& t : m_connections) {
        t.join();
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& [endpoint, feeder] : m_feeders) {
        feeder->stop = true;
        feeder->thread.join();
    }
}

bool GadgetCommandServer::plug() {
    writeFile(m_binding.udcFile, m_binding.udc);
    return m_gadget.waitEnabled(PLUG_LIMIT);
}

void GadgetCommandServer::unplug() {
    writeFile(m_binding.udcFile, "");
    m_gadget.waitDisabled(UNPLUG_LIMIT);
}

void GadgetCommandServer::run() {
    // The file exists from bind() on, but connections are refused until listen(): bind under a
    // passing name and rename it into place, so a client that sees the file can connect.
    const std::string binding = m_socketPath + ".binding";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (binding.size() >= sizeof(address.sun_path)) {
        throw std::invalid_argument("socket path too long: " + binding);
    }
    std::memcpy(address.sun_path, binding.c_str(), binding.size() + 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    ::unlink(binding.c_str());
    ::unlink(m_socketPath.c_str());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 ||
        ::listen(listener, LISTEN_BACKLOG) < 0 || ::rename(binding.c_str(), m_socketPath.c_str()) < 0) {
        const int error = errno;
        ::close(listener);
        ::unlink(binding.c_str());
        throw std::system_error(error, std::generic_category(), "listen on " + m_socketPath);
    }
    while (!m_stop) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, ACCEPT_POLL_MS) <= 0) {
            continue;
        }
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_connectionLock);
        m_connectionFds.push_back(fd);
        m_connections.emplace_back([this, fd] { serve(fd); });
    }
    ::close(listener);
    ::unlink(m_socketPath.c_str());
}

void GadgetCommandServer::serve(int fd) {
    std::string pending;
    bool open = true;
    while (open && !m_stop) {
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string reply = handle(pending.substr(0, end)) + "\n";
            pending.erase(0, end + 1);
            if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
                open = false;
                break;
            }
        }
        if (!open) {
            break;
        }
        char chunk[READ_CHUNK];
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(chunk, static_cast<size_t>(n));
    }
    std::lock_guard<std::mutex> lock(m_connectionLock);
    m_connectionFds.erase(std::remove(m_connectionFds.begin(), m_connectionFds.end(), fd), m_connectionFds.end());
    ::close(fd);
}

std::string GadgetCommandServer::handle(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    if (words.empty()) {
        return "error empty request";
    }
    const std::string& verb = words[0];
    auto arg = [&](size_t i) -> const std::string& {
        if (i >= words.size()) {
            throw std::invalid_argument(verb + ": argument " + std::to_string(i) + " missing");
        }
        return words[i];
    };
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        if (verb == "info") {
            return "ok " + m_info;
        }
        if (verb == "set-register") {
            m_model->setRegister(static_cast<uint32_t>(parseNumber(arg(1))), static_cast<uint32_t>(parseNumber(arg(2))));
            return "ok";
        }
        if (verb == "register") {
            return "ok " + hexNumber(m_model->registerValue(static_cast<uint32_t>(parseNumber(arg(1)))));
        }
        if (verb == "board") {
            return "ok " + hex(m_model->boardRegister(static_cast<uint16_t>(parseNumber(arg(1)))));
        }
        if (verb == "calibration") {
            return "ok " + hex(m_model->calibration());
        }
        if (verb == "fault") {
            auto fault = faultNames().find(arg(1));
            if (fault == faultNames().end()) {
                return "error unknown fault " + arg(1);
            }
            m_model->injectAnswerFault(fault->second, words.size() > 2 ? static_cast<int>(parseNumber(arg(2))) : 1);
            return "ok";
        }
        if (verb == "release-late") {
            m_model->releaseLateAnswers();
            return "ok";
        }
        if (verb == "commands") {
            return "ok " + std::to_string(m_model->commands().size());
        }
        if (verb == "stream-file") {
            return "ok " + streamFile(static_cast<uint8_t>(parseNumber(arg(1))), arg(2));
        }
        if (verb == "stream-counter") {
            const std::string& mode = arg(5);
            if (mode != "open" && mode != "end") {
                return "error stream-counter mode must be open or end";
            }
            const size_t chunk = static_cast<size_t>(parseNumber(arg(4)));
            if (chunk == 0) {
                return "error stream-counter chunk must not be 0";
            }
            streamCounter(static_cast<uint8_t>(parseNumber(arg(1))), parseNumber(arg(2)), parseNumber(arg(3)), chunk,
                          mode == "end");
            return "ok";
        }
        if (verb == "stream-status") {
            const uint8_t endpoint = static_cast<uint8_t>(parseNumber(arg(1)));
            auto feeder = m_feeders.find(endpoint);
            const bool feeding = feeder != m_feeders.end() && feeder->second->running;
            const uint64_t fed = feeder != m_feeders.end() ? feeder->second->fed.load() : 0;
            return "ok fed=" + std::to_string(fed) + " pending=" + std::to_string(m_model->pendingStreamBytes(endpoint)) +
                   " feeding=" + (feeding ? "1" : "0") + " idle=" + (m_gadget.streamIdle(endpoint) ? "1" : "0");
        }
        if (verb == "stream-stop") {
            const uint8_t endpoint = static_cast<uint8_t>(parseNumber(arg(1)));
            stopFeeder(endpoint);
            m_gadget.dropStreamData(endpoint);
            return "ok";
        }
        if (verb == "unplug") {
            unplug();
            return "ok";
        }
        if (verb == "plug") {
            return plug() ? "ok" : "error the host did not configure the gadget";
        }
        if (verb == "quit") {
            m_stop = true;
            return "ok";
        }
        return "error unknown request " + verb;
    } catch (const std::exception& e) {
        return std::string("error ") + e.what();
    }
}

std::string GadgetCommandServer::streamFile(uint8_t endpoint, const std::string& path) {
    const std::vector<uint8_t> data = loadEvt3RawFile(path).data;
    size_t offset = 0;
    for (size_t i = 0; offset < data.size(); ++i) {
        const size_t n = std::min(RECORDING_BURSTS[i % std::size(RECORDING_BURSTS)], data.size() - offset);
        const bool last = offset + n == data.size();
        m_model->streamData(endpoint,
                            std::vector<uint8_t>(data.begin() + static_cast<long>(offset),
                                                 data.begin() + static_cast<long>(offset + n)),
                            last || i % OPEN_BURST_PERIOD != 1);
        offset += n;
    }
    return std::to_string(data.size());
}

void GadgetCommandServer::stopFeeder(uint8_t endpoint) {
    auto it = m_feeders.find(endpoint);
    if (it == m_feeders.end()) {
        return;
    }
    it->second->stop = true;
    it->second->thread.join();
    m_feeders.erase(it);
}

void GadgetCommandServer::streamCounter(uint8_t endpoint, uint64_t start, uint64_t bytes, size_t chunk,
                                        bool endEachChunk) {
    stopFeeder(endpoint);
    auto feeder = std::make_unique<Feeder>();
    Feeder* f = feeder.get();
    f->thread = std::thread([this, f, endpoint, start, bytes, chunk, endEachChunk] {
        uint64_t position = start;
        const uint64_t end = start + bytes;
        while (position < end && !f->stop) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, end - position));
            const bool last = position + n == end;
            m_model->streamData(endpoint, CounterStream::bytes(position, n), endEachChunk || last);
            position += n;
            f->fed = position - start;
            while (!f->stop && m_model->pendingStreamBytes(endpoint) > FEED_AHEAD_BYTES) {
                std::this_thread::sleep_for(FEED_PAUSE);
            }
        }
        f->running = false;
    });
    m_feeders[endpoint] = std::move(feeder);
}

} // namespace quelnor::test::usbvm
