#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// One rectangular window of a 1280 x 720 sensor: events only inside it ("ROI") or only outside
// it ("RONI"). Building the tool enables every line mask of the sensor.
class Imx636ROI : public CameraToolRegisterWithCallback {
public:
    static constexpr int SENSOR_WIDTH = 1280;
    static constexpr int SENSOR_HEIGHT = 720;

    explicit Imx636ROI(std::shared_ptr<RegisterController> controller);
    ~Imx636ROI() override {}

    // Lists "x_width" and "y_height" for the parameters "width" and "height".
    ToolInfo getToolInfo() const override {
        return ToolInfo{ROI, "ROI", {"enable", "mode", "x", "y", "x_width", "y_height"}, "ROI of DVS cameras with IMX636 sensor"};
    }

private:
    bool setEnable(bool enable);
    bool getEnable(bool& out);
    bool setMode(std::string text);
    bool getMode(std::string& out);
    bool setX(int value);
    bool getX(int& out);
    bool setY(int value);
    bool getY(int& out);
    bool setWidth(int value);
    bool getWidth(int& out);
    bool setHeight(int value);
    bool getHeight(int& out);
    bool writeROI();
    void resetToFullRoi();
    bool isRoiFeasible(int x, int y, int width, int height, int sensorWidth, int sensorHeight);
    bool addRegister2Map(const FullParamteterInfo& info);

    bool enabled = false;
    std::string mode = "ROI";
    std::vector<std::string> modeOptions = {"ROI", "RONI"};
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 1280;
    int32_t height = 720;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
