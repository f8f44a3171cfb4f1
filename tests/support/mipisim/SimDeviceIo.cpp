#include "mipisim/SimDeviceIo.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "mipisim/SimPwmChip.h"

namespace quelnor::test::mipisim {

SimDeviceIo::SimDeviceIo() : m_signal(std::make_shared<SimSignal>()) {}

SimDeviceIo::~SimDeviceIo() {
    for (auto& [fd, pwm] : m_pwmFiles) {
        ::close(fd);
    }
}

void SimDeviceIo::addDevice(const std::string& path, std::shared_ptr<SimDevice> device) {
    device->attach(m_signal);
    std::lock_guard<std::mutex> lock(m_lock);
    m_devices[path] = std::move(device);
}

void SimDeviceIo::removeDevice(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_devices.erase(path);
    }
    m_signal->notify();
}

void SimDeviceIo::addPwmChip(std::shared_ptr<SimPwmChip> chip) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_chips.push_back(std::move(chip));
}

size_t SimDeviceIo::openFiles() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_files.size() + m_pwmFiles.size();
}

size_t SimDeviceIo::mappings() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_mappings.size();
}

std::shared_ptr<SimFile> SimDeviceIo::file(int fd) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_files.find(fd);
    return it == m_files.end() ? nullptr : it->second;
}

std::shared_ptr<SimPwmChip> SimDeviceIo::chipFor(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& chip : m_chips) {
        if (chip->owns(path)) {
            return chip;
        }
    }
    return nullptr;
}

int SimDeviceIo::open(const std::string& path, int flags) {
    std::shared_ptr<SimDevice> device;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_devices.find(path);
        if (it != m_devices.end()) {
            device = it->second;
        }
    }
    if (device) {
        std::shared_ptr<SimFile> opened = device->open(flags);
        if (!opened) {
            return -1;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        const int fd = m_nextFd++;
        m_files[fd] = std::move(opened);
        return fd;
    }
    if (std::shared_ptr<SimPwmChip> chip = chipFor(path)) {
        // sysfs files are never created by opening them.
        const int fd = ::open(path.c_str(), (flags & ~O_CREAT) | O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        m_pwmFiles[fd] = {std::move(chip), path};
        return fd;
    }
    return SimFile::fail(ENOENT);
}

int SimDeviceIo::close(int fd) {
    std::shared_ptr<SimFile> closed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_files.find(fd);
        if (it != m_files.end()) {
            closed = std::move(it->second);
            m_files.erase(it);
        } else {
            auto pwm = m_pwmFiles.find(fd);
            if (pwm == m_pwmFiles.end()) {
                return SimFile::fail(EBADF);
            }
            m_pwmFiles.erase(pwm);
            return ::close(fd);
        }
    }
    closed->release();
    m_signal->notify();
    return 0;
}

int SimDeviceIo::ioctl(int fd, unsigned long request, void* argument) {
    std::shared_ptr<SimFile> target = file(fd);
    if (!target) {
        std::lock_guard<std::mutex> lock(m_lock);
        return SimFile::fail(m_pwmFiles.count(fd) ? ENOTTY : EBADF);
    }
    return target->ioctl(request, argument);
}

void* SimDeviceIo::mmap(void*, size_t length, int protection, int flags, int fd, off_t offset) {
    std::shared_ptr<SimFile> target = file(fd);
    if (!target) {
        errno = EBADF;
        return MAP_FAILED;
    }
    void* address = target->mmap(length, protection, flags, offset);
    if (address != MAP_FAILED) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mappings[address] = {target, length};
    }
    return address;
}

int SimDeviceIo::munmap(void* address, size_t length) {
    std::shared_ptr<SimFile> owner;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_mappings.find(address);
        if (it == m_mappings.end() || it->second.second != length) {
            return SimFile::fail(EINVAL);
        }
        owner = std::move(it->second.first);
        m_mappings.erase(it);
    }
    return owner->munmap(address, length);
}

short SimDeviceIo::ready(const pollfd& entry) const {
    if (std::shared_ptr<SimFile> target = file(entry.fd)) {
        return target->poll(entry.events);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pwmFiles.count(entry.fd)) {
        return static_cast<short>(entry.events & (POLLIN | POLLOUT));
    }
    return POLLNVAL;
}

int SimDeviceIo::poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const uint64_t seen = m_signal->generation();
        int readyCount = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = fds[i].fd < 0 ? 0 : ready(fds[i]);
            if (fds[i].revents != 0) {
                ++readyCount;
            }
        }
        if (readyCount > 0 || timeoutMs == 0) {
            return readyCount;
        }
        if (timeoutMs < 0) {
            m_signal->waitChange(seen);
        } else if (!m_signal->waitChange(seen, deadline)) {
            return 0;
        }
    }
}

ssize_t SimDeviceIo::read(int fd, void* data, size_t size) {
    if (std::shared_ptr<SimFile> target = file(fd)) {
        return target->read(data, size);
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_pwmFiles.count(fd)) {
            return SimFile::fail(EBADF);
        }
    }
    return ::read(fd, data, size);
}

ssize_t SimDeviceIo::write(int fd, const void* data, size_t size) {
    if (std::shared_ptr<SimFile> target = file(fd)) {
        return target->write(data, size);
    }
    PwmFile pwm;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_pwmFiles.find(fd);
        if (it == m_pwmFiles.end()) {
            return SimFile::fail(EBADF);
        }
        pwm = it->second;
    }
    if ((::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {
        return SimFile::fail(EBADF);
    }
    const int error = pwm.chip->write(pwm.path, std::string(static_cast<const char*>(data), size));
    if (error != 0) {
        return SimFile::fail(error);
    }
    return static_cast<ssize_t>(size);
}

bool SimDeviceIo::exists(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_devices.count(path)) {
            return true;
        }
    }
    if (std::shared_ptr<SimPwmChip> chip = chipFor(path)) {
        chip->noteExistenceCheck(path);
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0;
    }
    return false;
}

bool SimDeviceIo::isCharacterDevice(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_devices.count(path) != 0;
}

} // namespace quelnor::test::mipisim
