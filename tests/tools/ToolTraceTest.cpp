#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Genx320AntiFlicker.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"
#include "QuelnorHal/camera/tools/EventRateControl/Genx320EventRateControl.h"
#include "QuelnorHal/camera/tools/EventRateControl/Imx636EventRateControl.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Genx320EventTrailFilter.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Imx636EventTrailFilter.h"
#include "QuelnorHal/camera/tools/biases/Genx320Biases.h"
#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"
#include "QuelnorHal/camera/tools/roi/Genx320Roi.h"
#include "QuelnorHal/camera/tools/roi/Imx636Roi.h"
#include "QuelnorHal/camera/tools/trigger/Genx320Sync.h"
#include "QuelnorHal/camera/tools/trigger/Genx320TriggerIn.h"
#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"
#include "QuelnorHal/camera/tools/trigger/Imx636TriggerIn.h"
#include "ToolRig.h"
#include "sensortrace/StoredTrace.h"

using namespace quelnor;
using namespace quelnor::test;

// Runs one fixed script over every sensor tool of both event sensors and writes down, step by step,
// what the tool answered, what it logged and every register access by name. The stored file holds
// that record; a change to any tool's register sequence, parameter description or message shows
// as the first line that differs. QUELNOR_RECORD_TOOL_TRACES=1 writes the file anew.

namespace {

const char* const STORED = QUELNOR_TEST_DATA_DIR "/tools/tool_traces.txt";

using Factory = std::function<std::unique_ptr<CameraTool>(std::shared_ptr<RegisterController>)>;

struct Case {
    const char* label;
    ToolRig (*rig)();
    Factory make;
    // Device answers a tool waits for, so that the number of polls is fixed.
    void (*prepare)(const ToolRig&) = nullptr;
};

template <class T>
Factory factory() {
    return [](std::shared_ptr<RegisterController> c) { return std::make_unique<T>(std::move(c)); };
}

ToolRig imx636Rig() { return ToolRig::imx636(); }
ToolRig genx320Rig() { return ToolRig::genx320(); }
// The window block reports done on the third poll after each request.
void windowDoneOnThirdPoll(const ToolRig& rig) {
    rig.device->setDoneField("roi_win_ctrl", "roi_win_done", 2, std::string("roi_win_ctrl"));
}

std::vector<Case> cases() {
    return {
        {"Imx636EventTrailFilter", imx636Rig, factory<Imx636EventTrailFilter>()},
        {"Genx320EventTrailFilter", genx320Rig, factory<Genx320EventTrailFilter>()},
        {"Imx636TriggerIn", imx636Rig, factory<Imx636TriggerIn>()},
        {"Genx320TriggerIn", genx320Rig, factory<Genx320TriggerIn>()},
        {"Imx636Sync", imx636Rig, factory<Imx636Sync>()},
        {"Genx320Sync", genx320Rig, factory<Genx320Sync>()},
        {"Imx636ROI", imx636Rig, factory<Imx636ROI>(), windowDoneOnThirdPoll},
        {"Genx320ROI", genx320Rig, factory<Genx320ROI>()},
        {"Imx636Biases", imx636Rig, factory<Imx636Biases>()},
        {"Genx320Biases", genx320Rig, factory<Genx320Biases>()},
        {"Imx636AntiFlicker", imx636Rig, factory<Imx636AntiFlicker>()},
        {"Genx320AntiFlicker", genx320Rig, factory<Genx320AntiFlicker>()},
        {"Imx636EventRateControl", imx636Rig, factory<Imx636EventRateControl>()},
        {"Genx320EventRateControl", genx320Rig, factory<Genx320EventRateControl>()},
    };
}

std::string registerName(const std::map<uint32_t, std::string>& names, uint32_t address) {
    auto it = names.find(address);
    return it == names.end() ? hex(address) : it->second;
}

class Recorder {
public:
    Recorder(const ToolRig& rig, const RegisterInfo* table, uint32_t count) : rig(rig) {
        for (uint32_t i = 0; i < count; ++i) {
            if (table[i].type == RegisterInfo::REGISTER) {
                names.try_emplace(table[i].reg.address, table[i].name);
            }
        }
        rig.clear();
        logs.clear();
    }

    // One step: the call and its answer, then its log lines and accesses.
    void step(const std::string& what) {
        out << "  " << what << "\n";
        for (const auto& line : logs.lines()) {
            out << "    log " << static_cast<int>(line.level) << " " << line.text << "\n";
        }
        for (const auto& access : rig.device->log()) {
            out << "    " << toString(access.kind) << " " << registerName(names, access.address) << " = "
                << hex(access.value) << (access.failed ? " (failed)" : "") << "\n";
        }
        rig.clear();
        logs.clear();
    }

    std::ostringstream out;

private:
    const ToolRig& rig;
    LogCapture logs;
    std::map<uint32_t, std::string> names;
};

std::string yes(bool ok) { return ok ? "true" : "false"; }

std::string number(float v) {
    std::ostringstream s;
    s.precision(9);
    s << v;
    return s.str();
}

void readBack(CameraTool& tool, Recorder& rec, const BasicParameterInfo& p) {
    switch (p.type) {
    case BOOL: {
        bool v = false;
        const bool ok = tool.getParam(p.name, v);
        rec.step("get " + p.name + " -> " + yes(ok) + " " + yes(v));
        break;
    }
    case INT: {
        int v = 0;
        const bool ok = tool.getParam(p.name, v);
        rec.step("get " + p.name + " -> " + yes(ok) + " " + std::to_string(v));
        break;
    }
    case FLOAT: {
        float v = 0;
        const bool ok = tool.getParam(p.name, v);
        rec.step("get " + p.name + " -> " + yes(ok) + " " + number(v));
        break;
    }
    default: {
        std::string v;
        const bool ok = tool.getParam(p.name, v);
        rec.step("get " + p.name + " -> " + yes(ok) + " '" + v + "'");
        break;
    }
    }
}

void describe(CameraTool& tool, Recorder& rec, const BasicParameterInfo& p) {
    bool ok = false;
    std::string text;
    switch (p.type) {
    case BOOL: {
        BoolParameterInfo i;
        ok = tool.getParamInfo(p.name, i);
        text = i.toString();
        break;
    }
    case INT: {
        IntParameterInfo i;
        ok = tool.getParamInfo(p.name, i);
        text = i.toString();
        break;
    }
    case FLOAT: {
        FloatParameterInfo i;
        ok = tool.getParamInfo(p.name, i);
        text = i.toString();
        break;
    }
    case ENUM: {
        EnumParameterInfo i;
        ok = tool.getParamInfo(p.name, i);
        text = i.toString();
        break;
    }
    default: {
        StringParameterInfo i;
        ok = tool.getParamInfo(p.name, i);
        text = i.toString();
        break;
    }
    }
    rec.step("info " + p.toString() + " -> " + yes(ok) + " " + text);
}

// Walks every parameter: its bounds, one step outside them, the middle and its default, or every option.
void exercise(CameraTool& tool, Recorder& rec, const BasicParameterInfo& p) {
    readBack(tool, rec, p);
    switch (p.type) {
    case BOOL:
        for (bool v : {true, false, true}) {
            rec.step("set " + p.name + " " + yes(v) + " -> " + yes(tool.setParam(p.name, v)));
            readBack(tool, rec, p);
        }
        break;
    case INT: {
        IntParameterInfo i;
        tool.getParamInfo(p.name, i);
        const int64_t mid = (static_cast<int64_t>(i.min) + i.max) / 2;
        for (int64_t v : {static_cast<int64_t>(i.min), static_cast<int64_t>(i.max), mid,
                          static_cast<int64_t>(i.min) - 1, static_cast<int64_t>(i.max) + 1,
                          static_cast<int64_t>(i.defaultValue)}) {
            if (v < INT32_MIN || v > INT32_MAX) {
                continue;
            }
            const int value = static_cast<int>(v);
            rec.step("set " + p.name + " " + std::to_string(value) + " -> " + yes(tool.setParam(p.name, value)));
            readBack(tool, rec, p);
        }
        break;
    }
    case FLOAT: {
        FloatParameterInfo i;
        tool.getParamInfo(p.name, i);
        for (float v : {i.min, i.max, (i.min + i.max) / 2, i.min - 1, i.max + 1, i.defaultValue}) {
            rec.step("set " + p.name + " " + number(v) + " -> " + yes(tool.setParam(p.name, v)));
            readBack(tool, rec, p);
        }
        break;
    }
    case ENUM: {
        EnumParameterInfo i;
        tool.getParamInfo(p.name, i);
        std::vector<std::string> values = i.options;
        values.push_back("NO_SUCH_OPTION");
        values.push_back(i.defaultValue);
        for (const auto& v : values) {
            rec.step("set " + p.name + " '" + v + "' -> " + yes(tool.setParam(p.name, v)));
            readBack(tool, rec, p);
        }
        break;
    }
    default: {
        StringParameterInfo i;
        tool.getParamInfo(p.name, i);
        rec.step("set " + p.name + " '" + i.defaultValue + "' -> " + yes(tool.setParam(p.name, i.defaultValue)));
        readBack(tool, rec, p);
        break;
    }
    }
}

std::string record(const Case& c) {
    ToolRig rig = c.rig();
    const bool imx = c.rig == imx636Rig;
    Recorder rec(rig, imx ? IMX636_REGISTER_MAP : GENX320_REGISTER_MAP,
                 imx ? IMX636_REGISTER_MAP_SIZE : GENX320_REGISTER_MAP_SIZE);
    if (c.prepare) {
        c.prepare(rig);
    }
    rec.out << "tool " << c.label << "\n";
    auto tool = c.make(rig.controller);
    rec.step("construct");
    const ToolInfo info = tool->getToolInfo();
    std::string params;
    for (const auto& name : info.parameters) {
        params += " " + name;
    }
    rec.step("toolinfo " + std::to_string(info.type) + " '" + info.name + "' '" + info.description + "'" + params);

    std::vector<BasicParameterInfo> basics;
    for (const auto& [key, basic] : tool->getAllParamInfo()) {
        rec.step("param " + key);
        basics.push_back(basic);
    }
    for (const auto& p : basics) {
        describe(*tool, rec, p);
    }
    // Once from the defaults, once more with every switch on, so the paths of a running block show too.
    for (const auto& p : basics) {
        exercise(*tool, rec, p);
    }
    for (const auto& p : basics) {
        if (p.type == BOOL) {
            rec.step("set " + p.name + " true -> " + yes(tool->setParam(p.name, true)));
        }
    }
    for (const auto& p : basics) {
        exercise(*tool, rec, p);
    }
    return rec.out.str();
}

} // namespace

TEST(ToolTrace, EveryToolOfBothSensorsReplaysTheStoredTrace) {
    std::string text;
    for (const auto& c : cases()) {
        text += record(c);
    }
    expectStoredTrace(text, STORED, "QUELNOR_RECORD_TOOL_TRACES", "tool ");
}
