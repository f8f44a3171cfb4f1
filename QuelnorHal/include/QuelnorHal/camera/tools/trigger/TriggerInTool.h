#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// What one sensor's trigger input differs in.
struct TriggerInSensor {
    const char* enableRegister; // the register whose "enable" field switches the input
    const char* description;    // ToolInfo::description
};

// Switches the sensor's external trigger input; "enable" is read from the sensor on every get. The
// sensor classes (Imx636TriggerIn, Genx320TriggerIn) only name their TriggerInSensor.
class TriggerInTool : public CameraToolRegisterWithCallback {
public:
    ToolInfo getToolInfo() const override;

protected:
    // sensor must outlive the tool (the sensor classes pass a constexpr description).
    TriggerInTool(std::shared_ptr<RegisterController> controller, const TriggerInSensor& sensor);

private:
    bool setEnable(bool enable);
    bool getEnable(bool& enable);
    bool addRegister2Map(const FullParamteterInfo& info);

    const TriggerInSensor* sensor;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
