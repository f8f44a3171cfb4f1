#include "QuelnorHal/camera/tools/AntiFlicker/Genx320AntiFlicker.h"

#include <cmath>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/AntiFlicker/AntiFlickerLimits.h"

namespace quelnor {

namespace {
constexpr uint32_t DT_FIFO_WAIT_TIME = 4;
constexpr uint32_t DT_FIFO_TIMEOUT = 771;
constexpr uint32_t IN_PARALLEL = 1;
constexpr int INIT_DONE_READS = 5;
} // namespace

Genx320AntiFlicker::Genx320AntiFlicker(std::shared_ptr<RegisterController> controller)
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
    parameterList.emplace_back("filter_mode", "Set fliter mode", ENUM, std::move(mode));

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

bool Genx320AntiFlicker::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

unsigned Genx320AntiFlicker::freqToPeriod(const unsigned& hz) { return afkPeriodOf(hz); }

bool Genx320AntiFlicker::readEnabled(bool& out) const {
    // On only when bit 0 alone is set.
    out = registerController->readRegister(toolName + "pipeline_control") == AFK_PIPELINE_RUN;
    return true;
}

bool Genx320AntiFlicker::setEnableStatus(bool on) {
    const std::string pipeline = toolName + "pipeline_control";
    registerController->writeRegisterField(pipeline, "enable", 0);
    registerController->writeRegisterField(pipeline, "bypass", 1);
    if (!on) {
        return true;
    }
    const std::string invalidation = toolName + "invalidation";
    registerController->writeRegisterField(invalidation, "dt_fifo_wait_time", DT_FIFO_WAIT_TIME);
    registerController->writeRegisterField(invalidation, "dt_fifo_timeout", DT_FIFO_TIMEOUT);
    registerController->writeRegisterField(invalidation, "in_parallel", IN_PARALLEL);
    registerController->writeRegisterField("afk/filter_period", "min_cutoff_period", freqToPeriod(highFrequency));
    registerController->writeRegisterField("afk/filter_period", "max_cutoff_period", freqToPeriod(lowFrequency));
    registerController->writeRegisterField("afk/filter_period", "inverted_duty_cycle", invertedDutyCycle);
    const std::string param = toolName + "afk_param";
    registerController->writeRegisterField(param, "invert", filterMode == "Band cut" ? 0 : 1);
    registerController->writeRegisterField(param, "counter_high", static_cast<uint32_t>(startThreshold));
    registerController->writeRegisterField(param, "counter_low", static_cast<uint32_t>(stopThreshold));
    const std::string init = toolName + "initialisation";
    registerController->writeRegisterField(init, "req_init", 1);
    uint32_t initDone = 0;
    for (int i = 0; i < INIT_DONE_READS; ++i) {
        registerController->readRegisterField(init, "flag_init_done", initDone);
        if (initDone == 1) {
            break;
        }
    }
    if (initDone != 1) {
        QN_ERROR("afk init failed!");
        return false;
    }
    registerController->writeRegisterField(pipeline, "bypass", 0);
    registerController->writeRegisterField(pipeline, "enable", 1);
    return true;
}

bool Genx320AntiFlicker::reset() {
    bool on = false;
    readEnabled(on);
    if (!on) {
        return true; // applied at the next switch-on
    }
    return setEnableStatus(false) && setEnableStatus(true);
}

bool Genx320AntiFlicker::getLowFrequency(int& out) {
    out = static_cast<int>(lowFrequency);
    return true;
}

bool Genx320AntiFlicker::setLowFrequency(int v) {
    if (v < AFK_MIN_FREQUENCY_HZ || v > static_cast<int64_t>(highFrequency)) {
        return false;
    }
    lowFrequency = static_cast<uint32_t>(v);
    return reset();
}

bool Genx320AntiFlicker::getHighFrequency(int& out) {
    out = static_cast<int>(highFrequency);
    return true;
}

bool Genx320AntiFlicker::setHighFrequency(int v) {
    if (v < static_cast<int64_t>(lowFrequency) || v > AFK_MAX_FREQUENCY_HZ) {
        QN_ERROR("Set high freq value error.");
        return false;
    }
    highFrequency = static_cast<uint32_t>(v);
    return reset();
}

bool Genx320AntiFlicker::getFilteringMode(std::string& out) {
    out = filterMode;
    return true;
}

bool Genx320AntiFlicker::setFilteringMode(std::string mode) {
    filterMode = std::move(mode);
    return reset();
}

bool Genx320AntiFlicker::getDutyCycle(float& out) const {
    out = 100.0f - static_cast<float>(invertedDutyCycle) * 100.0f / 16.0f;
    return true;
}

bool Genx320AntiFlicker::setDutyCycle(float x) {
    if (!(x > 0.0f && x <= 100.0f)) {
        QN_ERROR("The duty cycle value is incorrect");
        return false;
    }
    const float code = 16.0f * (100.0f - x) / 100.0f;
    uint32_t rounded = static_cast<uint32_t>(std::lround(code));
    if (rounded >= AFK_DUTY_CODE_STEPS) {
        rounded = AFK_DUTY_CODE_STEPS - 1;
    }
    invertedDutyCycle = rounded;
    return reset();
}

bool Genx320AntiFlicker::getStartThreshold(int& out) {
    out = startThreshold;
    return true;
}

bool Genx320AntiFlicker::setStartThreshold(int v) {
    if (v < 0 || v > AFK_MAX_THRESHOLD) {
        QN_ERROR("The start threshold  is incorrect.");
        return false;
    }
    startThreshold = v;
    return reset();
}

bool Genx320AntiFlicker::getStopThreshold(int& out) {
    out = stopThreshold;
    return true;
}

bool Genx320AntiFlicker::setStopThreshold(int v) {
    if (v < 0 || v > AFK_MAX_THRESHOLD) {
        return false;
    }
    stopThreshold = v;
    return reset();
}

} // namespace quelnor
