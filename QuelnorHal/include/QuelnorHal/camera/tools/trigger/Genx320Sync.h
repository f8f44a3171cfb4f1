#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

namespace quelnor {

// Chooses the time-base mode: "STANDALONE", "MASTER" (offers its time base on the sync pad) or
// "SLAVE" (takes it from there). The mode reported is the last one accepted; the sensor is not read.
class Genx320Sync : public CameraToolRegisterWithCallback {
public:
    explicit Genx320Sync(std::shared_ptr<RegisterController> controller);
    ~Genx320Sync() override {}

    ToolInfo getToolInfo() const override {
        return ToolInfo{SYNC, "Sync", {"mode"}, "Sync of DVS cameras with GenX320 sensors"};
    }

private:
    bool setMode(std::string mode);
    bool getMode(std::string& out);
    bool timeBaseConfig(bool a, bool b);
    bool addRegister2Map(const FullParamteterInfo& info);

    std::string mode = "STANDALONE";
    std::vector<std::string> modes = {"STANDALONE", "MASTER", "SLAVE"};
    std::vector<FullParamteterInfo> parameterList;
};

} // namespace quelnor
