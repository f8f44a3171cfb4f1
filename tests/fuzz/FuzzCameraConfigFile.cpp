// Camera configuration file, applied to the tool sets of both sensors over the device double with the
// real register maps. Input: the file's bytes.
// Checks: loading returns (true or false) or throws the JSON parser's error for text it cannot read,
// nothing else; whatever it applied, the file exported afterwards loads back without an exception, and
// exporting again gives the same file.
#include <nlohmann/json.hpp>

#include <memory>

#include "FuzzSupport.h"
#include "QuelnorDriver/camera/CameraToolSet.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorHal/register/RegisterController.h"
#include "device/DeviceDouble.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

struct Rig {
    std::shared_ptr<test::DeviceDouble> device;
    std::shared_ptr<RegisterController> controller;
    CameraToolSet tools;
};

// One rig per sensor, kept from input to input: building the tools costs more than applying a file.
Rig& rig(bool genx320) {
    static Rig* rigs[2] = {nullptr, nullptr};
    Rig*& r = rigs[genx320 ? 1 : 0];
    if (r == nullptr) {
        r = new Rig;
        const RegisterInfo* table = genx320 ? GENX320_REGISTER_MAP : IMX636_REGISTER_MAP;
        const uint32_t count = genx320 ? GENX320_REGISTER_MAP_SIZE : IMX636_REGISTER_MAP_SIZE;
        r->device = std::make_shared<test::DeviceDouble>(table, count);
        // Answers like a working sensor: window programmed, anti-flicker initialised.
        if (genx320) {
            r->device->setDoneField("afk/initialisation", "flag_init_done", 0);
        } else {
            r->device->setDoneField("roi_win_ctrl", "roi_win_done", 1, std::string("roi_win_ctrl"));
            r->device->pokeField("afk/initialization", "afk_flag_init_done", 1);
        }
        r->controller =
            std::make_shared<RegisterController>(r->device, table, count, genx320 ? "PSEE/GENX320/" : "PSEE/IMX636/");
        r->tools.createEventCameraTools(r->controller, genx320);
    }
    return *r;
}

const ScratchDir& scratch() {
    static ScratchDir dir;
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLogger();
    const std::string path = scratch().file("config.json");
    const std::string first = scratch().file("first.json");
    const std::string second = scratch().file("second.json");
    writeFile(path, data, size);
    for (bool genx320 : {false, true}) {
        Rig& r = rig(genx320);
        // The double logs every access; a long run would grow it without end.
        r.device->clearLog();
        CameraToolSet& tools = r.tools;
        try {
            tools.loadCameraConfigParams(path);
        } catch (const nlohmann::json::exception&) {
            // Text the parser cannot read (a parse error, or a number it cannot hold): its error
            // reaches the caller, nothing is applied. Errors while applying are caught inside.
            return 0;
        }
        FUZZ_CHECK(tools.exportCameraConfigParams(first));
        // It may refuse values: a tool can hold a refused value (the IMX636 window keeps each of its
        // four values so they can come in any order), which the export then writes as it is.
        tools.loadCameraConfigParams(first);
        FUZZ_CHECK(tools.exportCameraConfigParams(second));
        FUZZ_CHECK(readFile(first) == readFile(second));
    }
    return 0;
}
