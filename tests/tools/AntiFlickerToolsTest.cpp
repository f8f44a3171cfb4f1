#include <gtest/gtest.h>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Genx320AntiFlicker.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

// Settings unlike the tool's, so that every field the tool writes shows as a change.
void dirtyImx636Block(const ToolRig& rig) {
    rig.device->poke("afk/filter_period", 0);
    rig.device->poke("afk/param", 0xFF);
}

} // namespace

TEST(AntiFlickerTools, Imx636SwitchOnBypassesProgramsEverySettingAndRuns) {
    auto rig = ToolRig::imx636();
    dirtyImx636Block(rig);
    rig.device->pokeField("afk/initialization", "afk_flag_init_done", 1);
    Imx636AntiFlicker tool(rig.controller);
    EXPECT_TRUE(rig.device->log().empty()); // nothing read or written at construction
    LogCapture log;
    ASSERT_TRUE(tool.setParam("enable", true));
    const std::string pipe = "afk/pipeline_control";
    EXPECT_EQ(rig.changes(), (std::vector<std::string>{
                                 change(pipe, "Reserved_0", 1),
                                 change(pipe, "afk_bypass", 1),
                                 change("afk/invalidation", "dt_fifo_wait_time", 1630),
                                 change("afk/filter_period", "min_cutoff_period", 15),  // 520 Hz
                                 change("afk/filter_period", "max_cutoff_period", 156), // 50 Hz
                                 change("afk/filter_period", "inverted_duty_cycle", 8),
                                 change("afk/param", "invert", 0),
                                 change("afk/param", "counter_high", 6),
                                 change("afk/param", "counter_low", 4),
                                 change(pipe, "afk_bypass", 0),
                             }));
    EXPECT_EQ(rig.device->writesTo(pipe), (std::vector<uint32_t>{5, 1}));
    EXPECT_TRUE(log.has(LOG_INFO, "afk init success!"));
    bool on = false;
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_TRUE(on);
}

TEST(AntiFlickerTools, Imx636ProgramsTheBlockEvenWhenItsInitFlagIsClear) {
    auto rig = ToolRig::imx636();
    Imx636AntiFlicker tool(rig.controller);
    LogCapture log;
    ASSERT_TRUE(tool.setParam("enable", true));
    EXPECT_TRUE(log.has(LOG_ERROR, "afk init failed!"));
    EXPECT_EQ(rig.device->peek("afk/pipeline_control"), 1u);
    EXPECT_EQ(rig.readsAfterLastWrite("afk/initialization"), 1u); // read once, no poll
    ASSERT_TRUE(tool.setParam("enable", false));
    EXPECT_EQ(rig.device->peek("afk/pipeline_control"), 5u);
}

TEST(AntiFlickerTools, ChangesWhileOffAreAppliedAtTheNextSwitchOn) {
    auto rig = ToolRig::imx636();
    Imx636AntiFlicker tool(rig.controller);
    rig.clear();
    ASSERT_TRUE(tool.setParam("low_frequency", 100));
    EXPECT_TRUE(rig.device->writes().empty());
    ASSERT_TRUE(tool.setParam("enable", true));
    EXPECT_EQ(rig.device->peekField("afk/filter_period", "max_cutoff_period"), 78u);
    EXPECT_EQ(rig.device->peekField("afk/filter_period", "min_cutoff_period"), 15u);
    int low = 0;
    ASSERT_TRUE(tool.getParam("low_frequency", low));
    EXPECT_EQ(low, 100);
}

TEST(AntiFlickerTools, AChangeWhileOnRestartsTheBlockWithAllSettings) {
    auto rig = ToolRig::imx636();
    Imx636AntiFlicker tool(rig.controller);
    ASSERT_TRUE(tool.setParam("enable", true));
    rig.clear();
    ASSERT_TRUE(tool.setParam("start_threshold", 3));
    EXPECT_EQ(rig.device->writesTo("afk/pipeline_control"), (std::vector<uint32_t>{5, 5, 1}));
    // every setting is written again; only the new threshold changes
    EXPECT_EQ(rig.device->writesTo("afk/param").size(), 3u);
    EXPECT_EQ(rig.device->writesTo("afk/filter_period").size(), 3u);
    EXPECT_EQ(rig.device->writesTo("afk/invalidation").size(), 1u);
    EXPECT_EQ(rig.changes(), (std::vector<std::string>{change("afk/pipeline_control", "afk_bypass", 1),
                                                       change("afk/param", "counter_high", 3),
                                                       change("afk/pipeline_control", "afk_bypass", 0)}));
    EXPECT_EQ(rig.device->peekField("afk/param", "counter_high"), 3u);
    EXPECT_EQ(rig.device->peek("afk/pipeline_control"), 1u);
}

TEST(AntiFlickerTools, FrequencyAndThresholdBoundsAreChecked) {
    auto rig = ToolRig::imx636();
    Imx636AntiFlicker tool(rig.controller);
    LogCapture log;
    for (int bad : {40, -5, 521}) {
        EXPECT_FALSE(tool.setParam("high_frequency", bad)) << bad;
    }
    EXPECT_EQ(log.count(LOG_ERROR, "Set high freq value error."), 3);
    ASSERT_TRUE(tool.setParam("low_frequency", 100));
    EXPECT_FALSE(tool.setParam("high_frequency", 99));
    EXPECT_TRUE(tool.setParam("high_frequency", 100));

    log.clear();
    EXPECT_FALSE(tool.setParam("low_frequency", 600)); // above the high edge: refused silently
    EXPECT_FALSE(tool.setParam("low_frequency", 49));
    EXPECT_FALSE(tool.setParam("stop_threshold", 8));
    EXPECT_FALSE(tool.setParam("stop_threshold", -1));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(tool.setParam("start_threshold", 8));
    EXPECT_TRUE(log.has(LOG_ERROR, "The start threshold  is incorrect."));
    int v = 0;
    ASSERT_TRUE(tool.getParam("start_threshold", v));
    EXPECT_EQ(v, 6);
    ASSERT_TRUE(tool.getParam("low_frequency", v));
    EXPECT_EQ(v, 100);
    EXPECT_TRUE(rig.device->writes().empty()); // the filter stayed off throughout
}

TEST(AntiFlickerTools, DutyCycleIsStoredAsASixteenStepCode) {
    struct Case {
        float set;
        uint32_t code;
        float readBack;
    };
    const Case cases[] = {{100.0f, 0, 100.0f}, {1.0f, 15, 6.25f}, {33.0f, 11, 31.25f}, {50.0f, 8, 50.0f},
                          {96.875f, 1, 93.75f}};
    for (const bool genx : {false, true}) {
        for (const auto& c : cases) {
            auto rig = genx ? ToolRig::genx320() : ToolRig::imx636();
            std::unique_ptr<CameraTool> tool;
            if (genx) {
                rig.device->setDoneField("afk/initialisation", "flag_init_done", 0);
                tool = std::make_unique<Genx320AntiFlicker>(rig.controller);
            } else {
                tool = std::make_unique<Imx636AntiFlicker>(rig.controller);
            }
            ASSERT_TRUE(tool->setParam("duty_cycle", c.set)) << c.set;
            ASSERT_TRUE(tool->setParam("enable", true));
            EXPECT_EQ(rig.device->peekField("afk/filter_period", "inverted_duty_cycle"), c.code) << c.set;
            float back = -1.0f;
            ASSERT_TRUE(tool->getParam("duty_cycle", back));
            EXPECT_FLOAT_EQ(back, c.readBack) << c.set;
        }
    }
    auto rig = ToolRig::imx636();
    Imx636AntiFlicker tool(rig.controller);
    LogCapture log;
    EXPECT_FALSE(tool.setParam("duty_cycle", 0.0f));
    EXPECT_FALSE(tool.setParam("duty_cycle", 100.5f));
    EXPECT_EQ(log.count(LOG_ERROR, "The duty cycle value is incorrect"), 2);
    ASSERT_TRUE(tool.setParam("duty_cycle", 25.0)); // a double reaches the float parameter
    float back = 0.0f;
    ASSERT_TRUE(tool.getParam("duty_cycle", back));
    EXPECT_FLOAT_EQ(back, 25.0f);
    FloatParameterInfo info;
    ASSERT_TRUE(tool.getParamInfo("duty_cycle", info));
    EXPECT_FLOAT_EQ(info.defaultValue, 50.0f);
    EXPECT_EQ(info.unit, "%");
}

TEST(AntiFlickerTools, ModeParameterIsSpelledPerSensor) {
    auto imx = ToolRig::imx636();
    Imx636AntiFlicker imxTool(imx.controller);
    LogCapture log;
    EXPECT_TRUE(imxTool.setParam("fliter_mode", "Band pass"));
    EXPECT_FALSE(imxTool.setParam("filter_mode", "Band pass"));
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter filter_mode not found"));
    ASSERT_TRUE(imxTool.setParam("enable", true));
    EXPECT_EQ(imx.device->peekField("afk/param", "invert"), 1u);
    EXPECT_EQ(imxTool.getToolInfo().parameters,
              (std::vector<std::string>{"duty_cycle", "enable", "fliter_mode", "high_frequency", "low_frequency",
                                        "start_threshold", "stop_threshold"}));
    EXPECT_EQ(imxTool.getToolInfo().description, "Anti flicker of DVS cameras with IMX636 sensor.");

    auto genx = ToolRig::genx320();
    genx.device->setDoneField("afk/initialisation", "flag_init_done", 0);
    Genx320AntiFlicker genxTool(genx.controller);
    EXPECT_FALSE(genxTool.setParam("fliter_mode", "Band pass"));
    // Any text is stored; anything but "Band cut" programs band pass.
    EXPECT_TRUE(genxTool.setParam("filter_mode", "xyz"));
    std::string mode;
    ASSERT_TRUE(genxTool.getParam("filter_mode", mode));
    EXPECT_EQ(mode, "xyz");
    ASSERT_TRUE(genxTool.setParam("enable", true));
    EXPECT_EQ(genx.device->peekField("afk/afk_param", "invert"), 1u);
    EnumParameterInfo info;
    ASSERT_TRUE(genxTool.getParamInfo("filter_mode", info));
    EXPECT_EQ(info.options, (std::vector<std::string>{"Band cut", "Band pass"}));
    EXPECT_EQ(genxTool.getToolInfo().description, "Anti flicker of DVS cameras with GenX320 sensor.");
}

TEST(AntiFlickerTools, Genx320SwitchOnWaitsForTheBlocksInitialisation) {
    auto rig = ToolRig::genx320();
    // flag_init_done reads 0 twice after the init request, then 1
    rig.device->setDoneField("afk/initialisation", "flag_init_done", 2, std::string("afk/initialisation"));
    Genx320AntiFlicker tool(rig.controller);
    ASSERT_TRUE(tool.setParam("enable", true));
    EXPECT_EQ(rig.readsAfterLastWrite("afk/initialisation"), 3u);
    EXPECT_EQ(rig.device->peekField("afk/initialisation", "req_init"), 1u);
    EXPECT_EQ(rig.device->peekField("afk/invalidation", "dt_fifo_wait_time"), 4u);
    EXPECT_EQ(rig.device->peekField("afk/invalidation", "dt_fifo_timeout"), 771u);
    EXPECT_EQ(rig.device->peekField("afk/invalidation", "in_parallel"), 1u);
    EXPECT_EQ(rig.device->peekField("afk/afk_param", "counter_high"), 6u);
    EXPECT_EQ(rig.device->peekField("afk/afk_param", "counter_low"), 4u);
    EXPECT_EQ(rig.device->peekField("afk/pipeline_control", "bypass"), 0u);
    EXPECT_EQ(rig.device->peekField("afk/pipeline_control", "enable"), 1u);
    // the last two writes: out of bypass, then on
    const auto pipe = rig.device->writesTo("afk/pipeline_control");
    ASSERT_GE(pipe.size(), 2u);
    EXPECT_EQ(pipe[pipe.size() - 2], 0x0u);
    EXPECT_EQ(pipe.back(), 0x1u);
    bool on = false;
    ASSERT_TRUE(tool.getParam("enable", on));
    EXPECT_TRUE(on);
}

TEST(AntiFlickerTools, Genx320BlockThatNeverInitialisesIsLeftBypassedAfterFiveReads) {
    auto rig = ToolRig::genx320();
    rig.device->setDoneField("afk/initialisation", "flag_init_done", -1);
    Genx320AntiFlicker tool(rig.controller);
    LogCapture log;
    EXPECT_FALSE(tool.setParam("enable", true));
    EXPECT_EQ(rig.readsAfterLastWrite("afk/initialisation"), 5u);
    EXPECT_TRUE(log.has(LOG_ERROR, "afk init failed!"));
    EXPECT_EQ(rig.device->peekField("afk/pipeline_control", "bypass"), 1u);
    EXPECT_EQ(rig.device->peekField("afk/pipeline_control", "enable"), 0u);
}

TEST(AntiFlickerTools, EnabledOnlyWhilePipelineControlHoldsExactlyOne) {
    auto rig = ToolRig::imx636();
    Imx636AntiFlicker tool(rig.controller);
    struct Case {
        uint32_t value;
        bool on;
    };
    for (const auto& c : {Case{1, true}, Case{3, false}, Case{5, false}, Case{0, false}}) {
        rig.device->poke("afk/pipeline_control", c.value);
        bool on = !c.on;
        ASSERT_TRUE(tool.getParam("enable", on));
        EXPECT_EQ(on, c.on) << c.value;
    }
}
