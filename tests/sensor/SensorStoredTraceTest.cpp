#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/sensor/Genx320Sensor.h"
#include "QuelnorDriver/sensor/Imx6x6Sensor.h"
#include "SensorRig.h"
#include "sensortrace/StoredTrace.h"

using namespace quelnor;
using namespace quelnor::test;

// Runs both event sensors through init, start, stop and destruction under each way a camera can wire
// them (no callbacks, sequences only, plain and checked callbacks, a device that drops out or refuses
// a write, a MIPI interface, no interface), and writes down what each call answered, what it logged
// and every register access by name. The stored file holds that record, so a change to a sequence,
// a set-up write or a message shows as the first line that differs. QUELNOR_RECORD_SENSOR_TRACES=1
// writes the file anew.

namespace {

const char* const STORED = QUELNOR_TEST_DATA_DIR "/sensor/sensor_traces.txt";

enum class Wiring { NONE, SEQUENCES, PLAIN, CHECKED };

struct Scenario {
    const char* label;
    Wiring wiring;
    Interface::InterfaceType type = Interface::USB;
    bool connected = true;
    bool noInterface = false;
    // Makes the device refuse one write, at this register (an empty name: none).
    const char* refusedRegister = "";
};

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = {
        {"no callbacks", Wiring::NONE},
        {"sequences only", Wiring::SEQUENCES},
        {"plain callbacks", Wiring::PLAIN},
        {"plain callbacks, disconnected", Wiring::PLAIN, Interface::USB, false},
        {"checked callbacks, disconnected", Wiring::CHECKED, Interface::USB, false},
        {"checked callbacks, first stop write refused", Wiring::CHECKED, Interface::USB, true, false, "FIRST"},
        {"checked callbacks, set-up write refused", Wiring::CHECKED, Interface::USB, true, false, "lifo_ctrl"},
        {"plain callbacks, MIPI", Wiring::PLAIN, Interface::MIPI},
        {"plain callbacks, no interface", Wiring::PLAIN, Interface::USB, true, true},
    };
    return all;
}

std::string hexText(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

class Recorder {
public:
    Recorder(const SensorRig& rig, const RegisterInfo* table, uint32_t count) : rig(rig) {
        for (uint32_t i = 0; i < count; ++i) {
            if (table[i].type == RegisterInfo::REGISTER) {
                names.try_emplace(table[i].reg.address, table[i].name);
            }
        }
        rig.device->clearLog();
        logs.clear();
    }

    void step(const std::string& what) {
        out << "  " << what << "\n";
        for (const auto& line : logs.lines()) {
            out << "    log " << static_cast<int>(line.level) << " " << line.text << "\n";
        }
        for (const auto& access : rig.device->log()) {
            auto it = names.find(access.address);
            out << "    " << toString(access.kind) << " "
                << (it == names.end() ? hexText(access.address) : it->second) << " = " << hexText(access.value)
                << (access.failed ? " (failed)" : "") << "\n";
        }
        rig.device->clearLog();
        logs.clear();
    }

    std::ostringstream out;

private:
    const SensorRig& rig;
    LogCapture logs;
    std::map<uint32_t, std::string> names;
};

void wire(Sensor& sensor, const SensorRig& rig, Wiring wiring) {
    auto c = rig.controller;
    switch (wiring) {
    case Wiring::NONE:
        break;
    case Wiring::SEQUENCES:
        rig.wireSequences(sensor);
        break;
    case Wiring::PLAIN:
        rig.wireEventSensor(sensor);
        break;
    case Wiring::CHECKED:
        sensor.setCheckedApplyRegisterOperationSequenceCallback(
            [c](const std::vector<RegisterOperation>& sequence) { return c->tryApplyRegisterOperationSequence(sequence); });
        sensor.setCheckedWriteRegisterFieldCallback([c](const std::string& reg, const std::string& field, uint32_t value) {
            return c->tryWriteRegisterField(reg, field, value);
        });
        break;
    }
}

template <class SensorT>
std::string record(const char* sensorName, SensorRig (*makeRig)(Interface::InterfaceType), const RegisterInfo* table,
                   uint32_t count, uint32_t firstStopAddress) {
    std::ostringstream text;
    for (const Scenario& s : scenarios()) {
        SensorRig rig = makeRig(s.type);
        Recorder rec(rig, table, count);
        rec.out << "sensor " << sensorName << " (" << s.label << ")\n";
        auto sensor = std::make_unique<SensorT>();
        wire(*sensor, rig, s.wiring);
        rig.device->setConnected(s.connected);
        if (std::string(s.refusedRegister) == "FIRST") {
            rig.device->failWrites(1, firstStopAddress);
        } else if (*s.refusedRegister != '\0') {
            rig.device->failWrites(1, rig.device->addressOf(s.refusedRegister));
        }
        rec.step("construct");
        const int initResult = sensor->init(s.noInterface ? nullptr : rig.device);
        rec.step("init -> " + std::to_string(initResult));
        rig.device->clearFaults();
        rec.step("start -> " + std::to_string(sensor->start()));
        rec.step("stop -> " + std::to_string(sensor->stop()));
        rec.step("stop -> " + std::to_string(sensor->stop()));
        sensor.reset();
        rec.step("destroy");
        text << rec.out.str();
    }
    return text.str();
}

// Where the stop sequence, which every bring-up replays first, writes first.
constexpr uint32_t IMX636_FIRST_STOP_WRITE = 0x0004;
constexpr uint32_t GENX320_FIRST_STOP_WRITE = 0x0000;

} // namespace

TEST(SensorStoredTrace, BothEventSensorsReplayTheStoredTrace) {
    const std::string text =
        record<Imx6x6Sensor>("Imx6x6Sensor", SensorRig::imx636, IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE,
                             IMX636_FIRST_STOP_WRITE) +
        record<Genx320Sensor>("Genx320Sensor", SensorRig::genx320, GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE,
                              GENX320_FIRST_STOP_WRITE);
    expectStoredTrace(text, STORED, "QUELNOR_RECORD_SENSOR_TRACES", "sensor ");
}
