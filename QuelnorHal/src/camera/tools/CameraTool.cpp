#include "QuelnorHal/camera/tools/CameraTool.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// ---- CameraTool: every typed access fails unless a derived class serves it.

CameraTool::CameraTool(std::string name) : toolName(std::move(name)) {}
CameraTool::CameraTool(const CameraTool& other) = default;
CameraTool& CameraTool::operator=(const CameraTool& other) = default;
CameraTool::~CameraTool() = default;

bool CameraTool::getParam(std::string, std::string&) {
    QN_ERROR("Get string/enum parameter function not implemented");
    return false;
}

bool CameraTool::getParam(std::string, bool&) {
    QN_ERROR("Get bool parameter function not implemented");
    return false;
}

bool CameraTool::getParam(std::string, float&) {
    QN_ERROR("Get float parameter function not implemented");
    return false;
}

bool CameraTool::getParam(std::string, int&) {
    QN_ERROR("Get int parameter function not implemented");
    return false;
}

bool CameraTool::setParam(std::string, const std::string&) {
    QN_ERROR("Set string/enum parameter function not implemented");
    return false;
}

bool CameraTool::setParam(std::string, const char*) {
    QN_ERROR("Set string/enum parameter function not implemented");
    return false;
}

bool CameraTool::setParam(std::string, const bool&) {
    QN_ERROR("Set bool parameter function not implemented");
    return false;
}

bool CameraTool::setParam(std::string name, const double& value) {
    const float narrowed = static_cast<float>(value);
    return setParam(std::move(name), narrowed);
}

bool CameraTool::setParam(std::string, const float&) {
    QN_ERROR("Set float parameter function not implemented");
    return false;
}

bool CameraTool::setParam(std::string, const int&) {
    QN_ERROR("Set int parameter function not implemented");
    return false;
}

// ---- CameraToolBasePrivate: the parameter records.

CameraToolBasePrivate::CameraToolBasePrivate(std::string name) : CameraTool(std::move(name)) {}
CameraToolBasePrivate::~CameraToolBasePrivate() = default;

bool CameraToolBasePrivate::find_param(std::string key, ToolParameterType type) {
    auto it = parameterMap.find(key);
    if (it == parameterMap.end()) {
        QN_ERROR("Parameter %s not found", key.c_str());
        return false;
    }
    if (it->second.type == type) {
        return true;
    }
    QN_ERROR("Parameter %s is not of type %s", key.c_str(), ToolParameterTypeToString(type).c_str());
    return false;
}

std::map<std::string, BasicParameterInfo> CameraToolBasePrivate::getAllParamInfo() {
    std::map<std::string, BasicParameterInfo> result;
    for (const auto& [key, record] : parameterMap) {
        result[record.name] = static_cast<const BasicParameterInfo&>(record);
    }
    return result;
}

namespace {

template <typename Record>
bool copyRecord(std::map<std::string, FullParamteterInfo>& map, const std::string& key, Record& out) {
    out = std::get<Record>(map.at(key).info);
    return true;
}

} // namespace

bool CameraToolBasePrivate::getParamInfo(std::string name, StringParameterInfo& info) {
    const std::string key = toolName + name;
    return find_param(key, STRING) && copyRecord(parameterMap, key, info);
}

bool CameraToolBasePrivate::getParamInfo(std::string name, EnumParameterInfo& info) {
    const std::string key = toolName + name;
    return find_param(key, ENUM) && copyRecord(parameterMap, key, info);
}

bool CameraToolBasePrivate::getParamInfo(std::string name, BoolParameterInfo& info) {
    const std::string key = toolName + name;
    return find_param(key, BOOL) && copyRecord(parameterMap, key, info);
}

bool CameraToolBasePrivate::getParamInfo(std::string name, FloatParameterInfo& info) {
    const std::string key = toolName + name;
    return find_param(key, FLOAT) && copyRecord(parameterMap, key, info);
}

bool CameraToolBasePrivate::getParamInfo(std::string name, IntParameterInfo& info) {
    const std::string key = toolName + name;
    return find_param(key, INT) && copyRecord(parameterMap, key, info);
}

// ---- CameraToolRegister

CameraToolRegister::CameraToolRegister(std::shared_ptr<RegisterController> controller, std::string name)
    : CameraToolBasePrivate(std::move(name)), registerController(std::move(controller)) {}
CameraToolRegister::~CameraToolRegister() = default;

// ---- CameraToolRegisterWithCallback: look-ups by bare name, values through the records' callbacks.

CameraToolRegisterWithCallback::CameraToolRegisterWithCallback(std::shared_ptr<RegisterController> controller,
                                                               std::string name)
    : CameraToolRegister(std::move(controller), std::move(name)) {}
CameraToolRegisterWithCallback::~CameraToolRegisterWithCallback() = default;

bool CameraToolRegisterWithCallback::getParamInfo(std::string name, EnumParameterInfo& info) {
    return find_param(name, ENUM) && copyRecord(parameterMap, name, info);
}

bool CameraToolRegisterWithCallback::getParamInfo(std::string name, BoolParameterInfo& info) {
    return find_param(name, BOOL) && copyRecord(parameterMap, name, info);
}

bool CameraToolRegisterWithCallback::getParamInfo(std::string name, FloatParameterInfo& info) {
    return find_param(name, FLOAT) && copyRecord(parameterMap, name, info);
}

bool CameraToolRegisterWithCallback::getParamInfo(std::string name, IntParameterInfo& info) {
    return find_param(name, INT) && copyRecord(parameterMap, name, info);
}

namespace {

// Calls the getter with a local value so that a failing getter leaves the caller's value alone.
template <typename Record, typename Value>
bool readThrough(std::map<std::string, FullParamteterInfo>& map, const std::string& name, Value& out) {
    const Record& record = std::get<Record>(map.at(name).info);
    Value local{};
    if (!record.getter || !record.getter(local)) {
        return false;
    }
    out = local;
    return true;
}

template <typename Record, typename Value>
bool writeThrough(std::map<std::string, FullParamteterInfo>& map, const std::string& name, const Value& value) {
    const Record& record = std::get<Record>(map.at(name).info);
    return record.setter && record.setter(value);
}

} // namespace

bool CameraToolRegisterWithCallback::getParam(std::string name, std::string& value) {
    if (find_param(name, ENUM)) {
        const auto& record = std::get<EnumParameterInfo>(parameterMap.at(name).info);
        return record.getter && record.getter(value);
    }
    if (find_param(name, STRING)) {
        const auto& record = std::get<StringParameterInfo>(parameterMap.at(name).info);
        return record.getter && record.getter(value);
    }
    return false;
}

bool CameraToolRegisterWithCallback::getParam(std::string name, bool& value) {
    return find_param(name, BOOL) && readThrough<BoolParameterInfo>(parameterMap, name, value);
}

bool CameraToolRegisterWithCallback::getParam(std::string name, float& value) {
    return find_param(name, FLOAT) && readThrough<FloatParameterInfo>(parameterMap, name, value);
}

bool CameraToolRegisterWithCallback::getParam(std::string name, int& value) {
    return find_param(name, INT) && readThrough<IntParameterInfo>(parameterMap, name, value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const std::string& value) {
    if (find_param(name, ENUM)) {
        return writeThrough<EnumParameterInfo>(parameterMap, name, value);
    }
    if (find_param(name, STRING)) {
        return writeThrough<StringParameterInfo>(parameterMap, name, value);
    }
    return false;
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const char* value) {
    // A null pointer is no text; refuse it rather than build a string from it.
    if (value == nullptr) {
        QN_ERROR("Parameter %s: no value given", name.c_str());
        return false;
    }
    return setParam(std::move(name), std::string(value));
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const bool& value) {
    return find_param(name, BOOL) && writeThrough<BoolParameterInfo>(parameterMap, name, value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const float& value) {
    return find_param(name, FLOAT) && writeThrough<FloatParameterInfo>(parameterMap, name, value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const int& value) {
    return find_param(name, INT) && writeThrough<IntParameterInfo>(parameterMap, name, value);
}

} // namespace quelnor
