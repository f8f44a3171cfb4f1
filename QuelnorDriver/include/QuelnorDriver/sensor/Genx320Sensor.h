#pragma once

#include "QuelnorDriver/sensor/EventSensor.h"

namespace quelnor {

// The Prophesee GenX320 event sensor, over USB or Ethernet. init brings it up by its stop and init
// sequences and set-up writes through the camera's register controller; start and stop replay no
// sequence, they only start and stop the event stream on the host side.
//
// init fails (-1) without a sequence callback, and when no data transfer can be made for the
// interface (after the sensor has been set up); start then refuses to run. The set-up writes log an
// error and are skipped without a write-field callback.
//
// Its set-up differs from the IMX636's: lifo_ctrl has only lifo_en (controlLifo's other two arguments
// are not used), there is no mirror amplifier bit, the time base sets the microsecond counter, and
// dig_pad2_ctrl.pad_sync is missing from its register map, so timeBaseConfig with timeBaseMode throws
// "RegisterController: Register not found" from the controller.
class Genx320Sensor : public EventSensor {
public:
    Genx320Sensor();
    ~Genx320Sensor() override;
};

} // namespace quelnor
