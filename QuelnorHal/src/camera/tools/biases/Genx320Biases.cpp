#include "QuelnorHal/camera/tools/biases/Genx320Biases.h"

#include <utility>

namespace quelnor {

namespace {
constexpr BiasEntry GENX320_BIAS_LIST[] = {
    {"bias_pr_hv0", "PR bias. WARNING: Recommended to leave untouched.", -61, 66},
    {"bias_fo_hv0", "FO bias", -39, 88},
    {"bias_hpf_lv0", "HPF bias", 0, 127},
    {"bias_diff_on_lv0", "DIFF_ON bias", -24, 103},
    {"bias_diff_lv0", "DIFF bias. WARNING: Recommended to leave untouched.", -51, 76},
    {"bias_diff_off_lv0", "DIFF_OFF bias", -19, 108},
    {"bias_refr_lv0", "REFR bias", -82, 45},
};
constexpr BiasSensor GENX320_BIASES{
    127, // bias_ctl, bits 0 to 6
    GENX320_BIAS_LIST, "Biases of DVS cameras with GenX320 sensor"};
} // namespace

Genx320Biases::Genx320Biases(std::shared_ptr<RegisterController> controller)
    : BiasesTool(std::move(controller), GENX320_BIASES) {}

} // namespace quelnor
