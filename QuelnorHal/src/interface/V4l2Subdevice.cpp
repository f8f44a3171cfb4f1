#include "interface/V4l2Subdevice.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

V4l2Subdevice::V4l2Subdevice(std::shared_ptr<DeviceIo> io, std::string path)
    : m_io(std::move(io)), m_path(std::move(path)) {}

bool V4l2Subdevice::getControl(uint32_t id, int& value) const {
    return request(VIDIOC_G_CTRL, "read", id, value);
}

bool V4l2Subdevice::setControl(uint32_t id, int value) const {
    return request(VIDIOC_S_CTRL, "set", id, value);
}

bool V4l2Subdevice::request(unsigned long request, const char* name, uint32_t id, int& value) const {
    const int fd = m_io->open(m_path, O_RDWR);
    if (fd < 0) {
        QN_ERROR("Unable to open %s: %s", m_path.c_str(), std::strerror(errno));
        return false;
    }
    v4l2_control control{};
    control.id = id;
    control.value = value;
    const bool ok = m_io->ioctl(fd, request, &control) == 0;
    const int error = errno;
    m_io->close(fd);
    if (!ok) {
        QN_ERROR("Failed to %s V4L2 control 0x%08X on %s: %s", name, id, m_path.c_str(), std::strerror(error));
        return false;
    }
    value = control.value;
    return true;
}

} // namespace quelnor
