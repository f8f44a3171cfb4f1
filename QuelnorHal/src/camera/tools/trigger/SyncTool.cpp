#include "QuelnorHal/camera/tools/trigger/SyncTool.h"

#include <exception>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/trigger/SyncModeTable.h"

namespace quelnor {

namespace {
constexpr const char* TIME_BASE = "ro/time_base_ctrl";
} // namespace

SyncTool::SyncTool(std::shared_ptr<RegisterController> controller, const SyncSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "trigger_out"), sensor(&sensor) {
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

ToolInfo SyncTool::getToolInfo() const {
    return ToolInfo{SYNC, "Sync", {"mode"}, sensor->description};
}

bool SyncTool::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

bool SyncTool::setMode(std::string m) {
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

bool SyncTool::getMode(std::string& out) {
    out = mode;
    return true;
}

bool SyncTool::timeBaseConfig(bool a, bool b) {
    if (!sensor->reportsWriteFailure) {
        writeTimeBase(a, b);
        return true;
    }
    try {
        writeTimeBase(a, b);
        return true;
    } catch (const std::exception& e) {
        QN_ERROR("timeBaseConfig write failed: %s", e.what());
        return false;
    }
}

void SyncTool::writeTimeBase(bool a, bool b) {
    if (sensor->enablesTimeBase) {
        registerController->writeRegisterField(TIME_BASE, "time_base_enable", 1);
    }
    registerController->writeRegisterField(TIME_BASE, "time_base_mode", a ? 1 : 0);
    registerController->writeRegisterField(TIME_BASE, "external_mode", b ? 1 : 0);
    registerController->writeRegisterField(TIME_BASE, "external_mode_enable", a ? 1 : 0);
    registerController->writeRegisterField(TIME_BASE, sensor->counterField, sensor->counterValue);
    if (a && sensor->padRegister != nullptr) {
        registerController->writeRegisterField(sensor->padRegister, sensor->padField,
                                               b ? sensor->padMaster : sensor->padSlave);
    }
}

} // namespace quelnor
