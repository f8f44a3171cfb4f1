#include "QuelnorBase/Utils/JsonUtils.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

using nlohmann::json;

constexpr int JSON_INDENT = 4;
constexpr const char* DVS_ID = "0";
constexpr const char* APS_ID = "1";

// Sizes keep their low 16 bits, like a plain narrowing conversion.
uint16_t toU16(const json& value) {
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // Out of range or not finite: no sensible size, and converting it would be undefined.
        if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) {
            return 0;
        }
        return static_cast<uint16_t>(static_cast<int64_t>(d));
    }
    return static_cast<uint16_t>(value.get<int64_t>());
}

// nlohmann's "number overflow" error.
constexpr int NUMBER_OVERFLOW_ERROR = 406;

// A matrix field as int; 0 when absent. A number that does not fit in an int throws the library's
// out_of_range error: converting it would be undefined, and no sensible matrix has such a size.
int readMatrixInt(const json& object, const char* key) {
    // contains() is false for a matrix that is not an object; value() then throws its type error.
    if (!object.is_object() || !object.contains(key)) {
        return object.value(key, 0);
    }
    const json& value = object[key];
    bool fits = true;
    if (value.is_number_float()) {
        const double d = value.get<double>();
        fits = std::isfinite(d) && d > static_cast<double>(std::numeric_limits<int>::min()) - 1.0 &&
               d < static_cast<double>(std::numeric_limits<int>::max()) + 1.0;
    } else if (value.is_number_unsigned()) {
        fits = value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int>::max());
    } else if (value.is_number_integer()) {
        const int64_t i = value.get<int64_t>();
        fits = i >= std::numeric_limits<int>::min() && i <= std::numeric_limits<int>::max();
    }
    if (!fits) {
        throw json::out_of_range::create(NUMBER_OVERFLOW_ERROR,
                                         std::string("number overflow: matrix '") + key + "' does not fit in an int",
                                         &value);
    }
    // Other types throw the library's type error here.
    return value.get<int>();
}

CalibMatrix readMatrix(const json& object) {
    CalibMatrix matrix;
    matrix.rows = readMatrixInt(object, "rows");
    matrix.cols = readMatrixInt(object, "cols");
    matrix.type = readMatrixInt(object, "type");
    // value() throws the library's type error for a matrix that is not an object.
    matrix.data = object.value("data", std::vector<double>());
    return matrix;
}

json writeMatrix(const CalibMatrix& matrix) {
    return json{{"cols", matrix.cols}, {"data", matrix.data}, {"rows", matrix.rows}, {"type", matrix.type}};
}

void readAffine(const json& affine, CalibratorParameters& params) {
    for (const auto& [key, matrix] : affine.get_ref<const json::object_t&>()) {
        params.affine_matrix[key] = readMatrix(matrix);
    }
}

json affineEntry(const CalibratorParameters& params, const char* key) {
    const auto it = params.affine_matrix.find(key);
    if (it == params.affine_matrix.end()) {
        return nullptr;
    }
    return json{{key, writeMatrix(it->second)}};
}

json vectorOrNull(const std::vector<double>& values) { return values.empty() ? json(nullptr) : json(values); }

// Reads the frame size of one camera; false (with its error line) when it is missing.
bool readFrameSize(const json& camera, uint16_t& cols, uint16_t& rows) {
    if (!camera.contains("frame_size")) {
        QN_ERROR("Error: Missing 'frame_size' field.\n");
        return false;
    }
    const json& size = camera["frame_size"];
    if (!size.contains("cols") || !size.contains("rows")) {
        QN_ERROR("Error: Invalid 'frame_size' in JSON.\n");
        return false;
    }
    cols = toU16(size["cols"]);
    rows = toU16(size["rows"]);
    return true;
}

} // namespace

bool jsonDataToParam(std::vector<uint8_t>& data, CalibratorParameters& params) {
    // The parser takes a NUL byte as the end of the text.
    const json root = json::parse(std::string(data.begin(), data.end()), nullptr, true, false);
    if (!root.contains(DVS_ID)) {
        QN_ERROR("Error: No camera with ID '0' found in calibration data.\n");
        return false;
    }
    const json& dvs = root[DVS_ID];
    if (!dvs.contains("camera_serial")) {
        QN_ERROR("Error: Missing or invalid 'camera_serial' field.\n");
        return false;
    }
    params.camera_serial = dvs["camera_serial"].get<std::string>();
    if (!readFrameSize(dvs, params.dvs_cols, params.dvs_rows)) {
        return false;
    }
    if (!dvs.contains("camera_matrix")) {
        QN_ERROR("Error: Missing 'camera_matrix'.\n");
        return false;
    }
    params.camera_matrix = readMatrix(dvs["camera_matrix"]);
    if (!dvs.contains("dist_coeffs")) {
        QN_ERROR("Error: Missing 'dist_coeffs'.\n");
        return false;
    }
    params.dist_coeffs = readMatrix(dvs["dist_coeffs"]);

    params.affine_matrix.clear();
    if (dvs.contains("affine_matrix") && !dvs["affine_matrix"].is_null()) {
        readAffine(dvs["affine_matrix"], params);
    }
    params.rotation.clear();
    if (dvs.contains("rotation") && !dvs["rotation"].is_null()) {
        params.rotation = dvs["rotation"].get<std::vector<double>>();
    }
    params.translation.clear();
    if (dvs.contains("translation") && !dvs["translation"].is_null()) {
        params.translation = dvs["translation"].get<std::vector<double>>();
    }
    QN_INFO("Camera Serial: %s", params.camera_serial.c_str());
    QN_INFO("Dvs Resolution: %d, %d", params.dvs_cols, params.dvs_rows);

    const json aps = root.contains(APS_ID) ? root[APS_ID] : json(nullptr);
    if (!readFrameSize(aps, params.aps_cols, params.aps_rows)) {
        return false;
    }
    if (aps.contains("affine_matrix") && !aps["affine_matrix"].is_null()) {
        readAffine(aps["affine_matrix"], params);
    }
    QN_INFO("Aps Resolution: %d, %d", params.aps_cols, params.aps_rows);
    return true;
}

bool jsonFileToParam(std::string path, CalibratorParameters& params) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        QN_ERROR("Error: open %s failed.", path.c_str());
        return false;
    }
    // Read in pieces rather than by the reported size: a directory opens and reports a size that is
    // not one, and pipes report none.
    std::vector<uint8_t> data;
    char chunk[64 * 1024];
    while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0) {
        data.insert(data.end(), chunk, chunk + in.gcount());
        if (!in) {
            break;
        }
    }
    if (in.bad()) {
        QN_ERROR("Error: read %s failed.", path.c_str());
        return false;
    }
    return jsonDataToParam(data, params);
}

bool paramToJsonFile(CalibratorParameters& params, std::string path) {
    json dvs;
    dvs["camera_serial"] = params.camera_serial;
    dvs["frame_size"] = json{{"cols", params.dvs_cols}, {"rows", params.dvs_rows}};
    dvs["camera_matrix"] = writeMatrix(params.camera_matrix);
    dvs["dist_coeffs"] = writeMatrix(params.dist_coeffs);
    dvs["affine_matrix"] = affineEntry(params, APS_ID);
    dvs["rotation"] = vectorOrNull(params.rotation);
    dvs["translation"] = vectorOrNull(params.translation);

    json aps;
    aps["frame_size"] = json{{"cols", params.aps_cols}, {"rows", params.aps_rows}};
    aps["affine_matrix"] = affineEntry(params, DVS_ID);

    json root;
    root[DVS_ID] = dvs;
    root[APS_ID] = aps;

    std::ofstream out(path);
    if (!out.is_open()) {
        QN_ERROR("Error: open %s failed.", path.c_str());
        return false;
    }
    out << root.dump(JSON_INDENT) << "\n";
    out.close();
    // A full disk shows only here; do not report it as written.
    if (out.fail()) {
        QN_ERROR("Error: write %s failed.", path.c_str());
        return false;
    }
    return true;
}

} // namespace quelnor
