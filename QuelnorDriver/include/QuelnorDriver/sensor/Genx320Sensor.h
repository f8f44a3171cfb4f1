#pragma once

#include <memory>

#include "QuelnorDriver/sensor/Sensor.h"

namespace quelnor {

// The Prophesee GenX320 event sensor, over USB or Ethernet. init brings it up by its stop and init
// sequences and set-up writes through the camera's register controller; start and stop replay no
// sequence, they only start and stop the event stream on the host side.
//
// init fails (-1) without a sequence callback, and when no data transfer can be made for the
// interface (after the sensor has been set up); start then refuses to run. The set-up writes log an
// error and are skipped without a write-field callback.
class Genx320Sensor : public Sensor {
public:
    Genx320Sensor();
    ~Genx320Sensor() override;

    int init(std::shared_ptr<Interface> interface) override;
    int start() override;
    int stop() override;

protected:
    void temperatureInit();
    // The GenX320's lifo_ctrl has only lifo_en: the other two arguments are not used.
    void controlLifo(bool lifoEn, bool lifoOutEn, bool lifoCntEn);
    // The GenX320 has no mirror amplifier bit.
    void controlIphMirror(bool enable);
    // With timeBaseMode it also writes dig_pad2_ctrl.pad_sync, which the GenX320's register map lacks,
    // so that call throws "RegisterController: Register not found" from the controller.
    void timeBaseConfig(bool timeBaseMode, bool externalMode);

private:
    bool hasWriteFieldCallback() const;
};

} // namespace quelnor
