// The two event sensors inside their cameras, over the simulated USB cameras (umockdev, in-process):
// opening (the sensor's bring-up, then the tools), starting and stopping the stream, a start whose
// first register write the camera refuses, and closing. Every register access is written down by
// name beside what each call answered and what the sensor logged, and compared with the stored
// record; QUELNOR_RECORD_SENSOR_TRACES=1 writes it anew.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "cameralab/TestNetwork.h"
#include "cameralab/UsbSensorCamera.h"
#include "sensortrace/StoredTrace.h"

using namespace quelnor;
using namespace quelnor::test;
using quelnor::test::usbcam::UmockdevUsbBus;

namespace {

const char* const STORED = QUELNOR_TEST_DATA_DIR "/sensor/usb_camera_sensor_traces.txt";

constexpr uint16_t QUELNOR_VID = 0x04B5;
constexpr uint16_t TOLVANE_PID = 0x0001;
constexpr uint16_t ZARN320_PID = 0x0003;
// The first register the start sequence of each sensor writes (the GenX320 replays none).
constexpr uint32_t IMX636_FIRST_START_WRITE = 0xB000;

std::string hexText(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

// The sensor's and the register controller's lines; the camera threads' own lines are left out.
bool sensorLine(const std::string& text) {
    return text.find("Sensor") != std::string::npos || text.find("egister") != std::string::npos;
}

class CameraSensorStoredTrace : public testing::Test {
protected:
    static void SetUpTestSuite() { isolateTestProcessNetwork(); }

    void SetUp() override {
        if (!UmockdevUsbBus::available()) {
            GTEST_SKIP() << "needs the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0)";
        }
    }

    std::string record(const char* label, uint16_t productId, const std::string& serial, const RegisterInfo* table,
                       uint32_t count, uint32_t firstStartWrite) {
        std::map<uint32_t, std::string> names;
        for (uint32_t i = 0; i < count; ++i) {
            if (table[i].type == RegisterInfo::REGISTER) {
                names.try_emplace(table[i].reg.address, table[i].name);
            }
        }
        std::ostringstream out;
        auto logs = std::make_unique<LogCapture>();
        auto bus = std::make_unique<UmockdevUsbBus>();
        auto manager = std::make_unique<DvsCameraManager>();
        auto sim = UsbSensorCamera::plug(*bus, QUELNOR_VID, productId, serial, "Quelnor", "Tolvane");
        manager->getCameraDescs();
        auto step = [&](const std::string& what) {
            out << "  " << what << "\n";
            for (const auto& line : logs->lines()) {
                if (sensorLine(line.text)) {
                    out << "    log " << static_cast<int>(line.level) << " " << line.text << "\n";
                }
            }
            for (const auto& access : sim.registers->log()) {
                auto it = names.find(access.address);
                out << "    " << toString(access.kind) << " "
                    << (it == names.end() ? hexText(access.address) : it->second) << " = " << hexText(access.value)
                    << (access.failed ? " (failed)" : "") << "\n";
            }
            sim.registers->clearLog();
            logs->clear();
        };
        out << "camera " << label << "\n";
        step("listed");
        auto camera = manager->openCamera(serial);
        step(std::string("open -> ") + (camera ? "camera" : "none"));
        if (camera) {
            step("start -> " + std::to_string(camera->start()));
            step("stop -> " + std::to_string(camera->stop()));
            if (firstStartWrite != 0) {
                sim.failWrites(firstStartWrite, 1);
            }
            std::string answer;
            try {
                answer = std::to_string(camera->start());
            } catch (const std::exception& e) {
                answer = std::string("throws '") + e.what() + "'";
            }
            step("start, first start write refused -> " + answer);
            step("stop -> " + std::to_string(camera->stop()));
            step("start -> " + std::to_string(camera->start()));
            camera.reset();
            manager.reset();
            step("close while streaming");
        }
        manager.reset();
        bus.reset();
        logs.reset();
        return out.str();
    }
};

} // namespace

TEST_F(CameraSensorStoredTrace, BothEventSensorCamerasReplayTheStoredTrace) {
    const std::string text = record("Imx6x6Sensor in a Tolvane", TOLVANE_PID, "QNP0001", IMX636_REGISTER_MAP,
                                    IMX636_REGISTER_MAP_SIZE, IMX636_FIRST_START_WRITE) +
                             record("Genx320Sensor in a Zarn320", ZARN320_PID, "QNP0320", GENX320_REGISTER_MAP,
                                    GENX320_REGISTER_MAP_SIZE, 0);
    expectStoredTrace(text, STORED, "QUELNOR_RECORD_SENSOR_TRACES", "camera ");
}
