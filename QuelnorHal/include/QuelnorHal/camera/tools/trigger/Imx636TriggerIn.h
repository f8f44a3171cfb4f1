#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// Switches the sensor's external trigger input; "enable" is read from the sensor on every get.
class Imx636TriggerIn : public CameraToolRegisterWithCallback {
public:
    explicit Imx636TriggerIn(std::shared_ptr<RegisterController> controller);
    ~Imx636TriggerIn() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{TRIGGER_IN, "TriggerIn", {"enable"}, "Trigger in of DVS cameras with IMX636 sensors"};
    }

private:
    bool setEnable(bool enable);
    bool getEnable(bool& enable);
    bool addRegister2Map(const FullParamteterInfo& info);

    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
