#pragma once

#include <memory>

#include "QuelnorDriver/sensor/Sensor.h"

namespace quelnor {

namespace detail {
struct EventSensorDescription;
}

// The bring-up, start and stop the event sensors (Imx6x6Sensor, Genx320Sensor) share. Each sensor
// gives a constant description of what differs: its name in the log, its sequences, the fields of
// its set-up writes and whether it streams over MIPI through V4L2 (sensor/EventSensorDescription.h).
//
// init: the stop sequence and the init sequences, then temperature, pixel-mirror, LIFO and time-base
// set-up. It fails (-1) without an interface or a sequence callback, and when no data transfer can be
// made for the interface (after the sensor has been set up, so its registers are configured either
// way); start then refuses to run. The set-up writes log an error and are skipped without a
// write-field callback. On a MIPI interface a V4L2 sensor touches no register.
class EventSensor : public Sensor {
public:
    ~EventSensor() override;

    int init(std::shared_ptr<Interface> interface) override;
    // Starts the event stream, then replays the start sequence if the sensor has one.
    int start() override;
    // Replays the stop sequence if the sensor replays one on stop, then stops the event stream.
    // Without a sequence callback: -1 and the stream keeps running.
    int stop() override;

protected:
    // The description lives as long as the program (a constant beside the sensor class).
    explicit EventSensor(const detail::EventSensorDescription& description);

    void temperatureInit();
    void controlLifo(bool lifoEn, bool lifoOutEn, bool lifoCntEn);
    void controlIphMirror(bool enable);
    // With timeBaseMode it also writes dig_pad2_ctrl.pad_sync; on a register map without it the
    // controller throws "RegisterController: Register not found".
    void timeBaseConfig(bool timeBaseMode, bool externalMode);

private:
    // False, with the error logged, when there is no write-field callback.
    bool hasWriteFieldCallback() const;

    const detail::EventSensorDescription& description;
    bool isV4l2 = false;
};

} // namespace quelnor
