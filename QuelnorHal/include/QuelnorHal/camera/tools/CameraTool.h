#pragma once

#include <map>
#include <string>

#include "QuelnorHal/camera/tools/BasicParameterInfo.h"
#include "QuelnorHal/camera/tools/BoolParameterInfo.h"
#include "QuelnorHal/camera/tools/EnumParameterInfo.h"
#include "QuelnorHal/camera/tools/FloatParameterInfo.h"
#include "QuelnorHal/camera/tools/IntParameterInfo.h"
#include "QuelnorHal/camera/tools/StringParameterInfo.h"
#include "QuelnorHal/camera/tools/ToolInfo.h"

namespace quelnor {

// A named bundle of typed parameters that applications list, describe, read and write by name.
// Parameters are addressed by their bare names ("enable", "low_frequency"). A refused value gives
// false and an error line. Tools take no lock: callers that share a tool between threads serialise
// the calls themselves. Exceptions of the register controller pass through unless a tool says otherwise.
class CameraTool {
public:
    explicit CameraTool(std::string toolName = "");
    CameraTool(const CameraTool& other);
    CameraTool& operator=(const CameraTool& other);
    virtual ~CameraTool();

    virtual ToolInfo getToolInfo() const = 0;
    virtual std::map<std::string, BasicParameterInfo> getAllParamInfo() = 0;

    virtual bool getParamInfo(std::string name, StringParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, EnumParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, BoolParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, FloatParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, IntParameterInfo& info) = 0;

    virtual bool getParam(std::string name, std::string& value);
    virtual bool getParam(std::string name, bool& value);
    virtual bool getParam(std::string name, float& value);
    virtual bool getParam(std::string name, int& value);

    virtual bool setParam(std::string name, const std::string& value);
    virtual bool setParam(std::string name, const char* value);
    virtual bool setParam(std::string name, const bool& value);
    // Reaches FLOAT parameters as float.
    virtual bool setParam(std::string name, const double& value);
    virtual bool setParam(std::string name, const float& value);
    virtual bool setParam(std::string name, const int& value);

protected:
    std::string toolName;
};

} // namespace quelnor
