#include <gtest/gtest.h>

#include <stdexcept>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/biases/Genx320Biases.h"
#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

TEST(BiasTools, OffsetsStartAtZeroAndTheReferenceIsTheLowByteReadAtConstruction) {
    auto rig = ToolRig::imx636();
    rig.device->poke("bias/bias_diff_on", 0x11A10040);
    Imx636Biases tool(rig.controller);
    for (const auto* name : {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"}) {
        int v = 99;
        ASSERT_TRUE(tool.getParam(name, v)) << name;
        EXPECT_EQ(v, 0) << name;
    }
    IntParameterInfo info;
    ASSERT_TRUE(tool.getParamInfo("bias_refr", info));
    EXPECT_EQ(info.min, -20);
    EXPECT_EQ(info.max, 235);
    EXPECT_EQ(info.unit, "%");
    EXPECT_EQ(info.defaultValue, 0x14); // idac_ctl's reset value
    ASSERT_TRUE(tool.getParamInfo("bias_diff_on", info));
    EXPECT_EQ(info.defaultValue, 0x40);
    EXPECT_FALSE(info.getter);
    EXPECT_FALSE(info.setter);
}

TEST(BiasTools, SetWritesReferencePlusClampedOffsetWithTheFixedUpperBits) {
    auto rig = ToolRig::imx636();
    rig.device->poke("bias/bias_diff_on", 0x11A10040);
    Imx636Biases tool(rig.controller);
    rig.clear();

    ASSERT_TRUE(tool.setParam("bias_diff_on", 10));
    EXPECT_EQ(rig.device->writesTo("bias/bias_diff_on"), std::vector<uint32_t>{0x11A1004A});
    int v = 0;
    ASSERT_TRUE(tool.getParam("bias_diff_on", v));
    EXPECT_EQ(v, 10);

    ASSERT_TRUE(tool.setParam("bias_diff_on", 500)); // clamped to 145
    EXPECT_EQ(rig.device->peek("bias/bias_diff_on"), 0x11A100D1u);
    ASSERT_TRUE(tool.getParam("bias_diff_on", v));
    EXPECT_EQ(v, 145);

    ASSERT_TRUE(tool.setParam("bias_diff_on", 0)); // back to the reference
    EXPECT_EQ(rig.device->peek("bias/bias_diff_on"), 0x11A10040u);
    EXPECT_EQ(rig.device->peekField("bias/bias_diff_on", "single_transfer"), 1u);
    EXPECT_EQ(rig.device->peekField("bias/bias_diff_on", "Reserved_27_8"), 0x1A100u);

    ASSERT_TRUE(tool.setParam("bias_fo", 5)); // maximum 0
    EXPECT_EQ(rig.device->writesTo("bias/bias_fo"), std::vector<uint32_t>{0x11A10000});
}

TEST(BiasTools, SumOutsideTheBiasFieldIsClampedIntoIt) {
    struct Case {
        const char* name;
        uint32_t initial; // register before the tool is built
        int offset;
        uint32_t written;
    };
    const Case imx636Cases[] = {
        {"bias_diff_off", 0x11A100C8, 200, 0x11A100FF}, // 200 + 200 would reach bit 8
        {"bias_fo", 0x11A10005, -20, 0x11A10000},       // 5 - 20 would borrow from the upper bits
        {"bias_refr", 0x11A10014, 235, 0x11A100FF},
    };
    for (const auto& c : imx636Cases) {
        auto rig = ToolRig::imx636();
        rig.device->poke(std::string("bias/") + c.name, c.initial);
        Imx636Biases tool(rig.controller);
        ASSERT_TRUE(tool.setParam(c.name, c.offset)) << c.name;
        EXPECT_EQ(rig.device->peek(std::string("bias/") + c.name), c.written) << c.name;
    }
    // The GenX320 bias field is 7 bits wide.
    auto rig = ToolRig::genx320();
    rig.device->poke("bias/bias_hpf_lv0", 0x10000050);
    Genx320Biases tool(rig.controller);
    ASSERT_TRUE(tool.setParam("bias_hpf_lv0", 127));
    EXPECT_EQ(rig.device->peek("bias/bias_hpf_lv0"), 0x11A1007Fu);
    EXPECT_EQ(rig.device->peekField("bias/bias_hpf_lv0", "single"), 1u);
}

TEST(BiasTools, Genx320OffsetsSpanTheWholeFieldFromTheResetValues) {
    auto rig = ToolRig::genx320();
    Genx320Biases tool(rig.controller);
    const auto all = tool.getAllParamInfo();
    std::vector<std::string> keys;
    for (const auto& [key, info] : all) {
        keys.push_back(key);
        EXPECT_EQ(info.type, INT);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"bias_diff_lv0", "bias_diff_off_lv0", "bias_diff_on_lv0", "bias_fo_hv0",
                                              "bias_hpf_lv0", "bias_pr_hv0", "bias_refr_lv0"}));
    for (const auto& key : keys) {
        IntParameterInfo info;
        ASSERT_TRUE(tool.getParamInfo(key, info));
        EXPECT_EQ(-info.min, info.defaultValue) << key; // the reset value
        ASSERT_TRUE(tool.setParam(key, info.min));
        EXPECT_EQ(rig.device->peekField("bias/" + key, "bias_ctl"), 0u) << key;
        ASSERT_TRUE(tool.setParam(key, info.max));
        EXPECT_EQ(rig.device->peekField("bias/" + key, "bias_ctl"), 127u) << key;
        int v = 0;
        ASSERT_TRUE(tool.getParam(key, v));
        EXPECT_EQ(v, info.max);
    }
    const auto info = tool.getToolInfo();
    EXPECT_EQ(info.type, BIAS);
    EXPECT_EQ(info.name, "Biases");
    EXPECT_EQ(info.description, "Biases of DVS cameras with GenX320 sensor");
    EXPECT_EQ(info.parameters.front(), "bias_pr_hv0");
}

TEST(BiasTools, OnlyIntAccessIsServedAndNamesArePrefixed) {
    auto rig = ToolRig::imx636();
    Imx636Biases tool(rig.controller);
    rig.clear();
    LogCapture log;
    EXPECT_FALSE(tool.setParam("bias_fo", 1.0f));
    EXPECT_TRUE(log.has(LOG_ERROR, "Set float parameter function not implemented"));
    float f = 3.0f;
    EXPECT_FALSE(tool.getParam("bias_fo", f));
    EXPECT_TRUE(log.has(LOG_ERROR, "Get float parameter function not implemented"));
    EXPECT_FALSE(tool.setParam("bias_fo", true));
    EXPECT_TRUE(log.has(LOG_ERROR, "Set bool parameter function not implemented"));
    EXPECT_FALSE(tool.setParam("bias_fo", "1"));
    EXPECT_TRUE(log.has(LOG_ERROR, "Set string/enum parameter function not implemented"));

    EXPECT_FALSE(tool.setParam("bias_nope", 1));
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter bias/bias_nope not found"));
    EXPECT_TRUE(rig.device->log().empty());

    const auto all = tool.getAllParamInfo();
    EXPECT_EQ(all.size(), 6u);
    EXPECT_EQ(all.count("bias_fo"), 1u);
    EXPECT_EQ(all.at("bias_fo").description, "FO bias");
    EXPECT_EQ(tool.getToolInfo().description, "Biases of DVS cameras with IMX636 sensor");
}

TEST(BiasTools, AToolOverTheOtherSensorsMapThrows) {
    auto rig = ToolRig::genx320();
    try {
        Imx636Biases tool(rig.controller);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "RegisterController: Register not found");
    }
}
