#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// The IMX636 pixel biases as offsets from the values the sensor held when the tool was built.
// Out-of-range offsets are clamped. Reads all bias registers in the constructor.
class Imx636Biases : public CameraToolRegister {
public:
    explicit Imx636Biases(std::shared_ptr<RegisterController> controller);
    ~Imx636Biases() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{BIAS,
                        "Biases",
                        {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
                        "Biases of DVS cameras with IMX636 sensor"};
    }

    using CameraToolRegister::getParam;
    using CameraToolRegister::setParam;
    bool getParam(std::string name, int& value) override;
    bool setParam(std::string name, const int& value) override;

private:
    bool addRegister2Map(const FullParamteterInfo& info);

    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
