#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// Event-rate control: holds the sensor's output to "max_event_rate" MEv/s by temporal dropping.
// Nothing is written until the first "enable" set, which runs the block's set-up sequence once.
class Genx320EventRateControl : public CameraToolRegisterWithCallback {
public:
    explicit Genx320EventRateControl(std::shared_ptr<RegisterController> controller)
        : CameraToolRegisterWithCallback(std::move(controller), "erc/") {
        parameterList.emplace_back("enable", "Set whether the Event Rate Control function is enabled", BOOL,
                                   BoolParameterInfo{false, [this](bool& v) { return getEnable(v); },
                                                     [this](bool v) { return setEnable(v); }});
        parameterList.emplace_back("max_event_rate", "Set threshold", INT,
                                   IntParameterInfo{0, 320, 320, "MEv/s",
                                                    [this](int& v) { return getMaxEventRate(v); },
                                                    [this](int v) { return setMaxEventRate(v); }});
        for (const auto& entry : parameterList) {
            addRegister2Map(entry);
        }
    }
    ~Genx320EventRateControl() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{EVENT_RATE_CONTROL, "EventRateControl", {"enable", "max_event_rate"},
                        "ERC of DVS cameras with GenX320 sensor"};
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
    bool enabled = false;
    int32_t currentRate = 320;
    uint32_t rateLimit = 320;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
