#include "QuelnorHal/camera/tools/trigger/TriggerInTool.h"

#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

TriggerInTool::TriggerInTool(std::shared_ptr<RegisterController> controller, const TriggerInSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), sensor.enableRegister), sensor(&sensor) {
    BoolParameterInfo enable;
    enable.defaultValue = false;
    enable.getter = [this](bool& v) { return getEnable(v); };
    enable.setter = [this](bool v) { return setEnable(v); };
    parameterList.emplace_back("enable", "Trigger in enable", BOOL, std::move(enable));
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

ToolInfo TriggerInTool::getToolInfo() const {
    return ToolInfo{TRIGGER_IN, "TriggerIn", {"enable"}, sensor->description};
}

bool TriggerInTool::addRegister2Map(const FullParamteterInfo& info) {
    auto it = parameterMap.try_emplace(info.name, info).first;
    // The default reported is the input's state when the tool was built.
    bool current = false;
    getParam(info.name, current);
    std::get<BoolParameterInfo>(it->second.info).defaultValue = current;
    return true;
}

bool TriggerInTool::setEnable(bool enable) {
    QN_INFO("Trigger in set enable: %d", enable ? 1 : 0);
    registerController->writeRegisterField(toolName, "enable", enable ? 1 : 0);
    return true;
}

bool TriggerInTool::getEnable(bool& enable) {
    uint32_t value = 0;
    registerController->readRegisterField(toolName, "enable", value);
    enable = value != 0;
    QN_INFO("Trigger in get enable: %d", enable ? 1 : 0);
    return true;
}

} // namespace quelnor
