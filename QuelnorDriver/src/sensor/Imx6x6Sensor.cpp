#include "QuelnorDriver/sensor/Imx6x6Sensor.h"

#include "QuelnorDriver/sensor/SensorSequences.h"
#include "sensor/EventSensorDescription.h"
#include "sensor/SensorStreamParameters.h"

namespace quelnor {

namespace {

constexpr detail::EventSensorDescription IMX6X6 = {
    "Imx6x6Sensor",
    true,
    {&IMX6X6_INIT_SEQUENCE_1, &IMX6X6_INIT_SEQUENCE_2, nullptr},
    &IMX6X6_STOP_SEQUENCE,
    true,
    &IMX6X6_START_SEQUENCE,
    {"iph_mirr_en", "iph_mirr_amp_en"},
    true,
    {{{"Reserved_10_4", detail::IMX636_TIME_BASE_RESERVED_10_4}, {}}},
};

} // namespace

Imx6x6Sensor::Imx6x6Sensor() : EventSensor(IMX6X6) {}

Imx6x6Sensor::~Imx6x6Sensor() = default;

} // namespace quelnor
