#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mipisim/SimDevice.h"

namespace quelnor::test::mipisim {

// A V4L2 subdevice node with integer controls, answering VIDIOC_G_CTRL and VIDIOC_S_CTRL as the kernel's
// control framework does: an unknown id gives EINVAL, setting a read-only control EACCES, a value out of
// range is clamped (and the clamped value answered). Thread safe.
class SimV4l2Subdevice : public SimDevice {
public:
    void addControl(uint32_t id, int32_t value, int32_t minimum, int32_t maximum, bool readOnly = false);
    int32_t control(uint32_t id) const;
    // "G_CTRL 0x00980911", "S_CTRL 0x00980911 = 100"
    std::vector<std::string> requests() const;

    std::shared_ptr<SimFile> open(int flags) override;
    int request(unsigned long request, void* argument);

private:
    struct Control {
        int32_t value;
        int32_t minimum;
        int32_t maximum;
        bool readOnly;
    };

    mutable std::mutex m_lock;
    std::map<uint32_t, Control> m_controls;
    std::vector<std::string> m_requests;
};

} // namespace quelnor::test::mipisim
