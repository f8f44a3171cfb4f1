#include "QuelnorHal/camera/tools/roi/Genx320Roi.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/roi/RoiParameters.h"

namespace quelnor {

namespace {
constexpr int LINE_MASKS = 10;
} // namespace

Genx320ROI::Genx320ROI(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller), "roi/") {
    RoiCallbacks cb;
    cb.getEnable = [this](bool& v) { return getEnable(v); };
    cb.setEnable = [this](bool v) { return setEnable(v); };
    cb.getMode = [this](std::string& v) { return getMode(v); };
    cb.setMode = [this](std::string v) { return setMode(std::move(v)); };
    cb.getX = [this](int& v) { return getX(v); };
    cb.setX = [this](int v) { return setX(v); };
    cb.getWidth = [this](int& v) { return getWidth(v); };
    cb.setWidth = [this](int v) { return setWidth(v); };
    cb.getY = [this](int& v) { return getY(v); };
    cb.setY = [this](int v) { return setY(v); };
    cb.getHeight = [this](int& v) { return getHeight(v); };
    cb.setHeight = [this](int v) { return setHeight(v); };
    parameterList = roiParameterList("Set whether ROI is enabled", modeOptions, SENSOR_WIDTH, SENSOR_HEIGHT,
                                     std::move(cb));
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
    resetToFullRoi();
}

bool Genx320ROI::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

bool Genx320ROI::isRoiFeasible(int rx, int ry, int rw, int rh, int sensorWidth, int sensorHeight) {
    if (rx < 0 || ry < 0) {
        QN_ERROR("Error: x and y must be non-negative.");
        return false;
    }
    if (rw < 1 || rh < 1) {
        QN_ERROR("Error: width and height must be positive.");
        return false;
    }
    if (int64_t{rx} + rw > sensorWidth) {
        QN_ERROR("Error: x + width must be less than or equal to %d.", sensorWidth);
        return false;
    }
    if (int64_t{ry} + rh > sensorHeight) {
        QN_ERROR("Error: y + height must be less than or equal to %d.", sensorHeight);
        return false;
    }
    return true;
}

bool Genx320ROI::writeROI() {
    // The sensor's window is mirrored in both axes.
    const uint32_t sx = static_cast<uint32_t>(SENSOR_WIDTH - (x + width));
    const uint32_t sy = static_cast<uint32_t>(SENSOR_HEIGHT - (y + height));
    registerController->writeRegisterField("roi_ctrl", "roi_td_en", 1);
    registerController->writeRegisterField("roi_ctrl", "px_iphoto_en", 0);
    registerController->writeRegisterField("roi_ctrl", "px_roi_halt_programming", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_master_en", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_master_mode", mode == "RONI" ? 1 : 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_win_nb", 1);
    registerController->writeRegisterField("roi_win_x0", "roi_win_start_x", sx);
    registerController->writeRegisterField("roi_win_x0", "roi_win_end_p1_x", sx + static_cast<uint32_t>(width));
    registerController->writeRegisterField("roi_win_y0", "roi_win_start_y", sy);
    registerController->writeRegisterField("roi_win_y0", "roi_win_end_p1_y", sy + static_cast<uint32_t>(height));
    if (enabled) {
        registerController->writeRegisterField("roi_master_ctrl", "roi_master_en", 1);
        registerController->writeRegisterField("roi_master_ctrl", "roi_master_run", 1);
    }
    return true;
}

bool Genx320ROI::setEnable(bool enable) {
    if (enable) {
        enabled = true;
        return writeROI();
    }
    registerController->writeRegisterField("roi_ctrl", "roi_td_en", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_master_en", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_master_run", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_win_nb", 0);
    resetToFullRoi();
    x = 0;
    y = 0;
    width = SENSOR_WIDTH;
    height = SENSOR_HEIGHT;
    enabled = false;
    return true;
}

bool Genx320ROI::getEnable(bool& out) {
    out = enabled;
    return true;
}

bool Genx320ROI::setMode(std::string text) {
    if (text != "ROI" && text != "RONI") {
        return false;
    }
    mode = std::move(text);
    return enabled ? writeROI() : true;
}

bool Genx320ROI::getMode(std::string& out) {
    out = mode;
    return true;
}

bool Genx320ROI::setX(int value) {
    if (!isRoiFeasible(value, y, width, height, SENSOR_WIDTH, SENSOR_HEIGHT)) {
        return false;
    }
    x = value;
    return writeROI();
}

bool Genx320ROI::getX(int& out) {
    out = x;
    return true;
}

bool Genx320ROI::setY(int value) {
    if (!isRoiFeasible(x, value, width, height, SENSOR_WIDTH, SENSOR_HEIGHT)) {
        return false;
    }
    y = value;
    return writeROI();
}

bool Genx320ROI::getY(int& out) {
    out = y;
    return true;
}

bool Genx320ROI::setWidth(int value) {
    if (!isRoiFeasible(x, y, value, height, SENSOR_WIDTH, SENSOR_HEIGHT)) {
        return false;
    }
    width = value;
    return writeROI();
}

bool Genx320ROI::getWidth(int& out) {
    out = width;
    return true;
}

bool Genx320ROI::setHeight(int value) {
    if (!isRoiFeasible(x, y, width, value, SENSOR_WIDTH, SENSOR_HEIGHT)) {
        return false;
    }
    height = value;
    return writeROI();
}

bool Genx320ROI::getHeight(int& out) {
    out = height;
    return true;
}

void Genx320ROI::resetToFullRoi() {
    for (int i = 0; i < LINE_MASKS; ++i) {
        registerController->writeRegisterField(roiLineRegister('x', i), "effective", 0);
    }
    for (int j = 0; j < LINE_MASKS; ++j) {
        registerController->writeRegisterField(roiLineRegister('y', j), "effective", 0);
    }
    registerController->writeRegisterField("roi_ctrl", "roi_td_en", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_master_en", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_master_run", 0);
    registerController->writeRegisterField("roi_master_ctrl", "roi_win_nb", 0);
}

} // namespace quelnor
