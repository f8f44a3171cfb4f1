#include "QuelnorHal/camera/tools/biases/Genx320Biases.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/biases/BiasWord.h"

namespace quelnor {

namespace {

constexpr const char* TOOL_NAME = "bias/";
constexpr int BIAS_FIELD_MAX = 127; // bias_ctl, bits 0 to 6

FullParamteterInfo biasRecord(const char* name, const char* description, int min, int max) {
    // No getter or setter: the tool reads and writes the bias registers itself.
    return FullParamteterInfo(name, description, INT, IntParameterInfo{min, max, 0, "%", {}, {}});
}

} // namespace

Genx320Biases::Genx320Biases(std::shared_ptr<RegisterController> controller)
    : CameraToolRegister(std::move(controller), TOOL_NAME) {
    parameterList = {
        biasRecord("bias_pr_hv0", "PR bias. WARNING: Recommended to leave untouched.", -61, 66),
        biasRecord("bias_fo_hv0", "FO bias", -39, 88),
        biasRecord("bias_hpf_lv0", "HPF bias", 0, 127),
        biasRecord("bias_diff_on_lv0", "DIFF_ON bias", -24, 103),
        biasRecord("bias_diff_lv0", "DIFF bias. WARNING: Recommended to leave untouched.", -51, 76),
        biasRecord("bias_diff_off_lv0", "DIFF_OFF bias", -19, 108),
        biasRecord("bias_refr_lv0", "REFR bias", -82, 45),
    };
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

bool Genx320Biases::addRegister2Map(const FullParamteterInfo& info) {
    const std::string key = toolName + info.name;
    auto it = parameterMap.try_emplace(key, info).first;
    // The value found now is the reference every offset is measured from.
    const uint32_t reference = registerController->readRegister(key) & BIAS_READ_MASK;
    std::get<IntParameterInfo>(it->second.info).defaultValue = static_cast<int32_t>(reference);
    return true;
}

bool Genx320Biases::getParam(std::string name, int& value) {
    const std::string key = toolName + name;
    if (!find_param(key, INT)) {
        return false;
    }
    const int current = static_cast<int>(registerController->readRegister(key) & BIAS_READ_MASK);
    value = current - std::get<IntParameterInfo>(parameterMap.at(key).info).defaultValue;
    return true;
}

bool Genx320Biases::setParam(std::string name, const int& value) {
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
