#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "QuelnorHal/camera/tools/FullParamteterInfo.h"
#include "QuelnorHal/camera/tools/ToolInfo.h"
#include "QuelnorHal/camera/tools/ToolType.h"

using namespace quelnor;

TEST(ToolParameterModel, EnumerationTextsNameTheEnumerators) {
    EXPECT_EQ(to_string(BIAS), "BIAS");
    EXPECT_EQ(to_string(TRIGGER_IN), "TRIGGER_IN");
    EXPECT_EQ(to_string(ANTI_FLICKER), "ANTI_FLICKER");
    EXPECT_EQ(to_string(EVENT_TRAIL_FILTER), "EVENT_TRAIL_FILTER");
    EXPECT_EQ(to_string(EVENT_RATE_CONTROL), "EVENT_RATE_CONTROL");
    EXPECT_EQ(to_string(ROI), "ROI");
    EXPECT_FALSE(to_string(static_cast<ToolType>(42)).empty());
    EXPECT_EQ(ToolParameterTypeToString(INT), "INT");
    EXPECT_EQ(ToolParameterTypeToString(FLOAT), "FLOAT");
    EXPECT_EQ(ToolParameterTypeToString(BOOL), "BOOL");
    EXPECT_EQ(ToolParameterTypeToString(STRING), "STRING");
    EXPECT_EQ(ToolParameterTypeToString(ENUM), "ENUM");
    EXPECT_FALSE(ToolParameterTypeToString(static_cast<ToolParameterType>(9)).empty());
    EXPECT_EQ(static_cast<int>(APS_CTRL), 7);
    EXPECT_EQ(static_cast<int>(ENUM), 4);
}

TEST(ToolParameterModel, ConstraintClampsLowerBoundFirst) {
    struct Case {
        int min, max, value, expected;
    };
    const Case cases[] = {
        {-20, 0, 5, 0}, {-20, 0, -30, -20}, {-20, 0, -7, -7}, {-20, 0, -20, -20}, {-20, 0, 0, 0},
        // min above max: below min gives min, everything else max
        {10, 5, 3, 10}, {10, 5, 7, 10}, {10, 5, 10, 5}, {10, 5, 12, 5},
    };
    for (const auto& c : cases) {
        IntParameterInfo info;
        info.min = c.min;
        info.max = c.max;
        EXPECT_EQ(info.constraintValue(c.value), c.expected) << c.min << ".." << c.max << " of " << c.value;
    }
    FloatParameterInfo f;
    f.min = 0.0f;
    f.max = 100.0f;
    EXPECT_EQ(f.constraintValue(-1.0f), 0.0f);
    EXPECT_EQ(f.constraintValue(150.0f), 100.0f);
    EXPECT_EQ(f.constraintValue(33.5f), 33.5f);
    EXPECT_TRUE(std::isnan(f.constraintValue(std::numeric_limits<float>::quiet_NaN())));
}

TEST(ToolParameterModel, RecordTextsHaveTheirFixedForms) {
    BasicParameterInfo basic{"enable", "Trigger in enable", BOOL};
    EXPECT_EQ(basic.toString(), "Name: enable Description: Trigger in enable Type: BOOL");

    IntParameterInfo i;
    i.min = -20;
    i.max = 235;
    i.defaultValue = 20;
    i.unit = "%";
    EXPECT_EQ(i.toString(), "Min: -20 Max: 235 Default: 20 Unit: %");

    FloatParameterInfo f;
    f.min = 0.0f;
    f.max = 100.0f;
    f.defaultValue = 50.0f;
    f.unit = "%";
    EXPECT_EQ(f.toString(), "Min: 0.000000 Max: 100.000000 Default: 50.000000 Unit: %");

    BoolParameterInfo b;
    b.defaultValue = true;
    EXPECT_EQ(b.toString(), "Default: 1");
    b.defaultValue = false;
    EXPECT_EQ(b.toString(), "Default: 0");

    EnumParameterInfo e;
    e.options = {"Band cut", "Band pass"};
    e.defaultValue = "Band cut";
    EXPECT_EQ(e.toString(), "Options: 2 Default: Band cut");

    StringParameterInfo s;
    s.defaultValue = "192.168.2.66";
    EXPECT_EQ(s.toString(), " Default: 192.168.2.66");
}

TEST(ToolParameterModel, DefaultFullRecordIsAnUndefinedBool) {
    FullParamteterInfo full;
    EXPECT_EQ(full.name, "NotDefined");
    EXPECT_EQ(full.description, "not defined");
    EXPECT_EQ(full.type, BOOL);
    ASSERT_TRUE(std::holds_alternative<BoolParameterInfo>(full.info));
    const auto& b = std::get<BoolParameterInfo>(full.info);
    EXPECT_FALSE(b.defaultValue);
    EXPECT_FALSE(b.getter);
    EXPECT_FALSE(b.setter);
}

TEST(ToolParameterModel, VariantOrderIsIntFloatBoolEnumString) {
    EXPECT_EQ(FullParamteterInfo("a", "", INT, IntParameterInfo{}).info.index(), 0u);
    EXPECT_EQ(FullParamteterInfo("a", "", FLOAT, FloatParameterInfo{}).info.index(), 1u);
    EXPECT_EQ(FullParamteterInfo("a", "", BOOL, BoolParameterInfo{}).info.index(), 2u);
    EXPECT_EQ(FullParamteterInfo("a", "", ENUM, EnumParameterInfo{}).info.index(), 3u);
    EXPECT_EQ(FullParamteterInfo("a", "", STRING, StringParameterInfo{}).info.index(), 4u);
}

TEST(ToolParameterModel, CopiesShareTheBoundCallbacksAndSliceToTheBasicPart) {
    struct Target {
        int stored = 0;
        bool set(int v) {
            stored = v;
            return true;
        }
    } target;
    IntParameterInfo record;
    record.setter = [&target](int v) { return target.set(v); };
    record.getter = [&target](int& v) {
        v = target.stored;
        return true;
    };
    FullParamteterInfo original("threshold", "Set threshold", INT, record);
    FullParamteterInfo copy = original;
    ASSERT_TRUE(std::get<IntParameterInfo>(copy.info).setter(42));
    EXPECT_EQ(target.stored, 42);
    int read = 0;
    ASSERT_TRUE(std::get<IntParameterInfo>(original.info).getter(read));
    EXPECT_EQ(read, 42);

    BasicParameterInfo basic = copy;
    EXPECT_EQ(basic.name, "threshold");
    EXPECT_EQ(basic.description, "Set threshold");
    EXPECT_EQ(basic.type, INT);
}
