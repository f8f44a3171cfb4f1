#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/trigger/TriggerInTool.h"

namespace quelnor {

// The external trigger input of the IMX636 sensor (see TriggerInTool).
class Imx636TriggerIn : public TriggerInTool {
public:
    explicit Imx636TriggerIn(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
