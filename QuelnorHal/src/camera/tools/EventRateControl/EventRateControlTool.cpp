#include "QuelnorHal/camera/tools/EventRateControl/EventRateControlTool.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/EventRateControl/EventRateArithmetic.h"

namespace quelnor {

EventRateControlTool::EventRateControlTool(std::shared_ptr<RegisterController> controller,
                                           const EventRateControlSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "erc/"), sensor(&sensor) {
    parameterList.emplace_back("enable", "Set whether the Event Rate Control function is enabled", BOOL,
                               BoolParameterInfo{false, [this](bool& v) { return getEnable(v); },
                                                 [this](bool v) { return setEnable(v); }});
    parameterList.emplace_back("max_event_rate", "Set threshold", INT,
                               IntParameterInfo{0, 320, 320, "MEv/s", [this](int& v) { return getMaxEventRate(v); },
                                                [this](int v) { return setMaxEventRate(v); }});
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

ToolInfo EventRateControlTool::getToolInfo() const {
    return ToolInfo{EVENT_RATE_CONTROL, "EventRateControl", {"enable", "max_event_rate"}, sensor->description};
}

bool EventRateControlTool::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

void EventRateControlTool::initializeOnce() {
    if (!initialized) {
        initialize();
    }
}

void EventRateControlTool::applyRateAtEnable() {
    // A limit lowered after the rate was set applies at this enabling too.
    int rate = currentRate;
    if (static_cast<int64_t>(rate) > static_cast<int64_t>(rateLimit)) {
        QN_WARN("Current event rate %d MEv/s exceed the limit %u MEv/s, using the limit", rate, rateLimit);
        rate = static_cast<int>(rateLimit);
    }
    setMaxEventRate(rate);
}

bool EventRateControlTool::setMaxEventRate(int rate) {
    if (rate < 0 || static_cast<int64_t>(rate) > static_cast<int64_t>(rateLimit)) {
        QN_ERROR("Current event rate %d MEv/s exceed the limit %d MEv/s", rate, static_cast<int>(rateLimit));
        return false;
    }
    return writeRate(rate);
}

bool EventRateControlTool::getMaxEventRate(int& out) {
    const uint32_t period = getCountPeriod();
    if (period == 0) {
        QN_ERROR("ERC reference period reads 0, the event rate cannot be computed");
        return false;
    }
    out = ercRateOf(readTarget(), period);
    return true;
}

} // namespace quelnor
