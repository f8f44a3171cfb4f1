#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/AntiFlicker/AntiFlickerTool.h"

namespace quelnor {

// The anti-flicker filter of the GenX320 sensor (see AntiFlickerTool).
// The mode parameter is "filter_mode" on this sensor.
class Genx320AntiFlicker : public AntiFlickerTool {
public:
    explicit Genx320AntiFlicker(std::shared_ptr<RegisterController> controller);

private:
    bool setEnableStatus(bool on) override;
};

} // namespace quelnor
