#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// The GenX320 pixel biases as offsets from the values the sensor held when the tool was built.
// Out-of-range offsets are clamped. Reads all bias registers in the constructor.
class Genx320Biases : public CameraToolRegister {
public:
    explicit Genx320Biases(std::shared_ptr<RegisterController> controller);
    ~Genx320Biases() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{BIAS,
                        "Biases",
                        {"bias_pr_hv0", "bias_fo_hv0", "bias_hpf_lv0", "bias_diff_on_lv0", "bias_diff_lv0",
                         "bias_diff_off_lv0", "bias_refr_lv0"},
                        "Biases of DVS cameras with GenX320 sensor"};
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
