#include <gtest/gtest.h>

#include <variant>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/CameraToolPrivate.h"

using namespace quelnor;
using quelnor::test::LogCapture;

namespace {

// A tool of each parameter kind whose callbacks record what reaches them. It needs no registers.
class ProbeTool : public CameraToolRegisterWithCallback {
public:
    explicit ProbeTool(std::string name = "probe/") : CameraToolRegisterWithCallback(nullptr, std::move(name)) {
        list.emplace_back("count", "A count", INT,
                          IntParameterInfo{0, 10, 3, " ", [this](int& v) { return fail ? false : (v = count, true); },
                                           [this](int v) { return v >= 0 && (count = v, true); }});
        list.emplace_back("gain", "A gain", FLOAT,
                          FloatParameterInfo{0.0f, 10.0f, 1.0f, "dB", [this](float& v) { return (v = gain, true); },
                                             [this](float v) { return (gain = v, true); }});
        list.emplace_back("on", "A switch", BOOL,
                          BoolParameterInfo{false, [this](bool& v) { return (v = on, true); },
                                            [this](bool v) { return (on = v, true); }});
        list.emplace_back("mode", "A mode", ENUM,
                          EnumParameterInfo{{"Band cut", "Band pass"}, "Band cut",
                                            [this](std::string& v) { return (v = mode, true); },
                                            [this](std::string v) { return (mode = std::move(v), true); }});
        list.emplace_back("label", "A label", STRING,
                          StringParameterInfo{"dflt", [this](std::string& v) { return (v = label, true); },
                                              [this](std::string v) { return (label = std::move(v), true); }});
        // Declares INT but holds a bool record: a programming error the framework does not hide.
        list.emplace_back("broken", "Mismatched", INT, BoolParameterInfo{});
        for (const auto& entry : list) {
            parameterMap.try_emplace(entry.name, entry);
        }
    }
    ToolInfo getToolInfo() const override { return ToolInfo{BIAS, "Probe", {}, "probe"}; }

    int count = 3;
    float gain = 1.0f;
    bool on = false;
    std::string mode = "Band cut";
    std::string label = "dflt";
    bool fail = false;

private:
    std::vector<FullParamteterInfo> list;
};

// Serves parameters only the way the bias tools do: through the base class's generic calls.
class BareTool : public CameraToolRegister {
public:
    BareTool() : CameraToolRegister(nullptr, "bare/") {
        parameterMap.try_emplace("bare/level", FullParamteterInfo("level", "Level", INT, IntParameterInfo{-5, 5, 0, "%", {}, {}}));
    }
    ToolInfo getToolInfo() const override { return ToolInfo{BIAS, "Bare", {"level"}, "bare"}; }
};

} // namespace

TEST(ToolFramework, MissingNameFailsAndLeavesTheValue) {
    ProbeTool tool;
    LogCapture log;
    int v = 77;
    EXPECT_FALSE(tool.getParam("nope", v));
    EXPECT_EQ(v, 77);
    EXPECT_EQ(log.count(LOG_ERROR, "Parameter nope not found"), 1);

    log.clear();
    std::string s = "keep";
    EXPECT_FALSE(tool.getParam("nope", s));
    EXPECT_EQ(s, "keep");
    // looked up as ENUM, then as STRING
    EXPECT_EQ(log.count(LOG_ERROR, "Parameter nope not found"), 2);

    log.clear();
    EXPECT_FALSE(tool.setParam("nope", true));
    EXPECT_FALSE(tool.setParam("nope", 1.5f));
    EXPECT_EQ(log.count(LOG_ERROR, "Parameter nope not found"), 2);
}

TEST(ToolFramework, TypeMismatchNamesTheTypeAskedFor) {
    ProbeTool tool;
    LogCapture log;
    int v = 5;
    EXPECT_FALSE(tool.getParam("gain", v));
    EXPECT_EQ(v, 5);
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter gain is not of type INT"));
    EXPECT_FALSE(tool.setParam("count", true));
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter count is not of type BOOL"));
    EXPECT_FALSE(tool.setParam("on", 1));
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter on is not of type INT"));
    EXPECT_EQ(tool.count, 3);
    EXPECT_FALSE(tool.on);
}

TEST(ToolFramework, EnumReadsSilentlyAndStringAfterTheEnumMismatch) {
    ProbeTool tool;
    LogCapture log;
    std::string mode;
    ASSERT_TRUE(tool.getParam("mode", mode));
    EXPECT_EQ(mode, "Band cut");
    EXPECT_TRUE(log.lines().empty());

    std::string label;
    ASSERT_TRUE(tool.getParam("label", label));
    EXPECT_EQ(label, "dflt");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter label is not of type ENUM"));

    ASSERT_TRUE(tool.setParam("label", std::string("cam")));
    EXPECT_EQ(tool.label, "cam");
}

TEST(ToolFramework, DoubleReachesFloatSetterAndCharPointerActsAsString) {
    ProbeTool tool;
    EXPECT_TRUE(tool.setParam("gain", 2.5));
    EXPECT_EQ(tool.gain, 2.5f);
    CameraTool& asBase = tool;
    EXPECT_TRUE(asBase.setParam("gain", 4.25));
    EXPECT_EQ(tool.gain, 4.25f);
    EXPECT_TRUE(tool.setParam("mode", "Band pass"));
    EXPECT_EQ(tool.mode, "Band pass");
    // Options are not enforced by the framework.
    EXPECT_TRUE(tool.setParam("mode", std::string("anything")));
    EXPECT_EQ(tool.mode, "anything");
    LogCapture log;
    EXPECT_FALSE(tool.setParam("mode", static_cast<const char*>(nullptr)));
    EXPECT_EQ(tool.mode, "anything");
    EXPECT_EQ(log.countAt(LOG_ERROR), 1);
}

TEST(ToolFramework, SetterRefusalAndGetterFailureAreReported) {
    ProbeTool tool;
    EXPECT_FALSE(tool.setParam("count", -1));
    EXPECT_EQ(tool.count, 3);
    // Values outside the record's bounds reach the setter unchanged.
    EXPECT_TRUE(tool.setParam("count", 99));
    EXPECT_EQ(tool.count, 99);
    tool.fail = true;
    int v = -4;
    EXPECT_FALSE(tool.getParam("count", v));
    EXPECT_EQ(v, -4);
}

TEST(ToolFramework, ParameterInfoLookUps) {
    ProbeTool tool;
    LogCapture log;
    IntParameterInfo i;
    ASSERT_TRUE(tool.getParamInfo("count", i));
    EXPECT_EQ(i.min, 0);
    EXPECT_EQ(i.max, 10);
    EXPECT_EQ(i.defaultValue, 3);
    ASSERT_TRUE(i.setter);
    EXPECT_TRUE(i.setter(6)); // the copied callback still reaches the tool
    EXPECT_EQ(tool.count, 6);

    EnumParameterInfo e;
    ASSERT_TRUE(tool.getParamInfo("mode", e));
    EXPECT_EQ(e.options, (std::vector<std::string>{"Band cut", "Band pass"}));

    FloatParameterInfo f;
    f.unit = "untouched";
    EXPECT_FALSE(tool.getParamInfo("count", f));
    EXPECT_EQ(f.unit, "untouched");
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter count is not of type FLOAT"));

    // STRING look-ups go by toolName + name, so a prefixed tool never finds them.
    StringParameterInfo s;
    EXPECT_FALSE(tool.getParamInfo("label", s));
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter probe/label not found"));

    ProbeTool unprefixed("");
    ASSERT_TRUE(unprefixed.getParamInfo("label", s));
    EXPECT_EQ(s.defaultValue, "dflt");
}

TEST(ToolFramework, AllParamInfoIsKeyedByRecordNames) {
    ProbeTool tool;
    const auto all = tool.getAllParamInfo();
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all.at("gain").type, FLOAT);
    EXPECT_EQ(all.at("mode").description, "A mode");

    BareTool bare;
    const auto bareAll = bare.getAllParamInfo();
    ASSERT_EQ(bareAll.size(), 1u);
    EXPECT_EQ(bareAll.begin()->first, "level");
    IntParameterInfo info;
    EXPECT_TRUE(bare.getParamInfo("level", info)); // looked up as "bare/level"
    EXPECT_EQ(info.min, -5);
}

TEST(ToolFramework, BaseClassTypedCallsAreNotImplemented) {
    BareTool bare;
    CameraTool& tool = bare;
    LogCapture log;
    std::string s = "x";
    bool b = true;
    float f = 1.0f;
    int i = 9;
    EXPECT_FALSE(tool.getParam("level", s));
    EXPECT_FALSE(tool.getParam("level", b));
    EXPECT_FALSE(tool.getParam("level", f));
    EXPECT_FALSE(tool.getParam("level", i));
    EXPECT_FALSE(tool.setParam("level", std::string("a")));
    EXPECT_FALSE(tool.setParam("level", "a"));
    EXPECT_FALSE(tool.setParam("level", true));
    EXPECT_FALSE(tool.setParam("level", 1.0));
    EXPECT_FALSE(tool.setParam("level", 1.0f));
    EXPECT_FALSE(tool.setParam("level", 1));
    EXPECT_EQ(s, "x");
    EXPECT_TRUE(b);
    EXPECT_EQ(f, 1.0f);
    EXPECT_EQ(i, 9);
    EXPECT_EQ(log.count(LOG_ERROR, "Get string/enum parameter function not implemented"), 1);
    EXPECT_EQ(log.count(LOG_ERROR, "Get bool parameter function not implemented"), 1);
    EXPECT_EQ(log.count(LOG_ERROR, "Get float parameter function not implemented"), 1);
    EXPECT_EQ(log.count(LOG_ERROR, "Get int parameter function not implemented"), 1);
    EXPECT_EQ(log.count(LOG_ERROR, "Set string/enum parameter function not implemented"), 2);
    EXPECT_EQ(log.count(LOG_ERROR, "Set bool parameter function not implemented"), 1);
    // the double goes on to the float overload
    EXPECT_EQ(log.count(LOG_ERROR, "Set float parameter function not implemented"), 2);
    EXPECT_EQ(log.count(LOG_ERROR, "Set int parameter function not implemented"), 1);
}

TEST(ToolFramework, MismatchedRecordThrowsBadVariantAccess) {
    ProbeTool tool;
    int v = 0;
    EXPECT_THROW(tool.getParam("broken", v), std::bad_variant_access);
    IntParameterInfo info;
    EXPECT_THROW(tool.getParamInfo("broken", info), std::bad_variant_access);
}
