#include "QuelnorHal/interface/DeviceIo.h"

#include "interface/SystemDeviceIo.h"

namespace quelnor {

DeviceIo::~DeviceIo() = default;

std::shared_ptr<DeviceIo> DeviceIo::system() {
    static const std::shared_ptr<DeviceIo> instance = std::make_shared<SystemDeviceIo>();
    return instance;
}

} // namespace quelnor
