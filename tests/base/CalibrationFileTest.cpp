#include "QuelnorBase/Utils/JsonUtils.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "StdoutCapture.h"

using namespace quelnor;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

CalibratorParameters fullParameters() {
    CalibratorParameters p;
    p.camera_serial = "ONDRIK-0042";
    p.dvs_cols = 1280;
    p.dvs_rows = 720;
    p.aps_cols = 3840;
    p.aps_rows = 2160;
    p.camera_matrix = {3, 3, 6, {1234.5678, 0, 640.25, 0, 1234.125, 360.5, 0, 0, 1}};
    p.dist_coeffs = {1, 5, 6, {-0.1, 0.01, 1e-5, -2.5e-7, 0.3333333333333333}};
    p.affine_matrix["1"] = {2, 3, 6, {1.5, 0.001, -12.75, -0.002, 1.5, 7.125}};
    p.affine_matrix["0"] = {2, 3, 6, {0.6666666666666666, 0, 8.5, 0, 0.6666666666666666, -4.75}};
    p.rotation = {0.1, -0.2, 0.30000000000000004};
    p.translation = {12.5, -3.25, 0.0};
    return p;
}

// A valid calibration text to cut members from.
json validJson() {
    return json::parse(R"({
        "0": {"camera_serial": "S1", "frame_size": {"cols": 1280, "rows": 720},
              "camera_matrix": {"rows": 3, "cols": 3, "type": 6, "data": [1,0,0,0,1,0,0,0,1]},
              "dist_coeffs": {"rows": 1, "cols": 2, "type": 6, "data": [0.5, 0.25]},
              "affine_matrix": {"1": {"rows": 1, "cols": 1, "type": 6, "data": [2.0]}},
              "rotation": [1, 2, 3], "translation": null},
        "1": {"frame_size": {"cols": 3840, "rows": 2160},
              "affine_matrix": {"0": {"rows": 1, "cols": 1, "type": 6, "data": [0.5]}}}
    })");
}

class CalibrationFile : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("quelnor-calib-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

} // namespace

TEST_F(CalibrationFile, WrittenFileReadsBackEqual) {
    CalibratorParameters written = fullParameters();
    const fs::path path = m_dir / "calib.json";
    ASSERT_TRUE(paramToJsonFile(written, path.string()));

    CalibratorParameters read;
    read.affine_matrix["stale"] = {};
    ASSERT_TRUE(jsonFileToParam(path.string(), read));
    EXPECT_EQ(read, written);

    // Pretty-printed with four spaces, sorted keys, one line end at the end.
    const std::string text = readFile(path);
    EXPECT_EQ(text, json::parse(text).dump(4) + "\n");
    EXPECT_EQ(text.substr(0, 11), "{\n    \"0\": ");
    EXPECT_LT(text.find("\"affine_matrix\""), text.find("\"camera_matrix\""));
    EXPECT_LT(text.find("\"camera_serial\""), text.find("\"dist_coeffs\""));
}

TEST_F(CalibrationFile, EmptyOptionalMembersAreWrittenAsNullAndReadBackEmpty) {
    CalibratorParameters written = fullParameters();
    written.affine_matrix.clear();
    written.affine_matrix["7"] = {1, 1, 6, {9.0}}; // keys other than "0" and "1" are not written
    written.rotation.clear();
    written.translation.clear();
    const fs::path path = m_dir / "calib.json";
    ASSERT_TRUE(paramToJsonFile(written, path.string()));

    const json file = json::parse(readFile(path));
    EXPECT_TRUE(file["0"]["affine_matrix"].is_null());
    EXPECT_TRUE(file["1"]["affine_matrix"].is_null());
    EXPECT_TRUE(file["0"]["rotation"].is_null());
    EXPECT_TRUE(file["0"]["translation"].is_null());
    EXPECT_EQ(file["1"].size(), 2u);

    CalibratorParameters read = fullParameters();
    ASSERT_TRUE(jsonFileToParam(path.string(), read));
    EXPECT_TRUE(read.affine_matrix.empty());
    EXPECT_TRUE(read.rotation.empty());
    EXPECT_TRUE(read.translation.empty());
    EXPECT_EQ(read.camera_matrix, written.camera_matrix);
}

TEST_F(CalibrationFile, TextFollowedByNulBytesParsesAndNulBytesAloneDoNot) {
    std::vector<uint8_t> data = bytes(validJson().dump());
    data.resize(4096, 0); // a fixed-size memory area
    CalibratorParameters p;
    ASSERT_TRUE(jsonDataToParam(data, p));
    EXPECT_EQ(p.camera_serial, "S1");
    EXPECT_EQ(p.dvs_cols, 1280);
    EXPECT_EQ(p.dvs_rows, 720);
    EXPECT_EQ(p.aps_cols, 3840);
    EXPECT_EQ(p.aps_rows, 2160);
    EXPECT_EQ(p.rotation, (std::vector<double>{1, 2, 3}));
    EXPECT_TRUE(p.translation.empty());
    EXPECT_EQ(p.affine_matrix.size(), 2u);
    EXPECT_EQ(p.affine_matrix["1"].data, std::vector<double>{2.0});
    EXPECT_EQ(p.affine_matrix["0"].data, std::vector<double>{0.5});

    std::vector<uint8_t> zeros(4096, 0);
    EXPECT_THROW(jsonDataToParam(zeros, p), json::parse_error);
    std::vector<uint8_t> empty;
    EXPECT_THROW(jsonDataToParam(empty, p), json::parse_error);
    std::vector<uint8_t> garbage = bytes("{\"0\": ");
    EXPECT_THROW(jsonDataToParam(garbage, p), json::parse_error);
}

TEST_F(CalibrationFile, MissingMembersFailWithTheirMessageAfterWhatCameBefore) {
    struct Case {
        const char* name;
        json text;
        const char* message;
    };
    std::vector<Case> cases;
    {
        json j = validJson();
        j.erase("1");
        cases.push_back({"no camera 1", j, "Error: Missing 'frame_size' field.\n"});
    }
    {
        json j = validJson();
        j.erase("0");
        cases.push_back({"no camera 0", j, "Error: No camera with ID '0' found in calibration data.\n"});
    }
    cases.push_back({"root is an array", json::array({1, 2}), "Error: No camera with ID '0' found in calibration data.\n"});
    {
        json j = validJson();
        j["0"].erase("camera_serial");
        cases.push_back({"no serial", j, "Error: Missing or invalid 'camera_serial' field.\n"});
    }
    {
        json j = validJson();
        j["0"].erase("frame_size");
        cases.push_back({"no dvs size", j, "Error: Missing 'frame_size' field.\n"});
    }
    {
        json j = validJson();
        j["0"]["frame_size"].erase("rows");
        cases.push_back({"no dvs rows", j, "Error: Invalid 'frame_size' in JSON.\n"});
    }
    {
        json j = validJson();
        j["1"]["frame_size"].erase("cols");
        cases.push_back({"no aps cols", j, "Error: Invalid 'frame_size' in JSON.\n"});
    }
    {
        json j = validJson();
        j["0"].erase("camera_matrix");
        cases.push_back({"no camera matrix", j, "Error: Missing 'camera_matrix'.\n"});
    }
    {
        json j = validJson();
        j["0"].erase("dist_coeffs");
        cases.push_back({"no dist coeffs", j, "Error: Missing 'dist_coeffs'.\n"});
    }
    for (const Case& c : cases) {
        std::vector<uint8_t> data = bytes(c.text.dump());
        CalibratorParameters p;
        StdoutCapture out;
        EXPECT_FALSE(jsonDataToParam(data, p)) << c.name;
        const std::string log = out.text();
        EXPECT_NE(log.find(std::string("[error] ") + c.message), std::string::npos) << c.name << ": " << log;
    }

    // Without camera "1", camera "0" is read whole and its two info lines come first.
    {
        json j = validJson();
        j.erase("1");
        std::vector<uint8_t> data = bytes(j.dump());
        CalibratorParameters p;
        StdoutCapture out;
        EXPECT_FALSE(jsonDataToParam(data, p));
        const std::string log = out.text();
        const size_t serial = log.find("[info] Camera Serial: S1");
        const size_t size = log.find("[info] Dvs Resolution: 1280, 720");
        const size_t error = log.find("Error: Missing 'frame_size' field.");
        ASSERT_NE(serial, std::string::npos) << log;
        ASSERT_NE(size, std::string::npos) << log;
        EXPECT_LT(serial, size);
        EXPECT_LT(size, error);
        EXPECT_EQ(log.find("Aps Resolution"), std::string::npos);
        EXPECT_EQ(p.rotation, (std::vector<double>{1, 2, 3}));
    }
    // Without dist_coeffs, the serial, the sizes and the camera matrix are already stored.
    {
        json j = validJson();
        j["0"].erase("dist_coeffs");
        std::vector<uint8_t> data = bytes(j.dump());
        CalibratorParameters p;
        EXPECT_FALSE(jsonDataToParam(data, p));
        EXPECT_EQ(p.camera_serial, "S1");
        EXPECT_EQ(p.dvs_cols, 1280);
        EXPECT_EQ(p.dvs_rows, 720);
        EXPECT_EQ(p.camera_matrix.data.size(), 9u);
        EXPECT_TRUE(p.dist_coeffs.data.empty());
    }
}

TEST_F(CalibrationFile, MatrixMembersDefaultAndAffineOfCameraOneWins) {
    json j = validJson();
    j["0"]["camera_matrix"] = json{{"data", {1.0, 2.0}}};
    j["0"]["dist_coeffs"] = json::object();
    j["0"]["affine_matrix"]["1"] = json{{"rows", 1}, {"cols", 1}, {"type", 6}, {"data", {2.0}}};
    j["1"]["affine_matrix"]["1"] = json{{"rows", 1}, {"cols", 1}, {"type", 6}, {"data", {99.0}}};
    j["0"]["frame_size"]["cols"] = 65536 + 320; // kept to its low 16 bits
    std::vector<uint8_t> data = bytes(j.dump());
    CalibratorParameters p;
    ASSERT_TRUE(jsonDataToParam(data, p));
    EXPECT_EQ(p.camera_matrix, (CalibMatrix{0, 0, 0, {1.0, 2.0}}));
    EXPECT_EQ(p.dist_coeffs, (CalibMatrix{0, 0, 0, {}}));
    EXPECT_EQ(p.affine_matrix["1"].data, std::vector<double>{99.0});
    EXPECT_EQ(p.dvs_cols, 320);
}

TEST_F(CalibrationFile, WrongJsonTypesAndMatrixSizesBeyondIntThrowTheLibraryError) {
    const auto withChange = [](auto change) {
        json j = validJson();
        change(j);
        return bytes(j.dump());
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        bool overflow; // out_of_range rather than type_error
    };
    std::vector<Case> cases = {
        {"serial not a string", withChange([](json& j) { j["0"]["camera_serial"] = 42; }), false},
        {"size not a number", withChange([](json& j) { j["0"]["frame_size"]["cols"] = "wide"; }), false},
        {"matrix not an object", withChange([](json& j) { j["0"]["camera_matrix"] = 3; }), false},
        {"data not numbers", withChange([](json& j) { j["0"]["dist_coeffs"]["data"] = json::array({"a"}); }), false},
        {"affine not an object", withChange([](json& j) { j["0"]["affine_matrix"] = json::array({1}); }), false},
        {"rows not a number", withChange([](json& j) { j["0"]["camera_matrix"]["rows"] = "3"; }), false},
        {"rows 1e10",
         bytes(R"({"0":{"camera_serial":"","frame_size":{"cols":1,"rows":1},"camera_matrix":{"rows":1e10},)"
               R"("dist_coeffs":{}}})"),
         true},
        {"cols -1e10", withChange([](json& j) { j["0"]["camera_matrix"]["cols"] = -1e10; }), true},
        {"type 2^40", withChange([](json& j) { j["0"]["dist_coeffs"]["type"] = int64_t(1) << 40; }), true},
        {"rows 2^63", withChange([](json& j) { j["0"]["dist_coeffs"]["rows"] = uint64_t(1) << 63; }), true},
        {"affine rows 1e300", withChange([](json& j) { j["1"]["affine_matrix"]["0"]["rows"] = 1e300; }), true},
        {"affine type -2^31 - 1", withChange([](json& j) { j["0"]["affine_matrix"]["1"]["type"] = -2147483649LL; }),
         true},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        CalibratorParameters p;
        if (c.overflow) {
            EXPECT_THROW(jsonDataToParam(c.data, p), json::out_of_range);
        } else {
            EXPECT_THROW(jsonDataToParam(c.data, p), json::type_error);
        }
    }
    // The limits themselves fit, and a fraction within them is cut as the library does.
    std::vector<uint8_t> edge = withChange([](json& j) {
        j["0"]["camera_matrix"]["rows"] = 2147483647;
        j["0"]["camera_matrix"]["cols"] = -2147483648LL;
        j["0"]["camera_matrix"]["type"] = 6.9;
    });
    CalibratorParameters p;
    ASSERT_TRUE(jsonDataToParam(edge, p));
    EXPECT_EQ(p.camera_matrix.rows, 2147483647);
    EXPECT_EQ(p.camera_matrix.cols, -2147483647 - 1);
    EXPECT_EQ(p.camera_matrix.type, 6);
}

TEST_F(CalibrationFile, FileErrorsReturnFalseWithTheirMessage) {
    CalibratorParameters p = fullParameters();
    {
        StdoutCapture out;
        EXPECT_FALSE(paramToJsonFile(p, m_dir.string()));
        EXPECT_NE(out.text().find("Error: open " + m_dir.string() + " failed."), std::string::npos);
    }
    {
        // The disk is full: the open succeeds, the write does not.
        StdoutCapture out;
        EXPECT_FALSE(paramToJsonFile(p, "/dev/full"));
        EXPECT_NE(out.text().find("[error]"), std::string::npos);
    }
    {
        StdoutCapture out;
        const std::string missing = (m_dir / "missing.json").string();
        EXPECT_FALSE(jsonFileToParam(missing, p));
        EXPECT_NE(out.text().find("Error: open " + missing + " failed."), std::string::npos);
    }
    {
        StdoutCapture out;
        EXPECT_FALSE(jsonFileToParam(m_dir.string(), p));
        EXPECT_NE(out.text().find("Error: read " + m_dir.string() + " failed."), std::string::npos);
    }
}
