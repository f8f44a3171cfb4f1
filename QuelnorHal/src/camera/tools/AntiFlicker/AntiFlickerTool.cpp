#include "QuelnorHal/camera/tools/AntiFlicker/AntiFlickerTool.h"

#include <cmath>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/AntiFlicker/AntiFlickerLimits.h"

namespace quelnor {

AntiFlickerTool::AntiFlickerTool(std::shared_ptr<RegisterController> controller, const AntiFlickerSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "afk/"), sensor(&sensor) {
    BoolParameterInfo enable;
    enable.defaultValue = false;
    enable.getter = [this](bool& v) { return readEnabled(v); };
    enable.setter = [this](bool v) { return setEnableStatus(v); };
    parameterList.emplace_back("enable", "Set whether the anti fliker function is enabled", BOOL, std::move(enable));

    IntParameterInfo low{50, 520, 50, "hz", [this](int& v) { return getLowFrequency(v); },
                         [this](int v) { return setLowFrequency(v); }};
    parameterList.emplace_back("low_frequency", "Set the frequency range to low", INT, std::move(low));

    IntParameterInfo high{50, 520, 520, "hz", [this](int& v) { return getHighFrequency(v); },
                          [this](int v) { return setHighFrequency(v); }};
    parameterList.emplace_back("high_frequency", "Set the frequency range to high", INT, std::move(high));

    EnumParameterInfo mode{{"Band cut", "Band pass"}, "Band cut",
                           [this](std::string& v) { return getFilteringMode(v); },
                           [this](std::string v) { return setFilteringMode(std::move(v)); }};
    parameterList.emplace_back(sensor.modeParameter, "Set fliter mode", ENUM, std::move(mode));

    FloatParameterInfo duty{0.0f, 100.0f, dutyCycle, "%", [this](float& v) { return getDutyCycle(v); },
                            [this](float v) { return setDutyCycle(v); }};
    parameterList.emplace_back("duty_cycle", "Set duty cycle", FLOAT, std::move(duty));

    IntParameterInfo start{0, 7, 6, " ", [this](int& v) { return getStartThreshold(v); },
                           [this](int v) { return setStartThreshold(v); }};
    parameterList.emplace_back("start_threshold", "Set start threshold", INT, std::move(start));

    IntParameterInfo stop{0, 7, 4, " ", [this](int& v) { return getStopThreshold(v); },
                          [this](int v) { return setStopThreshold(v); }};
    parameterList.emplace_back("stop_threshold", "Set stop threshold", INT, std::move(stop));

    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

ToolInfo AntiFlickerTool::getToolInfo() const {
    ToolInfo info{ANTI_FLICKER, "AntiFlicker", {}, sensor->description};
    for (const auto& entry : parameterMap) {
        info.parameters.push_back(entry.first);
    }
    return info;
}

bool AntiFlickerTool::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

unsigned AntiFlickerTool::freqToPeriod(const unsigned& hz) { return afkPeriodOf(hz); }

bool AntiFlickerTool::readEnabled(bool& out) const {
    // On only when bit 0 alone is set.
    out = registerController->readRegister(toolName + "pipeline_control") == AFK_PIPELINE_RUN;
    return true;
}

bool AntiFlickerTool::reset() {
    bool on = false;
    readEnabled(on);
    if (!on) {
        return true; // applied at the next switch-on
    }
    return setEnableStatus(false) && setEnableStatus(true);
}

bool AntiFlickerTool::getLowFrequency(int& out) {
    out = static_cast<int>(lowFrequency);
    return true;
}

bool AntiFlickerTool::setLowFrequency(int v) {
    if (v < AFK_MIN_FREQUENCY_HZ || v > static_cast<int64_t>(highFrequency)) {
        return false;
    }
    lowFrequency = static_cast<uint32_t>(v);
    return reset();
}

bool AntiFlickerTool::getHighFrequency(int& out) {
    out = static_cast<int>(highFrequency);
    return true;
}

bool AntiFlickerTool::setHighFrequency(int v) {
    if (v < static_cast<int64_t>(lowFrequency) || v > AFK_MAX_FREQUENCY_HZ) {
        QN_ERROR("Set high freq value error.");
        return false;
    }
    highFrequency = static_cast<uint32_t>(v);
    return reset();
}

bool AntiFlickerTool::getFilteringMode(std::string& out) {
    out = filterMode;
    return true;
}

bool AntiFlickerTool::setFilteringMode(std::string mode) {
    filterMode = std::move(mode);
    return reset();
}

bool AntiFlickerTool::getDutyCycle(float& out) const {
    out = 100.0f - static_cast<float>(invertedDutyCycle) * 100.0f / 16.0f;
    return true;
}

bool AntiFlickerTool::setDutyCycle(float x) {
    if (!(x > 0.0f && x <= 100.0f)) {
        QN_ERROR("The duty cycle value is incorrect");
        return false;
    }
    const float code = sensor->dutyCode(x);
    uint32_t rounded = static_cast<uint32_t>(std::lround(code));
    if (rounded >= AFK_DUTY_CODE_STEPS) {
        rounded = AFK_DUTY_CODE_STEPS - 1;
    }
    invertedDutyCycle = rounded;
    return reset();
}

bool AntiFlickerTool::getStartThreshold(int& out) {
    out = startThreshold;
    return true;
}

bool AntiFlickerTool::setStartThreshold(int v) {
    if (v < 0 || v > AFK_MAX_THRESHOLD) {
        QN_ERROR("The start threshold  is incorrect.");
        return false;
    }
    startThreshold = v;
    return reset();
}

bool AntiFlickerTool::getStopThreshold(int& out) {
    out = stopThreshold;
    return true;
}

bool AntiFlickerTool::setStopThreshold(int v) {
    if (v < 0 || v > AFK_MAX_THRESHOLD) {
        return false;
    }
    stopThreshold = v;
    return reset();
}

} // namespace quelnor
