#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"
#include "QuelnorHal/interface/Interface.h"

namespace quelnor {

// Network settings of an Ethernet camera. "camera_ip" is only logged when set: a camera's address
// is changed with the force-IP operation of the camera manager. No camera puts this tool in its
// tool map; applications create it over a camera's register controller.
class EthConfig : public CameraToolRegisterWithCallback {
public:
    explicit EthConfig(std::shared_ptr<RegisterController> controller);
    ~EthConfig() override {}

    ToolInfo getToolInfo() const override {
        ToolInfo info{BIAS, "Ethernet configuration", {}, "Ethernet configuration for Ethernet cameras."};
        for (const auto& entry : parameterMap) {
            info.parameters.push_back(entry.first);
        }
        return info;
    }

    bool readCameraIP(std::string& ip);
    bool writeCameraIP(std::string ip);
    bool readCameraEventStreamPort(int& port);
    bool writeCameraEventStreamPort(int port);

    // The camera's interface when it is attached over Ethernet, else empty.
    std::shared_ptr<Interface> getEthInterface() const { return ethInterface; }

private:
    bool addRegister2Map(const FullParamteterInfo& info);

    std::shared_ptr<Interface> ethInterface;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
