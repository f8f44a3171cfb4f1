#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// Switches the sensor's external trigger input; "enable" is read from the sensor on every get.
class Genx320TriggerIn : public CameraToolRegisterWithCallback {
public:
    explicit Genx320TriggerIn(std::shared_ptr<RegisterController> controller);
    ~Genx320TriggerIn() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{TRIGGER_IN, "TriggerIn", {"enable"}, "Trigger in of DVS cameras with GenX320 sensor"};
    }

private:
    bool setEnable(bool enable);
    bool getEnable(bool& enable);
    bool addRegister2Map(const FullParamteterInfo& info);

    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
