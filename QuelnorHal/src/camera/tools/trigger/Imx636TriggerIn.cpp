#include "QuelnorHal/camera/tools/trigger/Imx636TriggerIn.h"

#include <utility>

namespace quelnor {

namespace {
constexpr TriggerInSensor IMX636_TRIGGER_IN{"edf/trigger_in", "Trigger in of DVS cameras with IMX636 sensors"};
} // namespace

Imx636TriggerIn::Imx636TriggerIn(std::shared_ptr<RegisterController> controller)
    : TriggerInTool(std::move(controller), IMX636_TRIGGER_IN) {}

} // namespace quelnor
