#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Genx320AntiFlicker.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"
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
#include "ToolSetRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

const std::vector<std::string> TOOL_NAMES_BY_TYPE = {"Biases",           "TriggerIn",        "Sync", "AntiFlicker",
                                                     "EventTrailFilter", "EventRateControl", "ROI"};

template <typename Tool>
bool isA(const std::shared_ptr<CameraTool>& tool) {
    return std::dynamic_pointer_cast<Tool>(tool) != nullptr;
}

// The accesses that building the tools one by one, in the given order, makes on a fresh device.
template <typename... Tools>
std::vector<Access> accessesOfBuilding(bool genx320) {
    auto device = std::make_shared<DeviceDouble>(genx320 ? GENX320_REGISTER_MAP : IMX636_REGISTER_MAP,
                                                 genx320 ? GENX320_REGISTER_MAP_SIZE : IMX636_REGISTER_MAP_SIZE);
    ToolSetRig::makeResponsive(*device, genx320);
    auto controller = ToolSetRig::controllerFor(device, genx320);
    std::vector<std::shared_ptr<CameraTool>> keep;
    (keep.push_back(std::make_shared<Tools>(controller)), ...);
    return device->log();
}

// The rows of the IMX636 table for the registers whose names start with `prefix`, with their fields.
std::vector<RegisterInfo> imx636RowsStartingWith(const std::string& prefix) {
    std::vector<RegisterInfo> rows;
    bool keep = false;
    for (uint32_t i = 0; i < IMX636_REGISTER_MAP_SIZE; ++i) {
        const RegisterInfo& row = IMX636_REGISTER_MAP[i];
        if (row.type == RegisterInfo::REGISTER) {
            keep = std::string(row.name).rfind(prefix, 0) == 0;
        }
        if (keep) {
            rows.push_back(row);
        }
    }
    return rows;
}

} // namespace

TEST(CameraToolSet, EventCameraToolsOnePerTypeForTheSensor) {
    {
        auto rig = ToolSetRig::imx636();
        const auto infos = rig.tools.getAllToolsInfo();
        ASSERT_EQ(infos.size(), 7u);
        for (size_t i = 0; i < infos.size(); ++i) {
            EXPECT_EQ(infos[i].type, static_cast<ToolType>(i));
            EXPECT_EQ(infos[i].name, TOOL_NAMES_BY_TYPE[i]);
        }
        EXPECT_TRUE(isA<Imx636Biases>(rig.tools.getTool(BIAS)));
        EXPECT_TRUE(isA<Imx636TriggerIn>(rig.tools.getTool(TRIGGER_IN)));
        EXPECT_TRUE(isA<Imx636Sync>(rig.tools.getTool(SYNC)));
        EXPECT_TRUE(isA<Imx636AntiFlicker>(rig.tools.getTool(ANTI_FLICKER)));
        EXPECT_TRUE(isA<Imx636EventTrailFilter>(rig.tools.getTool(EVENT_TRAIL_FILTER)));
        EXPECT_TRUE(isA<Imx636EventRateControl>(rig.tools.getTool(EVENT_RATE_CONTROL)));
        EXPECT_TRUE(isA<Imx636ROI>(rig.tools.getTool(ROI)));
    }
    {
        auto rig = ToolSetRig::genx320();
        const auto infos = rig.tools.getAllToolsInfo();
        ASSERT_EQ(infos.size(), 7u);
        for (size_t i = 0; i < infos.size(); ++i) {
            EXPECT_EQ(infos[i].name, TOOL_NAMES_BY_TYPE[i]);
        }
        EXPECT_TRUE(isA<Genx320Biases>(rig.tools.getTool(BIAS)));
        EXPECT_TRUE(isA<Genx320TriggerIn>(rig.tools.getTool(TRIGGER_IN)));
        EXPECT_TRUE(isA<Genx320Sync>(rig.tools.getTool(SYNC)));
        EXPECT_TRUE(isA<Genx320AntiFlicker>(rig.tools.getTool(ANTI_FLICKER)));
        EXPECT_TRUE(isA<Genx320EventTrailFilter>(rig.tools.getTool(EVENT_TRAIL_FILTER)));
        EXPECT_TRUE(isA<Genx320EventRateControl>(rig.tools.getTool(EVENT_RATE_CONTROL)));
        EXPECT_TRUE(isA<Genx320ROI>(rig.tools.getTool(ROI)));
    }
}

TEST(CameraToolSet, ToolsTalkToTheSensorInCreationOrder) {
    // Biases, trigger-in, anti-flicker, event-rate control, trail filter, ROI, sync.
    {
        auto rig = ToolSetRig::imx636();
        const auto expected = accessesOfBuilding<Imx636Biases, Imx636TriggerIn, Imx636AntiFlicker,
                                                 Imx636EventRateControl, Imx636EventTrailFilter, Imx636ROI, Imx636Sync>(
            false);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(rig.device->log(), expected);
    }
    {
        auto rig = ToolSetRig::genx320();
        const auto expected =
            accessesOfBuilding<Genx320Biases, Genx320TriggerIn, Genx320AntiFlicker, Genx320EventRateControl,
                               Genx320EventTrailFilter, Genx320ROI, Genx320Sync>(true);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(rig.device->log(), expected);
    }
}

TEST(CameraToolSet, ToolAccessByTypeAndByName) {
    auto rig = ToolSetRig::imx636();
    LogCapture log;
    EXPECT_EQ(rig.tools.getTool("ROI"), rig.tools.getTool(ROI));
    EXPECT_EQ(rig.tools.getTool("Biases"), rig.tools.getTool(BIAS));
    EXPECT_EQ(rig.tools.getTool("roi"), nullptr) << "names compare exactly";
    EXPECT_EQ(rig.tools.getTool(""), nullptr);
    EXPECT_EQ(rig.tools.getToolInfo(SYNC).name, "Sync");
    EXPECT_EQ(log.countAt(LOG_ERROR), 0) << "a name that finds nothing is not an error";

    EXPECT_EQ(rig.tools.getTool(APS_CTRL), nullptr);
    EXPECT_EQ(log.count(LOG_ERROR, "Tool not found"), 1);
    try {
        rig.tools.getToolInfo(APS_CTRL);
        FAIL() << "expected a throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Tool not found");
    }
    EXPECT_EQ(log.count(LOG_ERROR, "Tool not found"), 2);
}

TEST(CameraToolSet, EmptySetAndAddedTools) {
    CameraToolSet tools;
    EXPECT_TRUE(tools.getAllToolsInfo().empty());
    EXPECT_THROW(tools.getToolInfo(BIAS), std::runtime_error);

    auto rig = ToolSetRig::imx636();
    auto first = std::make_shared<Imx636ROI>(rig.controller);
    auto second = std::make_shared<Imx636ROI>(rig.controller);
    EXPECT_TRUE(tools.addTool(ROI, first));
    EXPECT_FALSE(tools.addTool(ROI, second)) << "the tool already there stays";
    EXPECT_EQ(tools.getTool(ROI), first);

    CameraToolSet copy = tools;
    EXPECT_EQ(copy.getTool(ROI), first) << "copies share the tools";
    tools.clear();
    EXPECT_TRUE(tools.getAllToolsInfo().empty());
    EXPECT_EQ(copy.getTool(ROI), first);
}

TEST(CameraToolSet, EachBuildStartsCleanSoNoToolStaysOnAnEarlierController) {
    // First attempt over a controller whose map knows only the bias registers: the biases are built,
    // the trigger-in tool's first register access throws.
    auto partialRows = imx636RowsStartingWith("bias/");
    auto deviceA = std::make_shared<DeviceDouble>(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE);
    auto controllerA = std::make_shared<RegisterController>(deviceA, partialRows.data(),
                                                            static_cast<uint32_t>(partialRows.size()), "PSEE/IMX636/");
    CameraToolSet tools;
    EXPECT_THROW(tools.createEventCameraTools(controllerA, false), std::runtime_error);
    const auto afterFailure = tools.getAllToolsInfo();
    ASSERT_EQ(afterFailure.size(), 1u) << "the tools built before the throw stay";
    const auto oldBiases = tools.getTool(BIAS);

    // Second attempt over the camera's new controller: every tool is new and talks to the new device.
    auto rig = ToolSetRig::imx636();
    tools.createEventCameraTools(rig.controller, false);
    ASSERT_EQ(tools.getAllToolsInfo().size(), 7u);
    EXPECT_NE(tools.getTool(BIAS), oldBiases);

    deviceA->clearLog();
    rig.device->clearLog();
    EXPECT_TRUE(tools.getTool(BIAS)->setParam("bias_diff_on", 5));
    EXPECT_TRUE(deviceA->log().empty());
    EXPECT_EQ(rig.device->writesTo("bias/bias_diff_on").size(), 1u);
}
