#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"

#include <cmath>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/AntiFlicker/AntiFlickerLimits.h"

namespace quelnor {

namespace {
constexpr uint32_t DT_FIFO_WAIT_TIME = 1630;
} // namespace

Imx636AntiFlicker::Imx636AntiFlicker(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller), "afk/") {
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
    parameterList.emplace_back("fliter_mode", "Set fliter mode", ENUM, std::move(mode));

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

bool Imx636AntiFlicker::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

unsigned Imx636AntiFlicker::freqToPeriod(const unsigned& hz) { return afkPeriodOf(hz); }

bool Imx636AntiFlicker::readEnabled(bool& out) const {
    // On only when bit 0 alone is set.
    out = registerController->readRegister(toolName + "pipeline_control") == AFK_PIPELINE_RUN;
    return true;
}

bool Imx636AntiFlicker::setEnableStatus(bool on) {
    registerController->writeRegister(toolName + "pipeline_control", AFK_PIPELINE_BYPASS);
    if (!on) {
        return true;
    }
    uint32_t initDone = 0;
    registerController->readRegisterField(toolName + "initialization", "afk_flag_init_done", initDone);
    if (initDone == 1) {
        QN_INFO("afk init success!");
    } else {
        QN_ERROR("afk init failed!");
    }
    registerController->writeRegisterField(toolName + "invalidation", "dt_fifo_wait_time", DT_FIFO_WAIT_TIME);
    registerController->writeRegisterField("afk/filter_period", "min_cutoff_period", freqToPeriod(highFrequency));
    registerController->writeRegisterField("afk/filter_period", "max_cutoff_period", freqToPeriod(lowFrequency));
    registerController->writeRegisterField("afk/filter_period", "inverted_duty_cycle", invertedDutyCycle);
    registerController->writeRegisterField(toolName + "param", "invert", filterMode == "Band cut" ? 0 : 1);
    registerController->writeRegisterField(toolName + "param", "counter_high", static_cast<uint32_t>(startThreshold));
    registerController->writeRegisterField(toolName + "param", "counter_low", static_cast<uint32_t>(stopThreshold));
    registerController->writeRegister(toolName + "pipeline_control", AFK_PIPELINE_RUN);
    return true;
}

bool Imx636AntiFlicker::reset() {
    bool on = false;
    readEnabled(on);
    if (!on) {
        return true; // applied at the next switch-on
    }
    return setEnableStatus(false) && setEnableStatus(true);
}

bool Imx636AntiFlicker::getLowFrequency(int& out) {
    out = static_cast<int>(lowFrequency);
    return true;
}

bool Imx636AntiFlicker::setLowFrequency(int v) {
    if (v < AFK_MIN_FREQUENCY_HZ || v > static_cast<int64_t>(highFrequency)) {
        return false;
    }
    lowFrequency = static_cast<uint32_t>(v);
    return reset();
}

bool Imx636AntiFlicker::getHighFrequency(int& out) {
    out = static_cast<int>(highFrequency);
    return true;
}

bool Imx636AntiFlicker::setHighFrequency(int v) {
    if (v < static_cast<int64_t>(lowFrequency) || v > AFK_MAX_FREQUENCY_HZ) {
        QN_ERROR("Set high freq value error.");
        return false;
    }
    highFrequency = static_cast<uint32_t>(v);
    return reset();
}

bool Imx636AntiFlicker::getFilteringMode(std::string& out) {
    out = filterMode;
    return true;
}

bool Imx636AntiFlicker::setFilteringMode(std::string mode) {
    filterMode = std::move(mode);
    return reset();
}

bool Imx636AntiFlicker::getDutyCycle(float& out) const {
    out = 100.0f - static_cast<float>(invertedDutyCycle) * 100.0f / 16.0f;
    return true;
}

bool Imx636AntiFlicker::setDutyCycle(float x) {
    if (!(x > 0.0f && x <= 100.0f)) {
        QN_ERROR("The duty cycle value is incorrect");
        return false;
    }
    const float code = static_cast<float>(16.0 * (100.0 - static_cast<double>(x)) / 100.0);
    uint32_t rounded = static_cast<uint32_t>(std::lround(code));
    if (rounded >= AFK_DUTY_CODE_STEPS) {
        rounded = AFK_DUTY_CODE_STEPS - 1;
    }
    invertedDutyCycle = rounded;
    return reset();
}

bool Imx636AntiFlicker::getStartThreshold(int& out) {
    out = startThreshold;
    return true;
}

bool Imx636AntiFlicker::setStartThreshold(int v) {
    if (v < 0 || v > AFK_MAX_THRESHOLD) {
        QN_ERROR("The start threshold  is incorrect.");
        return false;
    }
    startThreshold = v;
    return reset();
}

bool Imx636AntiFlicker::getStopThreshold(int& out) {
    out = stopThreshold;
    return true;
}

bool Imx636AntiFlicker::setStopThreshold(int v) {
    if (v < 0 || v > AFK_MAX_THRESHOLD) {
        return false;
    }
    stopThreshold = v;
    return reset();
}

} // namespace quelnor
