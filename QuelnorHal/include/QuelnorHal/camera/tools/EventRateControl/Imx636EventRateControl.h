#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// Event-rate control: holds the sensor's output to "max_event_rate" MEv/s by temporal dropping.
// Nothing is written until the first "enable" set, which runs the block's set-up sequence once.
class Imx636EventRateControl : public CameraToolRegisterWithCallback {
public:
    explicit Imx636EventRateControl(std::shared_ptr<RegisterController> controller);
    ~Imx636EventRateControl() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{EVENT_RATE_CONTROL, "EventRateControl", {"enable", "max_event_rate"},
                        "ERC of DVS cameras with IMX636 sensor"};
    }

    // The highest rate, in MEv/s, that later "max_event_rate" sets accept (the fusion camera uses 40).
    void setMaxLimitEventRate(unsigned limit) { rateLimit = limit; }

private:
    bool setEnable(bool enable);
    bool getEnable(bool& out);
    bool setMaxEventRate(int rate);
    bool getMaxEventRate(int& out);
    void initialize();
    uint32_t getCountPeriod() const;
    bool addRegister2Map(const FullParamteterInfo& info);

    bool initialized = false;
    int32_t currentRate = 320;
    uint32_t rateLimit = 320;
    std::map<std::string, std::map<int32_t, std::array<int32_t, 4>>> registerValueTable;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
