#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// What one sensor's ROI tool differs in, apart from how it programs the window.
struct RoiSensor {
    int width;                     // pixels; also the bound of "x" and "width"
    int height;                    // pixels; also the bound of "y" and "height"
    int initialWidth;              // the window before anything is set
    int initialHeight;
    const char* enableDescription; // text of the "enable" parameter
    const char* description;       // ToolInfo::description
    // A window past the sensor's edge: this one line, or (nullptr) one line per axis naming the bound.
    const char* exceedsMessage;
    // A refused x, y, width or height stays stored, so the four can be given in any order.
    bool keepsRefusedValue;
};

// One rectangular window: events only inside it ("ROI") or only outside it ("RONI"). Keeps the
// parameters and the window and checks it against the sensor; the sensor classes (Imx636ROI,
// Genx320ROI) program it into their registers.
class RoiTool : public CameraToolRegisterWithCallback {
public:
    // Lists "x_width" and "y_height" for the parameters "width" and "height".
    ToolInfo getToolInfo() const override;

protected:
    // sensor must outlive the tool (the sensor classes pass a constexpr description).
    RoiTool(std::shared_ptr<RegisterController> controller, const RoiSensor& sensor);

    bool enabled = false;
    std::string mode = "ROI";
    int32_t x = 0;
    int32_t y = 0;
    int32_t width;
    int32_t height;

private:
    virtual bool setEnable(bool enable) = 0;
    // After a new mode is stored.
    virtual bool modeChanged() = 0;
    // After a new window is stored and found to fit.
    virtual bool windowChanged() = 0;

    bool getEnable(bool& out);
    bool setMode(std::string text);
    bool getMode(std::string& out);
    bool setWindowValue(int32_t& member, int value);
    bool isRoiFeasible() const;
    bool addRegister2Map(const FullParamteterInfo& info);

    const RoiSensor* sensor;
    std::vector<std::string> modeOptions = {"ROI", "RONI"};
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
