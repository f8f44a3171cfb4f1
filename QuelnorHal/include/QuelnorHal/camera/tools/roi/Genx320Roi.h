#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/roi/RoiTool.h"

namespace quelnor {

// The window of the 320 x 320 GenX320 sensor (see RoiTool). Building the tool enables every line
// mask of the sensor.
class Genx320ROI : public RoiTool {
public:
    static constexpr int SENSOR_WIDTH = 320;
    static constexpr int SENSOR_HEIGHT = 320;

    explicit Genx320ROI(std::shared_ptr<RegisterController> controller);

private:
    bool setEnable(bool enable) override;
    bool modeChanged() override;
    bool windowChanged() override;
    bool writeROI();
    void resetToFullRoi();
};

} // namespace quelnor
