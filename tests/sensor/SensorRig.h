#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorDriver/sensor/Sensor.h"
#include "QuelnorHal/register/RegisterController.h"
#include "QuelnorHal/register/RegisterMap.h"
#include "device/DeviceDouble.h"

namespace quelnor::test {

// A sensor's device behind the device double, reached through a register controller over the sensor's
// real register map, wired to a sensor the way the cameras wire theirs.
struct SensorRig {
    std::shared_ptr<DeviceDouble> device;
    std::shared_ptr<RegisterController> controller;
    std::shared_ptr<RegisterMap> map; // names for the trace matcher

    static SensorRig imx636(Interface::InterfaceType type = Interface::USB) {
        return make(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/", type);
    }
    static SensorRig genx320(Interface::InterfaceType type = Interface::USB) {
        return make(GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE, "PSEE/GENX320/", type);
    }
    static SensorRig imx415(Interface::InterfaceType type = Interface::USB) {
        return make(IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE, "", type);
    }

    // Each callback holds its own copy of the controller, as the event camera's do.
    void wireSequences(Sensor& sensor) const {
        auto c = controller;
        sensor.setApplyRegisterOperationSequenceCallback(
            [c](const std::vector<RegisterOperation>& sequence) { c->applyRegisterOperationSequence(sequence); });
    }
    void wireFields(Sensor& sensor) const {
        auto c = controller;
        sensor.setWriteRegisterFieldCallback(
            [c](const std::string& reg, const std::string& field, uint32_t value) {
                c->writeRegisterField(reg, field, value);
            });
    }
    void wireRegisters(Sensor& sensor) const {
        auto c = controller;
        sensor.setWriteRegisterCallback([c](const std::string& reg, uint32_t value) { c->writeRegister(reg, value); });
    }
    void wireEventSensor(Sensor& sensor) const {
        wireSequences(sensor);
        wireFields(sensor);
    }

private:
    static SensorRig make(const RegisterInfo* table, uint32_t count, const char* prefix,
                          Interface::InterfaceType type) {
        SensorRig rig;
        rig.device = std::make_shared<DeviceDouble>(table, count, type);
        rig.controller = std::make_shared<RegisterController>(rig.device, table, count, prefix);
        rig.map = std::make_shared<RegisterMap>(table, count, prefix);
        return rig;
    }
};

} // namespace quelnor::test
