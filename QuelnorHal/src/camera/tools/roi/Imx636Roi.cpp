#include "QuelnorHal/camera/tools/roi/Imx636Roi.h"

#include <chrono>
#include <thread>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/roi/RoiParameters.h"

namespace quelnor {

namespace {
constexpr int LINE_MASKS_X = 40;
constexpr int LINE_MASKS_Y = 23;
// A sensor that never reports the window as programmed (or a lost camera) must not hang the caller.
constexpr std::chrono::milliseconds WINDOW_DONE_TIMEOUT{1000};
constexpr std::chrono::milliseconds WINDOW_DONE_POLL{1};
} // namespace

Imx636ROI::Imx636ROI(std::shared_ptr<RegisterController> controller)
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
    parameterList = roiParameterList("Set whether the Event Trail Filter function is enabled", modeOptions,
                                     SENSOR_WIDTH, SENSOR_HEIGHT, std::move(cb));
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
    resetToFullRoi();
}

bool Imx636ROI::addRegister2Map(const FullParamteterInfo& info) {
    parameterMap.try_emplace(info.name, info);
    return true;
}

bool Imx636ROI::isRoiFeasible(int rx, int ry, int rw, int rh, int sensorWidth, int sensorHeight) {
    if (rx < 0 || ry < 0) {
        QN_ERROR("Error: x and y must be non-negative.");
        return false;
    }
    if (rw < 1 || rh < 1) {
        QN_ERROR("Error: width and height must be positive.");
        return false;
    }
    // 64 bits: the sum of two large ints must not wrap into a "fitting" window.
    if (int64_t{rx} + rw > sensorWidth || int64_t{ry} + rh > sensorHeight) {
        QN_ERROR("Error: ROI window exceeds sensor boundaries.");
        return false;
    }
    return true;
}

bool Imx636ROI::writeROI() {
    if (mode == "RONI") {
        return true;
    }
    registerController->writeRegisterField("roi_win_start_addr", "roi_win_start_x", static_cast<uint32_t>(x));
    registerController->writeRegisterField("roi_win_start_addr", "roi_win_start_y", static_cast<uint32_t>(y));
    registerController->writeRegisterField("roi_win_end_addr", "roi_win_end_x", static_cast<uint32_t>(x + width));
    registerController->writeRegisterField("roi_win_end_addr", "roi_win_end_y", static_cast<uint32_t>(y + height));
    registerController->writeRegisterField("roi_win_ctrl", "roi_master_en", 1);

    const auto deadline = std::chrono::steady_clock::now() + WINDOW_DONE_TIMEOUT;
    for (;;) {
        uint32_t done = 0;
        registerController->readRegisterField("roi_win_ctrl", "roi_win_done", done);
        if (done == 1) {
            return true;
        }
        QN_DEBUG("ROI window not ready...");
        if (std::chrono::steady_clock::now() >= deadline) {
            QN_ERROR("ROI window not ready after %d ms, giving up.", static_cast<int>(WINDOW_DONE_TIMEOUT.count()));
            return false;
        }
        std::this_thread::sleep_for(WINDOW_DONE_POLL);
    }
}

bool Imx636ROI::setEnable(bool enable) {
    registerController->writeRegisterField("roi_ctrl", "roi_td_en", enable ? 1 : 0);
    registerController->writeRegisterField("roi_ctrl", "td_roi_roni_n_en", mode == "ROI" ? 1 : 0);
    registerController->writeRegisterField("roi_ctrl", "px_td_rstn", 1);
    registerController->writeRegisterField("roi_ctrl", "roi_td_shadow_trigger", 1);
    registerController->writeRegisterField("roi_win_ctrl", "roi_master_en", 0);
    registerController->writeRegisterField("roi_win_ctrl", "roi_win_done", 0);
    enabled = enable;
    return true;
}

bool Imx636ROI::getEnable(bool& out) {
    out = enabled;
    return true;
}

bool Imx636ROI::setMode(std::string text) {
    if (text != "ROI" && text != "RONI") {
        return false;
    }
    mode = std::move(text);
    return true;
}

bool Imx636ROI::getMode(std::string& out) {
    out = mode;
    return true;
}

// A refused value stays stored, so the four values can be given in any order: the window is
// written by the first setter after which all four fit together.
#define QN_IMX636_ROI_SETTER(Name, member)                                                                        \
    bool Imx636ROI::set##Name(int value) {                                                                        \
        member = value;                                                                                           \
        if (!isRoiFeasible(x, y, width, height, SENSOR_WIDTH, SENSOR_HEIGHT)) {                                   \
            return false;                                                                                         \
        }                                                                                                         \
        if (!writeROI()) {                                                                                        \
            return false;                                                                                         \
        }                                                                                                         \
        if (enabled) {                                                                                            \
            setEnable(true);                                                                                      \
        }                                                                                                         \
        return true;                                                                                              \
    }                                                                                                             \
    bool Imx636ROI::get##Name(int& out) {                                                                         \
        out = member;                                                                                             \
        return true;                                                                                              \
    }

QN_IMX636_ROI_SETTER(X, x)
QN_IMX636_ROI_SETTER(Y, y)
QN_IMX636_ROI_SETTER(Width, width)
QN_IMX636_ROI_SETTER(Height, height)
#undef QN_IMX636_ROI_SETTER

void Imx636ROI::resetToFullRoi() {
    for (int i = 0; i < LINE_MASKS_X; ++i) {
        registerController->writeRegisterFieldByAlias(roiLineRegister('x', i), "effective", "enable");
    }
    for (int j = 0; j < LINE_MASKS_Y; ++j) {
        registerController->writeRegisterFieldByAlias(roiLineRegister('y', j), "effective", "enable");
    }
}

} // namespace quelnor
