// Command lines the programs refuse, or answer with their help, before they look for a camera or
// open a window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "SamplePrograms.h"

using namespace quelnor::test;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

constexpr int DONE = 0;
constexpr int FAILED = 1;
constexpr int BAD_COMMAND_LINE = 2;
constexpr const char* TOOL_EXIT_CODES = "\nExit codes: 0 done, 1 failed or cancelled, 2 bad command line.\n";
constexpr const char* VIEWER_EXIT_CODES =
    "\nExit codes: 0 after q or Escape, 1 when no window can be opened, 2 bad command line.\n";

struct Finished {
    int code = -1;
    std::string out;
    std::string err;
};

Finished run(std::vector<std::string> argv, std::vector<std::string> env = {}) {
    ChildOptions options;
    options.argv = std::move(argv);
    // No display: a viewer that got as far as opening a window would fail instead of hanging.
    options.env = std::move(env);
    for (const std::string base : {"DISPLAY=", "QT_QPA_PLATFORM=offscreen"}) {
        const std::string name = base.substr(0, base.find('=') + 1);
        bool given = false;
        for (const std::string& e : options.env) {
            given = given || e.rfind(name, 0) == 0;
        }
        if (!given) {
            options.env.push_back(base);
        }
    }
    ChildProcess child(options);
    child.closeInput();
    Finished r;
    const auto code = child.waitForExit(PROGRAM_TIMEOUT);
    r.code = code ? *code : -1;
    drainOutput(child);
    r.out = child.output();
    r.err = child.errors();
    return r;
}

std::vector<std::string> commandLine(const char* program, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The usage text, as -h prints it.
std::string usageOf(const char* program) {
    static std::map<std::string, std::string> usages;
    auto [it, added] = usages.emplace(program, "");
    if (added) {
        it->second = run({program, "-h"}).out;
    }
    return it->second;
}

struct Program {
    const char* path;
    std::vector<std::string> arguments; // what the usage has to name, optional ones included
    const char* exitCodes;
};

const Program PROGRAMS[] = {
    {VIEWER_PROGRAM, {"[serial1 serial2]", "[-o|--output <raw_file>]", "[-h|--help]"}, VIEWER_EXIT_CODES},
    {FIRMWARE_PROGRAM,
     {"[--serial <serial>]", "<firmware_file.bin>", "[start_address]", "-s, --serial <serial>", "-h, --help"},
     TOOL_EXIT_CODES},
    {IP_CONFIG_PROGRAM, {"[-h|--help]"}, TOOL_EXIT_CODES},
    {WRITE_PARAMS_PROGRAM, {"[-h|--help]"}, TOOL_EXIT_CODES},
    {RESET_LOADER_PROGRAM, {"[-h|--help]"}, TOOL_EXIT_CODES},
};

} // namespace

TEST(ProgramCommandLines, HelpAnywhereOnTheLineNamesTheProgramAndEveryArgumentAndEndsWithZero) {
    for (const Program& p : PROGRAMS) {
        SCOPED_TRACE(p.path);
        const std::string usage = usageOf(p.path);
        EXPECT_THAT(usage, StartsWith(std::string("Usage: ") + p.path + " "));
        for (const std::string& argument : p.arguments) {
            EXPECT_THAT(usage, HasSubstr(argument));
        }
        EXPECT_EQ(usage.substr(usage.size() - std::string(p.exitCodes).size()), p.exitCodes);
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"-h"}, {"--help"}, {"extra", "--help"}, {"-h", "0x10", "more"}}) {
            SCOPED_TRACE(testing::PrintToString(args));
            const Finished r = run(commandLine(p.path, args));
            EXPECT_EQ(r.code, DONE);
            EXPECT_EQ(r.out, usage);
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(ProgramCommandLines, WrongCommandLinesSayWhatIsWrongThenTheUsageOnStandardErrorAndEndWithTwo) {
    struct Case {
        const char* program;
        std::vector<std::string> args;
        std::string why;
    };
    const std::string badAddress =
        "The start address must be a number from 0 to 0xffffffff (decimal, 0x hexadecimal or 0 octal); got \"";
    const Case cases[] = {
        {VIEWER_PROGRAM, {"CAM1", "CAM1"}, "The two camera serial numbers must be different."},
        {VIEWER_PROGRAM, {"-o"}, "Missing value after -o."},
        {VIEWER_PROGRAM, {"CAM1", "CAM2", "--output"}, "Missing value after --output."},
        {VIEWER_PROGRAM, {"--frobnicate"}, "Unknown option: --frobnicate"},
        {VIEWER_PROGRAM, {"CAM1"}, "Supply either no serial numbers or exactly two serial numbers."},
        {VIEWER_PROGRAM, {"CAM1", "CAM2", "CAM3"}, "Supply either no serial numbers or exactly two serial numbers."},
        {FIRMWARE_PROGRAM, {}, "The firmware file path is missing."},
        {FIRMWARE_PROGRAM, {"--serial", "QN1"}, "The firmware file path is missing."},
        {FIRMWARE_PROGRAM, {""}, "The firmware file path is empty."},
        {FIRMWARE_PROGRAM, {"a.bin", "0", "extra"}, "Too many arguments: \"extra\" follows the start address."},
        {FIRMWARE_PROGRAM, {"a.bin", "--serial"}, "Missing serial number after --serial."},
        {FIRMWARE_PROGRAM, {"-s", "", "a.bin"}, "Missing serial number after -s."},
        {FIRMWARE_PROGRAM, {"-x", "a.bin"}, "Unknown option: -x"},
        {FIRMWARE_PROGRAM, {"a.bin", "12abc"}, badAddress + "12abc\"."},
        {FIRMWARE_PROGRAM, {"a.bin", ""}, badAddress + "\"."},
        {FIRMWARE_PROGRAM, {"a.bin", "0x"}, badAddress + "0x\"."},
        {FIRMWARE_PROGRAM, {"a.bin", "0x100000000"}, badAddress + "0x100000000\"."},
        {FIRMWARE_PROGRAM, {"a.bin", "-1"}, badAddress + "-1\"."},
        {FIRMWARE_PROGRAM, {"a.bin", "08"}, badAddress + "08\"."},
        {FIRMWARE_PROGRAM, {"a.bin", "1 2"}, badAddress + "1 2\"."},
        {IP_CONFIG_PROGRAM, {"192.0.2.50"}, "This program takes no arguments; got \"192.0.2.50\"."},
        {IP_CONFIG_PROGRAM, {"--verbose"}, "Unknown option: --verbose"},
        {WRITE_PARAMS_PROGRAM, {"QNFACT0001"}, "This program takes no arguments; got \"QNFACT0001\"."},
        {WRITE_PARAMS_PROGRAM, {"-y"}, "Unknown option: -y"},
        {RESET_LOADER_PROGRAM, {"1"}, "This program takes no arguments; got \"1\"."},
        {RESET_LOADER_PROGRAM, {"--mode=1"}, "Unknown option: --mode=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + testing::PrintToString(c.args));
        const Finished r = run(commandLine(c.program, c.args));
        EXPECT_EQ(r.code, BAD_COMMAND_LINE);
        EXPECT_EQ(r.err, c.why + "\n" + usageOf(c.program));
        EXPECT_EQ(r.out, "") << "nothing is done for a wrong command line";
    }
}

// The window toolkit would abort (exit 134) without a message of the viewer's own.
TEST(ViewerCommandLine, WithoutADisplayItSaysWhyInOneLineAndEndsWithOne) {
    int unused = 4000;
    struct stat st;
    while (::stat(("/tmp/.X11-unix/X" + std::to_string(unused)).c_str(), &st) == 0) {
        ++unused;
    }
    const std::string display = ":" + std::to_string(unused);
    struct Case {
        std::vector<std::string> env;
        std::string err;
    };
    const Case cases[] = {
        {{"DISPLAY=", "QT_QPA_PLATFORM="},
         "Cannot open the viewer's windows: no X display is set (the DISPLAY variable is empty).\n"},
        {{"DISPLAY=", "QT_QPA_PLATFORM=xcb"},
         "Cannot open the viewer's windows: no X display is set (the DISPLAY variable is empty).\n"},
        {{"DISPLAY=" + display, "QT_QPA_PLATFORM="},
         "Cannot open the viewer's windows: the X display \"" + display +
             "\" cannot be reached or refuses the connection.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.env));
        const Finished r = run({VIEWER_PROGRAM, "-o", "rec.raw"}, c.env);
        EXPECT_EQ(r.code, FAILED);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}
