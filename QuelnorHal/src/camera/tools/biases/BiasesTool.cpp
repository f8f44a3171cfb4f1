#include "QuelnorHal/camera/tools/biases/BiasesTool.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/biases/BiasWord.h"

namespace quelnor {

namespace {

constexpr const char* TOOL_NAME = "bias/";

FullParamteterInfo biasRecord(const char* name, const char* description, int min, int max) {
    // No getter or setter: the tool reads and writes the bias registers itself.
    return FullParamteterInfo(name, description, INT, IntParameterInfo{min, max, 0, "%", {}, {}});
}

} // namespace

BiasesTool::BiasesTool(std::shared_ptr<RegisterController> controller, const BiasSensor& sensor)
    : CameraToolRegister(std::move(controller), TOOL_NAME), sensor(&sensor) {
    for (const auto& bias : sensor.biases) {
        parameterList.push_back(biasRecord(bias.name, bias.description, bias.min, bias.max));
    }
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

ToolInfo BiasesTool::getToolInfo() const {
    std::vector<std::string> names;
    for (const auto& bias : sensor->biases) {
        names.emplace_back(bias.name);
    }
    return ToolInfo{BIAS, "Biases", std::move(names), sensor->description};
}

bool BiasesTool::addRegister2Map(const FullParamteterInfo& info) {
    const std::string key = toolName + info.name;
    auto it = parameterMap.try_emplace(key, info).first;
    // The value found now is the reference every offset is measured from.
    const uint32_t reference = registerController->readRegister(key) & BIAS_READ_MASK;
    std::get<IntParameterInfo>(it->second.info).defaultValue = static_cast<int32_t>(reference);
    return true;
}

bool BiasesTool::getParam(std::string name, int& value) {
    const std::string key = toolName + name;
    if (!find_param(key, INT)) {
        return false;
    }
    const int current = static_cast<int>(registerController->readRegister(key) & BIAS_READ_MASK);
    value = current - std::get<IntParameterInfo>(parameterMap.at(key).info).defaultValue;
    return true;
}

bool BiasesTool::setParam(std::string name, const int& value) {
    const std::string key = toolName + name;
    if (!find_param(key, INT)) {
        return false;
    }
    const auto& record = std::get<IntParameterInfo>(parameterMap.at(key).info);
    const int code = record.constraintValue(value) + record.defaultValue;
    if (code < 0 || code > sensor->fieldMax) {
        QN_WARN("Bias %s: value %d outside the bias field, clamped", key.c_str(), code);
    }
    registerController->writeRegister(key, composeBiasWord(code, sensor->fieldMax));
    return true;
}

} // namespace quelnor
