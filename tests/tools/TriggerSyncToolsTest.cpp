#include <gtest/gtest.h>

#include <stdexcept>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/trigger/Genx320Sync.h"
#include "QuelnorHal/camera/tools/trigger/Genx320TriggerIn.h"
#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"
#include "QuelnorHal/camera/tools/trigger/Imx636TriggerIn.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

TEST(TriggerInTools, DefaultIsTheInputStateAtConstructionAndNothingIsWritten) {
    auto rig = ToolRig::imx636();
    ASSERT_EQ(rig.device->peekField("edf/trigger_in", "enable"), 1u); // its reset value
    LogCapture log;
    Imx636TriggerIn tool(rig.controller);
    BoolParameterInfo info;
    ASSERT_TRUE(tool.getParamInfo("enable", info));
    EXPECT_TRUE(info.defaultValue);
    EXPECT_TRUE(rig.device->writes().empty());
    EXPECT_EQ(log.count(LOG_INFO, "Trigger in get enable: 1"), 1);

    auto off = ToolRig::imx636();
    off.device->pokeField("edf/trigger_in", "enable", 0);
    Imx636TriggerIn offTool(off.controller);
    ASSERT_TRUE(offTool.getParamInfo("enable", info));
    EXPECT_FALSE(info.defaultValue);
}

TEST(TriggerInTools, EnableIsOneFieldOfTheRegisterAndIsReadEachTime) {
    auto rig = ToolRig::genx320();
    rig.device->poke("edf/pipeline_control", 0x6);
    Genx320TriggerIn tool(rig.controller);
    rig.clear();
    LogCapture log;
    ASSERT_TRUE(tool.setParam("enable", true));
    EXPECT_EQ(rig.device->peek("edf/pipeline_control"), 0x7u);
    EXPECT_EQ(rig.changes(), std::vector<std::string>{change("edf/pipeline_control", "enable", 1)});
    EXPECT_TRUE(log.has(LOG_INFO, "Trigger in set enable: 1"));

    bool on = false;
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_TRUE(on);
    rig.device->pokeField("edf/pipeline_control", "enable", 0);
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_FALSE(on);

    ASSERT_TRUE(tool.setParam("enable", false));
    EXPECT_EQ(rig.device->peek("edf/pipeline_control"), 0x6u);
    EXPECT_TRUE(log.has(LOG_INFO, "Trigger in set enable: 0"));

    EXPECT_FALSE(tool.setParam("enable", 1));
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter enable is not of type INT"));

    const auto info = tool.getToolInfo();
    EXPECT_EQ(info.type, TRIGGER_IN);
    EXPECT_EQ(info.name, "TriggerIn");
    EXPECT_EQ(info.parameters, std::vector<std::string>{"enable"});
    EXPECT_EQ(info.description, "Trigger in of DVS cameras with GenX320 sensor");
    EXPECT_EQ(Imx636TriggerIn(ToolRig::imx636().controller).getToolInfo().description,
              "Trigger in of DVS cameras with IMX636 sensors");
}

TEST(SyncTools, NewToolReportsStandaloneWithoutReadingTheSensor) {
    auto rig = ToolRig::imx636();
    Imx636Sync tool(rig.controller);
    std::string mode;
    ASSERT_TRUE(tool.getParam("mode", mode));
    EXPECT_EQ(mode, "STANDALONE");
    EXPECT_TRUE(rig.device->log().empty());
    EnumParameterInfo info;
    ASSERT_TRUE(tool.getParamInfo("mode", info));
    EXPECT_EQ(info.options, (std::vector<std::string>{"STANDALONE", "MASTER", "SLAVE"}));
    EXPECT_EQ(tool.getToolInfo().description, "Sync of DVS cameras with IMX636 sensors");
    EXPECT_EQ(tool.getToolInfo().type, SYNC);
}

TEST(SyncTools, Imx636ModesSetTheTimeBaseFieldsAndThePad) {
    struct Case {
        const char* mode;
        uint32_t timeBaseMode, externalMode, externalModeEnable;
        bool padWritten;
        uint32_t pad;
    };
    const Case cases[] = {
        {"MASTER", 1, 1, 1, true, 12},
        {"SLAVE", 1, 0, 1, true, 15},
        {"STANDALONE", 0, 1, 0, false, 0},
    };
    for (const auto& c : cases) {
        auto rig = ToolRig::imx636();
        rig.device->pokeField("ro/time_base_ctrl", "Reserved_10_4", 0); // shows the write of 100
        Imx636Sync tool(rig.controller);
        ASSERT_TRUE(tool.setParam("mode", c.mode)) << c.mode;
        const char* reg = "ro/time_base_ctrl";
        EXPECT_EQ(rig.device->peekField(reg, "time_base_mode"), c.timeBaseMode) << c.mode;
        EXPECT_EQ(rig.device->peekField(reg, "external_mode"), c.externalMode) << c.mode;
        EXPECT_EQ(rig.device->peekField(reg, "external_mode_enable"), c.externalModeEnable) << c.mode;
        EXPECT_EQ(rig.device->peekField(reg, "Reserved_10_4"), 100u) << c.mode;
        EXPECT_EQ(rig.device->peekField(reg, "time_base_enable"), 0u) << c.mode;
        EXPECT_EQ(rig.device->writesTo(reg).size(), 4u) << c.mode;
        const auto padWrites = rig.device->fieldWrites("dig_pad2_ctrl", "pad_sync");
        if (c.padWritten) {
            EXPECT_EQ(padWrites, std::vector<uint32_t>{c.pad}) << c.mode;
            // the rest of the pad register is kept
            EXPECT_EQ(rig.device->peekField("dig_pad2_ctrl", "Reserved_15_0"), 0xFCCFu);
        } else {
            EXPECT_TRUE(padWrites.empty()) << c.mode;
        }
        std::string mode;
        ASSERT_TRUE(tool.getParam("mode", mode));
        EXPECT_EQ(mode, c.mode);
    }
}

TEST(SyncTools, Genx320MasterEnablesTheTimeBaseAndNeverTouchesAPad) {
    auto rig = ToolRig::genx320();
    Genx320Sync tool(rig.controller);
    ASSERT_TRUE(tool.setParam("mode", "MASTER"));
    EXPECT_EQ(rig.device->peek("ro/time_base_ctrl") & 0x7FF, 0xFu | (25u << 4));
    ASSERT_TRUE(tool.setParam("mode", "SLAVE"));
    EXPECT_EQ(rig.device->peek("ro/time_base_ctrl") & 0x7FF, 0xBu | (25u << 4));
    EXPECT_EQ(tool.getToolInfo().description, "Sync of DVS cameras with GenX320 sensors");
}

TEST(SyncTools, UnknownOrWrongCaseModeIsRefusedWithoutRegisterAccess) {
    auto rig = ToolRig::imx636();
    Imx636Sync tool(rig.controller);
    ASSERT_TRUE(tool.setParam("mode", "SLAVE"));
    rig.clear();
    LogCapture log;
    EXPECT_FALSE(tool.setParam("mode", "master"));
    EXPECT_TRUE(log.has(LOG_INFO, "Set mode: master"));
    EXPECT_TRUE(log.has(LOG_ERROR, "unknown mode: master"));
    EXPECT_TRUE(rig.device->log().empty());
    std::string mode;
    ASSERT_TRUE(tool.getParam("mode", mode));
    EXPECT_EQ(mode, "SLAVE");
}

TEST(SyncTools, SettingTheSameModeAgainWritesTheFieldsAgain) {
    auto rig = ToolRig::imx636();
    Imx636Sync tool(rig.controller);
    ASSERT_TRUE(tool.setParam("mode", "MASTER"));
    ASSERT_TRUE(tool.setParam("mode", "MASTER"));
    EXPECT_EQ(rig.device->writesTo("ro/time_base_ctrl").size(), 8u);
    EXPECT_EQ(rig.device->fieldWrites("dig_pad2_ctrl", "pad_sync"), (std::vector<uint32_t>{12, 12}));
}

TEST(SyncTools, Genx320CatchesARegisterFailureAndKeepsItsMode) {
    // Over the IMX636 map the GenX320 field "us_counter_max" does not exist.
    auto rig = ToolRig::imx636();
    Genx320Sync tool(rig.controller);
    LogCapture log;
    EXPECT_FALSE(tool.setParam("mode", "MASTER"));
    EXPECT_TRUE(log.has(LOG_ERROR, "timeBaseConfig write failed: Register: Field not found"));
    EXPECT_TRUE(log.has(LOG_ERROR, "timeBaseConfig failed for mode: MASTER"));
    std::string mode;
    ASSERT_TRUE(tool.getParam("mode", mode));
    EXPECT_EQ(mode, "STANDALONE");
    // the writes made before the failure stay
    EXPECT_EQ(rig.device->peekField("ro/time_base_ctrl", "time_base_enable"), 1u);
}

TEST(SyncTools, Imx636LetsARegisterFailureReachTheCaller) {
    auto rig = ToolRig::genx320(); // no "Reserved_10_4" and no "dig_pad2_ctrl"
    Imx636Sync tool(rig.controller);
    EXPECT_THROW(tool.setParam("mode", "MASTER"), std::runtime_error);
    std::string mode;
    ASSERT_TRUE(tool.getParam("mode", mode));
    EXPECT_EQ(mode, "STANDALONE");
}
