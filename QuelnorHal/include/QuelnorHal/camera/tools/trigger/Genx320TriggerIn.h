#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/trigger/TriggerInTool.h"

namespace quelnor {

// The external trigger input of the GenX320 sensor (see TriggerInTool).
class Genx320TriggerIn : public TriggerInTool {
public:
    explicit Genx320TriggerIn(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
