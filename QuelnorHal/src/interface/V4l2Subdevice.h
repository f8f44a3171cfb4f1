#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "QuelnorHal/interface/DeviceIo.h"

namespace quelnor {

// Controls of a V4L2 subdevice node (a sensor's exposure, gain, test pattern ...).
// Each call opens the node, makes one VIDIOC_G_CTRL / VIDIOC_S_CTRL request and closes it again.
class V4l2Subdevice {
public:
    V4l2Subdevice(std::shared_ptr<DeviceIo> io, std::string path);

    // False, with an error logged, when the node cannot be opened or the driver refuses the request.
    bool getControl(uint32_t id, int& value) const;
    bool setControl(uint32_t id, int value) const;

private:
    bool request(unsigned long request, const char* name, uint32_t id, int& value) const;

    std::shared_ptr<DeviceIo> m_io;
    std::string m_path;
};

} // namespace quelnor
