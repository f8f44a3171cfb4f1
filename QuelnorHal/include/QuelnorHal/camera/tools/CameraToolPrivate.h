#pragma once

#include <map>
#include <memory>
#include <string>

#include "QuelnorHal/camera/tools/CameraTool.h"
#include "QuelnorHal/camera/tools/FullParamteterInfo.h"
#include "QuelnorHal/camera/tools/ToolParameterType.h"
#include "QuelnorHal/register/RegisterController.h"

namespace quelnor {

// Keeps the parameter records and answers questions about them. Keys are bare names, except in
// tools derived directly from CameraToolRegister (the biases), whose keys are toolName + name.
class CameraToolBasePrivate : public CameraTool {
public:
    explicit CameraToolBasePrivate(std::string toolName = "");
    CameraToolBasePrivate(const CameraToolBasePrivate&) = default;
    CameraToolBasePrivate(CameraToolBasePrivate&&) = default;
    CameraToolBasePrivate& operator=(const CameraToolBasePrivate&) = default;
    CameraToolBasePrivate& operator=(CameraToolBasePrivate&&) = default;
    ~CameraToolBasePrivate() override;

    std::map<std::string, BasicParameterInfo> getAllParamInfo() override;
    bool getParamInfo(std::string name, StringParameterInfo& info) override;
    bool getParamInfo(std::string name, EnumParameterInfo& info) override;
    bool getParamInfo(std::string name, BoolParameterInfo& info) override;
    bool getParamInfo(std::string name, FloatParameterInfo& info) override;
    bool getParamInfo(std::string name, IntParameterInfo& info) override;

protected:
    // Logs "Parameter %s not found" or the type mismatch and returns false.
    bool find_param(std::string key, ToolParameterType type);

    std::map<std::string, FullParamteterInfo> parameterMap;
};

// Adds the sensor's register controller, shared with the camera, its sensor and its other tools.
class CameraToolRegister : public CameraToolBasePrivate {
public:
    CameraToolRegister(std::shared_ptr<RegisterController> controller, std::string toolName);
    CameraToolRegister(const CameraToolRegister&) = default;
    CameraToolRegister(CameraToolRegister&&) = default;
    CameraToolRegister& operator=(const CameraToolRegister&) = default;
    CameraToolRegister& operator=(CameraToolRegister&&) = default;
    ~CameraToolRegister() override;

protected:
    std::shared_ptr<RegisterController> registerController;
};

// Serves every parameter through the getter and setter stored in its record. Values reach the
// setters unchecked: each tool's setter does its own range checks.
class CameraToolRegisterWithCallback : public CameraToolRegister {
public:
    CameraToolRegisterWithCallback(std::shared_ptr<RegisterController> controller, std::string toolName);
    CameraToolRegisterWithCallback(const CameraToolRegisterWithCallback&) = default;
    CameraToolRegisterWithCallback(CameraToolRegisterWithCallback&&) = default;
    CameraToolRegisterWithCallback& operator=(const CameraToolRegisterWithCallback&) = default;
    CameraToolRegisterWithCallback& operator=(CameraToolRegisterWithCallback&&) = default;
    ~CameraToolRegisterWithCallback() override;

    using CameraToolBasePrivate::getParamInfo;
    bool getParamInfo(std::string name, EnumParameterInfo& info) override;
    bool getParamInfo(std::string name, BoolParameterInfo& info) override;
    bool getParamInfo(std::string name, FloatParameterInfo& info) override;
    bool getParamInfo(std::string name, IntParameterInfo& info) override;

    using CameraTool::getParam;
    bool getParam(std::string name, std::string& value) override;
    bool getParam(std::string name, bool& value) override;
    bool getParam(std::string name, float& value) override;
    bool getParam(std::string name, int& value) override;

    using CameraTool::setParam;
    bool setParam(std::string name, const std::string& value) override;
    bool setParam(std::string name, const char* value) override;
    bool setParam(std::string name, const bool& value) override;
    bool setParam(std::string name, const float& value) override;
    bool setParam(std::string name, const int& value) override;
};

} // namespace quelnor
