#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/trigger/SyncModeTable.h"

namespace quelnor {

namespace {
constexpr const char* TIME_BASE = "ro/time_base_ctrl";
constexpr uint32_t TIME_BASE_RESERVED = 100;
constexpr uint32_t PAD_SYNC_MASTER = 12;
constexpr uint32_t PAD_SYNC_SLAVE = 15;
} // namespace

Imx636Sync::Imx636Sync(std::shared_ptr<RegisterController> controller)
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

bool Imx636Sync::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

bool Imx636Sync::setMode(std::string m) {
    QN_INFO("Set mode: %s", m.c_str());
    bool a = false;
    bool b = false;
    if (!syncModeFlags(m, a, b)) {
        QN_ERROR("unknown mode: %s", m.c_str());
        return false;
    }
    timeBaseConfig(a, b);
    mode = std::move(m);
    return true;
}

bool Imx636Sync::getMode(std::string& out) {
    out = mode;
    return true;
}

void Imx636Sync::timeBaseConfig(bool a, bool b) {
    registerController->writeRegisterField(TIME_BASE, "time_base_mode", a ? 1 : 0);
    registerController->writeRegisterField(TIME_BASE, "external_mode", b ? 1 : 0);
    registerController->writeRegisterField(TIME_BASE, "external_mode_enable", a ? 1 : 0);
    registerController->writeRegisterField(TIME_BASE, "Reserved_10_4", TIME_BASE_RESERVED);
    if (a) {
        registerController->writeRegisterField("dig_pad2_ctrl", "pad_sync", b ? PAD_SYNC_MASTER : PAD_SYNC_SLAVE);
    }
}

} // namespace quelnor
