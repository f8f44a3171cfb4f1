#include "QuelnorDriver/camera/CameraToolSet.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Genx320AntiFlicker.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"
#include "QuelnorHal/camera/tools/EventRateControl/Genx320EventRateControl.h"
#include "QuelnorHal/camera/tools/EventRateControl/Imx636EventRateControl.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Genx320EventTrailFilter.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Imx636EventTrailFilter.h"
#include "QuelnorHal/camera/tools/biases/Genx320Biases.h"
#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"
#include "QuelnorHal/camera/tools/roi/Genx320Roi.h"
#include "QuelnorHal/camera/tools/roi/Imx636Roi.h"
#include "QuelnorHal/camera/tools/trigger/Genx320Sync.h"
#include "QuelnorHal/camera/tools/trigger/Genx320TriggerIn.h"
#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"
#include "QuelnorHal/camera/tools/trigger/Imx636TriggerIn.h"

namespace quelnor {

namespace {

using json = nlohmann::json;

constexpr int CONFIG_FILE_INDENT = 4;

// The seven tools of one event sensor, in the order the camera builds them.
template <typename Biases, typename TriggerIn, typename AntiFlicker, typename RateControl, typename TrailFilter,
          typename Roi, typename Sync>
void buildEventSensorTools(CameraToolSet& set, const std::shared_ptr<RegisterController>& controller) {
    set.addTool(BIAS, std::make_shared<Biases>(controller));
    set.addTool(TRIGGER_IN, std::make_shared<TriggerIn>(controller));
    set.addTool(ANTI_FLICKER, std::make_shared<AntiFlicker>(controller));
    set.addTool(EVENT_RATE_CONTROL, std::make_shared<RateControl>(controller));
    set.addTool(EVENT_TRAIL_FILTER, std::make_shared<TrailFilter>(controller));
    set.addTool(ROI, std::make_shared<Roi>(controller));
    set.addTool(SYNC, std::make_shared<Sync>(controller));
}

enum class ExportRead {
    READ,
    NOT_EXPORTED, // a type the file does not hold (STRING)
    FAILED        // the tool could not read the value
};

// The parameter's current value as the configuration file holds it.
ExportRead readForExport(CameraTool& tool, ToolParameterType type, const std::string& name, json& out) {
    bool read = false;
    switch (type) {
    case INT: {
        int value = 0;
        read = tool.getParam(name, value);
        out = value;
        break;
    }
    case FLOAT: {
        float value = 0.0f;
        read = tool.getParam(name, value);
        out = static_cast<double>(value);
        break;
    }
    case BOOL: {
        bool value = false;
        read = tool.getParam(name, value);
        out = value;
        break;
    }
    case ENUM: {
        std::string value;
        read = tool.getParam(name, value);
        out = value;
        break;
    }
    default:
        return ExportRead::NOT_EXPORTED;
    }
    return read ? ExportRead::READ : ExportRead::FAILED;
}

// A JSON number as an int: integers in range, and numbers with no fractional part that fit.
bool toInt(const json& value, int& out) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
            return false;
        }
        out = static_cast<int>(v);
        return true;
    }
    if (value.is_number_integer()) {
        const auto v = value.get<int64_t>();
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) {
            return false;
        }
        out = static_cast<int>(v);
        return true;
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!std::isfinite(v) || std::trunc(v) != v || v < std::numeric_limits<int>::min() ||
            v > std::numeric_limits<int>::max()) {
            return false;
        }
        out = static_cast<int>(v);
        return true;
    }
    return false;
}

enum class SetResult {
    APPLIED,
    REFUSED,   // the tool refused the value (it logs why)
    WRONG_TYPE // the value does not fit the parameter's declared type; not passed to the tool
};

// Sets a parameter the tool declares, converting the value to the declared type.
SetResult setDeclared(CameraTool& tool, const std::string& name, ToolParameterType type, const json& value) {
    bool applied = false;
    switch (type) {
    case INT: {
        int v = 0;
        if (!toInt(value, v)) {
            return SetResult::WRONG_TYPE;
        }
        applied = tool.setParam(name, v);
        break;
    }
    case FLOAT: {
        if (!value.is_number()) {
            return SetResult::WRONG_TYPE;
        }
        const float v = static_cast<float>(value.get<double>());
        applied = tool.setParam(name, v);
        break;
    }
    case BOOL: {
        if (!value.is_boolean()) {
            return SetResult::WRONG_TYPE;
        }
        const bool v = value.get<bool>();
        applied = tool.setParam(name, v);
        break;
    }
    case ENUM:
    case STRING: {
        if (!value.is_string()) {
            return SetResult::WRONG_TYPE;
        }
        applied = tool.setParam(name, value.get<std::string>());
        break;
    }
    default:
        return SetResult::WRONG_TYPE;
    }
    return applied ? SetResult::APPLIED : SetResult::REFUSED;
}

// A parameter the tool does not declare goes to the overload of the value's own type, so the tool
// reports the unknown name itself.
SetResult setUndeclared(CameraTool& tool, const std::string& name, const json& value) {
    bool applied = false;
    if (value.is_boolean()) {
        const bool v = value.get<bool>();
        applied = tool.setParam(name, v);
    } else if (value.is_number_float()) {
        const float v = static_cast<float>(value.get<double>());
        applied = tool.setParam(name, v);
    } else if (value.is_number()) {
        const int v = value.get<int>();
        applied = tool.setParam(name, v);
    } else {
        applied = tool.setParam(name, value.get<std::string>());
    }
    return applied ? SetResult::APPLIED : SetResult::REFUSED;
}

} // namespace

CameraToolSet::CameraToolSet() = default;
CameraToolSet::CameraToolSet(const CameraToolSet& other) = default;
CameraToolSet::CameraToolSet(CameraToolSet&& other) noexcept = default;
CameraToolSet& CameraToolSet::operator=(const CameraToolSet& other) = default;
CameraToolSet& CameraToolSet::operator=(CameraToolSet&& other) noexcept = default;
CameraToolSet::~CameraToolSet() = default;

void CameraToolSet::createEventCameraTools(const std::shared_ptr<RegisterController>& controller, bool isGenx320) {
    tools.clear();
    if (isGenx320) {
        buildEventSensorTools<Genx320Biases, Genx320TriggerIn, Genx320AntiFlicker, Genx320EventRateControl,
                              Genx320EventTrailFilter, Genx320ROI, Genx320Sync>(*this, controller);
    } else {
        buildEventSensorTools<Imx636Biases, Imx636TriggerIn, Imx636AntiFlicker, Imx636EventRateControl,
                              Imx636EventTrailFilter, Imx636ROI, Imx636Sync>(*this, controller);
    }
}

bool CameraToolSet::addTool(ToolType type, std::shared_ptr<CameraTool> tool) {
    return tools.try_emplace(type, std::move(tool)).second;
}

void CameraToolSet::clear() { tools.clear(); }

std::vector<ToolInfo> CameraToolSet::getAllToolsInfo() const {
    std::vector<ToolInfo> infos;
    infos.reserve(tools.size());
    for (const auto& [type, tool] : tools) {
        infos.push_back(tool->getToolInfo());
    }
    return infos;
}

ToolInfo CameraToolSet::getToolInfo(ToolType type) const {
    auto it = tools.find(type);
    if (it == tools.end()) {
        QN_ERROR("Tool not found");
        throw std::runtime_error("Tool not found");
    }
    return it->second->getToolInfo();
}

std::shared_ptr<CameraTool> CameraToolSet::getTool(ToolType type) const {
    auto it = tools.find(type);
    if (it == tools.end()) {
        QN_ERROR("Tool not found");
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<CameraTool> CameraToolSet::getTool(const std::string& name) const {
    for (const auto& [type, tool] : tools) {
        if (tool->getToolInfo().name == name) {
            return tool;
        }
    }
    return nullptr;
}

bool CameraToolSet::exportCameraConfigParams(const std::string& path) const {
    json document;
    size_t unread = 0;
    for (const ToolInfo& info : getAllToolsInfo()) {
        std::shared_ptr<CameraTool> tool = getTool(info.type);
        json& toolObject = document[info.name];
        toolObject = json::object();
        for (const auto& [name, param] : tool->getAllParamInfo()) {
            json value;
            switch (readForExport(*tool, param.type, name, value)) {
            case ExportRead::READ:
                toolObject[name] = std::move(value);
                break;
            case ExportRead::FAILED:
                // Left out rather than written as a made-up value that a later load would apply.
                QN_ERROR("Cannot read %s.%s, left out of %s", info.name.c_str(), name.c_str(), path.c_str());
                ++unread;
                break;
            case ExportRead::NOT_EXPORTED:
                break;
            }
        }
    }

    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file.is_open()) {
        QN_ERROR("Failed to open %s file for writing.", path.c_str());
        return false;
    }
    file << document.dump(CONFIG_FILE_INDENT, ' ', false);
    file.close();
    if (file.fail()) {
        QN_ERROR("Failed to write %s.", path.c_str());
        return false;
    }
    QN_INFO("Parameters saved to %s", path.c_str());
    if (unread > 0) {
        QN_ERROR("%zu values could not be read and are missing from %s", unread, path.c_str());
        return false;
    }
    return true;
}

bool CameraToolSet::loadCameraConfigParams(const std::string& path) const {
    std::error_code ignored;
    std::ifstream file(path);
    // A directory opens as a stream but has nothing to read.
    if (!file.is_open() || std::filesystem::is_directory(path, ignored)) {
        QN_ERROR("Failed to open config file: %s", path.c_str());
        return false;
    }
    json document;
    file >> document; // reads one value; a parse error reaches the caller before anything is applied
    file.close();

    size_t notApplied = 0;
    for (const auto& toolEntry : document.items()) {
        const std::string& toolName = toolEntry.key();
        std::shared_ptr<CameraTool> tool = getTool(toolName);
        if (!tool) {
            QN_WARN("Tool not found: %s, skipping...", toolName.c_str());
            continue;
        }
        const auto declared = tool->getAllParamInfo();
        for (const auto& paramEntry : toolEntry.value().items()) {
            const std::string& name = paramEntry.key();
            const json& value = paramEntry.value();
            try {
                if (!value.is_boolean() && !value.is_number() && !value.is_string()) {
                    QN_WARN("Unsupported parameter type for %s.%s, skipped.", toolName.c_str(), name.c_str());
                    ++notApplied;
                    continue;
                }
                auto param = declared.find(name);
                const SetResult result = param != declared.end() ? setDeclared(*tool, name, param->second.type, value)
                                                                 : setUndeclared(*tool, name, value);
                switch (result) {
                case SetResult::APPLIED:
                    QN_INFO("Set %s.%s = %s", toolName.c_str(), name.c_str(), value.dump().c_str());
                    break;
                case SetResult::REFUSED:
                    QN_ERROR("Refused %s.%s = %s", toolName.c_str(), name.c_str(), value.dump().c_str());
                    ++notApplied;
                    break;
                case SetResult::WRONG_TYPE:
                    QN_ERROR("Value %s does not fit the %s parameter %s.%s", value.dump().c_str(),
                             ToolParameterTypeToString(param->second.type).c_str(), toolName.c_str(), name.c_str());
                    ++notApplied;
                    break;
                }
            } catch (const std::exception& e) {
                QN_ERROR("Failed to set %s.%s: %s", toolName.c_str(), name.c_str(), e.what());
                return false;
            }
        }
    }
    QN_INFO("Configuration applied from %s", path.c_str());
    if (notApplied > 0) {
        QN_ERROR("%zu values of %s were not applied", notApplied, path.c_str());
        return false;
    }
    return true;
}

} // namespace quelnor
