#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// What one sensor's event-rate control differs in, apart from its registers.
struct EventRateControlSensor {
    const char* description; // ToolInfo::description
};

// Event-rate control: holds the sensor's output to "max_event_rate" MEv/s by temporal dropping.
// Nothing is written until the first "enable" set, which runs the block's set-up sequence once.
// Keeps the parameters, the rate and its limit; the sensor classes (Imx636EventRateControl,
// Genx320EventRateControl) set up and switch their block and store the target.
class EventRateControlTool : public CameraToolRegisterWithCallback {
public:
    ToolInfo getToolInfo() const override;

    // The highest rate, in MEv/s, that later "max_event_rate" sets accept (the fusion camera uses 40).
    void setMaxLimitEventRate(unsigned limit) { rateLimit = limit; }

protected:
    // sensor must outlive the tool (the sensor classes pass a constexpr description).
    EventRateControlTool(std::shared_ptr<RegisterController> controller, const EventRateControlSensor& sensor);

    // The set-up sequence, once.
    void initializeOnce();
    // At enabling: the rate last set, or the limit when that was lowered since.
    void applyRateAtEnable();
    bool setMaxEventRate(int rate);

    bool initialized = false;
    int32_t currentRate = 320;
    uint32_t rateLimit = 320;

private:
    // The set-up sequence; sets initialized at its end.
    virtual void initialize() = 0;
    virtual bool setEnable(bool enable) = 0;
    virtual bool getEnable(bool& out) = 0;
    // Stores a rate already found within the limit.
    virtual bool writeRate(int rate) = 0;
    // Events per reference period, as the sensor holds it.
    virtual uint32_t readTarget() = 0;
    virtual uint32_t getCountPeriod() const = 0;

    bool getMaxEventRate(int& out);
    bool addRegister2Map(const FullParamteterInfo& info);

    const EventRateControlSensor* sensor;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
