#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/trigger/SyncTool.h"

namespace quelnor {

// The time-base mode of the IMX636 sensor (see SyncTool).
class Imx636Sync : public SyncTool {
public:
    explicit Imx636Sync(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
