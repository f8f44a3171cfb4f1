#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/EventTrailFilter/EventTrailFilterTool.h"

namespace quelnor {

// The event trail filter of the IMX636 sensor (see EventTrailFilterTool).
class Imx636EventTrailFilter : public EventTrailFilterTool {
public:
    explicit Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
