#pragma once

#include <string>
#include <variant>

#include "QuelnorHal/camera/tools/BasicParameterInfo.h"
#include "QuelnorHal/camera/tools/BoolParameterInfo.h"
#include "QuelnorHal/camera/tools/EnumParameterInfo.h"
#include "QuelnorHal/camera/tools/FloatParameterInfo.h"
#include "QuelnorHal/camera/tools/IntParameterInfo.h"
#include "QuelnorHal/camera/tools/StringParameterInfo.h"

namespace quelnor {

// The record a tool keeps per parameter. `type` names the alternative held in `info`; the
// framework trusts it and reads `info` as that alternative.
struct FullParamteterInfo : BasicParameterInfo {
    using Info = std::variant<IntParameterInfo, FloatParameterInfo, BoolParameterInfo, EnumParameterInfo,
                              StringParameterInfo>;
    Info info;

    FullParamteterInfo();
    FullParamteterInfo(std::string name, std::string description, ToolParameterType type, IntParameterInfo info);
    FullParamteterInfo(std::string name, std::string description, ToolParameterType type, FloatParameterInfo info);
    FullParamteterInfo(std::string name, std::string description, ToolParameterType type, BoolParameterInfo info);
    FullParamteterInfo(std::string name, std::string description, ToolParameterType type, EnumParameterInfo info);
    FullParamteterInfo(std::string name, std::string description, ToolParameterType type,
                       StringParameterInfo info);
};

} // namespace quelnor
