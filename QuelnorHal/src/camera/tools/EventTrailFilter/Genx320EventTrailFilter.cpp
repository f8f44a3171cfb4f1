#include "QuelnorHal/camera/tools/EventTrailFilter/Genx320EventTrailFilter.h"

#include <utility>

namespace quelnor {

namespace {
constexpr EventTrailFilterSensor GENX320_TRAIL_FILTER{"Event Trail Filter of DVS cameras with GenX320 sensor"};
} // namespace

Genx320EventTrailFilter::Genx320EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : EventTrailFilterTool(std::move(controller), GENX320_TRAIL_FILTER) {}

} // namespace quelnor
