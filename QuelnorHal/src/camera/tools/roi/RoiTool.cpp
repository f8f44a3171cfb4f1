#include "QuelnorHal/camera/tools/roi/RoiTool.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/roi/RoiParameters.h"

namespace quelnor {

RoiTool::RoiTool(std::shared_ptr<RegisterController> controller, const RoiSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "roi/"),
      width(sensor.initialWidth),
      height(sensor.initialHeight),
      sensor(&sensor) {
    RoiCallbacks cb;
    cb.getEnable = [this](bool& v) { return getEnable(v); };
    cb.setEnable = [this](bool v) { return setEnable(v); };
    cb.getMode = [this](std::string& v) { return getMode(v); };
    cb.setMode = [this](std::string v) { return setMode(std::move(v)); };
    cb.getX = [this](int& v) { return v = x, true; };
    cb.setX = [this](int v) { return setWindowValue(x, v); };
    cb.getWidth = [this](int& v) { return v = width, true; };
    cb.setWidth = [this](int v) { return setWindowValue(width, v); };
    cb.getY = [this](int& v) { return v = y, true; };
    cb.setY = [this](int v) { return setWindowValue(y, v); };
    cb.getHeight = [this](int& v) { return v = height, true; };
    cb.setHeight = [this](int v) { return setWindowValue(height, v); };
    parameterList =
        roiParameterList(sensor.enableDescription, modeOptions, sensor.width, sensor.height, std::move(cb));
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

ToolInfo RoiTool::getToolInfo() const {
    return ToolInfo{ROI, "ROI", {"enable", "mode", "x", "y", "x_width", "y_height"}, sensor->description};
}

bool RoiTool::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

bool RoiTool::isRoiFeasible() const {
    if (x < 0 || y < 0) {
        QN_ERROR("Error: x and y must be non-negative.");
        return false;
    }
    if (width < 1 || height < 1) {
        QN_ERROR("Error: width and height must be positive.");
        return false;
    }
    // 64 bits: the sum of two large ints must not wrap into a "fitting" window.
    const bool widthFits = int64_t{x} + width <= sensor->width;
    const bool heightFits = int64_t{y} + height <= sensor->height;
    if (sensor->exceedsMessage != nullptr) {
        if (!widthFits || !heightFits) {
            QN_ERROR("%s", sensor->exceedsMessage);
            return false;
        }
        return true;
    }
    if (!widthFits) {
        QN_ERROR("Error: x + width must be less than or equal to %d.", sensor->width);
        return false;
    }
    if (!heightFits) {
        QN_ERROR("Error: y + height must be less than or equal to %d.", sensor->height);
        return false;
    }
    return true;
}

bool RoiTool::setWindowValue(int32_t& member, int value) {
    const int32_t before = member;
    member = value;
    if (!isRoiFeasible()) {
        if (!sensor->keepsRefusedValue) {
            member = before;
        }
        return false;
    }
    return windowChanged();
}

bool RoiTool::getEnable(bool& out) {
    out = enabled;
    return true;
}

bool RoiTool::setMode(std::string text) {
    if (text != "ROI" && text != "RONI") {
        return false;
    }
    mode = std::move(text);
    return modeChanged();
}

bool RoiTool::getMode(std::string& out) {
    out = mode;
    return true;
}

} // namespace quelnor
