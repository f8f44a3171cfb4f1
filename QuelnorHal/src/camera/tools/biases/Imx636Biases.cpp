#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"

#include <utility>

namespace quelnor {

namespace {
constexpr BiasEntry IMX636_BIAS_LIST[] = {
    {"bias_fo", "FO bias", -20, 0},
    {"bias_hpf", "HPF bias", 0, 120},
    {"bias_diff_on", "DIFF_ON bias", -80, 145},
    {"bias_diff", "DIFF bias", -25, 23},
    {"bias_diff_off", "DIFF_OFF bias", -30, 200},
    {"bias_refr", "REFR bias", -20, 235},
};
constexpr BiasSensor IMX636_BIASES{
    255, // idac_ctl, bits 0 to 7
    IMX636_BIAS_LIST, "Biases of DVS cameras with IMX636 sensor"};
} // namespace

Imx636Biases::Imx636Biases(std::shared_ptr<RegisterController> controller)
    : BiasesTool(std::move(controller), IMX636_BIASES) {}

} // namespace quelnor
