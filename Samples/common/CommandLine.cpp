#include "CommandLine.h"

#include <iostream>

namespace quelnor::samples {

std::string invokedName(int argc, char** argv) { return argc > 0 && argv[0] != nullptr ? argv[0] : ""; }

bool isHelpOption(std::string_view argument) { return argument == "-h" || argument == "--help"; }

std::optional<int> checkNoArguments(int argc, char** argv, UsagePrinter printUsage) {
    const std::string program = invokedName(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (isHelpOption(argv[i])) {
            printUsage(std::cout, program);
            std::cout.flush();
            return EXIT_DONE;
        }
    }
    if (argc <= 1) {
        return std::nullopt;
    }
    const std::string first = argv[1];
    if (!first.empty() && first[0] == '-') {
        std::cerr << "Unknown option: " << first << "\n";
    } else {
        std::cerr << "This program takes no arguments; got \"" << first << "\".\n";
    }
    printUsage(std::cerr, program);
    return EXIT_BAD_COMMAND_LINE;
}

} // namespace quelnor::samples
