#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Genx320EventTrailFilter.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Imx636EventTrailFilter.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/TrailFilterTable.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

struct Sensor {
    ToolRig rig;
    std::unique_ptr<CameraTool> tool;
};

// Both sensors share the block layout and the register sequence.
std::vector<Sensor> bothSensors() {
    std::vector<Sensor> sensors;
    auto imx = ToolRig::imx636();
    auto imxTool = std::make_unique<Imx636EventTrailFilter>(imx.controller);
    sensors.push_back({imx, std::move(imxTool)});
    auto genx = ToolRig::genx320();
    auto genxTool = std::make_unique<Genx320EventTrailFilter>(genx.controller);
    sensors.push_back({genx, std::move(genxTool)});
    return sensors;
}

void neverReady(const ToolRig& rig) { rig.device->setDoneField("stc/initialization", "stc_flag_init_done", -1); }

} // namespace

TEST(TrailFilterTable, HoldsOneRowPerMillisecondFromOneToHundred) {
    ASSERT_EQ(TRAIL_FILTER_TABLE.size(), 100u);
    EXPECT_EQ(TRAIL_FILTER_TABLE.begin()->first, 1);
    EXPECT_EQ(TRAIL_FILTER_TABLE.rbegin()->first, 100);
    struct Row {
        int threshold, presc, mult, dt;
    };
    const Row rows[] = {{1, 12, 15, 90},  {2, 10, 3, 90},    {10, 13, 9, 90},   {20, 13, 5, 109}, {23, 11, 1, 209},
                        {45, 15, 9, 248}, {50, 12, 1, 280},  {74, 16, 11, 409}, {81, 15, 5, 451}, {89, 16, 9, 501},
                        {99, 13, 1, 564}, {100, 13, 1, 564}};
    for (const auto& r : rows) {
        const auto& row = TRAIL_FILTER_TABLE.at(r.threshold);
        EXPECT_EQ(row.size(), 3u);
        EXPECT_EQ(row.at("presc"), r.presc) << r.threshold;
        EXPECT_EQ(row.at("mult"), r.mult) << r.threshold;
        EXPECT_EQ(row.at("dt_fifo_timeout"), r.dt) << r.threshold;
    }
}

TEST(TrailFilterTools, EnablingWithTheDefaultsWritesTheSequenceInOrder) {
    for (auto& s : bothSensors()) {
        // Settings unlike the tool's, so that every write shows as a change.
        s.rig.device->pokeField("stc/stc_param", "stc_enable", 1);
        s.rig.device->pokeField("stc/timestamping", "prescaler", 0);
        s.rig.clear();
        ASSERT_TRUE(s.tool->setParam("enable", true));
        const std::string pipe = "stc/pipeline_control";
        EXPECT_EQ(s.rig.changes(), (std::vector<std::string>{
                                       change(pipe, "Reserved_0", 1),
                                       change(pipe, "stc_trail_bypass", 1),
                                       change("stc/initialization", "stc_flag_init_done", 1),
                                       change("stc/initialization", "stc_req_init", 1),
                                       change("stc/stc_param", "stc_enable", 0),
                                       change("stc/trail_param", "trail_enable", 1),
                                       change("stc/trail_param", "trail_threshold", 10000),
                                       change("stc/timestamping", "prescaler", 13),
                                       change("stc/timestamping", "multiplier", 9),
                                       change("stc/timestamping", "enable_last_ts_update_at_every_event", 1),
                                       change("stc/invalidation", "dt_fifo_timeout", 90),
                                       change(pipe, "stc_trail_bypass", 0),
                                   }));
        EXPECT_EQ(s.rig.device->writesTo(pipe), (std::vector<uint32_t>{5, 1}));
        bool on = false;
        ASSERT_TRUE(s.tool->getParam("enable", on));
        EXPECT_TRUE(on);
    }
}

TEST(TrailFilterTools, StcTypesProgramTheStcFilterWithTheThresholdsRow) {
    struct Case {
        const char* type;
        int threshold;
        uint32_t disableCut, presc, mult, dt;
    };
    const Case cases[] = {{"STC_KEEP_TRAIL", 45, 1, 15, 9, 248},
                          {"STC_CUT_TRAIL", 1, 0, 12, 15, 90},
                          {"STC_CUT_TRAIL", 100, 0, 13, 1, 564}};
    for (const auto& c : cases) {
        for (auto& s : bothSensors()) {
            s.rig.device->pokeField("stc/stc_param", "disable_stc_cut_trail", 1 - c.disableCut);
            s.rig.device->pokeField("stc/trail_param", "trail_enable", 1);
            ASSERT_TRUE(s.tool->setParam("type", c.type));
            ASSERT_TRUE(s.tool->setParam("threshold", c.threshold));
            EXPECT_TRUE(s.rig.device->writes().empty()); // disabled: nothing yet
            ASSERT_TRUE(s.tool->setParam("enable", true));
            const auto& dev = *s.rig.device;
            EXPECT_EQ(dev.peekField("stc/stc_param", "stc_enable"), 1u);
            EXPECT_EQ(dev.peekField("stc/stc_param", "stc_threshold"), c.threshold * 1000u);
            EXPECT_EQ(dev.peekField("stc/stc_param", "disable_stc_cut_trail"), c.disableCut);
            EXPECT_EQ(dev.peekField("stc/trail_param", "trail_enable"), 0u);
            EXPECT_EQ(dev.peekField("stc/timestamping", "prescaler"), c.presc);
            EXPECT_EQ(dev.peekField("stc/timestamping", "multiplier"), c.mult);
            EXPECT_EQ(dev.peekField("stc/invalidation", "dt_fifo_timeout"), c.dt);
            EXPECT_EQ(dev.peek("stc/pipeline_control"), 1u);
        }
    }
}

TEST(TrailFilterTools, ThresholdsOutsideTheTableAreRefused) {
    for (auto& s : bothSensors()) {
        ASSERT_TRUE(s.tool->setParam("enable", true));
        s.rig.clear();
        LogCapture log;
        for (int bad : {0, 101, -5, INT_MAX}) {
            EXPECT_FALSE(s.tool->setParam("threshold", bad)) << bad;
        }
        EXPECT_EQ(log.countAt(LOG_ERROR), 4);
        EXPECT_TRUE(log.has(LOG_ERROR, "The threshold 101 ms is out of range [1, 100]."));
        EXPECT_TRUE(s.rig.device->writes().empty());
        int threshold = 0;
        ASSERT_TRUE(s.tool->getParam("threshold", threshold));
        EXPECT_EQ(threshold, 10);
        IntParameterInfo info;
        ASSERT_TRUE(s.tool->getParamInfo("threshold", info));
        EXPECT_EQ(info.min, 1);
        EXPECT_EQ(info.max, 100);
        EXPECT_EQ(info.unit, "ms");
    }
}

TEST(TrailFilterTools, BlockThatNeverInitialisesIsReadThreeTimesAndLeftOff) {
    for (auto& s : bothSensors()) {
        neverReady(s.rig);
        LogCapture log;
        EXPECT_FALSE(s.tool->setParam("enable", true));
        EXPECT_EQ(s.rig.readsAfterLastWrite("stc/initialization"), 3u);
        EXPECT_TRUE(log.has(LOG_ERROR, "Set enable failed."));
        EXPECT_EQ(s.rig.device->peek("stc/pipeline_control"), 5u);
        bool on = true;
        ASSERT_TRUE(s.tool->getParam("enable", on));
        EXPECT_FALSE(on);
    }
}

TEST(TrailFilterTools, InitialisationReportedOnTheThirdReadIsEnough) {
    for (auto& s : bothSensors()) {
        s.rig.device->setDoneField("stc/initialization", "stc_flag_init_done", 2,
                                   std::string("stc/initialization"));
        ASSERT_TRUE(s.tool->setParam("enable", true));
        EXPECT_EQ(s.rig.readsAfterLastWrite("stc/initialization"), 3u);
        EXPECT_EQ(s.rig.device->peek("stc/pipeline_control"), 1u);
    }
}

TEST(TrailFilterTools, ChangesWhileEnabledRestartTheFilterAndReportAFailedRestart) {
    for (auto& s : bothSensors()) {
        ASSERT_TRUE(s.tool->setParam("threshold", 20)); // disabled: nothing written
        EXPECT_TRUE(s.rig.device->writes().empty());
        ASSERT_TRUE(s.tool->setParam("enable", true));
        ASSERT_TRUE(s.tool->setParam("threshold", 10));
        s.rig.clear();
        ASSERT_TRUE(s.tool->setParam("threshold", 20));
        EXPECT_EQ(s.rig.device->writesTo("stc/pipeline_control"), (std::vector<uint32_t>{5, 5, 1}));
        EXPECT_EQ(s.rig.device->peekField("stc/timestamping", "prescaler"), 13u);
        EXPECT_EQ(s.rig.device->peekField("stc/timestamping", "multiplier"), 5u);
        EXPECT_EQ(s.rig.device->peekField("stc/invalidation", "dt_fifo_timeout"), 109u);
        EXPECT_EQ(s.rig.device->peekField("stc/trail_param", "trail_threshold"), 20000u);

        neverReady(s.rig);
        EXPECT_FALSE(s.tool->setParam("threshold", 30));
        bool on = true;
        ASSERT_TRUE(s.tool->getParam("enable", on));
        EXPECT_FALSE(on);
        // the value was taken; it applies at the next successful enabling
        int threshold = 0;
        ASSERT_TRUE(s.tool->getParam("threshold", threshold));
        EXPECT_EQ(threshold, 30);

        s.rig.device->clearDoneBits();
        ASSERT_TRUE(s.tool->setParam("enable", true));
        EXPECT_EQ(s.rig.device->peekField("stc/trail_param", "trail_threshold"), 30000u);
        neverReady(s.rig);
        EXPECT_FALSE(s.tool->setParam("type", "STC_CUT_TRAIL"));
        ASSERT_TRUE(s.tool->getParam("enable", on));
        EXPECT_FALSE(on);
        // disabled now: a change is only stored
        EXPECT_TRUE(s.tool->setParam("type", "TRAIL"));
    }
}

TEST(TrailFilterTools, DisablingOnlyBypassesTheBlock) {
    for (auto& s : bothSensors()) {
        ASSERT_TRUE(s.tool->setParam("enable", false)); // never enabled
        EXPECT_EQ(s.rig.device->writesTo("stc/pipeline_control"), (std::vector<uint32_t>{5}));
        EXPECT_EQ(s.rig.device->writes().size(), 1u);
        ASSERT_TRUE(s.tool->setParam("enable", true));
        s.rig.clear();
        ASSERT_TRUE(s.tool->setParam("enable", false));
        EXPECT_EQ(s.rig.device->writes().size(), 1u);
        EXPECT_EQ(s.rig.device->peek("stc/pipeline_control"), 5u);
    }
}

TEST(TrailFilterTools, UnknownTypeIsRefused) {
    for (auto& s : bothSensors()) {
        ASSERT_TRUE(s.tool->setParam("type", "STC_KEEP_TRAIL"));
        LogCapture log;
        EXPECT_FALSE(s.tool->setParam("type", "STC"));
        EXPECT_TRUE(log.has(LOG_ERROR, "The input type is incorrect."));
        std::string type;
        ASSERT_TRUE(s.tool->getParam("type", type));
        EXPECT_EQ(type, "STC_KEEP_TRAIL");
        EnumParameterInfo info;
        ASSERT_TRUE(s.tool->getParamInfo("type", info));
        EXPECT_EQ(info.options, (std::vector<std::string>{"TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL"}));
        EXPECT_EQ(info.defaultValue, "TRAIL");
        const auto toolInfo = s.tool->getToolInfo();
        EXPECT_EQ(toolInfo.type, EVENT_TRAIL_FILTER);
        EXPECT_EQ(toolInfo.name, "EventTrailFilter");
        EXPECT_EQ(toolInfo.parameters, (std::vector<std::string>{"enable", "threshold", "type"}));
    }
    auto s = bothSensors();
    EXPECT_EQ(s[0].tool->getToolInfo().description, "Event Trail Filter of DVS cameras with IMX636 sensor");
    EXPECT_EQ(s[1].tool->getToolInfo().description, "Event Trail Filter of DVS cameras with GenX320 sensor");
}
