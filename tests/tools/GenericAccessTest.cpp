#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Genx320AntiFlicker.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"
#include "QuelnorHal/camera/tools/ApsCtrl/Imx415ApsCtrl.h"
#include "QuelnorHal/camera/tools/EthConfig/EthConfig.h"
#include "QuelnorHal/camera/tools/EventRateControl/Genx320EventRateControl.h"
#include "QuelnorHal/camera/tools/EventRateControl/Imx636EventRateControl.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Genx320EventTrailFilter.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Imx636EventTrailFilter.h"
#include "QuelnorHal/camera/tools/biases/Genx320Biases.h"
#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"
#include "QuelnorHal/camera/tools/roi/Genx320Roi.h"
#include "QuelnorHal/camera/tools/roi/Imx636Roi.h"
#include "QuelnorHal/camera/tools/trigger/Genx320Sync.h"
#include "QuelnorHal/camera/tools/trigger/Genx320TriggerIn.h"
#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"
#include "QuelnorHal/camera/tools/trigger/Imx636TriggerIn.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

struct ToolCase {
    const char* label;
    std::function<ToolRig()> rig;
    std::function<std::shared_ptr<CameraTool>(std::shared_ptr<RegisterController>)> make;
};

template <typename Tool>
std::shared_ptr<CameraTool> build(std::shared_ptr<RegisterController> c) {
    return std::make_shared<Tool>(std::move(c));
}

const std::vector<ToolCase>& callbackTools() {
    static const std::vector<ToolCase> cases = {
        {"Imx636TriggerIn", [] { return ToolRig::imx636(); }, build<Imx636TriggerIn>},
        {"Genx320TriggerIn", [] { return ToolRig::genx320(); }, build<Genx320TriggerIn>},
        {"Imx636Sync", [] { return ToolRig::imx636(); }, build<Imx636Sync>},
        {"Genx320Sync", [] { return ToolRig::genx320(); }, build<Genx320Sync>},
        {"Imx636AntiFlicker", [] { return ToolRig::imx636(); }, build<Imx636AntiFlicker>},
        {"Genx320AntiFlicker", [] { return ToolRig::genx320(); }, build<Genx320AntiFlicker>},
        {"Imx636ROI", [] { return ToolRig::imx636(); }, build<Imx636ROI>},
        {"Genx320ROI", [] { return ToolRig::genx320(); }, build<Genx320ROI>},
        {"Imx636EventRateControl", [] { return ToolRig::imx636(); }, build<Imx636EventRateControl>},
        {"Genx320EventRateControl", [] { return ToolRig::genx320(); }, build<Genx320EventRateControl>},
        {"Imx636EventTrailFilter", [] { return ToolRig::imx636(); }, build<Imx636EventTrailFilter>},
        {"Genx320EventTrailFilter", [] { return ToolRig::genx320(); }, build<Genx320EventTrailFilter>},
        {"Imx415ApsCtrl", [] { return ToolRig::imx415(); }, build<Imx415ApsCtrl>},
        {"EthConfig", [] { return ToolRig::imx636(Interface::ETH); }, build<EthConfig>},
    };
    return cases;
}

// Reads the parameter with the getParam overload of `type`.
bool readAs(CameraTool& tool, const std::string& name, ToolParameterType type) {
    switch (type) {
    case INT: {
        int v = 0;
        return tool.getParam(name, v);
    }
    case FLOAT: {
        float v = 0.0f;
        return tool.getParam(name, v);
    }
    case BOOL: {
        bool v = false;
        return tool.getParam(name, v);
    }
    default: {
        std::string v;
        return tool.getParam(name, v);
    }
    }
}

bool writeAs(CameraTool& tool, const std::string& name, ToolParameterType type) {
    switch (type) {
    case INT: return tool.setParam(name, 1);
    case FLOAT: return tool.setParam(name, 1.0f);
    case BOOL: return tool.setParam(name, true);
    default: return tool.setParam(name, std::string("x"));
    }
}

// A kind other than `type` that the overloads distinguish.
ToolParameterType otherKind(ToolParameterType type) { return type == INT ? FLOAT : INT; }

} // namespace

TEST(GenericToolAccess, EveryParameterReadsWithItsKindAndRefusesAnother) {
    for (const auto& c : callbackTools()) {
        auto rig = c.rig();
        auto tool = c.make(rig.controller);
        const auto all = tool->getAllParamInfo();
        ASSERT_FALSE(all.empty()) << c.label;
        for (const auto& [name, info] : all) {
            EXPECT_EQ(name, info.name) << c.label;
            EXPECT_TRUE(readAs(*tool, name, info.type)) << c.label << " " << name;

            rig.clear();
            LogCapture log;
            const ToolParameterType wrong = otherKind(info.type);
            EXPECT_FALSE(readAs(*tool, name, wrong)) << c.label << " " << name;
            EXPECT_FALSE(writeAs(*tool, name, wrong)) << c.label << " " << name;
            EXPECT_EQ(log.count(LOG_ERROR, "Parameter " + name + " is not of type " + ToolParameterTypeToString(wrong)),
                      2)
                << c.label << " " << name;
            EXPECT_TRUE(rig.device->log().empty()) << c.label << " " << name;
        }

        LogCapture log;
        int v = 42;
        EXPECT_FALSE(tool->getParam("nope", v)) << c.label;
        EXPECT_EQ(v, 42);
        EXPECT_EQ(log.count(LOG_ERROR, "Parameter nope not found"), 1) << c.label;
        EXPECT_FALSE(tool->setParam("nope", std::string("x"))) << c.label;
        EXPECT_EQ(log.count(LOG_ERROR, "Parameter nope not found"), 3) << c.label;
    }
}

TEST(GenericToolAccess, ToolInfoNamesTheParametersTheToolHas) {
    for (const auto& c : callbackTools()) {
        auto rig = c.rig();
        auto tool = c.make(rig.controller);
        const auto info = tool->getToolInfo();
        const auto all = tool->getAllParamInfo();
        EXPECT_FALSE(info.name.empty()) << c.label;
        EXPECT_FALSE(info.description.empty()) << c.label;
        size_t listed = 0;
        for (const auto& name : info.parameters) {
            if (info.type == ROI && (name == "x_width" || name == "y_height")) {
                continue; // listed under other names than the parameters "width" and "height"
            }
            EXPECT_EQ(all.count(name), 1u) << c.label << " lists " << name;
            ++listed;
        }
        EXPECT_EQ(listed + (info.type == ROI ? 2 : 0), all.size()) << c.label;
    }
}

TEST(GenericToolAccess, BiasToolsServeOnlyIntegers) {
    struct BiasCase {
        ToolRig rig;
        std::shared_ptr<CameraTool> tool;
    };
    auto imx = ToolRig::imx636();
    auto genx = ToolRig::genx320();
    for (auto& b : {BiasCase{imx, std::make_shared<Imx636Biases>(imx.controller)},
                    BiasCase{genx, std::make_shared<Genx320Biases>(genx.controller)}}) {
        for (const auto& [name, info] : b.tool->getAllParamInfo()) {
            EXPECT_EQ(info.type, INT);
            int v = 5;
            EXPECT_TRUE(b.tool->getParam(name, v)) << name;
            EXPECT_EQ(v, 0) << name;
            LogCapture log;
            float f = 0.0f;
            EXPECT_FALSE(b.tool->getParam(name, f));
            EXPECT_FALSE(b.tool->setParam(name, false));
            EXPECT_TRUE(log.has(LOG_ERROR, "Get float parameter function not implemented"));
            EXPECT_TRUE(log.has(LOG_ERROR, "Set bool parameter function not implemented"));
        }
        LogCapture log;
        int v = 0;
        EXPECT_FALSE(b.tool->getParam("nope", v));
        EXPECT_TRUE(log.has(LOG_ERROR, "Parameter bias/nope not found"));
    }
}
