#include "QuelnorHal/camera/tools/ApsCtrl/Imx415ApsCtrl.h"

#include <array>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

// The range is what the shutter line count expresses, so every value the getter reports can be set
// again: from 5555 lines (the whole frame, read back as 7 us) down to 0 lines (66667 us). Beyond either
// end the line count would leave the frame; the board's own default of 102 lines is 65443 us.
constexpr int32_t MIN_EXPOSURE_US = 1;
constexpr int32_t MAX_EXPOSURE_US = 66667;
constexpr int32_t MIN_BLACK_LEVEL = 0;
constexpr int32_t MAX_BLACK_LEVEL = 1023;
constexpr float MIN_GAIN_DB = 0.0f;
constexpr float MAX_GAIN_DB = 72.0f;
// Exposure time t (us) and line count r: r = (66666 - t + 1.79) / 12.
constexpr int32_t SHUTTER_FRAME_US = 66666;
constexpr double SHUTTER_OFFSET = 1.79;
constexpr uint32_t SHUTTER_LINE_US = 12;
constexpr size_t RESET_BLOCK_SIZE = 32;

} // namespace

Imx415ApsCtrl::Imx415ApsCtrl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller), "aps/") {
    buildParameterList();
    for (const auto& entry : parameterList) {
        addRegister2Map(entry);
    }
}

Imx415ApsCtrl::Imx415ApsCtrl() : CameraToolRegisterWithCallback(nullptr, "aps/") { buildParameterList(); }

void Imx415ApsCtrl::buildParameterList() {
    parameterList.emplace_back("auto_exposure", "Set aps auto exposure enable.", BOOL,
                               BoolParameterInfo{false, [this](bool& v) { return getAutoExposureEnabled(v); },
                                                 [this](bool v) { return setAutoExposureEnabled(v); }});
    parameterList.emplace_back("exposure_time", "Set aps shutter sweep time.", INT,
                               IntParameterInfo{MIN_EXPOSURE_US, MAX_EXPOSURE_US, 24918, "us",
                                                [this](int& v) { return getShutterSweepTime(v); },
                                                [this](int v) { return setShutterSweepTime(v); }});
    parameterList.emplace_back("auto_white_balance", "Set aps auto white balance enable.", BOOL,
                               BoolParameterInfo{false, [this](bool& v) { return getAutoWhiteBalanceEnabled(v); },
                                                 [this](bool v) { return setAutoWhiteBalanceEnabled(v); }});
    parameterList.emplace_back("black_level_offset", "Set black level offset.", INT,
                               IntParameterInfo{MIN_BLACK_LEVEL, MAX_BLACK_LEVEL, 50, "",
                                                [this](int& v) { return getBlackLevelOffset(v); },
                                                [this](int v) { return setBlackLevelOffset(v); }});
    parameterList.emplace_back("gain", "Set gain.", FLOAT,
                               FloatParameterInfo{MIN_GAIN_DB, MAX_GAIN_DB, 36.0f, "dB",
                                                  [this](float& v) { return getGain(v); },
                                                  [this](float v) { return setGain(v); }});
    parameterList.emplace_back("auto_gain", "Set gain enable.", BOOL,
                               BoolParameterInfo{true, [this](bool& v) { return getAutoGainEnabled(v); },
                                                 [this](bool v) { return setAutoGainEnabled(v); }});
    parameterList.emplace_back("camera_reset", "Set camera reset.", INT,
                               IntParameterInfo{0, 1, 0, "", [this](int& v) { return getCameraResetMode(v); },
                                                [this](int v) { return resetCamera(v); }});
}

bool Imx415ApsCtrl::addRegister2Map(const FullParamteterInfo& info) {
    auto it = parameterMap.try_emplace(info.name, info).first;
    // The default reported is what the board holds when the tool is built.
    switch (info.type) {
    case INT: {
        int v = 0;
        getParam(info.name, v);
        std::get<IntParameterInfo>(it->second.info).defaultValue = v;
        break;
    }
    case FLOAT: {
        float v = 0.0f;
        getParam(info.name, v);
        std::get<FloatParameterInfo>(it->second.info).defaultValue = v;
        break;
    }
    case BOOL: {
        bool v = false;
        getParam(info.name, v);
        std::get<BoolParameterInfo>(it->second.info).defaultValue = v;
        break;
    }
    default: break;
    }
    return true;
}

bool Imx415ApsCtrl::writeWhole(const char* reg, uint32_t value) {
    const uint32_t result = registerController->writeRegisterWithControlTransfer(reg, value);
    if (result != 0) {
        QN_ERROR("Failed to write %s, result 0x%08x", reg, result);
        return false;
    }
    return true;
}

bool Imx415ApsCtrl::readWhole(const char* reg, uint32_t& value) {
    uint32_t read = 0;
    const uint32_t result = registerController->readRegisterWithControlTransfer(reg, read);
    if (result != 0) {
        QN_ERROR("Failed to read %s, result 0x%08x", reg, result);
        value = 0;
        return false;
    }
    value = read;
    return true;
}

bool Imx415ApsCtrl::setSwitch(const char* reg, bool on) { return writeWhole(reg, on ? 1 : 0); }

bool Imx415ApsCtrl::getSwitch(const char* reg, bool& on) {
    uint32_t v = 0;
    const bool ok = readWhole(reg, v);
    on = v != 0;
    return ok;
}

bool Imx415ApsCtrl::setAutoExposureEnabled(bool on) { return setSwitch("aps_exposure", on); }
bool Imx415ApsCtrl::getAutoExposureEnabled(bool& on) { return getSwitch("aps_exposure", on); }
bool Imx415ApsCtrl::setAutoWhiteBalanceEnabled(bool on) { return setSwitch("aps_white_balance", on); }
bool Imx415ApsCtrl::getAutoWhiteBalanceEnabled(bool& on) { return getSwitch("aps_white_balance", on); }

bool Imx415ApsCtrl::setAutoGainEnabled(bool on) {
    const bool ok = setSwitch("aps_auto_gain", on);
    QN_INFO("set gain en: %d", on ? 1 : 0);
    return ok;
}

bool Imx415ApsCtrl::getAutoGainEnabled(bool& on) {
    const bool ok = getSwitch("aps_auto_gain", on);
    QN_INFO("get gain en: %d", on ? 1 : 0);
    return ok;
}

bool Imx415ApsCtrl::setShutterSweepTime(int us) {
    if (us < MIN_EXPOSURE_US || us > MAX_EXPOSURE_US) {
        QN_ERROR("Exposure time %d us is out of range [%d, %d].", us, MIN_EXPOSURE_US, MAX_EXPOSURE_US);
        return false;
    }
    const float lines = static_cast<float>(static_cast<double>(SHUTTER_FRAME_US - us) + SHUTTER_OFFSET) / 12.0f;
    const auto r = static_cast<int32_t>(lines);
    if (!writeWhole("aps_shutter", static_cast<uint32_t>(r))) {
        return false;
    }
    QN_INFO("set integration_time: %d", r);
    return true;
}

bool Imx415ApsCtrl::getShutterSweepTime(int& us) {
    uint32_t v = 0;
    if (!readWhole("aps_shutter", v)) {
        us = 0;
        return false;
    }
    // Unsigned on purpose: a line count past the frame wraps as the board's own arithmetic does.
    // Through 64 bits so that the conversion of the wrapped value stays defined.
    const uint32_t t = static_cast<uint32_t>(SHUTTER_FRAME_US) - SHUTTER_LINE_US * v;
    us = static_cast<int32_t>(static_cast<int64_t>(static_cast<double>(t) + SHUTTER_OFFSET));
    return true;
}

bool Imx415ApsCtrl::setBlackLevelOffset(int v) {
    if (v < MIN_BLACK_LEVEL || v > MAX_BLACK_LEVEL) {
        QN_ERROR("Black level offset %d is out of range [%d, %d].", v, MIN_BLACK_LEVEL, MAX_BLACK_LEVEL);
        return false;
    }
    return writeWhole("aps_blk_level", static_cast<uint32_t>(v));
}

bool Imx415ApsCtrl::getBlackLevelOffset(int& v) {
    uint32_t raw = 0;
    const bool ok = readWhole("aps_blk_level", raw);
    v = static_cast<int>(raw);
    return ok;
}

bool Imx415ApsCtrl::setGain(float db) {
    if (!(db >= MIN_GAIN_DB && db <= MAX_GAIN_DB)) {
        QN_ERROR("Gain %f dB is out of range [%f, %f].", db, MIN_GAIN_DB, MAX_GAIN_DB);
        return false;
    }
    const auto r = static_cast<int32_t>(db * 10.0f / 3.0f);
    QN_INFO("set gain: %f, reg val: %02x", db, r);
    return writeWhole("aps_gain_control", static_cast<uint32_t>(r));
}

bool Imx415ApsCtrl::getGain(float& db) {
    uint32_t v = 0;
    if (!readWhole("aps_gain_control", v)) {
        db = 0.0f;
        return false;
    }
    db = static_cast<float>(static_cast<double>(v) / 10.0 * 3.0);
    QN_INFO("get gain: %f", db);
    return true;
}

bool Imx415ApsCtrl::resetCamera(int mode) {
    if (mode < 0 || mode > 2) {
        QN_ERROR("resetCamera mode must be 0, 1, or 2.");
        return false;
    }
    std::array<uint8_t, RESET_BLOCK_SIZE> block{};
    block[0] = static_cast<uint8_t>(mode);
    const uint32_t result =
        registerController->writeRegisterDataWithControlTransfer("camera_reset", block.data(), RESET_BLOCK_SIZE);
    if (result != 0) {
        QN_ERROR("Failed to reset camera, mode: %u", static_cast<unsigned>(mode));
        return false;
    }
    QN_INFO("Camera reset command sent, mode: %u", static_cast<unsigned>(mode));
    return true;
}

bool Imx415ApsCtrl::getCameraResetMode(int& mode) {
    mode = 0; // the board is not asked
    return true;
}

bool Imx415ApsCtrl::setEnable(bool on) {
    registerController->writeRegisterWithControlTransfer("aps_ctrl", on ? 1 : 0);
    return true;
}

bool Imx415ApsCtrl::getEnabled(bool& on) {
    uint32_t v = 0;
    registerController->readRegisterWithControlTransfer("aps_ctrl", v);
    on = v != 0;
    return true;
}

} // namespace quelnor
