#pragma once

#include <cstdint>
#include <memory>

#include "QuelnorHal/camera/tools/EventRateControl/EventRateControlTool.h"

namespace quelnor {

// The event-rate control of the GenX320 sensor (see EventRateControlTool).
class Genx320EventRateControl : public EventRateControlTool {
public:
    explicit Genx320EventRateControl(std::shared_ptr<RegisterController> controller);

private:
    void initialize() override;
    bool setEnable(bool enable) override;
    bool getEnable(bool& out) override;
    bool writeRate(int rate) override;
    uint32_t readTarget() override;
    uint32_t getCountPeriod() const override;

    bool enabled = false;
};

} // namespace quelnor
