#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// One bias: its register below "bias/" (also the parameter's name), its text and the offsets allowed.
struct BiasEntry {
    const char* name;
    const char* description;
    int min;
    int max;
};

// What one sensor's biases differ in.
struct BiasSensor {
    int fieldMax;                      // largest code of the sensor's bias field
    std::span<const BiasEntry> biases; // in the order ToolInfo lists them
    const char* description;           // ToolInfo::description
};

// The pixel biases as offsets from the values the sensor held when the tool was built. Out-of-range
// offsets are clamped. Reads all bias registers in the constructor. The sensor classes
// (Imx636Biases, Genx320Biases) only name their BiasSensor.
class BiasesTool : public CameraToolRegister {
public:
    ToolInfo getToolInfo() const override;

    using CameraToolRegister::getParam;
    using CameraToolRegister::setParam;
    bool getParam(std::string name, int& value) override;
    bool setParam(std::string name, const int& value) override;

protected:
    // sensor and its table must outlive the tool (the sensor classes pass constexpr descriptions).
    BiasesTool(std::shared_ptr<RegisterController> controller, const BiasSensor& sensor);

private:
    bool addRegister2Map(const FullParamteterInfo& info);

    const BiasSensor* sensor;
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
