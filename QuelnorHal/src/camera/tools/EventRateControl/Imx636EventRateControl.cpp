#include "QuelnorHal/camera/tools/EventRateControl/Imx636EventRateControl.h"

#include <cstdio>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/EventRateControl/EventRateArithmetic.h"

namespace quelnor {

namespace {

constexpr int RESERVED_REGISTERS = 230;
constexpr uint32_t RESERVED_FIRST_ADDRESS = 0x6800;
constexpr int DROP_LUT_REGISTERS = 256;
constexpr uint32_t INITIAL_TARGET = 10000;
// "target_event_rate" is 22 bits wide; the register is written whole, so a larger target would
// reach the bits above the field.
constexpr uint64_t MAX_TARGET = 0x3FFFFF;

constexpr EventRateControlSensor IMX636_ERC{"ERC of DVS cameras with IMX636 sensor"};

std::string reservedRegisterName(int i) {
    char name[32];
    std::snprintf(name, sizeof(name), "Reserved_%04X", static_cast<unsigned>(RESERVED_FIRST_ADDRESS + 4 * i));
    return name;
}

std::string dropLutRegisterName(int j) {
    char name[32];
    std::snprintf(name, sizeof(name), "t_drop_lut_%02d", j);
    return name;
}

std::string dropLutFieldName(int k) {
    char name[16];
    std::snprintf(name, sizeof(name), "tlut%03d", k);
    return name;
}

} // namespace

Imx636EventRateControl::Imx636EventRateControl(std::shared_ptr<RegisterController> controller)
    : EventRateControlTool(std::move(controller), IMX636_ERC) {
    auto& reserved = registerValueTable["Reserved"];
    for (int i = 0; i < RESERVED_REGISTERS; ++i) {
        reserved[i] = {8, 8, 8, 8};
    }
    // The identity drop table: every index 0 to 511 maps to itself.
    auto& lut = registerValueTable["t_drop_lut"];
    for (int i = 0; i < DROP_LUT_REGISTERS; ++i) {
        lut[i] = {2 * i, 2 * i + 1, 0, 0};
    }
}

void Imx636EventRateControl::initialize() {
    QN_INFO("Imx636 ERC Init");
    auto& rc = *registerController;
    rc.writeRegisterField(toolName + "Reserved_6000", "Reserved_1_0", 0);
    rc.writeRegisterField(toolName + "in_drop_rate_control", "cfg_event_delay_fifo_en", 1);
    rc.writeRegisterField(toolName + "reference_period", "erc_reference_period", ERC_REFERENCE_PERIOD);
    rc.writeRegisterField(toolName + "td_target_event_rate", "target_event_rate", INITIAL_TARGET);
    rc.writeRegisterField(toolName + "erc_enable", "erc_en", 1);
    rc.writeRegisterField(toolName + "erc_enable", "Reserved_1", 1);
    rc.writeRegisterField(toolName + "erc_enable", "Reserved_2", 0);
    rc.writeRegisterField(toolName + "Reserved_602C", "Reserved_0", 1);
    static const char* const RESERVED_FIELDS[4] = {"Reserved_5_0", "Reserved_13_8", "Reserved_21_16",
                                                   "Reserved_29_24"};
    for (const auto& [i, values] : registerValueTable.at("Reserved")) {
        const std::string reg = toolName + reservedRegisterName(i);
        for (int f = 0; f < 4; ++f) {
            rc.writeRegisterField(reg, RESERVED_FIELDS[f], static_cast<uint32_t>(values[f]));
        }
    }
    rc.writeRegisterField(toolName + "Reserved_602C", "Reserved_0", 0);
    for (const auto& [j, values] : registerValueTable.at("t_drop_lut")) {
        const std::string reg = toolName + dropLutRegisterName(j);
        rc.writeRegisterField(reg, dropLutFieldName(2 * j), static_cast<uint32_t>(values[0]));
        rc.writeRegisterField(reg, dropLutFieldName(2 * j + 1), static_cast<uint32_t>(values[1]));
    }
    rc.writeRegisterField(toolName + "t_dropping_control", "t_dropping_en", 0);
    rc.writeRegisterField(toolName + "h_dropping_control", "h_dropping_en", 0);
    rc.writeRegisterField(toolName + "v_dropping_control", "v_dropping_en", 0);
    rc.writeRegisterField(toolName + "Reserved_6000", "Reserved_1_0", 1);
    initialized = true;
}

uint32_t Imx636EventRateControl::getCountPeriod() const {
    return registerController->readRegister(toolName + "reference_period");
}

bool Imx636EventRateControl::setEnable(bool enable) {
    initializeOnce();
    registerController->writeRegisterField(toolName + "t_dropping_control", "t_dropping_en", enable ? 1 : 0);
    if (enable) {
        applyRateAtEnable();
    }
    return true;
}

bool Imx636EventRateControl::getEnable(bool& out) {
    uint32_t running = 0;
    uint32_t dropping = 0;
    registerController->readRegisterField(toolName + "Reserved_6000", "Reserved_1_0", running);
    registerController->readRegisterField(toolName + "t_dropping_control", "t_dropping_en", dropping);
    out = running == 1 && dropping == 1;
    return true;
}

bool Imx636EventRateControl::writeRate(int rate) {
    currentRate = rate;
    const uint32_t period = getCountPeriod();
    uint64_t target = ercTargetFor(rate, period);
    if (target > MAX_TARGET) {
        QN_WARN("Event rate target %llu exceeds the sensor's field, using %llu",
                static_cast<unsigned long long>(target), static_cast<unsigned long long>(MAX_TARGET));
        target = MAX_TARGET;
    }
    registerController->writeRegister(toolName + "td_target_event_rate", static_cast<uint32_t>(target));
    QN_DEBUG("set event rate(Ev/s): %lld", static_cast<long long>(rate) * static_cast<long long>(EVENTS_PER_MEV));
    return true;
}

uint32_t Imx636EventRateControl::readTarget() {
    return registerController->readRegister(toolName + "td_target_event_rate");
}

} // namespace quelnor
