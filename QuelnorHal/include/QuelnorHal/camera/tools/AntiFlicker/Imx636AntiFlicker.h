#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// The anti-flicker filter block. The tool holds the settings and writes them all whenever the block
// is switched on; while it is on, every accepted change switches it off and on again.
// The mode parameter is "fliter_mode" on this sensor.
class Imx636AntiFlicker : public CameraToolRegisterWithCallback {
public:
    explicit Imx636AntiFlicker(std::shared_ptr<RegisterController> controller);
    ~Imx636AntiFlicker() override {}

    ToolInfo getToolInfo() const override {
        ToolInfo info{ANTI_FLICKER, "AntiFlicker", {}, "Anti flicker of DVS cameras with IMX636 sensor."};
        for (const auto& entry : parameterMap) {
            info.parameters.push_back(entry.first);
        }
        return info;
    }

private:
    bool setEnableStatus(bool on);
    bool readEnabled(bool& out) const;
    bool getLowFrequency(int& out);
    bool setLowFrequency(int v);
    bool getHighFrequency(int& out);
    bool setHighFrequency(int v);
    bool getFilteringMode(std::string& out);
    bool setFilteringMode(std::string mode);
    bool getDutyCycle(float& out) const;
    bool setDutyCycle(float x);
    bool getStartThreshold(int& out);
    bool setStartThreshold(int v);
    bool getStopThreshold(int& out);
    bool setStopThreshold(int v);
    bool reset();
    unsigned freqToPeriod(const unsigned& hz);
    bool addRegister2Map(const FullParamteterInfo& info);

    uint32_t lowFrequency = 50;
    uint32_t highFrequency = 520;
    uint32_t invertedDutyCycle = 8;
    float dutyCycle = 100.0f - 8.0f * 100.0f / 16.0f;
    std::string filterMode = "Band cut";
    int32_t startThreshold = 6;
    int32_t stopThreshold = 4;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
