#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/roi/Genx320Roi.h"
#include "QuelnorHal/camera/tools/roi/Imx636Roi.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

std::string lineMask(char axis, int i) {
    char name[32];
    std::snprintf(name, sizeof(name), "roi/td_roi_%c%02d", axis, i);
    return name;
}

// The IMX636 reports a programmed window two polls after the window control is written.
ToolRig imx636WithWindowDone(int pollsBeforeDone = 2) {
    auto rig = ToolRig::imx636();
    rig.device->setDoneField("roi_win_ctrl", "roi_win_done", pollsBeforeDone, std::string("roi_win_ctrl"));
    return rig;
}

} // namespace

TEST(RoiTools, Imx636ConstructionEnablesEveryLineMaskAndNothingElse) {
    auto rig = imx636WithWindowDone();
    for (int i = 0; i < 40; ++i) {
        rig.device->pokeField(lineMask('x', i), "effective", 0xFFFFFFFF);
    }
    for (int j = 0; j < 23; ++j) {
        rig.device->pokeField(lineMask('y', j), "effective", 0xFFFF);
    }
    Imx636ROI tool(rig.controller);
    EXPECT_EQ(rig.device->writes().size(), 63u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(rig.device->peek(lineMask('x', i)), 0u) << i;
    }
    for (int j = 0; j < 22; ++j) {
        EXPECT_EQ(rig.device->peek(lineMask('y', j)), 0u) << j;
    }
    // the last row register is only 16 bits of mask; its other fields stay
    EXPECT_EQ(rig.device->peekField("roi/td_roi_y22", "effective"), 0u);
    EXPECT_EQ(rig.device->peekField("roi/td_roi_y22", "Reserved_16"), 1u);
    EXPECT_EQ(rig.device->peekField("roi/td_roi_y22", "Reserved_21_20"), 3u);
}

TEST(RoiTools, Imx636KeepsARefusedValueAndWritesOnceTheWindowFits) {
    auto rig = imx636WithWindowDone();
    Imx636ROI tool(rig.controller);
    rig.clear();
    LogCapture log;
    EXPECT_FALSE(tool.setParam("x", 100)); // 100 + 1280 > 1280
    EXPECT_TRUE(log.has(LOG_ERROR, "Error: ROI window exceeds sensor boundaries."));
    EXPECT_TRUE(rig.device->writes().empty());
    int v = 0;
    ASSERT_TRUE(tool.getParam("x", v));
    EXPECT_EQ(v, 100);

    ASSERT_TRUE(tool.setParam("width", 1180));
    EXPECT_EQ(rig.changes(), (std::vector<std::string>{change("roi_win_start_addr", "roi_win_start_x", 100),
                                                       change("roi_win_end_addr", "roi_win_end_x", 1280),
                                                       change("roi_win_end_addr", "roi_win_end_y", 720),
                                                       change("roi_win_ctrl", "roi_master_en", 1)}));
    EXPECT_EQ(rig.device->peekField("roi_win_start_addr", "roi_win_start_y"), 0u);
    EXPECT_EQ(rig.readsAfterLastWrite("roi_win_ctrl"), 3u); // polled until done
    EXPECT_EQ(rig.device->writesTo("roi_win_start_addr").size(), 2u);
}

TEST(RoiTools, WindowChecksRunInOrder) {
    struct Case {
        const char* name;
        int value;
        const char* imxError;
        const char* genxError;
    };
    const Case cases[] = {
        {"x", -1, "Error: x and y must be non-negative.", "Error: x and y must be non-negative."},
        {"y", -5, "Error: x and y must be non-negative.", "Error: x and y must be non-negative."},
        {"width", 0, "Error: width and height must be positive.", "Error: width and height must be positive."},
        {"height", -1, "Error: width and height must be positive.", "Error: width and height must be positive."},
        {"width", 1281, "Error: ROI window exceeds sensor boundaries.",
         "Error: x + width must be less than or equal to 320."},
        {"height", 721, "Error: ROI window exceeds sensor boundaries.",
         "Error: y + height must be less than or equal to 320."},
        {"x", 2147483647, "Error: ROI window exceeds sensor boundaries.",
         "Error: x + width must be less than or equal to 320."},
    };
    for (const auto& c : cases) {
        auto imx = imx636WithWindowDone();
        Imx636ROI imxTool(imx.controller);
        auto genx = ToolRig::genx320();
        Genx320ROI genxTool(genx.controller);
        imx.clear();
        genx.clear();
        LogCapture log;
        EXPECT_FALSE(imxTool.setParam(c.name, c.value)) << c.name << " " << c.value;
        EXPECT_FALSE(genxTool.setParam(c.name, c.value)) << c.name << " " << c.value;
        EXPECT_TRUE(log.has(LOG_ERROR, c.imxError)) << c.name << " " << c.value;
        EXPECT_TRUE(log.has(LOG_ERROR, c.genxError)) << c.name << " " << c.value;
        EXPECT_TRUE(imx.device->writes().empty());
        EXPECT_TRUE(genx.device->writes().empty());
    }
}

TEST(RoiTools, Imx636EnableProgramsTheControlFieldsByMode) {
    for (const std::string mode : {"ROI", "RONI"}) {
        auto rig = imx636WithWindowDone();
        rig.device->pokeField("roi_ctrl", "td_roi_roni_n_en", mode == "ROI" ? 0 : 1);
        rig.device->pokeField("roi_win_ctrl", "roi_master_en", 1);
        Imx636ROI tool(rig.controller);
        ASSERT_TRUE(tool.setParam("mode", mode));
        rig.clear();
        ASSERT_TRUE(tool.setParam("enable", true));
        EXPECT_EQ(rig.changes(), (std::vector<std::string>{
                                     change("roi_ctrl", "roi_td_en", 1),
                                     change("roi_ctrl", "td_roi_roni_n_en", mode == "ROI" ? 1 : 0),
                                     change("roi_ctrl", "px_td_rstn", 1),
                                     change("roi_ctrl", "roi_td_shadow_trigger", 1),
                                     change("roi_win_ctrl", "roi_master_en", 0),
                                 }))
            << mode;
        EXPECT_EQ(rig.device->writesTo("roi_win_ctrl").size(), 2u); // roi_win_done = 0 as well
        EXPECT_TRUE(rig.device->writesTo("roi_win_start_addr").empty());
        bool on = false;
        ASSERT_TRUE(tool.getParam("enable", on));
        EXPECT_TRUE(on);
    }
}

TEST(RoiTools, Imx636RoniWritesNoWindowButReEnablesWhenEnabled) {
    auto rig = imx636WithWindowDone();
    Imx636ROI tool(rig.controller);
    ASSERT_TRUE(tool.setParam("mode", "RONI"));
    ASSERT_TRUE(tool.setParam("width", 640));
    EXPECT_TRUE(rig.device->writesTo("roi_win_start_addr").empty());
    EXPECT_TRUE(rig.device->writesTo("roi_ctrl").empty());
    ASSERT_TRUE(tool.setParam("enable", true));
    rig.clear();
    ASSERT_TRUE(tool.setParam("height", 360));
    EXPECT_TRUE(rig.device->writesTo("roi_win_end_addr").empty());
    EXPECT_EQ(rig.device->writesTo("roi_ctrl").size(), 4u);
    EXPECT_EQ(rig.device->writesTo("roi_win_ctrl").size(), 2u);
    EXPECT_EQ(rig.device->peekField("roi_ctrl", "td_roi_roni_n_en"), 0u);

    EXPECT_FALSE(tool.setParam("mode", "roi"));
    std::string mode;
    ASSERT_TRUE(tool.getParam("mode", mode));
    EXPECT_EQ(mode, "RONI");
}

TEST(RoiTools, Imx636WindowThatNeverReportsDoneGivesUpAfterAboutASecond) {
    auto rig = imx636WithWindowDone(-1);
    Imx636ROI tool(rig.controller);
    ASSERT_TRUE(tool.setParam("enable", true));
    rig.clear();
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(tool.setParam("width", 640));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(30)); // bounded, not a hang
    EXPECT_TRUE(log.has(LOG_ERROR, "ROI window not ready after 1000 ms, giving up."));
    EXPECT_GT(rig.readsAfterLastWrite("roi_win_ctrl"), 1u);
    // the window was written, the tool was not re-enabled over the unfinished window
    EXPECT_EQ(rig.device->peekField("roi_win_end_addr", "roi_win_end_x"), 640u);
    EXPECT_TRUE(rig.device->writesTo("roi_ctrl").empty());
}

TEST(RoiTools, Genx320ConstructionClearsTheMasksAndStopsTheMaster) {
    auto rig = ToolRig::genx320();
    rig.device->pokeField("roi_master_ctrl", "roi_master_run", 1);
    rig.device->pokeField("roi_ctrl", "roi_td_en", 1);
    Genx320ROI tool(rig.controller);
    EXPECT_EQ(rig.device->writes().size(), 24u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(rig.device->peek(lineMask('x', i)), 0u) << i;
        EXPECT_EQ(rig.device->peek(lineMask('y', i)), 0u) << i;
    }
    const auto trace = rig.changes();
    ASSERT_EQ(trace.size(), 22u);
    EXPECT_EQ(trace[0], change("roi/td_roi_x00", "effective", 0));
    EXPECT_EQ(trace[19], change("roi/td_roi_y09", "effective", 0));
    EXPECT_EQ(trace[20], change("roi_ctrl", "roi_td_en", 0));
    EXPECT_EQ(trace[21], change("roi_master_ctrl", "roi_master_run", 0));
    EXPECT_TRUE(rig.device->writesTo("roi_win_x0").empty());
}

TEST(RoiTools, Genx320WindowIsMirroredInBothAxes) {
    auto rig = ToolRig::genx320();
    Genx320ROI tool(rig.controller);
    ASSERT_TRUE(tool.setParam("x", 319)); // fresh window is 1 x 1
    EXPECT_EQ(rig.device->peekField("roi_win_x0", "roi_win_start_x"), 0u);
    EXPECT_EQ(rig.device->peekField("roi_win_x0", "roi_win_end_p1_x"), 1u);

    ASSERT_TRUE(tool.setParam("x", 10));
    ASSERT_TRUE(tool.setParam("y", 20));
    ASSERT_TRUE(tool.setParam("width", 100));
    rig.clear();
    ASSERT_TRUE(tool.setParam("height", 50));
    EXPECT_EQ(rig.device->peekField("roi_win_x0", "roi_win_start_x"), 210u);
    EXPECT_EQ(rig.device->peekField("roi_win_x0", "roi_win_end_p1_x"), 310u);
    EXPECT_EQ(rig.device->peekField("roi_win_y0", "roi_win_start_y"), 250u);
    EXPECT_EQ(rig.device->peekField("roi_win_y0", "roi_win_end_p1_y"), 300u);
    // not enabled: the master is not started
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_master_en"), 0u);
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_win_nb"), 1u);
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_master_mode"), 0u);
    EXPECT_EQ(rig.device->writesTo("roi_win_x0").size(), 2u);
}

TEST(RoiTools, Genx320EnablingStartsTheMasterAndRoniSelectsItsMode) {
    auto rig = ToolRig::genx320();
    Genx320ROI tool(rig.controller);
    rig.clear();
    ASSERT_TRUE(tool.setParam("mode", "RONI")); // disabled: nothing written
    EXPECT_TRUE(rig.device->writes().empty());
    ASSERT_TRUE(tool.setParam("enable", true));
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_master_mode"), 1u);
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_master_en"), 1u);
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_master_run"), 1u);
    EXPECT_EQ(rig.device->peekField("roi_ctrl", "roi_td_en"), 1u);
    rig.clear();
    ASSERT_TRUE(tool.setParam("mode", "ROI")); // enabled: rewritten at once
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_master_mode"), 0u);
    EXPECT_FALSE(rig.device->writes().empty());
}

TEST(RoiTools, Genx320DisablingRestoresTheFullWindow) {
    auto rig = ToolRig::genx320();
    Genx320ROI tool(rig.controller);
    ASSERT_TRUE(tool.setParam("enable", true));
    ASSERT_TRUE(tool.setParam("width", 50));
    ASSERT_TRUE(tool.setParam("enable", false));
    EXPECT_EQ(rig.device->peekField("roi_master_ctrl", "roi_master_run"), 0u);
    EXPECT_EQ(rig.device->peekField("roi_ctrl", "roi_td_en"), 0u);
    for (const auto& [name, expected] : {std::pair{"x", 0}, {"y", 0}, {"width", 320}, {"height", 320}}) {
        int v = -1;
        ASSERT_TRUE(tool.getParam(name, v));
        EXPECT_EQ(v, expected) << name;
    }
    LogCapture log;
    rig.clear();
    EXPECT_FALSE(tool.setParam("x", 1)); // nothing stored on refusal
    EXPECT_TRUE(log.has(LOG_ERROR, "Error: x + width must be less than or equal to 320."));
    int x = -1;
    ASSERT_TRUE(tool.getParam("x", x));
    EXPECT_EQ(x, 0);
    EXPECT_TRUE(rig.device->writes().empty());
    ASSERT_TRUE(tool.setParam("width", 300));
    EXPECT_TRUE(tool.setParam("x", 1));
}

TEST(RoiTools, ToolInfoListsWidthAndHeightUnderOtherNames) {
    auto imx = imx636WithWindowDone();
    Imx636ROI imxTool(imx.controller);
    auto genx = ToolRig::genx320();
    Genx320ROI genxTool(genx.controller);
    for (CameraTool* tool : {static_cast<CameraTool*>(&imxTool), static_cast<CameraTool*>(&genxTool)}) {
        const auto info = tool->getToolInfo();
        EXPECT_EQ(info.type, ROI);
        EXPECT_EQ(info.name, "ROI");
        EXPECT_EQ(info.parameters, (std::vector<std::string>{"enable", "mode", "x", "y", "x_width", "y_height"}));
        LogCapture log;
        int v = -1;
        EXPECT_FALSE(tool->getParam("x_width", v));
        EXPECT_TRUE(log.has(LOG_ERROR, "Parameter x_width not found"));
        EXPECT_TRUE(tool->getParam("width", v));
        IntParameterInfo info2;
        ASSERT_TRUE(tool->getParamInfo("height", info2));
        EXPECT_EQ(info2.min, 0);
        EXPECT_EQ(info2.defaultValue, 0);
        EXPECT_EQ(info2.unit, "pixel");
    }
    IntParameterInfo x;
    ASSERT_TRUE(imxTool.getParamInfo("x", x));
    EXPECT_EQ(x.max, 1280);
    ASSERT_TRUE(genxTool.getParamInfo("x", x));
    EXPECT_EQ(x.max, 320);
    EXPECT_EQ(imxTool.getToolInfo().description, "ROI of DVS cameras with IMX636 sensor");
    EXPECT_EQ(genxTool.getToolInfo().description, "ROI of DVS cameras with GenX320 sensor");
    const auto all = imxTool.getAllParamInfo();
    EXPECT_EQ(all.at("enable").description, "Set whether the Event Trail Filter function is enabled");
    EXPECT_EQ(genxTool.getAllParamInfo().at("enable").description, "Set whether ROI is enabled");
}
