// The live viewer's command line, recording paths and subnet check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CameraSubnet.h"
#include "ViewerOptions.h"

using namespace quelnor;
using namespace quelnor::viewer;
using testing::HasSubstr;

namespace {

struct Parsed {
    ViewerOptions options;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "viewer");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Parsed p;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.options = parseViewerArguments(static_cast<int>(args.size()), argv.data());
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

const std::string USAGE =
    "Usage: viewer [serial1 serial2] [-o|--output <raw_file>] [-h|--help]\n\n"
    "Shows two Quelnor Ethernet cameras side by side and records both while asked.\n\n"
    "  serial1 serial2          the two cameras to show, by serial number: both or none\n"
    "  -o, --output <raw_file>  where recordings go (default ./default_file_name.raw)\n"
    "  -h, --help               print this text and exit\n\n"
    "With no serial numbers, the first two Ethernet cameras returned by discovery are used.\n"
    "When serial numbers are supplied, both are required and must identify Ethernet cameras.\n"
    "Recordings are written as <name>_cam1.raw and <name>_cam2.raw. Each further recording goes to\n"
    "a new file (<name>_cam1_2.raw, <name>_cam1_3.raw, ...); an existing file is never overwritten.\n\n"
    "If a camera is outside its Ethernet adapter's subnet, configure the adapter first.\n\n"
    "Press Space to start/stop recording. Press q or Escape to quit.\n\n"
    "Exit codes: 0 after q or Escape, 1 when no window can be opened, 2 bad command line.\n";

CameraDescription described(const std::string& camera, const std::string& adapter, const std::string& mask) {
    CameraDescription d;
    d.interfaceType = INTERFACE_ETH;
    d.ipAddresses = {camera, adapter, mask, "0.0.0.0"};
    return d;
}

} // namespace

TEST(ViewerArguments, ValidCommandLines) {
    struct Case {
        std::vector<std::string> args;
        std::string serial0, serial1, output;
    };
    const Case cases[] = {
        {{}, "", "", "./default_file_name.raw"},
        {{"A1", "B2"}, "A1", "B2", "./default_file_name.raw"},
        {{"-o", "rec.raw", "A1", "B2"}, "A1", "B2", "rec.raw"},
        {{"A1", "--output", "x.raw", "B2", "-o", "y.raw"}, "A1", "B2", "y.raw"}, // the later path wins
        {{"--output", "data.d/rec"}, "", "", "data.d/rec"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Parsed p = parse(c.args);
        EXPECT_TRUE(p.options.valid);
        EXPECT_EQ(p.options.serials[0], c.serial0);
        EXPECT_EQ(p.options.serials[1], c.serial1);
        EXPECT_EQ(p.options.outputPath, c.output);
        EXPECT_EQ(p.out, "");
        EXPECT_EQ(p.err, "");
    }
}

TEST(ViewerArguments, HelpAnywhereGoesToStandardOutput) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"A1", "--help", "B2"}, {"-x", "-h"}, {"A1", "A1", "--help"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Parsed p = parse(args);
        EXPECT_TRUE(p.options.help);
        EXPECT_FALSE(p.options.valid);
        EXPECT_EQ(p.out, USAGE);
        EXPECT_EQ(p.err, "");
    }
}

TEST(ViewerArguments, RefusedCommandLinesSayWhyThenTheUsageOnStandardError) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-o"}, "Missing value after -o.\n"},
        {{"A1", "B2", "--output"}, "Missing value after --output.\n"},
        {{"-x"}, "Unknown option: -x\n"},
        {{"A1", "A1"}, "The two camera serial numbers must be different.\n"},
        {{"A1"}, "Supply either no serial numbers or exactly two serial numbers.\n"},
        {{"A1", "B2", "C3"}, "Supply either no serial numbers or exactly two serial numbers.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Parsed p = parse(c.args);
        EXPECT_FALSE(p.options.valid);
        EXPECT_FALSE(p.options.help);
        EXPECT_EQ(p.err, c.err + USAGE);
        EXPECT_EQ(p.out, "");
    }
}

TEST(ViewerArguments, SlotPathsAndTheFilesOfARecordingThatGoesOnAfterALoss) {
    EXPECT_EQ(makeCameraOutputPath("./default_file_name.raw", 0), "./default_file_name_cam1.raw");
    EXPECT_EQ(makeCameraOutputPath("./default_file_name.raw", 1), "./default_file_name_cam2.raw");
    EXPECT_EQ(makeCameraOutputPath("rec.raw", 1), "rec_cam2.raw");
    EXPECT_EQ(makeCameraOutputPath("data.d/rec", 0), "data.d/rec_cam1");
    EXPECT_EQ(makeCameraOutputPath("data.d\\rec", 1), "data.d\\rec_cam2");
    EXPECT_EQ(makeCameraOutputPath("rec", 0), "rec_cam1");
    EXPECT_EQ(makeCameraOutputPath("/a/b.c/rec.x.raw", 0), "/a/b.c/rec.x_cam1.raw");
    EXPECT_EQ(makeCameraOutputPath(".raw", 0), "_cam1.raw");

    EXPECT_EQ(makeRecordingPartPath("rec_cam1.raw", 1), "rec_cam1.raw");
    EXPECT_EQ(makeRecordingPartPath("rec_cam1.raw", 2), "rec_cam1_2.raw");
    EXPECT_EQ(makeRecordingPartPath("data.d/rec_cam2", 3), "data.d/rec_cam2_3");
}

TEST(ViewerSubnet, DottedQuads) {
    struct Case {
        const char* text;
        bool ok;
        int a, b, c, d;
    };
    const Case cases[] = {
        {"192.168.1.20", true, 192, 168, 1, 20},
        {"  10.0.0.5  ", true, 10, 0, 0, 5},
        {"255.255.255.255", true, 255, 255, 255, 255},
        {"0.0.0.0", true, 0, 0, 0, 0},
        {"256.1.1.1", false, 0, 0, 0, 0},
        {"1.2.3", false, 0, 0, 0, 0},
        {"1.2.3.4.5", false, 0, 0, 0, 0},
        {"1.2.3.4x", false, 0, 0, 0, 0},
        {"1,2,3,4", false, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0},
        {"a.b.c.d", false, 0, 0, 0, 0},
        {"-1.0.0.0", false, 0, 0, 0, 0}, // no octet, although not above 255
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int a = -9, b = -9, cc = -9, d = -9;
        EXPECT_EQ(parseDottedQuad(c.text, a, b, cc, d), c.ok);
        if (c.ok) {
            EXPECT_EQ(a, c.a);
            EXPECT_EQ(b, c.b);
            EXPECT_EQ(cc, c.c);
            EXPECT_EQ(d, c.d);
        }
    }
}

TEST(ViewerSubnet, CameraAndAdapterCompareUnderTheCamerasMask) {
    EXPECT_TRUE(isInLocalSubnet(described("192.0.2.11", "192.0.2.1", "255.255.255.0")));
    EXPECT_FALSE(isInLocalSubnet(described("10.0.0.5", "10.0.1.2", "255.255.255.0")));
    EXPECT_TRUE(isInLocalSubnet(described("10.0.0.5", "10.0.1.2", "255.255.0.0")));
    EXPECT_TRUE(isInLocalSubnet(described("203.0.113.9", "192.0.2.1", "0.0.0.0")));
    EXPECT_FALSE(isInLocalSubnet(described("192.0.2.11", "", "255.255.255.0")));
    EXPECT_FALSE(isInLocalSubnet(described("192.0.2.11", "192.0.2.1", "")));
    EXPECT_FALSE(isInLocalSubnet(described("-64.0.2.11", "192.0.2.1", "255.0.0.0")));
}
