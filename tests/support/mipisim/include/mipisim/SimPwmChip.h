#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quelnor::test::mipisim {

// A sysfs PWM chip laid out as real files in a folder (give it a temporary one), for SimDeviceIo:
//   <root>/export, <root>/unexport, <root>/npwm, and per exported channel <root>/pwmN/{enable,period,
//   duty_cycle,polarity}.
// Writes are checked as the kernel checks them and, when accepted, mirrored into the files:
//   export: N below npwm (else ENODEV), not exported yet (else EBUSY);
//   period: above 0 and not below the duty cycle; duty_cycle: a period set and not above it;
//   polarity: "normal" or "inversed", only while disabled (else EBUSY); enable: 0 or 1, 1 only with a
//   period set; anything unparsable EINVAL.
// The channel folder of an export shows only after `exportDelay` existence checks of it have answered
// "missing" (as udev may lag behind the kernel); -1 never shows it.
// Thread safe.
class SimPwmChip {
public:
    struct Channel {
        bool exported = false;
        bool enabled = false;
        uint64_t periodNs = 0;
        uint64_t dutyCycleNs = 0;
        std::string polarity = "normal";
    };

    explicit SimPwmChip(std::string root, unsigned channels = 1);

    const std::string& root() const { return m_root; }
    void setExportDelay(int checks);
    // Channel n exported already, with the given state.
    void exportNow(unsigned n, const Channel& state);
    // Every write to this file (relative to the root, e.g. "pwm0/period") fails with error.
    void failWrites(const std::string& relativePath, int error);

    Channel channel(unsigned n) const;
    // Writes in order, "<relative path> <text>", refused ones with " -> <errno name>".
    std::vector<std::string> writes() const;
    int existenceChecks() const;

    // SimDeviceIo side.
    bool owns(const std::string& path) const;
    void noteExistenceCheck(const std::string& path);
    // 0 when accepted, else the error the kernel would answer.
    int write(const std::string& path, const std::string& text);

private:
    int apply(const std::string& relative, const std::string& text);
    void createChannel(unsigned n);
    void mirror(unsigned n) const;
    std::string channelDir(unsigned n) const;

    const std::string m_root;
    const unsigned m_count;
    mutable std::mutex m_lock;
    std::vector<Channel> m_channels;
    std::map<unsigned, int> m_pendingExports; // checks left before the folder shows
    int m_exportDelay = 0;
    std::map<std::string, int> m_failures;
    std::vector<std::string> m_writes;
    int m_existenceChecks = 0;
};

} // namespace quelnor::test::mipisim
