#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/trigger/SyncTool.h"

namespace quelnor {

// The time-base mode of the GenX320 sensor (see SyncTool).
class Genx320Sync : public SyncTool {
public:
    explicit Genx320Sync(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
