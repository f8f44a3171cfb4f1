#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuelnorDriver/sensor/Genx320Sensor.h"
#include "QuelnorDriver/sensor/Imx6x6Sensor.h"
#include "SensorRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

// The set-up steps the sensors run inside init, reachable with any arguments.
struct Imx636SetUp : Imx6x6Sensor {
    using Imx6x6Sensor::controlIphMirror;
    using Imx6x6Sensor::controlLifo;
    using Imx6x6Sensor::temperatureInit;
    using Imx6x6Sensor::timeBaseConfig;
};

struct Genx320SetUp : Genx320Sensor {
    using Genx320Sensor::controlIphMirror;
    using Genx320Sensor::controlLifo;
    using Genx320Sensor::temperatureInit;
    using Genx320Sensor::timeBaseConfig;
};

// Records every field write ("reg.field = v") and passes it on to the controller over the sensor's real
// register map, so a name the map lacks throws as on a camera.
template <typename SensorT>
std::vector<std::string> runStep(const std::function<void(SensorT&)>& step, const SensorRig& rig) {
    SensorT sensor;
    std::vector<std::string> writes;
    auto controller = rig.controller;
    sensor.setWriteRegisterFieldCallback([&writes, controller](const std::string& reg, const std::string& field,
                                                               uint32_t value) {
        writes.push_back(reg + "." + field + " = " + std::to_string(value));
        controller->writeRegisterField(reg, field, value);
    });
    step(sensor);
    return writes;
}

template <typename SensorT>
struct SetUpCase {
    const char* label;
    std::function<void(SensorT&)> step;
    std::vector<std::string> writes;
};

} // namespace

TEST(SensorSetUp, Imx636StepsWriteTheirFieldsByArgument) {
    const std::vector<SetUpCase<Imx636SetUp>> cases = {
        {"temperatureInit", [](auto& s) { s.temperatureInit(); },
         {"adc_control.adc_en = 1", "adc_control.adc_clk_en = 1", "adc_misc_ctrl.adc_buf_cal_en = 1",
          "temp_ctrl.temp_buf_en = 1", "temp_ctrl.temp_buf_cal_en = 1", "adc_control.adc_clk_en = 0"}},
        {"controlIphMirror(true)", [](auto& s) { s.controlIphMirror(true); },
         {"iph_mirr_ctrl.iph_mirr_en = 1", "iph_mirr_ctrl.iph_mirr_amp_en = 1"}},
        {"controlIphMirror(false)", [](auto& s) { s.controlIphMirror(false); },
         {"iph_mirr_ctrl.iph_mirr_en = 0", "iph_mirr_ctrl.iph_mirr_amp_en = 0"}},
        {"controlLifo(true, true, true)", [](auto& s) { s.controlLifo(true, true, true); },
         {"lifo_ctrl.lifo_en = 1", "lifo_ctrl.lifo_out_en = 1", "lifo_ctrl.lifo_cnt_en = 1"}},
        {"controlLifo(true, false, true)", [](auto& s) { s.controlLifo(true, false, true); },
         {"lifo_ctrl.lifo_en = 1", "lifo_ctrl.lifo_cnt_en = 1"}},
        {"controlLifo(false, true, false)", [](auto& s) { s.controlLifo(false, true, false); },
         {"lifo_ctrl.lifo_out_en = 1", "lifo_ctrl.lifo_cnt_en = 0"}},
        {"controlLifo(false, false, false)", [](auto& s) { s.controlLifo(false, false, false); },
         {"lifo_ctrl.lifo_en = 0", "lifo_ctrl.lifo_out_en = 0", "lifo_ctrl.lifo_cnt_en = 0"}},
        {"timeBaseConfig(false, true)", [](auto& s) { s.timeBaseConfig(false, true); },
         {"ro/time_base_ctrl.time_base_mode = 0", "ro/time_base_ctrl.external_mode = 1",
          "ro/time_base_ctrl.external_mode_enable = 0", "ro/time_base_ctrl.Reserved_10_4 = 100"}},
        {"timeBaseConfig(true, false)", [](auto& s) { s.timeBaseConfig(true, false); },
         {"ro/time_base_ctrl.time_base_mode = 1", "ro/time_base_ctrl.external_mode = 0",
          "ro/time_base_ctrl.external_mode_enable = 1", "ro/time_base_ctrl.Reserved_10_4 = 100",
          "dig_pad2_ctrl.pad_sync = 15"}},
        {"timeBaseConfig(true, true)", [](auto& s) { s.timeBaseConfig(true, true); },
         {"ro/time_base_ctrl.time_base_mode = 1", "ro/time_base_ctrl.external_mode = 1",
          "ro/time_base_ctrl.external_mode_enable = 1", "ro/time_base_ctrl.Reserved_10_4 = 100",
          "dig_pad2_ctrl.pad_sync = 12"}},
    };
    for (const auto& c : cases) {
        auto rig = SensorRig::imx636();
        EXPECT_EQ(runStep<Imx636SetUp>(c.step, rig), c.writes) << c.label;
    }
}

TEST(SensorSetUp, Genx320StepsWriteTheirFieldsByArgument) {
    const std::vector<SetUpCase<Genx320SetUp>> cases = {
        {"temperatureInit", [](auto& s) { s.temperatureInit(); },
         {"adc_control.adc_en = 1", "adc_control.adc_clk_en = 1", "adc_misc_ctrl.adc_buf_cal_en = 1",
          "temp_ctrl.temp_buf_en = 1", "temp_ctrl.temp_buf_cal_en = 1", "adc_control.adc_clk_en = 0"}},
        {"controlIphMirror(true): no amplifier bit", [](auto& s) { s.controlIphMirror(true); },
         {"iph_mirr_ctrl.iph_mirr_en = 1"}},
        {"controlLifo(true, false, false): lifo_en only", [](auto& s) { s.controlLifo(true, false, false); },
         {"lifo_ctrl.lifo_en = 1"}},
        {"controlLifo(false, true, true): lifo_en only", [](auto& s) { s.controlLifo(false, true, true); },
         {"lifo_ctrl.lifo_en = 0"}},
        {"timeBaseConfig(false, false)", [](auto& s) { s.timeBaseConfig(false, false); },
         {"ro/time_base_ctrl.time_base_mode = 0", "ro/time_base_ctrl.external_mode = 0",
          "ro/time_base_ctrl.external_mode_enable = 0", "ro/time_base_ctrl.us_counter_max = 25",
          "ro/time_base_ctrl.th_every_64us_en = 1"}},
    };
    for (const auto& c : cases) {
        auto rig = SensorRig::genx320();
        EXPECT_EQ(runStep<Genx320SetUp>(c.step, rig), c.writes) << c.label;
    }
}

TEST(SensorSetUp, Genx320ExternalTimeBaseReachesForASyncPadItsMapLacks) {
    auto rig = SensorRig::genx320();
    std::vector<std::string> writes;
    try {
        writes = runStep<Genx320SetUp>([](auto& s) { s.timeBaseConfig(true, true); }, rig);
        FAIL() << "expected the controller to refuse dig_pad2_ctrl";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "RegisterController: Register not found");
    }
    // The five time-base fields were written before the throw.
    EXPECT_EQ(rig.device->fieldWrites("ro/time_base_ctrl", "us_counter_max").size(), 5u);
}

TEST(SensorSetUp, WrittenFieldsLandInTheirRegisters) {
    auto rig = SensorRig::imx636();
    runStep<Imx636SetUp>([](auto& s) { s.timeBaseConfig(true, true); }, rig);
    EXPECT_EQ(rig.device->peekField("ro/time_base_ctrl", "time_base_mode"), 1u);
    EXPECT_EQ(rig.device->peekField("ro/time_base_ctrl", "Reserved_10_4"), 100u);
    EXPECT_EQ(rig.device->peekField("dig_pad2_ctrl", "pad_sync"), 12u);
    EXPECT_EQ(rig.device->peekField("dig_pad2_ctrl", "Reserved_15_0"), 0xFCCFu) << "neighbouring bits kept";
}
