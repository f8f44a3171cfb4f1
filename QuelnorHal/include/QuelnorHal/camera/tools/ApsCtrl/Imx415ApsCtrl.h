#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// The fusion camera's frame sensor (IMX415): exposure, white balance, black level, gain and the
// board reset ("camera_reset": 0 no change, 1 reset into the loader, 2 normal reset). Every
// parameter is one whole register of the frame-sensor board. A failed register exchange makes the
// call return false (a failed read reports 0); values outside a parameter's range are refused.
class Imx415ApsCtrl : public CameraToolRegisterWithCallback {
public:
    explicit Imx415ApsCtrl(std::shared_ptr<RegisterController> controller);
    // Builds the records without a controller and enters none of them: no parameter is reachable.
    Imx415ApsCtrl();
    ~Imx415ApsCtrl() override {}

    ToolInfo getToolInfo() const override {
        ToolInfo info{APS_CTRL, "ApsCtrl", {}, "Ctrl of APS cameras with IMX415 sonsors"};
        for (const auto& entry : parameterMap) {
            info.parameters.push_back(entry.first);
        }
        return info;
    }

private:
    void buildParameterList();
    bool addRegister2Map(const FullParamteterInfo& info);

    bool writeWhole(const char* reg, uint32_t value);
    bool readWhole(const char* reg, uint32_t& value);
    bool setSwitch(const char* reg, bool on);
    bool getSwitch(const char* reg, bool& on);

    bool setAutoExposureEnabled(bool on);
    bool getAutoExposureEnabled(bool& on);
    bool setShutterSweepTime(int us);
    bool getShutterSweepTime(int& us);
    bool setAutoWhiteBalanceEnabled(bool on);
    bool getAutoWhiteBalanceEnabled(bool& on);
    bool setBlackLevelOffset(int v);
    bool getBlackLevelOffset(int& v);
    bool setGain(float db);
    bool getGain(float& db);
    bool setAutoGainEnabled(bool on);
    bool getAutoGainEnabled(bool& on);
    bool resetCamera(int mode);
    bool getCameraResetMode(int& mode);
    bool setEnable(bool on);
    bool getEnabled(bool& on);

    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
