#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/AntiFlicker/AntiFlickerTool.h"

namespace quelnor {

// The anti-flicker filter of the IMX636 sensor (see AntiFlickerTool).
// The mode parameter is "fliter_mode" on this sensor.
class Imx636AntiFlicker : public AntiFlickerTool {
public:
    explicit Imx636AntiFlicker(std::shared_ptr<RegisterController> controller);

private:
    bool setEnableStatus(bool on) override;
};

} // namespace quelnor
