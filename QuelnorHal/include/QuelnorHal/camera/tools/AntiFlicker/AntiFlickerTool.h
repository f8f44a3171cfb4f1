#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// What one sensor's anti-flicker tool differs in, apart from how it switches the block.
struct AntiFlickerSensor {
    const char* modeParameter; // name of the filter-mode parameter
    const char* description;   // ToolInfo::description
    // The inverted duty-cycle code, before rounding, for a duty cycle in percent.
    float (*dutyCode)(float percent);
};

// The anti-flicker filter block. The tool holds the settings and writes them all whenever the block
// is switched on; while it is on, every accepted change switches it off and on again. The sensor
// classes (Imx636AntiFlicker, Genx320AntiFlicker) switch their block and name their AntiFlickerSensor.
class AntiFlickerTool : public CameraToolRegisterWithCallback {
public:
    ToolInfo getToolInfo() const override;

protected:
    // sensor must outlive the tool (the sensor classes pass a constexpr description).
    AntiFlickerTool(std::shared_ptr<RegisterController> controller, const AntiFlickerSensor& sensor);

    unsigned freqToPeriod(const unsigned& hz);

    uint32_t lowFrequency = 50;
    uint32_t highFrequency = 520;
    uint32_t invertedDutyCycle = 8;
    std::string filterMode = "Band cut";
    int32_t startThreshold = 6;
    int32_t stopThreshold = 4;

private:
    // Bypasses the block, and with on writes every setting and runs it.
    virtual bool setEnableStatus(bool on) = 0;

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
    bool addRegister2Map(const FullParamteterInfo& info);

    const AntiFlickerSensor* sensor;
    float dutyCycle = 100.0f - 8.0f * 100.0f / 16.0f;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
