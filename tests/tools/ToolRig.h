#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorHal/register/RegisterController.h"
#include "device/DeviceDouble.h"

namespace quelnor::test {

// A sensor behind the device double, reached through a register controller over the sensor's real
// register map, so a misspelt register or field name throws as it would on a camera.
struct ToolRig {
    std::shared_ptr<DeviceDouble> device;
    std::shared_ptr<RegisterController> controller;

    static ToolRig imx636(Interface::InterfaceType type = Interface::USB) {
        return make(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/", type);
    }
    static ToolRig genx320() { return make(GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE, "PSEE/GENX320/"); }
    static ToolRig imx415() { return make(IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE, "IMX415/"); }

    // "reg.field = 0xV" for every field a write changed, in order, since the last clear.
    std::vector<std::string> changes() const { return device->decodedWrites(true); }
    void clear() const { device->clearLog(); }

    // Plain reads of a register after the last write to it (polls of a flag).
    size_t readsAfterLastWrite(const std::string& reg) const {
        const uint32_t address = device->addressOf(reg);
        size_t reads = 0;
        for (const auto& access : device->log()) {
            if (access.address != address) {
                continue;
            }
            if (access.kind == AccessKind::Write) {
                reads = 0;
            } else if (access.kind == AccessKind::Read) {
                ++reads;
            }
        }
        return reads;
    }

private:
    static ToolRig make(const RegisterInfo* table, uint32_t count, const char* prefix,
                        Interface::InterfaceType type = Interface::USB) {
        ToolRig rig;
        rig.device = std::make_shared<DeviceDouble>(table, count, type);
        rig.controller = std::make_shared<RegisterController>(rig.device, table, count, prefix);
        return rig;
    }
};

inline std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", v);
    return text;
}

// "reg.field = 0xV"
inline std::string change(const std::string& reg, const std::string& field, uint32_t v) {
    return reg + "." + field + " = " + hex(v);
}

} // namespace quelnor::test
