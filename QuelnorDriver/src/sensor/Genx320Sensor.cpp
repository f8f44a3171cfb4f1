#include "QuelnorDriver/sensor/Genx320Sensor.h"

#include "QuelnorDriver/sensor/SensorSequences.h"
#include "sensor/EventSensorDescription.h"
#include "sensor/SensorStreamParameters.h"

namespace quelnor {

namespace {

constexpr detail::EventSensorDescription GENX320 = {
    "Genx320Sensor",
    false,
    {&GENX320_INIT_SEQUENCE, nullptr, nullptr},
    &GENX320_STOP_SEQUENCE,
    false, // stop replays nothing
    nullptr,
    {"iph_mirr_en", nullptr},
    false, // lifo_ctrl has lifo_en only
    {{{"us_counter_max", detail::GENX320_US_COUNTER_MAX}, {"th_every_64us_en", 1}}},
};

} // namespace

Genx320Sensor::Genx320Sensor() : EventSensor(GENX320) {}

Genx320Sensor::~Genx320Sensor() = default;

} // namespace quelnor
