#include "QuelnorHal/camera/tools/trigger/Genx320Sync.h"

#include <exception>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/trigger/SyncModeTable.h"

namespace quelnor {

namespace {
constexpr const char* TIME_BASE = "ro/time_base_ctrl";
constexpr uint32_t US_COUNTER_MAX = 25;
} // namespace

Genx320Sync::Genx320Sync(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller), "trigger_out") {
    EnumParameterInfo record;
    record.options = modes;
    record.defaultValue = "STANDALONE";
    record.getter = [this](std::string& v) { return getMode(v); };
    record.setter = [this](std::string v) { return setMode(std::move(v)); };
    parameterList.emplace_back("mode", "Set sync mode.", ENUM, std::move(record));
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

bool Genx320Sync::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

bool Genx320Sync::setMode(std::string m) {
    QN_INFO("Set mode: %s", m.c_str());
    bool a = false;
    bool b = false;
    if (!syncModeFlags(m, a, b)) {
        QN_ERROR("unknown mode: %s", m.c_str());
        return false;
    }
    if (!timeBaseConfig(a, b)) {
        QN_ERROR("timeBaseConfig failed for mode: %s", m.c_str());
        return false;
    }
    mode = std::move(m);
    return true;
}

bool Genx320Sync::getMode(std::string& out) {
    out = mode;
    return true;
}

bool Genx320Sync::timeBaseConfig(bool a, bool b) {
    try {
        registerController->writeRegisterField(TIME_BASE, "time_base_enable", 1);
        registerController->writeRegisterField(TIME_BASE, "time_base_mode", a ? 1 : 0);
        registerController->writeRegisterField(TIME_BASE, "external_mode", b ? 1 : 0);
        registerController->writeRegisterField(TIME_BASE, "external_mode_enable", a ? 1 : 0);
        registerController->writeRegisterField(TIME_BASE, "us_counter_max", US_COUNTER_MAX);
        return true;
    } catch (const std::exception& e) {
        QN_ERROR("timeBaseConfig write failed: %s", e.what());
        return false;
    }
}

} // namespace quelnor
