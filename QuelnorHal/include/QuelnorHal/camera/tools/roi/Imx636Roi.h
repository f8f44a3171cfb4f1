#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/roi/RoiTool.h"

namespace quelnor {

// The window of the 1280 x 720 IMX636 sensor (see RoiTool). Building the tool enables every line
// mask of the sensor.
class Imx636ROI : public RoiTool {
public:
    static constexpr int SENSOR_WIDTH = 1280;
    static constexpr int SENSOR_HEIGHT = 720;

    explicit Imx636ROI(std::shared_ptr<RegisterController> controller);

private:
    bool setEnable(bool enable) override;
    bool modeChanged() override;
    bool windowChanged() override;
    bool writeROI();
    void resetToFullRoi();
};

} // namespace quelnor
