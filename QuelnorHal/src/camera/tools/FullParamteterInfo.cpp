#include "QuelnorHal/camera/tools/FullParamteterInfo.h"

#include <utility>

namespace quelnor {

FullParamteterInfo::FullParamteterInfo()
    : BasicParameterInfo{"NotDefined", "not defined", BOOL}, info(BoolParameterInfo{}) {}

FullParamteterInfo::FullParamteterInfo(std::string name, std::string description, ToolParameterType type,
                                       IntParameterInfo record)
    : BasicParameterInfo{std::move(name), std::move(description), type}, info(std::move(record)) {}

FullParamteterInfo::FullParamteterInfo(std::string name, std::string description, ToolParameterType type,
                                       FloatParameterInfo record)
    : BasicParameterInfo{std::move(name), std::move(description), type}, info(std::move(record)) {}

FullParamteterInfo::FullParamteterInfo(std::string name, std::string description, ToolParameterType type,
                                       BoolParameterInfo record)
    : BasicParameterInfo{std::move(name), std::move(description), type}, info(std::move(record)) {}

FullParamteterInfo::FullParamteterInfo(std::string name, std::string description, ToolParameterType type,
                                       EnumParameterInfo record)
    : BasicParameterInfo{std::move(name), std::move(description), type}, info(std::move(record)) {}

FullParamteterInfo::FullParamteterInfo(std::string name, std::string description, ToolParameterType type,
                                       StringParameterInfo record)
    : BasicParameterInfo{std::move(name), std::move(description), type}, info(std::move(record)) {}

} // namespace quelnor
