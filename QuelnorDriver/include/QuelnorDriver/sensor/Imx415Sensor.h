#pragma once

#include <cstdint>
#include <memory>

#include "QuelnorDriver/sensor/Sensor.h"

namespace quelnor {

// The Sony IMX415 frame sensor of the fusion camera. Its NV12 frames stream over USB (one frame per
// transfer on the second data endpoint) or, on the MIPI camera, through V4L2. Over USB the frame
// stream is switched by the board's aps_ctrl register through the write-register callback, which
// must be set (a missing one throws std::bad_function_call).
//
// init fails (-1) when no data transfer can be made for the interface; start then refuses to run.
class Imx415Sensor : public Sensor {
public:
    static constexpr int32_t FRAME_WIDTH = 3840;
    static constexpr int32_t FRAME_HEIGHT = 2160;

    Imx415Sensor();
    ~Imx415Sensor() override;

    // Over USB also clears aps_ctrl.
    int init(std::shared_ptr<Interface> interface) override;
    // Starts the frame stream, then (over USB) sets aps_ctrl.
    int start() override;
    // Stops the frame stream, then (over USB) clears aps_ctrl. 0 without doing anything before init.
    int stop() override;

private:
    bool isV4l2 = false;
    int32_t width = FRAME_WIDTH;
    int32_t height = FRAME_HEIGHT;
};

} // namespace quelnor
