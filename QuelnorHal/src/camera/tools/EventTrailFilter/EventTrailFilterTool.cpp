#include "QuelnorHal/camera/tools/EventTrailFilter/EventTrailFilterTool.h"

#include <algorithm>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/TrailFilterTable.h"

namespace quelnor {

namespace {
constexpr int32_t MIN_THRESHOLD_MS = 1;
constexpr int32_t MAX_THRESHOLD_MS = 100;
constexpr uint32_t US_PER_MS = 1000;
constexpr int INIT_DONE_READS = 3;
// "pipeline_control" values: bypassed (off or being set up), and running.
constexpr uint32_t PIPELINE_BYPASS = 5;
constexpr uint32_t PIPELINE_RUN = 1;
} // namespace

EventTrailFilterTool::EventTrailFilterTool(std::shared_ptr<RegisterController> controller,
                                           const EventTrailFilterSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "stc/"), sensor(&sensor) {
    parameterList.emplace_back("enable", "Set whether the Event Trail Filter function is enabled", BOOL,
                               BoolParameterInfo{false, [this](bool& v) { return getEnable(v); },
                                                 [this](bool v) { return setEnable(v); }});
    parameterList.emplace_back("threshold", "Set threshold", INT,
                               IntParameterInfo{MIN_THRESHOLD_MS, MAX_THRESHOLD_MS, 10, "ms",
                                                [this](int& v) { return getThreshold(v); },
                                                [this](int v) { return setThreshold(v); }});
    parameterList.emplace_back("type", "Set event trail filter type", ENUM,
                               EnumParameterInfo{typeOptions, "TRAIL", [this](std::string& v) { return getType(v); },
                                                 [this](std::string v) { return setType(std::move(v)); }});
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

ToolInfo EventTrailFilterTool::getToolInfo() const {
    return ToolInfo{EVENT_TRAIL_FILTER, "EventTrailFilter", {"enable", "threshold", "type"}, sensor->description};
}

bool EventTrailFilterTool::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

bool EventTrailFilterTool::setEnable(bool enable) {
    auto& rc = *registerController;
    rc.writeRegister(toolName + "pipeline_control", PIPELINE_BYPASS);
    enabled = false;
    if (!enable) {
        return true;
    }
    const std::string init = toolName + "initialization";
    const std::string stc = toolName + "stc_param";
    const std::string trail = toolName + "trail_param";
    rc.writeRegisterField(init, "stc_flag_init_done", 1);
    rc.writeRegisterField(init, "stc_req_init", 1);
    const uint32_t t = static_cast<uint32_t>(threshold) * US_PER_MS;
    if (type == "STC_CUT_TRAIL" || type == "STC_KEEP_TRAIL") {
        rc.writeRegisterField(stc, "stc_enable", 1);
        rc.writeRegisterField(stc, "stc_threshold", t);
        rc.writeRegisterField(stc, "disable_stc_cut_trail", type == "STC_KEEP_TRAIL" ? 1 : 0);
        rc.writeRegisterField(trail, "trail_enable", 0);
    } else {
        rc.writeRegisterField(stc, "stc_enable", 0);
        rc.writeRegisterField(trail, "trail_enable", 1);
        rc.writeRegisterField(trail, "trail_threshold", t);
    }
    int32_t presc = 0;
    int32_t mult = 0;
    int32_t dtFifoTimeout = 0;
    auto row = TRAIL_FILTER_TABLE.find(threshold);
    if (row != TRAIL_FILTER_TABLE.end()) {
        presc = row->second.at("presc");
        mult = row->second.at("mult");
        dtFifoTimeout = row->second.at("dt_fifo_timeout");
    }
    const std::string timestamping = toolName + "timestamping";
    rc.writeRegisterField(timestamping, "prescaler", static_cast<uint32_t>(presc));
    rc.writeRegisterField(timestamping, "multiplier", static_cast<uint32_t>(mult));
    rc.writeRegisterField(timestamping, "enable_last_ts_update_at_every_event", 1);
    rc.writeRegisterField(toolName + "invalidation", "dt_fifo_timeout", static_cast<uint32_t>(dtFifoTimeout));

    uint32_t done = 0;
    for (int i = 0; i < INIT_DONE_READS; ++i) {
        rc.readRegisterField(init, "stc_flag_init_done", done);
        if (done == 1) {
            break;
        }
    }
    if (done == 0) {
        QN_ERROR("Set enable failed.");
        return false;
    }
    rc.writeRegister(toolName + "pipeline_control", PIPELINE_RUN);
    enabled = true;
    return true;
}

bool EventTrailFilterTool::getEnable(bool& out) {
    out = enabled;
    return true;
}

bool EventTrailFilterTool::setThreshold(int value) {
    // Outside the table the block would get no timing, and value * 1000 would overflow.
    if (value < MIN_THRESHOLD_MS || value > MAX_THRESHOLD_MS) {
        QN_ERROR("The threshold %d ms is out of range [%d, %d].", value, MIN_THRESHOLD_MS, MAX_THRESHOLD_MS);
        return false;
    }
    threshold = value;
    if (enabled) {
        setEnable(false);
        return setEnable(true);
    }
    return true;
}

bool EventTrailFilterTool::getThreshold(int& out) {
    out = threshold;
    return true;
}

bool EventTrailFilterTool::setType(std::string text) {
    if (std::find(typeOptions.begin(), typeOptions.end(), text) == typeOptions.end()) {
        QN_ERROR("The input type is incorrect.");
        return false;
    }
    type = std::move(text);
    if (enabled) {
        setEnable(false);
        return setEnable(true);
    }
    return true;
}

bool EventTrailFilterTool::getType(std::string& out) {
    out = type;
    return true;
}

} // namespace quelnor
