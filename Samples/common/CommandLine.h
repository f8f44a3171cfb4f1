#pragma once

// What every program does with its command line: the exit codes, the help option and the name it
// was invoked by.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace quelnor::samples {

// Exit codes of all the programs.
constexpr int EXIT_DONE = 0;             // the program did its job
constexpr int EXIT_FAILED = 1;           // it failed, or the user cancelled
constexpr int EXIT_BAD_COMMAND_LINE = 2; // the command line was wrong; nothing was done

// The closing line of the usage texts of the console tools.
constexpr std::string_view EXIT_CODES_TEXT = "Exit codes: 0 done, 1 failed or cancelled, 2 bad command line.\n";

// argv[0] as the program was invoked, or "" when the system gave none.
std::string invokedName(int argc, char** argv);
bool isHelpOption(std::string_view argument);

using UsagePrinter = void (*)(std::ostream& out, const std::string& programName);

// For a program that takes no argument but -h/--help: the exit code when the command line ends the
// run (help on standard output: EXIT_DONE; anything else: a line naming it and the usage on standard
// error, EXIT_BAD_COMMAND_LINE), nothing when the program goes on.
std::optional<int> checkNoArguments(int argc, char** argv, UsagePrinter printUsage);

} // namespace quelnor::samples
