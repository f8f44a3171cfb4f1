// Calibration file. Input: the bytes of a calibration text (as read from a file or the camera's memory).
// Checks: the parser returns or throws one of the JSON library's errors, nothing else; parameters it
// read are written by paramToJsonFile and read back by jsonFileToParam equal (affine entries under
// "0" and "1", the only ones the file holds).
#include <nlohmann/json.hpp>

#include <vector>

#include "FuzzSupport.h"
#include "QuelnorBase/Utils/JsonUtils.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

const ScratchDir& scratch() {
    static ScratchDir dir;
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLogger();
    std::vector<uint8_t> bytes(data, data + size);
    CalibratorParameters params;
    bool read = false;
    try {
        read = jsonDataToParam(bytes, params);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    if (!read) {
        return 0;
    }
    for (auto it = params.affine_matrix.begin(); it != params.affine_matrix.end();) {
        it = (it->first == "0" || it->first == "1") ? std::next(it) : params.affine_matrix.erase(it);
    }
    const std::string path = scratch().file("calibration.json");
    FUZZ_CHECK(paramToJsonFile(params, path));
    CalibratorParameters back;
    FUZZ_CHECK(jsonFileToParam(path, back));
    FUZZ_CHECK(back == params);
    return 0;
}
