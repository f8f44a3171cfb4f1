#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/EventTrailFilter/EventTrailFilterTool.h"

namespace quelnor {

// The event trail filter of the GenX320 sensor (see EventTrailFilterTool).
class Genx320EventTrailFilter : public EventTrailFilterTool {
public:
    explicit Genx320EventTrailFilter(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
