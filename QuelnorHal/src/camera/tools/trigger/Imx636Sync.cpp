#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"

#include <utility>

namespace quelnor {

namespace {
constexpr SyncSensor IMX636_SYNC{
    "Sync of DVS cameras with IMX636 sensors",
    false,
    "Reserved_10_4",
    100,
    "dig_pad2_ctrl",
    "pad_sync",
    12, // MASTER drives the pad
    15, // SLAVE listens on it
    false,
};
} // namespace

Imx636Sync::Imx636Sync(std::shared_ptr<RegisterController> controller)
    : SyncTool(std::move(controller), IMX636_SYNC) {}

} // namespace quelnor
