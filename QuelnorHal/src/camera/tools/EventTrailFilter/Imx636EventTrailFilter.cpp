#include "QuelnorHal/camera/tools/EventTrailFilter/Imx636EventTrailFilter.h"

#include <utility>

namespace quelnor {

namespace {
constexpr EventTrailFilterSensor IMX636_TRAIL_FILTER{"Event Trail Filter of DVS cameras with IMX636 sensor"};
} // namespace

Imx636EventTrailFilter::Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : EventTrailFilterTool(std::move(controller), IMX636_TRAIL_FILTER) {}

} // namespace quelnor
