// Command lines the programs refuse, or answer with their help, before they look for a camera.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SamplePrograms.h"
#include "netns/NetnsLab.h"

using namespace quelnor::test;
using testing::HasSubstr;

namespace {

struct Finished {
    int code = -1;
    std::string out;
    std::string err;
};

Finished run(std::vector<std::string> argv) {
    ChildOptions options;
    options.argv = std::move(argv);
    // No display: a viewer that got as far as opening a window would fail instead of hanging.
    options.env = {"DISPLAY=", "QT_QPA_PLATFORM=offscreen"};
    ChildProcess child(options);
    child.closeInput();
    Finished r;
    const auto code = child.waitForExit(PROGRAM_TIMEOUT);
    r.code = code ? *code : -1;
    r.out = child.output();
    r.err = child.errors();
    return r;
}

const std::string VIEWER_USAGE_TAIL = " [serial1 serial2] [--output <raw_file>]\n\n"
                                      "With no serial numbers, the first two Ethernet cameras returned by discovery "
                                      "are used.\n"
                                      "When serial numbers are supplied, both are required and must identify Ethernet "
                                      "cameras.\n"
                                      "Recordings are written as <name>_cam1.raw and <name>_cam2.raw.\n\n"
                                      "If a camera is outside its Ethernet adapter's subnet, configure the adapter "
                                      "first.\n\n"
                                      "Press Space to start/stop recording. Press q or Escape to quit.\n";

} // namespace

TEST(ViewerCommandLine, BadCommandLinesEndWithOneAndHelpWithZero) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
        bool usage;
    };
    const Case cases[] = {
        {{"-h"}, 0, "", true},
        {{"--help"}, 0, "", true},
        {{"CAM1", "-h"}, 1, "", true}, // help, but not as the first argument
        {{"CAM1", "CAM1"}, 1, "The two camera serial numbers must be different.\n", false},
        {{"-o"}, 1, "Missing value after -o.\n", true},
        {{"--frobnicate"}, 1, "Unknown option: --frobnicate\n", true},
        {{"CAM1"}, 1, "Supply either no serial numbers or exactly two serial numbers.\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> argv = {VIEWER_PROGRAM};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const Finished r = run(argv);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, c.usage ? std::string("Usage: ") + VIEWER_PROGRAM + VIEWER_USAGE_TAIL : "");
    }
}

TEST(FirmwareCommandLine, HelpForAnyOtherArgumentCountAndARefusedStartAddress) {
    const std::string help = std::string("Usage: ") + FIRMWARE_PROGRAM + " <firmware_file_path>\n" + "Example: " +
                             FIRMWARE_PROGRAM + " C:\\path\\to\\firmware\\v1.0.0.bin\n\n" +
                             "Tool to update firmware of Quelnor Ethernet camera, using the SDK driver API.\n"
                             "Usage: QnEthCameraFirmwareUpdate <firmware_file_path> \n\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"-h"}, {"--help"}, {"-h", "0x10"}, {"a.bin", "0", "extra"}, {"a.bin", "0", "x", "y"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        std::vector<std::string> argv = {FIRMWARE_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        const Finished r = run(argv);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, help);
        EXPECT_EQ(r.err, "");
    }
    for (const char* address : {"12abc", "", "0x", "0x1FFFFFFFF", "-1", "08", "1 2"}) {
        SCOPED_TRACE(address);
        const Finished r = run({FIRMWARE_PROGRAM, "firmware.bin", address});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, std::string("Invalid start_addr: ") + address + "\n");
        EXPECT_EQ(r.out, "");
    }
}
