#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// What one sensor's time base differs in. Every sensor sets "time_base_mode", "external_mode" and
// "external_mode_enable" of "ro/time_base_ctrl" from the mode.
struct SyncSensor {
    const char* description; // ToolInfo::description
    bool enablesTimeBase;    // sets "time_base_enable" first
    // A further field of the time-base register and its fixed value, written after the mode.
    const char* counterField;
    uint32_t counterValue;
    // The pad that carries the time base in MASTER and SLAVE (nullptr: none to set).
    const char* padRegister;
    const char* padField;
    uint32_t padMaster;
    uint32_t padSlave;
    // A failed register write refuses the mode with an error line; otherwise the exception passes.
    bool reportsWriteFailure;
};

// Chooses the time-base mode: "STANDALONE", "MASTER" (offers its time base on the sync pad) or
// "SLAVE" (takes it from there). The mode reported is the last one accepted; the sensor is not read.
// The sensor classes (Imx636Sync, Genx320Sync) only name their SyncSensor.
class SyncTool : public CameraToolRegisterWithCallback {
public:
    ToolInfo getToolInfo() const override;

protected:
    // sensor must outlive the tool (the sensor classes pass a constexpr description).
    SyncTool(std::shared_ptr<RegisterController> controller, const SyncSensor& sensor);

private:
    bool setMode(std::string mode);
    bool getMode(std::string& out);
    bool timeBaseConfig(bool a, bool b);
    void writeTimeBase(bool a, bool b);
    bool addRegister2Map(const FullParamteterInfo& info);

    const SyncSensor* sensor;
    std::string mode = "STANDALONE";
    std::vector<std::string> modes = {"STANDALONE", "MASTER", "SLAVE"};
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
