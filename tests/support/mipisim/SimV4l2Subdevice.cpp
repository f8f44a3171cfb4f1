#include "mipisim/SimV4l2Subdevice.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace quelnor::test::mipisim {

namespace {

class SubdeviceFile : public SimFile {
public:
    explicit SubdeviceFile(std::shared_ptr<SimV4l2Subdevice> device) : m_device(std::move(device)) {}
    int ioctl(unsigned long request, void* argument) override { return m_device->request(request, argument); }

private:
    std::shared_ptr<SimV4l2Subdevice> m_device;
};

std::string hexId(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", id);
    return text;
}

} // namespace

void SimV4l2Subdevice::addControl(uint32_t id, int32_t value, int32_t minimum, int32_t maximum, bool readOnly) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_controls[id] = {value, minimum, maximum, readOnly};
}

int32_t SimV4l2Subdevice::control(uint32_t id) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_controls.at(id).value;
}

std::vector<std::string> SimV4l2Subdevice::requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

std::shared_ptr<SimFile> SimV4l2Subdevice::open(int) {
    return std::make_shared<SubdeviceFile>(std::static_pointer_cast<SimV4l2Subdevice>(shared_from_this()));
}

int SimV4l2Subdevice::request(unsigned long request, void* argument) {
    if (request != VIDIOC_G_CTRL && request != VIDIOC_S_CTRL) {
        return SimFile::fail(ENOTTY);
    }
    auto* control = static_cast<v4l2_control*>(argument);
    if (control == nullptr) {
        return SimFile::fail(EFAULT);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_controls.find(control->id);
    if (request == VIDIOC_G_CTRL) {
        m_requests.push_back("G_CTRL " + hexId(control->id));
        if (it == m_controls.end()) {
            return SimFile::fail(EINVAL);
        }
        control->value = it->second.value;
        return 0;
    }
    m_requests.push_back("S_CTRL " + hexId(control->id) + " = " + std::to_string(control->value));
    if (it == m_controls.end()) {
        return SimFile::fail(EINVAL);
    }
    if (it->second.readOnly) {
        return SimFile::fail(EACCES);
    }
    it->second.value = std::clamp(control->value, it->second.minimum, it->second.maximum);
    control->value = it->second.value;
    return 0;
}

} // namespace quelnor::test::mipisim
