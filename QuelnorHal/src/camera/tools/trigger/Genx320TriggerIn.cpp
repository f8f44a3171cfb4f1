#include "QuelnorHal/camera/tools/trigger/Genx320TriggerIn.h"

#include <utility>

namespace quelnor {

namespace {
constexpr TriggerInSensor GENX320_TRIGGER_IN{"edf/pipeline_control", "Trigger in of DVS cameras with GenX320 sensor"};
} // namespace

Genx320TriggerIn::Genx320TriggerIn(std::shared_ptr<RegisterController> controller)
    : TriggerInTool(std::move(controller), GENX320_TRIGGER_IN) {}

} // namespace quelnor
