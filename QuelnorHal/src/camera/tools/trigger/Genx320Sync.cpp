#include "QuelnorHal/camera/tools/trigger/Genx320Sync.h"

#include <utility>

namespace quelnor {

namespace {
constexpr SyncSensor GENX320_SYNC{
    "Sync of DVS cameras with GenX320 sensors",
    true,
    "us_counter_max",
    25,
    nullptr, // the sync pad needs no setting
    nullptr,
    0,
    0,
    true,
};
} // namespace

Genx320Sync::Genx320Sync(std::shared_ptr<RegisterController> controller)
    : SyncTool(std::move(controller), GENX320_SYNC) {}

} // namespace quelnor
