#include <gtest/gtest.h>

#include <cstdio>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/EventRateControl/Genx320EventRateControl.h"
#include "QuelnorHal/camera/tools/EventRateControl/Imx636EventRateControl.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

std::string name(const char* format, int n) {
    char text[40];
    std::snprintf(text, sizeof(text), format, n);
    return text;
}

// Addresses of the successful writes, runs of the same address merged.
std::vector<uint32_t> writtenAddressRuns(const ToolRig& rig) {
    std::vector<uint32_t> runs;
    for (const auto& w : rig.device->writes()) {
        if (runs.empty() || runs.back() != w.address) {
            runs.push_back(w.address);
        }
    }
    return runs;
}

} // namespace

TEST(EventRateControlTools, Imx636SetUpRunsOnceInItsOrder) {
    auto rig = ToolRig::imx636();
    Imx636EventRateControl tool(rig.controller);
    EXPECT_TRUE(rig.device->log().empty());
    LogCapture log;
    ASSERT_TRUE(tool.setParam("enable", false));
    EXPECT_EQ(log.count(LOG_INFO, "Imx636 ERC Init"), 1);

    std::vector<uint32_t> expected;
    auto at = [&](const std::string& reg) { expected.push_back(rig.device->addressOf("erc/" + reg)); };
    at("Reserved_6000");
    at("in_drop_rate_control");
    at("reference_period");
    at("td_target_event_rate");
    at("erc_enable");
    at("Reserved_602C");
    for (int i = 0; i < 230; ++i) {
        at(name("Reserved_%04X", 0x6800 + 4 * i));
    }
    at("Reserved_602C");
    for (int j = 0; j < 256; ++j) {
        at(name("t_drop_lut_%02d", j));
    }
    at("t_dropping_control");
    at("h_dropping_control");
    at("v_dropping_control");
    at("Reserved_6000");
    at("t_dropping_control"); // the disabling itself
    EXPECT_EQ(writtenAddressRuns(rig), expected);
    EXPECT_EQ(rig.device->writes().size(), 1u + 1 + 1 + 1 + 3 + 1 + 230 * 4 + 1 + 256 * 2 + 3 + 1 + 1);

    EXPECT_EQ(rig.device->peekField("erc/Reserved_6000", "Reserved_1_0"), 1u);
    EXPECT_EQ(rig.device->peekField("erc/reference_period", "erc_reference_period"), 200u);
    EXPECT_EQ(rig.device->peekField("erc/in_drop_rate_control", "cfg_event_delay_fifo_en"), 1u);
    EXPECT_EQ(rig.device->peek("erc/erc_enable"), 0x3u);
    EXPECT_EQ(rig.device->peekField("erc/Reserved_602C", "Reserved_0"), 0u);
    EXPECT_EQ(rig.device->fieldWrites("erc/Reserved_602C", "Reserved_0"), (std::vector<uint32_t>{1, 0}));
    EXPECT_EQ(rig.device->peek("erc/Reserved_6800"), 0x08080808u);
    EXPECT_EQ(rig.device->peek("erc/Reserved_6B94"), 0x08080808u);
    // the identity drop table
    for (int j : {0, 1, 99, 100, 255}) {
        const std::string reg = name("erc/t_drop_lut_%02d", j);
        EXPECT_EQ(rig.device->peekField(reg, name("tlut%03d", 2 * j)), static_cast<uint32_t>(2 * j)) << reg;
        EXPECT_EQ(rig.device->peekField(reg, name("tlut%03d", 2 * j + 1)), static_cast<uint32_t>(2 * j + 1)) << reg;
    }

    // disabled first: the target stays the set-up's 10000, i.e. 50 MEv/s
    EXPECT_EQ(rig.device->peek("erc/td_target_event_rate"), 10000u);
    int rate = 0;
    ASSERT_TRUE(tool.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 50);
    bool on = true;
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_FALSE(on);

    rig.clear();
    ASSERT_TRUE(tool.setParam("enable", true));
    EXPECT_EQ(writtenAddressRuns(rig), (std::vector<uint32_t>{rig.device->addressOf("erc/t_dropping_control"),
                                                               rig.device->addressOf("erc/td_target_event_rate")}));
    EXPECT_EQ(log.count(LOG_INFO, "Imx636 ERC Init"), 1);
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_TRUE(on);
}

TEST(EventRateControlTools, TargetIsRateTimesThePeriodOnBothSensors) {
    auto imx = ToolRig::imx636();
    Imx636EventRateControl imxTool(imx.controller);
    auto genx = ToolRig::genx320();
    Genx320EventRateControl genxTool(genx.controller);
    ASSERT_TRUE(imxTool.setParam("enable", true));
    ASSERT_TRUE(genxTool.setParam("enable", true));
    struct Case {
        int rate;
        uint32_t target;
    };
    for (const auto& c : {Case{320, 64000}, Case{1, 200}, Case{0, 0}, Case{123, 24600}}) {
        ASSERT_TRUE(imxTool.setParam("max_event_rate", c.rate)) << c.rate;
        ASSERT_TRUE(genxTool.setParam("max_event_rate", c.rate)) << c.rate;
        EXPECT_EQ(imx.device->peek("erc/td_target_event_rate"), c.target) << c.rate;
        EXPECT_EQ(genx.device->peekField("erc/td_target_event_count", "val"), c.target) << c.rate;
        int back = -1;
        ASSERT_TRUE(imxTool.getParam("max_event_rate", back));
        EXPECT_EQ(back, c.rate);
        ASSERT_TRUE(genxTool.getParam("max_event_rate", back));
        EXPECT_EQ(back, c.rate);
    }
}

TEST(EventRateControlTools, RatesOutsideTheLimitAreRefused) {
    for (const bool genx : {false, true}) {
        auto rig = genx ? ToolRig::genx320() : ToolRig::imx636();
        std::unique_ptr<CameraTool> tool;
        Imx636EventRateControl* imxTool = nullptr;
        Genx320EventRateControl* genxTool = nullptr;
        if (genx) {
            genxTool = new Genx320EventRateControl(rig.controller);
            tool.reset(genxTool);
        } else {
            imxTool = new Imx636EventRateControl(rig.controller);
            tool.reset(imxTool);
        }
        LogCapture log;
        EXPECT_FALSE(tool->setParam("max_event_rate", 321));
        EXPECT_FALSE(tool->setParam("max_event_rate", -1));
        EXPECT_TRUE(log.has(LOG_ERROR, "Current event rate 321 MEv/s exceed the limit 320 MEv/s"));
        EXPECT_TRUE(log.has(LOG_ERROR, "Current event rate -1 MEv/s exceed the limit 320 MEv/s"));
        EXPECT_TRUE(rig.device->log().empty());

        if (genx) {
            genxTool->setMaxLimitEventRate(40);
        } else {
            imxTool->setMaxLimitEventRate(40);
        }
        EXPECT_TRUE(rig.device->log().empty());
        EXPECT_TRUE(tool->setParam("max_event_rate", 40));
        EXPECT_FALSE(tool->setParam("max_event_rate", 41));
        EXPECT_TRUE(log.has(LOG_ERROR, "Current event rate 41 MEv/s exceed the limit 40 MEv/s"));
        IntParameterInfo info;
        ASSERT_TRUE(tool->getParamInfo("max_event_rate", info));
        EXPECT_EQ(info.max, 320);
        EXPECT_EQ(info.unit, "MEv/s");
        EXPECT_EQ(info.defaultValue, 320);
    }
}

TEST(EventRateControlTools, EnablingAfterTheLimitWasLoweredAppliesTheLimit) {
    auto imx = ToolRig::imx636();
    Imx636EventRateControl imxTool(imx.controller);
    ASSERT_TRUE(imxTool.setParam("max_event_rate", 320));
    imxTool.setMaxLimitEventRate(40);
    ASSERT_TRUE(imxTool.setParam("enable", true));
    EXPECT_EQ(imx.device->peek("erc/td_target_event_rate"), 8000u);
    int rate = 0;
    ASSERT_TRUE(imxTool.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 40);

    auto genx = ToolRig::genx320();
    Genx320EventRateControl genxTool(genx.controller);
    genxTool.setMaxLimitEventRate(40);
    ASSERT_TRUE(genxTool.setParam("enable", true));
    EXPECT_EQ(genx.device->peekField("erc/td_target_event_count", "val"), 8000u);
}

TEST(EventRateControlTools, PeriodOfZeroIsRefusedWhenReadingTheRate) {
    auto imx = ToolRig::imx636();
    Imx636EventRateControl imxTool(imx.controller);
    imx.device->poke("erc/reference_period", 0);
    auto genx = ToolRig::genx320();
    Genx320EventRateControl genxTool(genx.controller);
    genx.device->pokeField("erc/ref_period_flavor", "reference_period", 0);
    for (CameraTool* tool : {static_cast<CameraTool*>(&imxTool), static_cast<CameraTool*>(&genxTool)}) {
        LogCapture log;
        int rate = 17;
        EXPECT_FALSE(tool->getParam("max_event_rate", rate));
        EXPECT_EQ(rate, 17);
        EXPECT_EQ(log.countAt(LOG_ERROR), 1);
    }
}

TEST(EventRateControlTools, LargeLimitsComputeTheTargetWithoutOverflow) {
    auto imx = ToolRig::imx636();
    Imx636EventRateControl imxTool(imx.controller);
    ASSERT_TRUE(imxTool.setParam("enable", false));
    imxTool.setMaxLimitEventRate(5000);
    ASSERT_TRUE(imxTool.setParam("max_event_rate", 3000)); // 3e9 events/s does not fit 32 bits
    EXPECT_EQ(imx.device->peek("erc/td_target_event_rate"), 600000u);
    int rate = 0;
    ASSERT_TRUE(imxTool.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 3000);
    // beyond the 22-bit target field the target is held at the field's maximum
    imxTool.setMaxLimitEventRate(30000);
    ASSERT_TRUE(imxTool.setParam("max_event_rate", 25000));
    EXPECT_EQ(imx.device->peek("erc/td_target_event_rate"), 0x3FFFFFu);

    auto genx = ToolRig::genx320();
    Genx320EventRateControl genxTool(genx.controller);
    genxTool.setMaxLimitEventRate(5000);
    genx.device->pokeField("erc/ref_period_flavor", "reference_period", 1023);
    ASSERT_TRUE(genxTool.setParam("max_event_rate", 2000)); // 2,046,000 per period
    EXPECT_EQ(genx.device->peekField("erc/td_target_event_count", "val"), 1636800u);
}

TEST(EventRateControlTools, Imx636IsOffUnlessTheBlockRuns) {
    auto rig = ToolRig::imx636();
    Imx636EventRateControl tool(rig.controller);
    ASSERT_TRUE(tool.setParam("enable", true));
    for (uint32_t running : {0u, 2u, 3u}) {
        rig.device->pokeField("erc/Reserved_6000", "Reserved_1_0", running);
        bool on = true;
        ASSERT_TRUE(tool.getParam("enable", on));
        EXPECT_FALSE(on) << running;
    }
}

TEST(EventRateControlTools, Genx320SetUpAndSwitching) {
    auto rig = ToolRig::genx320();
    Genx320EventRateControl tool(rig.controller);
    EXPECT_TRUE(rig.device->log().empty());
    LogCapture log;
    ASSERT_TRUE(tool.setParam("enable", false));
    EXPECT_EQ(log.count(LOG_INFO, "Genx320 ERC Init"), 1);
    EXPECT_EQ(rig.device->peekField("erc/ref_period_flavor", "reference_period"), 200u);
    EXPECT_EQ(rig.device->peekField("erc/delay_fifo_size", "val"), 5128u);
    EXPECT_EQ(rig.device->peekField("erc/delay_fifo_non_td_rsvd_area", "val"), 257u);
    EXPECT_EQ(rig.device->peekField("erc/td_target_event_count", "val"), 128u);
    EXPECT_EQ(rig.device->peekField("erc/ahvt_dropping_control", "t_dropping_lut_en"), 0u);
    EXPECT_EQ(rig.device->peekField("erc/ahvt_dropping_control", "drop_all_td_when_drop_geq"), 0x201u);
    EXPECT_EQ(rig.device->peek("erc/pipeline_control"), 0x5u); // bypassed, enabled
    int rate = -1;
    ASSERT_TRUE(tool.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 0);
    bool on = true;
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_FALSE(on);

    rig.clear();
    ASSERT_TRUE(tool.setParam("enable", true));
    EXPECT_EQ(log.count(LOG_INFO, "Genx320 ERC Init"), 1);
    EXPECT_EQ(rig.changes(), (std::vector<std::string>{change("erc/td_target_event_count", "val", 64000),
                                                       change("erc/pipeline_control", "bypass", 0),
                                                       change("erc/ahvt_dropping_control", "t_dropping_en", 1)}));
    EXPECT_EQ(rig.device->writesTo("erc/pipeline_control").size(), 3u);
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_TRUE(on);

    ASSERT_TRUE(tool.setParam("enable", false));
    EXPECT_EQ(rig.device->peek("erc/pipeline_control"), 0x5u);
    EXPECT_EQ(rig.device->peekField("erc/ahvt_dropping_control", "t_dropping_en"), 0u);
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_FALSE(on);

    const auto info = tool.getToolInfo();
    EXPECT_EQ(info.type, EVENT_RATE_CONTROL);
    EXPECT_EQ(info.name, "EventRateControl");
    EXPECT_EQ(info.parameters, (std::vector<std::string>{"enable", "max_event_rate"}));
    EXPECT_EQ(info.description, "ERC of DVS cameras with GenX320 sensor");
    EXPECT_EQ(Imx636EventRateControl(rig.controller).getToolInfo().description,
              "ERC of DVS cameras with IMX636 sensor");
}
