#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuelnorHal/interface/OndrikProInterface.h"

namespace quelnor {
namespace {

using Config = OndrikProInterface::Config;

const char* const I2C_MESSAGE = "Ondrik Pro requires 1..4 byte addresses/values and a 7-bit I2C slave address";
const char* const PWM_MESSAGE = "Invalid Ondrik Pro PWM configuration";

// The message of the invalid_argument that creating an interface over config throws, or "" when it is taken.
std::string refusal(const Config& config) {
    try {
        OndrikProInterface::create(config);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "";
}

TEST(OndrikProConfig, DefaultsAreTheBoards) {
    const Config config;
    EXPECT_EQ(config.dvsStream.devicePath, "/dev/video0");
    EXPECT_EQ(config.dvsStream.width, 1024);
    EXPECT_EQ(config.dvsStream.height, 512);
    EXPECT_EQ(config.dvsStream.pixelFormat, 0);
    EXPECT_EQ(config.dvsStream.bufferCount, 8);
    EXPECT_EQ(config.dvsStream.bufferSize, 0x80000);
    EXPECT_EQ(config.apsStream.devicePath, "/dev/video22");
    EXPECT_EQ(config.apsStream.width, 3840);
    EXPECT_EQ(config.apsStream.height, 2160);
    EXPECT_EQ(config.apsStream.pixelFormat, 0);
    EXPECT_EQ(config.apsStream.bufferCount, 6);
    EXPECT_EQ(config.apsStream.bufferSize, 12441600);
    EXPECT_EQ(config.registerTarget.devicePath, "/dev/i2c-2");
    EXPECT_EQ(config.registerTarget.slaveAddress, 0x3C);
    EXPECT_EQ(config.registerTarget.addressWidth, 4);
    EXPECT_EQ(config.registerTarget.valueWidth, 4);
    EXPECT_EQ(config.registerTarget.flag, 1);
    EXPECT_EQ(config.blockTarget.devicePath, "/dev/i2c-3");
    EXPECT_EQ(config.blockTarget.slaveAddress, 0x36);
    EXPECT_EQ(config.blockTarget.addressWidth, 2);
    EXPECT_EQ(config.blockTarget.valueWidth, 1);
    EXPECT_EQ(config.blockTarget.flag, 1);
    EXPECT_EQ(config.subdevicePath, "/dev/v4l-subdev5");
    EXPECT_EQ(config.firstPwm.chipPath, "/sys/class/pwm/pwmchip0");
    EXPECT_EQ(config.firstPwm.periodNs, 67000000u);
    EXPECT_EQ(config.firstPwm.dutyCycleNs, 200000u);
    EXPECT_EQ(config.firstPwm.polarity, "inversed");
    EXPECT_EQ(config.secondPwm.chipPath, "/sys/class/pwm/pwmchip2");
    EXPECT_EQ(config.secondPwm.periodNs, 12000u);
    EXPECT_EQ(config.secondPwm.dutyCycleNs, 200u);
    EXPECT_EQ(config.secondPwm.polarity, "normal");
}

TEST(OndrikProConfig, CreateKeepsTheConfigurationAndTouchesNoDevice) {
    // Creating does not look at the nodes: the default paths need not exist.
    auto byDefault = OndrikProInterface::create();
    ASSERT_TRUE(byDefault);
    EXPECT_EQ(byDefault->getInterfaceType(), Interface::MIPI);
    EXPECT_EQ(byDefault->dvsStreamConfig().devicePath, "/dev/video0");
    EXPECT_EQ(byDefault->apsStreamConfig().bufferSize, 12441600);
    EXPECT_EQ(byDefault->deviceIo(), DeviceIo::system());

    Config config;
    config.dvsStream.devicePath = "/elsewhere/video3";
    config.apsStream.pixelFormat = 0x3231564E;
    auto given = OndrikProInterface::create(config);
    EXPECT_EQ(given->dvsStreamConfig().devicePath, "/elsewhere/video3");
    EXPECT_EQ(given->apsStreamConfig().pixelFormat, 0x3231564E);
}

struct ConfigCase {
    const char* name;
    std::function<void(Config&)> change;
    const char* expected; // "" when accepted
};

class OndrikProValidation : public testing::TestWithParam<ConfigCase> {};

TEST_P(OndrikProValidation, RefusesWithTheFixedMessage) {
    Config config;
    GetParam().change(config);
    EXPECT_EQ(refusal(config), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OndrikProValidation,
    testing::Values(
        ConfigCase{"Defaults", [](Config&) {}, ""},
        ConfigCase{"RegisterValueWidth0", [](Config& c) { c.registerTarget.valueWidth = 0; }, I2C_MESSAGE},
        ConfigCase{"RegisterValueWidth5", [](Config& c) { c.registerTarget.valueWidth = 5; }, I2C_MESSAGE},
        ConfigCase{"RegisterAddressWidth0", [](Config& c) { c.registerTarget.addressWidth = 0; }, I2C_MESSAGE},
        ConfigCase{"RegisterAddressWidth5", [](Config& c) { c.registerTarget.addressWidth = 5; }, I2C_MESSAGE},
        ConfigCase{"RegisterSlave0x80", [](Config& c) { c.registerTarget.slaveAddress = 0x80; }, I2C_MESSAGE},
        ConfigCase{"RegisterSlave0x7F", [](Config& c) { c.registerTarget.slaveAddress = 0x7F; }, ""},
        ConfigCase{"BlockValueWidth0", [](Config& c) { c.blockTarget.valueWidth = 0; }, I2C_MESSAGE},
        ConfigCase{"BlockAddressWidth5", [](Config& c) { c.blockTarget.addressWidth = 5; }, I2C_MESSAGE},
        ConfigCase{"BlockSlave0x80", [](Config& c) { c.blockTarget.slaveAddress = 0x80; }, I2C_MESSAGE},
        ConfigCase{"WidthsOneAndFour",
                   [](Config& c) {
                       c.blockTarget.addressWidth = 4;
                       c.blockTarget.valueWidth = 4;
                       c.registerTarget.addressWidth = 1;
                       c.registerTarget.valueWidth = 1;
                   },
                   ""},
        ConfigCase{"PeriodEqualsDuty",
                   [](Config& c) {
                       c.firstPwm.periodNs = 100;
                       c.firstPwm.dutyCycleNs = 100;
                   },
                   ""},
        ConfigCase{"DutyAbovePeriod",
                   [](Config& c) {
                       c.firstPwm.periodNs = 100;
                       c.firstPwm.dutyCycleNs = 101;
                   },
                   PWM_MESSAGE},
        ConfigCase{"PolarityCapitalised", [](Config& c) { c.firstPwm.polarity = "Normal"; }, PWM_MESSAGE},
        ConfigCase{"PeriodZero",
                   [](Config& c) {
                       c.secondPwm.periodNs = 0;
                       c.secondPwm.dutyCycleNs = 0;
                   },
                   PWM_MESSAGE},
        ConfigCase{"NoChipPath", [](Config& c) { c.secondPwm.chipPath.clear(); }, PWM_MESSAGE},
        ConfigCase{"SecondPolarityEmpty", [](Config& c) { c.secondPwm.polarity.clear(); }, PWM_MESSAGE},
        ConfigCase{"I2cCheckedBeforePwm",
                   [](Config& c) {
                       c.firstPwm.polarity = "bad";
                       c.blockTarget.slaveAddress = 0xFF;
                   },
                   I2C_MESSAGE}),
    [](const testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST(OndrikProInterfaceBase, KeepsTheBaseBehaviourOfWhatItDoesNotOverride) {
    auto interface = OndrikProInterface::create();
    interface->initByCamera({1, 2, 0x19});
    EXPECT_FALSE(interface->writeCalibrationFile("/nonexistent"));
    std::vector<uint8_t> data;
    EXPECT_FALSE(interface->readCalibrationData(data));
    EXPECT_EQ(interface->getFirmwareVersion(), 0u);
    EXPECT_EQ(interface->getBuildDate(), 0u);
    EXPECT_EQ(interface->getDeviceCount(), 0u);
}

} // namespace
} // namespace quelnor
