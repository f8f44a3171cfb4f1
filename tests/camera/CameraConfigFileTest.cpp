#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorHal/camera/tools/ApsCtrl/Imx415ApsCtrl.h"
#include "QuelnorHal/camera/tools/EventRateControl/Imx636EventRateControl.h"
#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"
#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"
#include "ToolSetRig.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

const std::string DATA_DIR = std::string(QUELNOR_TEST_DATA_DIR) + "/camera/";

// Lines logged at info level "Set <tool>.<parameter> = <value>", in order.
std::vector<std::string> appliedValues(const LogCapture& log) {
    std::vector<std::string> applied;
    for (const auto& line : log.lines()) {
        const auto equals = line.text.find(" = ");
        if (line.level == LOG_INFO && line.text.rfind("Set ", 0) == 0 && equals != std::string::npos &&
            line.text.find('.') < equals) {
            applied.push_back(line.text.substr(4));
        }
    }
    return applied;
}

int intParam(CameraToolSet& tools, ToolType type, const std::string& name) {
    int value = -12345;
    EXPECT_TRUE(tools.getTool(type)->getParam(name, value)) << name;
    return value;
}

float floatParam(CameraToolSet& tools, ToolType type, const std::string& name) {
    float value = -1.0f;
    EXPECT_TRUE(tools.getTool(type)->getParam(name, value)) << name;
    return value;
}

bool boolParam(CameraToolSet& tools, ToolType type, const std::string& name) {
    bool value = false;
    EXPECT_TRUE(tools.getTool(type)->getParam(name, value)) << name;
    return value;
}

std::string enumParam(CameraToolSet& tools, ToolType type, const std::string& name) {
    std::string value;
    EXPECT_TRUE(tools.getTool(type)->getParam(name, value)) << name;
    return value;
}

// A frame-sensor control tool on a board behind its own device double, as a fusion camera adds it.
struct FrameSensorTool {
    std::shared_ptr<DeviceDouble> device = std::make_shared<DeviceDouble>(IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE);
    std::shared_ptr<RegisterController> controller =
        std::make_shared<RegisterController>(device, IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE, "");
    std::shared_ptr<Imx415ApsCtrl> tool;

    FrameSensorTool() {
        // The board's registers are reached by control transfers.
        device->pokeControl(device->addressOf("aps_gain_control"), 1); // 0.3 dB, not exact as a float
        device->pokeControl(device->addressOf("aps_shutter"), 3479);    // 24919 us, within range
        tool = std::make_shared<Imx415ApsCtrl>(controller);
    }
};

// Values away from the defaults in every IMX636 tool: negative offsets, an enum option, a float, switches.
void configureSample(CameraToolSet& tools) {
    ASSERT_TRUE(tools.getTool(BIAS)->setParam("bias_diff_on", 12));
    ASSERT_TRUE(tools.getTool(BIAS)->setParam("bias_refr", -4));
    ASSERT_TRUE(tools.getTool(TRIGGER_IN)->setParam("enable", false));
    ASSERT_TRUE(tools.getTool(ANTI_FLICKER)->setParam("low_frequency", 100));
    ASSERT_TRUE(tools.getTool(ANTI_FLICKER)->setParam("fliter_mode", std::string("Band pass")));
    ASSERT_TRUE(tools.getTool(ANTI_FLICKER)->setParam("duty_cycle", 25.0f));
    ASSERT_TRUE(tools.getTool(ANTI_FLICKER)->setParam("enable", true));
    ASSERT_TRUE(tools.getTool(EVENT_RATE_CONTROL)->setParam("max_event_rate", 200));
    ASSERT_TRUE(tools.getTool(EVENT_RATE_CONTROL)->setParam("enable", true));
    ASSERT_TRUE(tools.getTool(EVENT_TRAIL_FILTER)->setParam("threshold", 30));
    ASSERT_TRUE(tools.getTool(EVENT_TRAIL_FILTER)->setParam("type", std::string("STC_CUT_TRAIL")));
    ASSERT_TRUE(tools.getTool(EVENT_TRAIL_FILTER)->setParam("enable", true));
    ASSERT_TRUE(tools.getTool(SYNC)->setParam("mode", std::string("MASTER")));
}

} // namespace

TEST(CameraConfigFile, ExportWritesEveryToolsParametersExactlyAsTheFixture) {
    struct Case {
        const char* fixture;
        ToolSetRig rig;
    };
    auto configured = ToolSetRig::imx636();
    configureSample(configured.tools);
    for (auto& c : {Case{"imx636_tools.json", configured}, Case{"genx320_tools_default.json", ToolSetRig::genx320()}}) {
        ScratchDir dir;
        const std::string path = dir.file("config.json");
        LogCapture log;
        EXPECT_TRUE(c.rig.tools.exportCameraConfigParams(path));
        EXPECT_TRUE(log.has(LOG_INFO, "Parameters saved to " + path));
        const std::string text = readText(path);
        EXPECT_EQ(text, readText(DATA_DIR + c.fixture)) << c.fixture;
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '}') << "no newline after the closing brace";
    }
}

TEST(CameraConfigFile, FloatsAreWrittenWidenedAndReadBackToTheSameFloat) {
    FrameSensorTool source;
    CameraToolSet tools;
    tools.addTool(APS_CTRL, source.tool);
    ScratchDir dir;
    const std::string path = dir.file("aps.json");
    ASSERT_TRUE(tools.exportCameraConfigParams(path));
    EXPECT_NE(readText(path).find("\"gain\": 0.30000001192092896\n"), std::string::npos) << readText(path);

    FrameSensorTool target;
    target.device->pokeControl(target.device->addressOf("aps_gain_control"), 50);
    CameraToolSet other;
    other.addTool(APS_CTRL, target.tool);
    EXPECT_TRUE(other.loadCameraConfigParams(path));
    EXPECT_EQ(target.device->peekControl(target.device->addressOf("aps_gain_control")), 1u);
    EXPECT_EQ(floatParam(other, APS_CTRL, "gain"), 0.3f);
}

TEST(CameraConfigFile, AnIntegerForAFloatParameterIsAppliedAsAFloat) {
    FrameSensorTool board;
    CameraToolSet tools;
    tools.addTool(APS_CTRL, board.tool);
    ScratchDir dir;
    const std::string path = dir.file("gain.json");
    writeText(path, R"({"ApsCtrl": {"gain": 36}})");
    LogCapture log;
    EXPECT_TRUE(tools.loadCameraConfigParams(path));
    EXPECT_EQ(appliedValues(log), std::vector<std::string>{"ApsCtrl.gain = 36"});
    EXPECT_EQ(board.device->peekControl(board.device->addressOf("aps_gain_control")), 120u)
        << "36 dB in steps of 0.3 dB";
    EXPECT_EQ(floatParam(tools, APS_CTRL, "gain"), 36.0f);
}

TEST(CameraConfigFile, LoadIntoASecondCameraGivesTheSameParameters) {
    auto first = ToolSetRig::imx636();
    auto& a = first.tools;
    configureSample(a);

    ScratchDir dir;
    const std::string path = dir.file("first.json");
    ASSERT_TRUE(a.exportCameraConfigParams(path));

    auto second = ToolSetRig::imx636();
    auto& b = second.tools;
    second.device->clearLog();
    EXPECT_TRUE(b.loadCameraConfigParams(path));
    EXPECT_FALSE(second.device->writes().empty());

    const std::string copy = dir.file("second.json");
    ASSERT_TRUE(b.exportCameraConfigParams(copy));
    EXPECT_EQ(readText(copy), readText(path));
    EXPECT_EQ(intParam(b, BIAS, "bias_diff_on"), 12);
    EXPECT_EQ(intParam(b, BIAS, "bias_refr"), -4);
    EXPECT_FALSE(boolParam(b, TRIGGER_IN, "enable"));
    EXPECT_EQ(intParam(b, ANTI_FLICKER, "low_frequency"), 100);
    EXPECT_EQ(enumParam(b, ANTI_FLICKER, "fliter_mode"), "Band pass");
    EXPECT_EQ(floatParam(b, ANTI_FLICKER, "duty_cycle"), floatParam(a, ANTI_FLICKER, "duty_cycle"));
    EXPECT_TRUE(boolParam(b, ANTI_FLICKER, "enable"));
    EXPECT_EQ(intParam(b, EVENT_RATE_CONTROL, "max_event_rate"), intParam(a, EVENT_RATE_CONTROL, "max_event_rate"));
    EXPECT_TRUE(boolParam(b, EVENT_RATE_CONTROL, "enable"));
    EXPECT_EQ(intParam(b, EVENT_TRAIL_FILTER, "threshold"), 30);
    EXPECT_EQ(enumParam(b, EVENT_TRAIL_FILTER, "type"), "STC_CUT_TRAIL");
    EXPECT_TRUE(boolParam(b, EVENT_TRAIL_FILTER, "enable"));
    EXPECT_EQ(enumParam(b, SYNC, "mode"), "MASTER");
}

TEST(CameraConfigFile, MembersAreAppliedInAscendingKeyOrder) {
    auto rig = ToolSetRig::imx636();
    ScratchDir dir;
    const std::string path = dir.file("order.json");
    writeText(path, R"({
        "TriggerIn": {"enable": true},
        "Sync": {"mode": "STANDALONE"},
        "ROI": {"enable": false},
        "EventTrailFilter": {"enable": false},
        "EventRateControl": {"enable": false},
        "Biases": {"bias_hpf": 3, "bias_diff": -1},
        "AntiFlicker": {"enable": false, "duty_cycle": 50.0}
    } trailing text is not read)");
    LogCapture log;
    EXPECT_TRUE(rig.tools.loadCameraConfigParams(path));
    EXPECT_EQ(appliedValues(log),
              (std::vector<std::string>{"AntiFlicker.duty_cycle = 50.0", "AntiFlicker.enable = false",
                                        "Biases.bias_diff = -1", "Biases.bias_hpf = 3", "EventRateControl.enable = false",
                                        "EventTrailFilter.enable = false", "ROI.enable = false", "Sync.mode = \"STANDALONE\"",
                                        "TriggerIn.enable = true"}));
    EXPECT_TRUE(log.has(LOG_INFO, "Configuration applied from " + path));
}

TEST(CameraConfigFile, ToolsTheCameraLacksAreSkipped) {
    auto rig = ToolSetRig::imx636();
    ScratchDir dir;
    const std::string path = dir.file("fusion.json");
    writeText(path, R"({"ApsCtrl": {"gain": 3.0}, "Biases": {"bias_hpf": 7}})");
    LogCapture log;
    EXPECT_TRUE(rig.tools.loadCameraConfigParams(path));
    EXPECT_TRUE(log.has(LOG_WARN, "Tool not found: ApsCtrl, skipping..."));
    EXPECT_EQ(intParam(rig.tools, BIAS, "bias_hpf"), 7);
}

TEST(CameraConfigFile, RefusedValuesMakeTheLoadFailAfterApplyingTheRest) {
    struct Case {
        const char* label;
        const char* antiFlicker; // the AntiFlicker member; Biases and TriggerIn around it must still apply
        const char* logLine;
        LogLevelType level;
    };
    const std::vector<Case> cases = {
        {"a value the tool refuses", R"({"low_frequency": 10})", "Refused AntiFlicker.low_frequency = 10", LOG_ERROR},
        {"a string for an INT parameter", R"({"low_frequency": "100"})",
         "Value \"100\" does not fit the INT parameter AntiFlicker.low_frequency", LOG_ERROR},
        {"a fraction for an INT parameter", R"({"low_frequency": 100.5})",
         "Value 100.5 does not fit the INT parameter AntiFlicker.low_frequency", LOG_ERROR},
        {"an integer beyond int", R"({"low_frequency": 4294967396})",
         "Value 4294967396 does not fit the INT parameter AntiFlicker.low_frequency", LOG_ERROR},
        {"a bool for a FLOAT parameter", R"({"duty_cycle": true})",
         "Value true does not fit the FLOAT parameter AntiFlicker.duty_cycle", LOG_ERROR},
        {"a number for a BOOL parameter", R"({"enable": 1})", "Value 1 does not fit the BOOL parameter AntiFlicker.enable",
         LOG_ERROR},
        {"a number for an ENUM parameter", R"({"fliter_mode": 1})",
         "Value 1 does not fit the ENUM parameter AntiFlicker.fliter_mode", LOG_ERROR},
        {"a parameter the tool lacks", R"({"nope": 1})", "Parameter nope not found", LOG_ERROR},
        {"an array", R"({"low_frequency": [100]})", "Unsupported parameter type for AntiFlicker.low_frequency, skipped.",
         LOG_WARN},
        {"null", R"({"low_frequency": null})", "Unsupported parameter type for AntiFlicker.low_frequency, skipped.",
         LOG_WARN},
        {"an object", R"({"low_frequency": {}})", "Unsupported parameter type for AntiFlicker.low_frequency, skipped.",
         LOG_WARN},
    };
    for (const auto& c : cases) {
        auto rig = ToolSetRig::imx636();
        ScratchDir dir;
        const std::string path = dir.file("refused.json");
        writeText(path, std::string(R"({"AntiFlicker": )") + c.antiFlicker +
                            R"(, "Biases": {"bias_hpf": 9}, "TriggerIn": {"enable": true}})");
        LogCapture log;
        EXPECT_FALSE(rig.tools.loadCameraConfigParams(path)) << c.label;
        EXPECT_TRUE(log.has(c.level, c.logLine)) << c.label;
        EXPECT_EQ(appliedValues(log), (std::vector<std::string>{"Biases.bias_hpf = 9", "TriggerIn.enable = true"}))
            << c.label;
        EXPECT_EQ(intParam(rig.tools, BIAS, "bias_hpf"), 9) << c.label;
        EXPECT_TRUE(boolParam(rig.tools, TRIGGER_IN, "enable")) << c.label;
        EXPECT_EQ(intParam(rig.tools, ANTI_FLICKER, "low_frequency"), 50) << c.label << ": unchanged";
    }
}

TEST(CameraConfigFile, AToolThatThrowsStopsTheLoadAtOnce) {
    // The event-rate control tool touches no register until a value is set, so it can be built over a
    // controller whose map has no register at all: setting a value then throws from the controller.
    auto rig = ToolSetRig::imx636();
    auto emptyMap = std::make_shared<RegisterController>(rig.device, nullptr, 0, "PSEE/IMX636/");
    CameraToolSet tools;
    tools.addTool(BIAS, rig.tools.getTool(BIAS));
    tools.addTool(EVENT_RATE_CONTROL, std::make_shared<Imx636EventRateControl>(emptyMap));
    tools.addTool(SYNC, rig.tools.getTool(SYNC));

    ScratchDir dir;
    const std::string path = dir.file("throws.json");
    writeText(path, R"({"Biases": {"bias_hpf": 5}, "EventRateControl": {"enable": true}, "Sync": {"mode": "MASTER"}})");
    LogCapture log;
    EXPECT_FALSE(tools.loadCameraConfigParams(path));
    EXPECT_TRUE(log.has(LOG_ERROR, "Failed to set EventRateControl.enable: RegisterController: Register not found"));
    EXPECT_EQ(appliedValues(log), std::vector<std::string>{"Biases.bias_hpf = 5"}) << "Sync is not reached";
    EXPECT_EQ(intParam(tools, BIAS, "bias_hpf"), 5) << "values applied before stay applied";
    EXPECT_FALSE(log.has(LOG_INFO, "Configuration applied from " + path));
}

TEST(CameraConfigFile, EmptySetWritesNullAndLoadingItAppliesNothing) {
    CameraToolSet tools;
    ScratchDir dir;
    const std::string path = dir.file("empty.json");
    EXPECT_TRUE(tools.exportCameraConfigParams(path));
    EXPECT_EQ(readText(path), "null");

    auto rig = ToolSetRig::imx636();
    rig.device->clearLog();
    EXPECT_TRUE(rig.tools.loadCameraConfigParams(path));
    EXPECT_TRUE(rig.device->log().empty());
}

TEST(CameraConfigFile, DocumentsThatAreNoObjectFindNoTool) {
    auto rig = ToolSetRig::imx636();
    ScratchDir dir;
    const std::string path = dir.file("array.json");
    writeText(path, R"([{"bias_hpf": 3}, 7])");
    rig.device->clearLog();
    LogCapture log;
    EXPECT_TRUE(rig.tools.loadCameraConfigParams(path));
    EXPECT_TRUE(log.has(LOG_WARN, "Tool not found: 0, skipping..."));
    EXPECT_TRUE(log.has(LOG_WARN, "Tool not found: 1, skipping..."));
    EXPECT_TRUE(rig.device->writes().empty());
}

TEST(CameraConfigFile, FilesThatCannotBeOpenedOrParsed) {
    auto rig = ToolSetRig::imx636();
    ScratchDir dir;
    {
        LogCapture log;
        const std::string missing = dir.file("missing/config.json");
        EXPECT_FALSE(rig.tools.exportCameraConfigParams(missing));
        EXPECT_TRUE(log.has(LOG_ERROR, "Failed to open " + missing + " file for writing."));
        EXPECT_FALSE(rig.tools.loadCameraConfigParams(missing));
        EXPECT_TRUE(log.has(LOG_ERROR, "Failed to open config file: " + missing));

        const std::string directory = dir.path.string();
        EXPECT_FALSE(rig.tools.exportCameraConfigParams(directory));
        EXPECT_FALSE(rig.tools.loadCameraConfigParams(directory));
        EXPECT_TRUE(log.has(LOG_ERROR, "Failed to open config file: " + directory));
    }
    {
        const std::string path = dir.file("broken.json");
        writeText(path, "Biases = 3");
        rig.device->clearLog();
        EXPECT_THROW(rig.tools.loadCameraConfigParams(path), std::exception);
        EXPECT_TRUE(rig.device->log().empty()) << "nothing applied";
    }
}
