#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "QuelnorHal/camera/tools/EventRateControl/EventRateControlTool.h"

namespace quelnor {

// The event-rate control of the IMX636 sensor (see EventRateControlTool).
class Imx636EventRateControl : public EventRateControlTool {
public:
    explicit Imx636EventRateControl(std::shared_ptr<RegisterController> controller);

private:
    void initialize() override;
    bool setEnable(bool enable) override;
    bool getEnable(bool& out) override;
    bool writeRate(int rate) override;
    uint32_t readTarget() override;
    uint32_t getCountPeriod() const override;

    std::map<std::string, std::map<int32_t, std::array<int32_t, 4>>> registerValueTable;
};

} // namespace quelnor
