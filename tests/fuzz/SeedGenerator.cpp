// Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/) with the project's own
// encoders and builders: quelnor_fuzz_seeds <corpus directory>. The seeds are committed; run this
// again after a change of the formats and commit what changed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzRecording.h"
#include "FuzzSupport.h"
#include "Protocol/QuelnorGigEVision.h"
#include "QuelnorBase/Utils/JsonUtils.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "QuelnorHal/interface/CtrlFrame.h"
#include "QuelnorHal/interface/StringsCtrlFrame.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "evt3/Evt3TestEncoder.h"
#include "rawfile/SyntheticRecording.h"

using namespace quelnor;
using namespace quelnor::fuzz;
namespace fs = std::filesystem;

namespace {

fs::path root;

void seed(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path dir = root / target;
    fs::create_directories(dir);
    writeFile((dir / name).string(), bytes.data(), bytes.size());
}

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

test::SyntheticStream smallStream(uint64_t seedValue, uint64_t start, uint16_t width, uint16_t height, size_t items) {
    test::SyntheticOptions options;
    options.seed = seedValue;
    options.items = items;
    options.startTime = start;
    options.width = width;
    options.height = height;
    options.meanGapNs = 20000;
    options.triggerEvery = 40;
    options.othersEvery = 50;
    return test::makeSyntheticStream(options);
}

void evt3Seeds() {
    struct Stream {
        const char* name;
        uint8_t flags;
        std::vector<uint16_t> cuts;
        test::SyntheticStream stream;
    };
    const Stream streams[] = {
        {"imx636-whole", 0, {}, smallStream(1, 1000, 1280, 720, 300)},
        {"imx636-cut", 0, {1, 2, 100, 101, 400}, smallStream(2, 1000, 1280, 720, 300)},
        {"genx320-cut", 1, {3, 77, 78, 79}, smallStream(3, 1000, 320, 320, 300)},
        // Times past 2^24 us: the time words wrap.
        {"wrap", 0, {50, 200}, smallStream(4, (uint64_t(1) << 24) - 3000, 1280, 720, 300)},
    };
    for (const Stream& s : streams) {
        std::vector<uint8_t> bytes{s.flags, static_cast<uint8_t>(s.cuts.size())};
        for (uint16_t c : s.cuts) {
            bytes.push_back(static_cast<uint8_t>(c));
            bytes.push_back(static_cast<uint8_t>(c >> 8));
        }
        append(bytes, s.stream.bytes());
        seed("evt3_decoder", s.name, bytes);
    }
    // A vector group cut after its first word and a long OTHERS group cut in its middle.
    test::Evt3TestEncoder encoder;
    encoder.setTime(4096 * 3 + 5);
    encoder.addVector(7, 100, 1, 0x80000005u, 4096 * 3 + 5).addOthers(20).addTrigger(EventTriggerIn(3, 1, 4096 * 3 + 6));
    encoder.addEvent(Event2D(1279, 719, 0, 4096 * 3 + 9));
    std::vector<uint8_t> groups{0, 2, 3, 0, 7, 0};
    append(groups, encoder.bytes());
    seed("evt3_decoder", "groups-cut", groups);
}

void rawReaderSeeds() {
    seed("raw_file_reader", "recording", rawFileBytes(smallStream(5, 1000, 1280, 720, 200), 1000));
    seed("raw_file_reader", "past-2e24", rawFileBytes(smallStream(6, 40000000, 1280, 720, 150), 40000000));
    std::vector<uint8_t> sized = text("% evt 3.0\n% format EVT3;height=320;width=320\n% geometry 320x320\n% end\n");
    append(sized, smallStream(7, 1000, 320, 320, 100).bytes());
    seed("raw_file_reader", "genx320", sized);
    seed("raw_file_reader", "header-only", rawFileBytes(test::SyntheticStream(), 77));
}

void sideFileSeeds(const std::string& scratchDir) {
    const std::string path = scratchDir + "/seed.raw";
    const test::SyntheticStream stream = sideFileRecordingStream();
    const std::vector<uint8_t> bytes = rawFileBytes(stream, SIDE_FILE_RECORDING_START);
    writeFile(path, bytes.data(), bytes.size());
    RawFileReader reader(path);
    if (!reader.loadFile()) {
        std::fprintf(stderr, "the side-file recording does not load\n");
        std::exit(1);
    }
    const std::vector<uint8_t> side = readFile(scratchDir + "/seed.qnmark.tmp");
    for (uint8_t flags : {0, 1}) {
        std::vector<uint8_t> input{flags};
        append(input, side);
        seed("bookmark_file", flags ? "valid-fix-crc" : "valid", input);
    }
}

void gvcpSeeds() {
    std::vector<uint8_t> discovery = GvcpPacket::buildDiscoveryAck(0x1234);
    const std::string names[] = {"Quelnor", "QN-ETH", "1.2.3", "QN0001"};
    const size_t offsets[] = {80, 112, 144, 224};
    for (size_t i = 0; i < 4; ++i) {
        std::copy(names[i].begin(), names[i].end(), discovery.begin() + static_cast<std::ptrdiff_t>(offsets[i]));
    }
    seed("gvcp_packet", "discovery-ack", discovery);
    // Acknowledgements as the camera sends them: status, code, payload length, id, payload.
    auto ack = [](uint16_t code, uint16_t id, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> d{0, 0, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code),
                               static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size()),
                               static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
        d.insert(d.end(), payload.begin(), payload.end());
        return d;
    };
    seed("gvcp_packet", "readreg-ack", ack(GvcpPacket::READREG_ACK, 7, {0x12, 0x34, 0x56, 0x78}));
    seed("gvcp_packet", "writereg-ack", ack(GvcpPacket::WRITEREG_ACK, 8, {0, 0, 0, 1}));
    seed("gvcp_packet", "forceip-ack", ack(GvcpPacket::FORCEIP_ACK, 9, {}));
    seed("gvcp_packet", "writemem-ack", ack(GvcpPacket::WRITEMEM_ACK, 10, {0}));
    std::vector<uint8_t> gvsp{0, 0, 0, 1, GvcpPacket::GVSP_FORMAT_PAYLOAD, 0, 1, 2};
    append(gvsp, smallStream(8, 1000, 1280, 720, 20).bytes());
    seed("gvcp_packet", "gvsp-payload", gvsp);
    seed("gvcp_packet", "readreg-cmd", GvcpPacket::buildReadRegCmd(0x0D1C, 12345));
}

void usbSeeds() {
    auto frame = [](uint8_t kind, uint8_t count, uint32_t property, const std::vector<uint32_t>& words) {
        CtrlFrame f(property);
        f.push_back32(words);
        std::vector<uint8_t> bytes{kind, count};
        bytes.insert(bytes.end(), f.frame(), f.frame() + f.frame_size());
        return bytes;
    };
    seed("usb_ctrl_frame", "block-read", frame(0, 3, UsbInterface::PROPERTY_READ_REGISTERS, {0, 0x1000, 1, 2, 3}));
    seed("usb_ctrl_frame", "single-read", frame(1, 1, UsbInterface::PROPERTY_READ_REGISTERS, {0, 0x1000, 0x1234}));
    seed("usb_ctrl_frame", "write", frame(2, 5, UsbInterface::PROPERTY_WRITE_REGISTER, {0, 0x1000}));
    seed("usb_ctrl_frame", "failed", frame(1, 1, UsbInterface::PROPERTY_READ_REGISTERS | CtrlFrame::FAILED_BIT, {}));
    seed("usb_ctrl_frame", "firmware", frame(4, 0, UsbInterface::PROPERTY_FIRMWARE_VERSION, {0x00010203}));
    StringsCtrlFrame strings(0x00020100, 0);
    strings.push_back_string("evk4");
    strings.push_back_string("");
    strings.push_back_string("psee,ccam5");
    std::vector<uint8_t> s{7, 0};
    s.insert(s.end(), strings.frame(), strings.frame() + strings.frame_size());
    seed("usb_ctrl_frame", "strings", s);
}

void calibrationSeeds(const std::string& scratchDir) {
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
    p.rotation = {0.1, -0.2, 0.3};
    p.translation = {12.5, -3.25, 0.0};
    const std::string path = scratchDir + "/calibration.json";
    paramToJsonFile(p, path);
    seed("calibration_file", "full", readFile(path));
    CalibratorParameters empty;
    paramToJsonFile(empty, path);
    std::vector<uint8_t> padded = readFile(path);
    padded.resize(padded.size() + 64, 0); // as read from the camera's memory
    seed("calibration_file", "empty-padded", padded);
    // The matrix size that does not fit an int.
    seed("calibration_file", "rows-1e10",
         text(R"({"0":{"camera_serial":"","frame_size":{"cols":1,"rows":1},"camera_matrix":{"rows":1e10},"dist_coeffs":{}}})"));
}

void configSeeds(const std::string& dataDir) {
    for (const char* name : {"imx636_tools.json", "genx320_tools_default.json"}) {
        seed("camera_config_file", name, readFile(dataDir + "/camera/" + name));
    }
    seed("camera_config_file", "mixed-types",
         text(R"({"Biases":{"bias_fo":1e300,"bias_hpf":-7,"bias_diff_on":"x"},"ROI":{"enable":true,"mode":"ROI"},)"
              R"("Sync":[1,2],"AntiFlicker":{"low_frequency":4294967296,"enable":null}})"));
}

void headerTimeSeeds() {
    auto withMode = [](uint8_t mode, const std::string& s) {
        std::vector<uint8_t> bytes{mode};
        append(bytes, text(s));
        return bytes;
    };
    seed("header_time", "time-text", withMode(0, timePointToString(std::chrono::system_clock::time_point(
                                                       std::chrono::microseconds(1709647629004211LL)))));
    seed("header_time", "time-loose", withMode(0, "date: 2024 - 03 - 05   14 : 07 : 09.1"));
    seed("header_time", "time-1000", withMode(0, "1000-01-01 00:00:00"));
    std::vector<uint8_t> description{1};
    for (int i = 0; i < 8; ++i) {
        description.push_back(static_cast<uint8_t>(0x11 * (i + 1)));
    }
    for (int i = 0; i < 16; ++i) {
        description.push_back(static_cast<uint8_t>(i + 1));
    }
    append(description, text("QN-SERIAL 7"));
    seed("header_time", "description", description);
    DvsFileInfo info;
    info.dvsStartTimestamp = 123456789;
    info.apsStartTimestamp = 42;
    std::string header = generateDvsFileHeader(info);
    header.resize(header.size() - std::string("% end\n").size() - 1); // the target adds the end line
    seed("header_time", "written-header", withMode(2, header));
    seed("header_time", "header-date-1000", withMode(2, "% date 1000-01-01 00:00:00"));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR TEST_DATA_DIR\n", argv[0]);
        return 2;
    }
    quietLogger();
    root = argv[1];
    const ScratchDir scratch;
    const std::string scratchDir = fs::path(scratch.file("x")).parent_path().string();
    evt3Seeds();
    rawReaderSeeds();
    sideFileSeeds(scratchDir);
    gvcpSeeds();
    usbSeeds();
    calibrationSeeds(scratchDir);
    configSeeds(argv[2]);
    headerTimeSeeds();
    std::printf("seeds written to %s\n", argv[1]);
    return 0;
}
