#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "QuelnorHal/interface/DeviceIo.h"
#include "mipisim/SimDevice.h"
#include "mipisim/SimSignal.h"

namespace quelnor::test::mipisim {

class SimPwmChip;

// A simulated board behind DeviceIo, so library code runs its real request sequences in a test:
//   - device nodes (addDevice) at any path: they exist as character devices, open() gives a simulated file;
//   - PWM chips (addPwmChip): real files in a temporary folder, every write checked and mirrored by the
//     chip model (the kernel's sysfs rules), existence checks counted for the export delay;
//   - everything else does not exist (ENOENT), so a test never reaches the machine's /dev or /sys.
// Simulated files get descriptors from FIRST_FD up; PWM files get real descriptors.
// Thread safe.
class SimDeviceIo : public DeviceIo {
public:
    static constexpr int FIRST_FD = 1000000;

    SimDeviceIo();
    ~SimDeviceIo() override;

    void addDevice(const std::string& path, std::shared_ptr<SimDevice> device);
    // The node disappears as on an unplug; files already open stay open.
    void removeDevice(const std::string& path);
    void addPwmChip(std::shared_ptr<SimPwmChip> chip);

    // Files still open (simulated and PWM) and mappings not yet unmapped.
    size_t openFiles() const;
    size_t mappings() const;

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override;
    ssize_t read(int fd, void* data, size_t size) override;
    ssize_t write(int fd, const void* data, size_t size) override;
    bool exists(const std::string& path) override;
    bool isCharacterDevice(const std::string& path) override;

private:
    struct PwmFile {
        std::shared_ptr<SimPwmChip> chip;
        std::string path;
    };

    std::shared_ptr<SimFile> file(int fd) const;
    std::shared_ptr<SimPwmChip> chipFor(const std::string& path) const;
    short ready(const pollfd& entry) const;

    mutable std::mutex m_lock;
    std::shared_ptr<SimSignal> m_signal;
    std::map<std::string, std::shared_ptr<SimDevice>> m_devices;
    std::vector<std::shared_ptr<SimPwmChip>> m_chips;
    std::map<int, std::shared_ptr<SimFile>> m_files;
    std::map<int, PwmFile> m_pwmFiles;
    std::map<void*, std::pair<std::shared_ptr<SimFile>, size_t>> m_mappings;
    int m_nextFd = FIRST_FD;
};

} // namespace quelnor::test::mipisim
