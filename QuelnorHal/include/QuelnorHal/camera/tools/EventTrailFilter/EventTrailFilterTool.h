#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// What one sensor's trail filter block differs in. The block layout and the register sequence are
// the same on every event sensor; only the tool's description names the sensor.
struct EventTrailFilterSensor {
    const char* description; // ToolInfo::description
};

// The event trail filter block under "stc/": "TRAIL", "STC_CUT_TRAIL" or "STC_KEEP_TRAIL" with a
// threshold of 1 to 100 ms. Enabling programs the threshold and the block's timing from
// TRAIL_FILTER_TABLE. The sensor classes (Imx636EventTrailFilter, Genx320EventTrailFilter) only name
// their EventTrailFilterSensor.
class EventTrailFilterTool : public CameraToolRegisterWithCallback {
public:
    ToolInfo getToolInfo() const override;

protected:
    // sensor must outlive the tool (the sensor classes pass a constexpr description).
    EventTrailFilterTool(std::shared_ptr<RegisterController> controller, const EventTrailFilterSensor& sensor);

private:
    bool setEnable(bool enable);
    bool getEnable(bool& out);
    bool setThreshold(int value);
    bool getThreshold(int& out);
    bool setType(std::string text);
    bool getType(std::string& out);
    bool addRegister2Map(const FullParamteterInfo& info);

    const EventTrailFilterSensor* sensor;
    bool enabled = false;
    std::string type = "TRAIL";
    int32_t threshold = 10;
    std::vector<std::string> typeOptions = {"TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL"};
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
