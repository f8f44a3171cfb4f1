#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/sensor/Imx415Sensor.h"
#include "SensorRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {
constexpr const char* NO_TRANSFER = "Imx415Sensor init failed! No data transfer for the interface!";
constexpr const char* NOT_INITED = "Please initialize the Imx415Sensor first!";
} // namespace

TEST(Imx415Sensor, OverUsbInitSwitchesTheFrameStreamOffThenFailsWithoutATransfer) {
    auto rig = SensorRig::imx415();
    Imx415Sensor sensor;
    rig.wireRegisters(sensor);
    LogCapture capture;
    EXPECT_EQ(sensor.init(rig.device), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, NO_TRANSFER));
    EXPECT_EQ(rig.device->writesTo("aps_ctrl"), std::vector<uint32_t>{0});
    EXPECT_EQ(rig.device->log().size(), 1u);

    rig.device->clearLog();
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, NOT_INITED));
    EXPECT_EQ(sensor.stop(), 0) << "stop before a successful init does nothing";
    EXPECT_TRUE(rig.device->log().empty());
    EXPECT_FALSE(sensor.getNextBuffer().has_value());
}

TEST(Imx415Sensor, OverUsbTheWriteRegisterCallbackIsRequired) {
    auto rig = SensorRig::imx415();
    Imx415Sensor sensor;
    rig.wireEventSensor(sensor); // the frame sensor uses neither of these
    EXPECT_THROW(sensor.init(rig.device), std::bad_function_call);
    EXPECT_TRUE(rig.device->log().empty());
}

TEST(Imx415Sensor, OnAMipiInterfaceNoRegisterIsTouched) {
    auto rig = SensorRig::imx415(Interface::MIPI);
    Imx415Sensor sensor;
    rig.wireRegisters(sensor);
    LogCapture capture;
    EXPECT_EQ(sensor.init(rig.device), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, NO_TRANSFER));
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_TRUE(rig.device->log().empty());
}

TEST(Imx415Sensor, WithoutAnInterfaceInitFails) {
    Imx415Sensor sensor;
    LogCapture capture;
    EXPECT_EQ(sensor.init(nullptr), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, "Imx415Sensor init failed! No interface provided!"));
}
