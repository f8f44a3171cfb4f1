#include "QuelnorHal/camera/tools/EthConfig/EthConfig.h"

#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

EthConfig::EthConfig(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller), "") {
    parameterList.emplace_back("camera_ip", "Camera ip.", STRING,
                               StringParameterInfo{"192.168.2.66", [this](std::string& v) { return readCameraIP(v); },
                                                   [this](std::string v) { return writeCameraIP(std::move(v)); }});
    if (registerController) {
        auto device = registerController->getInterface();
        if (device && device->getInterfaceType() == Interface::ETH) {
            ethInterface = std::move(device);
        }
    }
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

bool EthConfig::addRegister2Map(const FullParamteterInfo& info) {
    auto it = parameterMap.try_emplace(info.name, info).first;
    // Read back through the tool itself: the getter leaves the text empty.
    std::string current;
    getParam(info.name, current);
    std::get<StringParameterInfo>(it->second.info).defaultValue = current;
    return true;
}

bool EthConfig::readCameraIP(std::string&) { return true; }

bool EthConfig::writeCameraIP(std::string ip) {
    QN_INFO("Camera IP: %s", ip.c_str());
    return true;
}

bool EthConfig::readCameraEventStreamPort(int&) { return true; }

bool EthConfig::writeCameraEventStreamPort(int) { return false; }

} // namespace quelnor
