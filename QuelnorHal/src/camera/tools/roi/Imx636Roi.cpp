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

constexpr RoiSensor IMX636_ROI{Imx636ROI::SENSOR_WIDTH,
                               Imx636ROI::SENSOR_HEIGHT,
                               Imx636ROI::SENSOR_WIDTH,
                               Imx636ROI::SENSOR_HEIGHT,
                               "Set whether the Event Trail Filter function is enabled",
                               "ROI of DVS cameras with IMX636 sensor",
                               "Error: ROI window exceeds sensor boundaries.",
                               true};
} // namespace

Imx636ROI::Imx636ROI(std::shared_ptr<RegisterController> controller)
    : RoiTool(std::move(controller), IMX636_ROI) {
    resetToFullRoi();
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

bool Imx636ROI::modeChanged() {
    return true;
}

bool Imx636ROI::windowChanged() {
    if (!writeROI()) {
        return false;
    }
    if (enabled) {
        setEnable(true);
    }
    return true;
}

void Imx636ROI::resetToFullRoi() {
    for (int i = 0; i < LINE_MASKS_X; ++i) {
        registerController->writeRegisterFieldByAlias(roiLineRegister('x', i), "effective", "enable");
    }
    for (int j = 0; j < LINE_MASKS_Y; ++j) {
        registerController->writeRegisterFieldByAlias(roiLineRegister('y', j), "effective", "enable");
    }
}

} // namespace quelnor
