#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/biases/BiasWord.h"

namespace quelnor {

namespace {

constexpr const char* TOOL_NAME = "bias/";
constexpr int BIAS_FIELD_MAX = 255; // idac_ctl, bits 0 to 7

FullParamteterInfo biasRecord(const char* name, const char* description, int min, int max) {
    // No getter or setter: the tool reads and writes the bias registers itself.
    return FullParamteterInfo(name, description, INT, IntParameterInfo{min, max, 0, "%", {}, {}});
}

} // namespace

Imx636Biases::Imx636Biases(std::shared_ptr<RegisterController> controller)
    : CameraToolRegister(std::move(controller), TOOL_NAME) {
    parameterList = {
        biasRecord("bias_fo", "FO bias", -20, 0),
        biasRecord("bias_hpf", "HPF bias", 0, 120),
        biasRecord("bias_diff_on", "DIFF_ON bias", -80, 145),
        biasRecord("bias_diff", "DIFF bias", -25, 23),
        biasRecord("bias_diff_off", "DIFF_OFF bias", -30, 200),
        biasRecord("bias_refr", "REFR bias", -20, 235),
    };
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

bool Imx636Biases::addRegister2Map(const FullParamteterInfo& info) {
    const std::string key = toolName + info.name;
    auto it = parameterMap.try_emplace(key, info).first;
    // The value found now is the reference every offset is measured from.
    const uint32_t reference = registerController->readRegister(key) & BIAS_READ_MASK;
    std::get<IntParameterInfo>(it->second.info).defaultValue = static_cast<int32_t>(reference);
    return true;
}

bool Imx636Biases::getParam(std::string name, int& value) {
    const std::string key = toolName + name;
    if (!find_param(key, INT)) {
        return false;
    }
    const int current = static_cast<int>(registerController->readRegister(key) & BIAS_READ_MASK);
    value = current - std::get<IntParameterInfo>(parameterMap.at(key).info).defaultValue;
    return true;
}

bool Imx636Biases::setParam(std::string name, const int& value) {
    const std::string key = toolName + name;
    if (!find_param(key, INT)) {
        return false;
    }
    const auto& record = std::get<IntParameterInfo>(parameterMap.at(key).info);
    const int code = record.constraintValue(value) + record.defaultValue;
    if (code < 0 || code > BIAS_FIELD_MAX) {
        QN_WARN("Bias %s: value %d outside the bias field, clamped", key.c_str(), code);
    }
    registerController->writeRegister(key, composeBiasWord(code, BIAS_FIELD_MAX));
    return true;
}

} // namespace quelnor
