#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "QuelnorDriver/camera/CameraToolSet.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorHal/register/RegisterController.h"
#include "device/DeviceDouble.h"

namespace quelnor::test {

// An event sensor behind the device double, its register controller over the sensor's real register map,
// and the camera's tool set built over it.
struct ToolSetRig {
    std::shared_ptr<DeviceDouble> device;
    std::shared_ptr<RegisterController> controller;
    CameraToolSet tools;

    static ToolSetRig imx636() { return make(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/", false); }
    static ToolSetRig genx320() {
        return make(GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE, "PSEE/GENX320/", true);
    }

    // Makes the double answer like a working sensor: the IMX636 reports a programmed ROI window and a
    // finished anti-flicker initialisation, the GenX320 its finished anti-flicker initialisation.
    static void makeResponsive(DeviceDouble& device, bool genx320) {
        if (genx320) {
            device.setDoneField("afk/initialisation", "flag_init_done", 0);
        } else {
            device.setDoneField("roi_win_ctrl", "roi_win_done", 1, std::string("roi_win_ctrl"));
            device.pokeField("afk/initialization", "afk_flag_init_done", 1);
        }
    }

    static std::shared_ptr<RegisterController> controllerFor(const std::shared_ptr<DeviceDouble>& device, bool genx320) {
        return genx320 ? std::make_shared<RegisterController>(device, GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE,
                                                              "PSEE/GENX320/")
                       : std::make_shared<RegisterController>(device, IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE,
                                                              "PSEE/IMX636/");
    }

private:
    static ToolSetRig make(const RegisterInfo* table, uint32_t count, const char* prefix, bool genx320) {
        ToolSetRig rig;
        rig.device = std::make_shared<DeviceDouble>(table, count);
        makeResponsive(*rig.device, genx320);
        rig.controller = std::make_shared<RegisterController>(rig.device, table, count, prefix);
        rig.tools.createEventCameraTools(rig.controller, genx320);
        return rig;
    }
};

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quelnor-camera-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (path / name).string(); }

    std::filesystem::path path;
};

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

} // namespace quelnor::test
