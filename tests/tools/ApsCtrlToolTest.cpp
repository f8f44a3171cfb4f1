#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/ApsCtrl/Imx415ApsCtrl.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

// Values written over the control-transfer path to a register of the frame-sensor board.
std::vector<uint32_t> controlWrites(const ToolRig& rig, const std::string& reg) {
    std::vector<uint32_t> values;
    const uint32_t address = rig.device->addressOf(reg);
    for (const auto& a : rig.device->log()) {
        if (a.kind == AccessKind::ControlWrite && a.address == address && !a.failed) {
            values.push_back(a.value);
        }
    }
    return values;
}

// A board holding the register values of a running camera.
ToolRig runningBoard() {
    auto rig = ToolRig::imx415();
    auto set = [&](const char* reg, uint32_t v) { rig.device->pokeControl(rig.device->addressOf(reg), v); };
    set("aps_exposure", 1);
    set("aps_shutter", 3479);
    set("aps_white_balance", 0);
    set("aps_blk_level", 50);
    set("aps_auto_gain", 1);
    set("aps_gain_control", 120);
    return rig;
}

} // namespace

TEST(ApsCtrlTool, DefaultsAreReadFromTheBoardAtConstruction) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    IntParameterInfo i;
    ASSERT_TRUE(tool.getParamInfo("exposure_time", i));
    EXPECT_EQ(i.defaultValue, 24919); // from the line count 3479, not the declared 24918
    EXPECT_EQ(i.min, 1);
    EXPECT_EQ(i.max, 66667);
    EXPECT_EQ(i.unit, "us");
    ASSERT_TRUE(tool.getParamInfo("black_level_offset", i));
    EXPECT_EQ(i.defaultValue, 50);
    ASSERT_TRUE(tool.getParamInfo("camera_reset", i));
    EXPECT_EQ(i.defaultValue, 0);
    EXPECT_EQ(i.max, 1);
    FloatParameterInfo f;
    ASSERT_TRUE(tool.getParamInfo("gain", f));
    EXPECT_FLOAT_EQ(f.defaultValue, 36.0f);
    EXPECT_EQ(f.unit, "dB");
    BoolParameterInfo b;
    ASSERT_TRUE(tool.getParamInfo("auto_exposure", b));
    EXPECT_TRUE(b.defaultValue);
    ASSERT_TRUE(tool.getParamInfo("auto_white_balance", b));
    EXPECT_FALSE(b.defaultValue);
    ASSERT_TRUE(tool.getParamInfo("auto_gain", b));
    EXPECT_TRUE(b.defaultValue);
    EXPECT_TRUE(rig.device->writes().empty());
    EXPECT_TRUE(controlWrites(rig, "camera_reset").empty());

    const auto info = tool.getToolInfo();
    EXPECT_EQ(info.type, APS_CTRL);
    EXPECT_EQ(info.name, "ApsCtrl");
    EXPECT_EQ(info.description, "Ctrl of APS cameras with IMX415 sonsors");
    EXPECT_EQ(info.parameters, (std::vector<std::string>{"auto_exposure", "auto_gain", "auto_white_balance",
                                                         "black_level_offset", "camera_reset", "exposure_time",
                                                         "gain"}));
}

TEST(ApsCtrlTool, ExposureTimeIsALineCountOfTheSensor) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    struct Case {
        int set;
        uint32_t lines;
        int readBack;
    };
    for (const auto& c : {Case{24918, 3479, 24919}, Case{26008, 3388, 26011}, Case{1, 5555, 7},
                          Case{65443, 102, 65443}, Case{66667, 0, 66667}}) {
        rig.clear();
        LogCapture log;
        ASSERT_TRUE(tool.setParam("exposure_time", c.set)) << c.set;
        EXPECT_EQ(controlWrites(rig, "aps_shutter"), std::vector<uint32_t>{c.lines}) << c.set;
        EXPECT_TRUE(log.has(LOG_INFO, "set integration_time: " + std::to_string(c.lines)));
        int back = 0;
        ASSERT_TRUE(tool.getParam("exposure_time", back));
        EXPECT_EQ(back, c.readBack) << c.set;
    }
}

TEST(ApsCtrlTool, EveryExposureTheBoardCanHoldReadsBackAndSetsTheSameLineCountAgain) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    const uint32_t address = rig.device->addressOf("aps_shutter");
    for (uint32_t lines = 0; lines <= 5555; ++lines) {
        rig.device->pokeControl(address, lines);
        int exposure = 0;
        ASSERT_TRUE(tool.getParam("exposure_time", exposure)) << lines;
        ASSERT_TRUE(tool.setParam("exposure_time", exposure)) << lines << " lines read as " << exposure;
        ASSERT_EQ(controlWrites(rig, "aps_shutter").back(), lines) << exposure;
    }
}

TEST(ApsCtrlTool, ExposuresTheLineCountCannotExpressAreRefused) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    for (int exposure : {0, -5, 66668, 100000}) {
        rig.clear();
        LogCapture log;
        EXPECT_FALSE(tool.setParam("exposure_time", exposure)) << exposure;
        EXPECT_TRUE(controlWrites(rig, "aps_shutter").empty()) << exposure;
        EXPECT_TRUE(log.has(LOG_ERROR, "Exposure time " + std::to_string(exposure) + " us is out of range [1, 66667]."));
    }
}

TEST(ApsCtrlTool, GainIsStoredInStepsOfThreeTenthsOfADecibel) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    struct Case {
        float set;
        uint32_t reg;
    };
    for (const auto& c : {Case{10.5f, 35}, Case{36.0f, 0x78}, Case{72.0f, 0xF0}, Case{0.0f, 0}}) {
        rig.clear();
        ASSERT_TRUE(tool.setParam("gain", c.set)) << c.set;
        EXPECT_EQ(controlWrites(rig, "aps_gain_control"), std::vector<uint32_t>{c.reg}) << c.set;
        float back = -1.0f;
        ASSERT_TRUE(tool.getParam("gain", back));
        EXPECT_FLOAT_EQ(back, c.set);
    }
    LogCapture log;
    ASSERT_TRUE(tool.setParam("gain", 36.0));
    EXPECT_TRUE(log.has(LOG_INFO, "set gain: 36.000000, reg val: 78"));
    float back = 0.0f;
    ASSERT_TRUE(tool.getParam("gain", back));
    EXPECT_TRUE(log.has(LOG_INFO, "get gain: 36.000000"));
}

TEST(ApsCtrlTool, SwitchesAndBlackLevelAreWholeRegisters) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    rig.clear();
    LogCapture log;
    ASSERT_TRUE(tool.setParam("auto_exposure", false));
    ASSERT_TRUE(tool.setParam("auto_white_balance", true));
    ASSERT_TRUE(tool.setParam("auto_gain", false));
    ASSERT_TRUE(tool.setParam("black_level_offset", 1023));
    EXPECT_EQ(controlWrites(rig, "aps_exposure"), std::vector<uint32_t>{0});
    EXPECT_EQ(controlWrites(rig, "aps_white_balance"), std::vector<uint32_t>{1});
    EXPECT_EQ(controlWrites(rig, "aps_auto_gain"), std::vector<uint32_t>{0});
    EXPECT_EQ(controlWrites(rig, "aps_blk_level"), std::vector<uint32_t>{1023});
    EXPECT_TRUE(log.has(LOG_INFO, "set gain en: 0"));

    rig.device->pokeControl(rig.device->addressOf("aps_white_balance"), 7); // any non-zero is on
    bool on = false;
    ASSERT_TRUE(tool.getParam("auto_white_balance", on));
    EXPECT_TRUE(on);
    ASSERT_TRUE(tool.getParam("auto_gain", on));
    EXPECT_FALSE(on);
    EXPECT_TRUE(log.has(LOG_INFO, "get gain en: 0"));
    int level = 0;
    ASSERT_TRUE(tool.getParam("black_level_offset", level));
    EXPECT_EQ(level, 1023);
    EXPECT_TRUE(rig.device->writes().empty()); // nothing on the plain register path
}

TEST(ApsCtrlTool, ResetSendsAThirtyTwoByteBlockWithTheMode) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    const uint32_t reset = rig.device->addressOf("camera_reset");
    LogCapture log;
    ASSERT_TRUE(tool.setParam("camera_reset", 2)); // beyond the declared maximum 1, still a mode
    std::vector<uint8_t> expected(32, 0);
    expected[0] = 2;
    EXPECT_EQ(rig.device->controlBlock(reset), expected);
    EXPECT_TRUE(log.has(LOG_INFO, "Camera reset command sent, mode: 2"));

    rig.clear();
    EXPECT_FALSE(tool.setParam("camera_reset", 3));
    EXPECT_FALSE(tool.setParam("camera_reset", -1));
    EXPECT_EQ(log.count(LOG_ERROR, "resetCamera mode must be 0, 1, or 2."), 2);
    EXPECT_TRUE(rig.device->log().empty());

    rig.device->failControlTransfers(1);
    EXPECT_FALSE(tool.setParam("camera_reset", 1));
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to reset camera, mode: 1"));

    int mode = 5;
    ASSERT_TRUE(tool.getParam("camera_reset", mode));
    EXPECT_EQ(mode, 0); // the board is not asked
}

TEST(ApsCtrlTool, ValuesOutsideTheRangesAreRefusedWithoutRegisterAccess) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    rig.clear();
    LogCapture log;
    for (int bad : {0, 66668, -3}) {
        EXPECT_FALSE(tool.setParam("exposure_time", bad)) << bad;
    }
    for (float bad : {-0.5f, 72.5f, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_FALSE(tool.setParam("gain", bad)) << bad;
    }
    for (int bad : {-1, 1024}) {
        EXPECT_FALSE(tool.setParam("black_level_offset", bad)) << bad;
    }
    EXPECT_EQ(log.countAt(LOG_ERROR), 8);
    EXPECT_TRUE(rig.device->log().empty());
}

TEST(ApsCtrlTool, FailedExchangesAreReportedAndFailedReadsGiveZero) {
    auto rig = runningBoard();
    Imx415ApsCtrl tool(rig.controller);
    rig.device->failControlTransfers(-1);
    EXPECT_FALSE(tool.setParam("exposure_time", 20000));
    EXPECT_FALSE(tool.setParam("gain", 12.0f));
    EXPECT_FALSE(tool.setParam("auto_gain", true));
    EXPECT_FALSE(tool.setParam("black_level_offset", 10));
    int exposure = 99;
    EXPECT_FALSE(tool.getParam("exposure_time", exposure));
    EXPECT_EQ(exposure, 99); // the framework keeps the caller's value on failure
    float gain = 1.0f;
    EXPECT_FALSE(tool.getParam("gain", gain));
    bool on = true;
    EXPECT_FALSE(tool.getParam("auto_exposure", on));

    // Built while the board does not answer: the defaults are 0, not numbers made from garbage.
    Imx415ApsCtrl blind(rig.controller);
    IntParameterInfo i;
    ASSERT_TRUE(blind.getParamInfo("exposure_time", i));
    EXPECT_EQ(i.defaultValue, 0);
    FloatParameterInfo f;
    ASSERT_TRUE(blind.getParamInfo("gain", f));
    EXPECT_EQ(f.defaultValue, 0.0f);
    BoolParameterInfo b;
    ASSERT_TRUE(blind.getParamInfo("auto_gain", b));
    EXPECT_FALSE(b.defaultValue);

    // A lost camera: the controller refuses control transfers with 0xFFFFFFFF.
    rig.device->clearFaults();
    rig.device->setConnected(false);
    EXPECT_FALSE(tool.setParam("exposure_time", 20000));
    EXPECT_FALSE(tool.setParam("camera_reset", 2));
}

TEST(ApsCtrlTool, ToolWithoutAControllerOffersNoParameter) {
    Imx415ApsCtrl tool;
    LogCapture log;
    float gain = 3.0f;
    EXPECT_FALSE(tool.getParam("gain", gain));
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter gain not found"));
    EXPECT_TRUE(tool.getAllParamInfo().empty());
    EXPECT_TRUE(tool.getToolInfo().parameters.empty());
}
