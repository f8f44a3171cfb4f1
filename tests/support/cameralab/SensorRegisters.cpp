#include "cameralab/SensorRegisters.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "QuelnorDriver/camera/CameraToolSet.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Genx320Sensor.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorDriver/sensor/Imx6x6Sensor.h"
#include "QuelnorHal/register/RegisterController.h"

namespace quelnor::test {

SensorMap sensorMap(bool genx320) {
    if (genx320) {
        return {GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE, "PSEE/GENX320/"};
    }
    return {IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/"};
}

RegisterMap sensorRegisterMap(bool genx320) {
    const SensorMap map = sensorMap(genx320);
    return RegisterMap(map.table, map.rows, map.prefix);
}

void makeSensorResponsive(DeviceDouble& registers, bool genx320) {
    if (genx320) {
        registers.setDoneField("afk/initialisation", "flag_init_done", 0);
        return;
    }
    registers.setDoneField("roi_win_ctrl", "roi_win_done", 0);
    registers.setDoneField("afk/initialization", "afk_flag_init_done", 0);
    registers.setDoneField("stc/initialization", "stc_flag_init_done", 0);
}

std::shared_ptr<DeviceDouble> makeSensorRegisters(bool genx320, Interface::InterfaceType type) {
    const SensorMap map = sensorMap(genx320);
    auto registers = std::make_shared<DeviceDouble>(map.table, map.rows, type);
    makeSensorResponsive(*registers, genx320);
    return registers;
}

std::vector<Access> OpenTrace::all() const {
    std::vector<Access> accesses = sensorInit;
    accesses.insert(accesses.end(), tools.begin(), tools.end());
    return accesses;
}

namespace {

OpenTrace recordOpenTrace(bool genx320) {
    const SensorMap map = sensorMap(genx320);
    auto registers = makeSensorRegisters(genx320);
    auto controller = std::make_shared<RegisterController>(registers, map.table, map.rows, map.prefix);
    std::unique_ptr<Sensor> sensor;
    if (genx320) {
        sensor = std::make_unique<Genx320Sensor>();
    } else {
        sensor = std::make_unique<Imx6x6Sensor>();
    }
    sensor->setApplyRegisterOperationSequenceCallback(
        [controller](const std::vector<RegisterOperation>& sequence) {
            controller->applyRegisterOperationSequence(sequence);
        });
    sensor->setWriteRegisterFieldCallback([controller](const std::string& reg, const std::string& field,
                                                       uint32_t value) { controller->writeRegisterField(reg, field, value); });
    // The double is no device a data transfer can be made for: init sets the sensor up, then fails.
    sensor->init(registers);
    OpenTrace trace;
    trace.sensorInit = registers->log();
    registers->clearLog();
    CameraToolSet tools;
    tools.createEventCameraTools(controller, genx320);
    trace.tools = registers->log();
    return trace;
}

} // namespace

const OpenTrace& referenceOpenTrace(bool genx320) {
    static std::mutex lock;
    static std::map<bool, OpenTrace> traces;
    std::lock_guard<std::mutex> guard(lock);
    auto it = traces.find(genx320);
    if (it == traces.end()) {
        it = traces.emplace(genx320, recordOpenTrace(genx320)).first;
    }
    return it->second;
}

std::vector<Access> withoutAddresses(const std::vector<Access>& log, const std::vector<uint32_t>& addresses) {
    std::vector<Access> kept;
    for (const Access& access : log) {
        if (std::find(addresses.begin(), addresses.end(), access.address) == addresses.end()) {
            kept.push_back(access);
        }
    }
    return kept;
}

} // namespace quelnor::test
