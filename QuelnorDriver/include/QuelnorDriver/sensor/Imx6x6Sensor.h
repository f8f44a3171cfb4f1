#pragma once

#include "QuelnorDriver/sensor/EventSensor.h"

namespace quelnor {

// The Sony IMX636 event sensor. Over USB or Ethernet it is brought up by register sequences and
// set-up writes through the camera's register controller (the sequence and write-field callbacks);
// over MIPI it is read through V4L2 and no register is touched.
//
// init fails (-1) without a sequence callback, and when no data transfer can be made for the
// interface (after the sensor has been set up, so its registers are configured either way); start then
// refuses to run. The set-up writes log an error and are skipped without a write-field callback.
//
// init: stop sequence, init sequences 1 and 2, then temperature, pixel-mirror, LIFO and time-base
// set-up; it blocks for about 2.5 s on a connected device. start starts the event stream, then
// replays the start sequence; stop replays the stop sequence, then stops the event stream.
class Imx6x6Sensor : public EventSensor {
public:
    Imx6x6Sensor();
    ~Imx6x6Sensor() override;
};

} // namespace quelnor
