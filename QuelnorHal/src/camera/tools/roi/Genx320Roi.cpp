#include "QuelnorHal/camera/tools/roi/Genx320Roi.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/roi/RoiParameters.h"

namespace quelnor {

namespace {
constexpr int LINE_MASKS = 10;

constexpr RoiSensor GENX320_ROI{Genx320ROI::SENSOR_WIDTH,
                                Genx320ROI::SENSOR_HEIGHT,
                                1,
                                1,
                                "Set whether ROI is enabled",
                                "ROI of DVS cameras with GenX320 sensor",
                                nullptr,
                                false};
} // namespace

Genx320ROI::Genx320ROI(std::shared_ptr<RegisterController> controller)
    : RoiTool(std::move(controller), GENX320_ROI) {
    resetToFullRoi();
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

bool Genx320ROI::modeChanged() {
    return enabled ? writeROI() : true;
}

bool Genx320ROI::windowChanged() {
    return writeROI();
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
