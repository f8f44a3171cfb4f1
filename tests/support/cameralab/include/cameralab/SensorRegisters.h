#pragma once

// Register files that answer like the event sensors, and the register accesses that opening an
// event camera makes on one. Link `quelnor_cameralab`, include "cameralab/SensorRegisters.h".
//
//   auto registers = quelnor::test::makeSensorRegisters(false);          // an IMX636
//   const auto& expected = quelnor::test::referenceOpenTrace(false);
//   EXPECT_EQ(simulatorLog, expected.all());

#include <memory>
#include <vector>

#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/register/RegisterInfo.h"
#include "QuelnorHal/register/RegisterMap.h"
#include "device/DeviceDouble.h"

namespace quelnor::test {

// The sensor's register map, its prefix and size.
struct SensorMap {
    const RegisterInfo* table;
    uint32_t rows;
    const char* prefix;
};
SensorMap sensorMap(bool genx320);
// The sensor's register names, for the trace matcher.
RegisterMap sensorRegisterMap(bool genx320);

// The done flags the tools wait for read 1 at once: on the IMX636 the ROI window, anti-flicker and
// trail-filter initialisation flags (as the Ethernet simulator's register file answers), on the
// GenX320 the anti-flicker one.
void makeSensorResponsive(DeviceDouble& registers, bool genx320);
// A register file seeded with the sensor map's defaults and made responsive.
std::shared_ptr<DeviceDouble> makeSensorRegisters(bool genx320, Interface::InterfaceType type = Interface::USB);

// What an event camera's init does to the sensor's registers: the sensor's own bring-up (its
// sequences and set-up writes), then the construction of the seven tools.
struct OpenTrace {
    std::vector<Access> sensorInit;
    std::vector<Access> tools;

    std::vector<Access> all() const;
};

// Replays the sensor's init and the tool set's construction on a fresh responsive register file.
// Computed once per sensor and process (the IMX636's bring-up sleeps 2.5 s).
const OpenTrace& referenceOpenTrace(bool genx320);

// The accesses of a log that are not to the given addresses (e.g. a transport's own registers).
std::vector<Access> withoutAddresses(const std::vector<Access>& log, const std::vector<uint32_t>& addresses);

} // namespace quelnor::test
