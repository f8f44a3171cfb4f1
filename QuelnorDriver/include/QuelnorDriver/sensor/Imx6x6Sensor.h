#pragma once

#include <memory>

#include "QuelnorDriver/sensor/Sensor.h"

namespace quelnor {

// The Sony IMX636 event sensor. Over USB or Ethernet it is brought up by register sequences and
// set-up writes through the camera's register controller (the sequence and write-field callbacks);
// over MIPI it is read through V4L2 and no register is touched.
//
// init fails (-1) without a sequence callback, and when no data transfer can be made for the
// interface (after the sensor has been set up, so its registers are configured either way); start then
// refuses to run. The set-up writes log an error and are skipped without a write-field callback.
class Imx6x6Sensor : public Sensor {
public:
    Imx6x6Sensor();
    ~Imx6x6Sensor() override;

    // Stop sequence, init sequences 1 and 2, then temperature, pixel-mirror, LIFO and time-base set-up.
    // Blocks for about 2.5 s on a connected device.
    int init(std::shared_ptr<Interface> interface) override;
    // Starts the event stream, then replays the start sequence.
    int start() override;
    // Replays the stop sequence, then stops the event stream. Without a sequence callback: -1 and the
    // stream keeps running.
    int stop() override;

protected:
    void temperatureInit();
    void controlLifo(bool lifoEn, bool lifoOutEn, bool lifoCntEn);
    void controlIphMirror(bool enable);
    void timeBaseConfig(bool timeBaseMode, bool externalMode);

private:
    // False, with the error logged, when there is no write-field callback.
    bool hasWriteFieldCallback() const;

    bool isV4l2 = false;
};

} // namespace quelnor
