#include "mipisim/SimPwmChip.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace quelnor::test::mipisim {

namespace {

// A decimal number as the kernel's kstrto* takes it: digits, one trailing newline allowed.
bool parseNumber(std::string text, uint64_t& value) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoull(text);
    return true;
}

std::string trimmed(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

} // namespace

SimPwmChip::SimPwmChip(std::string root, unsigned channels)
    : m_root(std::move(root)), m_count(channels), m_channels(channels) {
    std::filesystem::create_directories(m_root);
    writeFile(m_root + "/export", "");
    writeFile(m_root + "/unexport", "");
    writeFile(m_root + "/npwm", std::to_string(channels) + "\n");
}

void SimPwmChip::setExportDelay(int checks) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_exportDelay = checks;
}

void SimPwmChip::exportNow(unsigned n, const Channel& state) {
    if (n >= m_count) {
        throw std::out_of_range("no such PWM channel");
    }
    std::lock_guard<std::mutex> lock(m_lock);
    createChannel(n);
    m_channels.at(n) = state;
    m_channels[n].exported = true;
    mirror(n);
}

void SimPwmChip::failWrites(const std::string& relativePath, int error) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures[relativePath] = error;
}

SimPwmChip::Channel SimPwmChip::channel(unsigned n) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_channels.at(n);
}

std::vector<std::string> SimPwmChip::writes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_writes;
}

int SimPwmChip::existenceChecks() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_existenceChecks;
}

bool SimPwmChip::owns(const std::string& path) const {
    return path == m_root || path.rfind(m_root + "/", 0) == 0;
}

std::string SimPwmChip::channelDir(unsigned n) const { return m_root + "/pwm" + std::to_string(n); }

void SimPwmChip::noteExistenceCheck(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_existenceChecks;
    for (auto it = m_pendingExports.begin(); it != m_pendingExports.end(); ++it) {
        if (path != channelDir(it->first)) {
            continue;
        }
        if (it->second == 0) {
            createChannel(it->first);
            m_pendingExports.erase(it);
        } else if (it->second > 0) {
            --it->second;
        }
        return;
    }
}

void SimPwmChip::createChannel(unsigned n) {
    m_channels[n] = Channel{};
    m_channels[n].exported = true;
    std::filesystem::create_directories(channelDir(n));
    mirror(n);
}

void SimPwmChip::mirror(unsigned n) const {
    const Channel& c = m_channels[n];
    const std::string dir = channelDir(n);
    writeFile(dir + "/enable", c.enabled ? "1\n" : "0\n");
    writeFile(dir + "/period", std::to_string(c.periodNs) + "\n");
    writeFile(dir + "/duty_cycle", std::to_string(c.dutyCycleNs) + "\n");
    writeFile(dir + "/polarity", c.polarity + "\n");
}

int SimPwmChip::write(const std::string& path, const std::string& text) {
    if (!owns(path) || path == m_root) {
        return EINVAL;
    }
    const std::string relative = path.substr(m_root.size() + 1);
    std::lock_guard<std::mutex> lock(m_lock);
    const int error = apply(relative, text);
    m_writes.push_back(relative + " " + trimmed(text) + (error ? std::string(" -> ") + strerrorname_np(error) : ""));
    return error;
}

int SimPwmChip::apply(const std::string& relative, const std::string& text) {
    auto failure = m_failures.find(relative);
    if (failure != m_failures.end()) {
        return failure->second;
    }
    uint64_t number = 0;
    if (relative == "export") {
        if (!parseNumber(text, number)) {
            return EINVAL;
        }
        if (number >= m_count) {
            return ENODEV;
        }
        const auto n = static_cast<unsigned>(number);
        if (m_channels[n].exported || m_pendingExports.count(n)) {
            return EBUSY;
        }
        if (m_exportDelay == 0) {
            createChannel(n);
        } else {
            m_pendingExports[n] = m_exportDelay;
        }
        return 0;
    }
    if (relative.rfind("pwm", 0) != 0 || relative.find('/') == std::string::npos) {
        return EACCES; // npwm, unexport and anything else: not written by the library
    }
    const std::string channelText = relative.substr(3, relative.find('/') - 3);
    const std::string attribute = relative.substr(relative.find('/') + 1);
    uint64_t n = 0;
    if (!parseNumber(channelText, n) || n >= m_count || !m_channels[n].exported) {
        return ENOENT;
    }
    Channel& c = m_channels[n];
    if (attribute == "enable") {
        if (!parseNumber(text, number) || number > 1) {
            return EINVAL;
        }
        if (number == 1 && c.periodNs == 0) {
            return EINVAL;
        }
        c.enabled = number == 1;
    } else if (attribute == "period") {
        if (!parseNumber(text, number) || number == 0 || number < c.dutyCycleNs) {
            return EINVAL;
        }
        c.periodNs = number;
    } else if (attribute == "duty_cycle") {
        if (!parseNumber(text, number) || c.periodNs == 0 || number > c.periodNs) {
            return EINVAL;
        }
        c.dutyCycleNs = number;
    } else if (attribute == "polarity") {
        const std::string polarity = trimmed(text);
        if (polarity != "normal" && polarity != "inversed") {
            return EINVAL;
        }
        if (c.enabled) {
            return EBUSY;
        }
        c.polarity = polarity;
    } else {
        return EACCES;
    }
    mirror(static_cast<unsigned>(n));
    return 0;
}

} // namespace quelnor::test::mipisim
