#include "QuelnorHal/camera/tools/trigger/Imx636TriggerIn.h"

#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

Imx636TriggerIn::Imx636TriggerIn(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller), "edf/trigger_in") {
    BoolParameterInfo enable;
    enable.defaultValue = false;
    enable.getter = [this](bool& v) { return getEnable(v); };
    enable.setter = [this](bool v) { return setEnable(v); };
    parameterList.emplace_back("enable", "Trigger in enable", BOOL, std::move(enable));
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

bool Imx636TriggerIn::addRegister2Map(const FullParamteterInfo& info) {
    auto it = parameterMap.try_emplace(info.name, info).first;
    // The default reported is the input's state when the tool was built.
    bool current = false;
    getParam(info.name, current);
    std::get<BoolParameterInfo>(it->second.info).defaultValue = current;
    return true;
}

bool Imx636TriggerIn::setEnable(bool enable) {
    QN_INFO("Trigger in set enable: %d", enable ? 1 : 0);
    registerController->writeRegisterField(toolName, "enable", enable ? 1 : 0);
    return true;
}

bool Imx636TriggerIn::getEnable(bool& enable) {
    uint32_t value = 0;
    registerController->readRegisterField(toolName, "enable", value);
    enable = value != 0;
    QN_INFO("Trigger in get enable: %d", enable ? 1 : 0);
    return true;
}

} // namespace quelnor
