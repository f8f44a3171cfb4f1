#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// The event trail filter block: "TRAIL", "STC_CUT_TRAIL" or "STC_KEEP_TRAIL" with a threshold of
// 1 to 100 ms. Enabling programs the threshold and the block's timing from TRAIL_FILTER_TABLE.
class Imx636EventTrailFilter : public CameraToolRegisterWithCallback {
public:
    explicit Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller);
    ~Imx636EventTrailFilter() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{EVENT_TRAIL_FILTER, "EventTrailFilter", {"enable", "threshold", "type"}, "Event Trail Filter of DVS cameras with IMX636 sensor"};
    }

private:
    bool setEnable(bool enable);
    bool getEnable(bool& out);
    bool setThreshold(int value);
    bool getThreshold(int& out);
    bool setType(std::string text);
    bool getType(std::string& out);
    bool addRegister2Map(const FullParamteterInfo& info);

    bool enabled = false;
    std::string type = "TRAIL";
    int32_t threshold = 10;
    std::vector<std::string> typeOptions = {"TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL"};
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
