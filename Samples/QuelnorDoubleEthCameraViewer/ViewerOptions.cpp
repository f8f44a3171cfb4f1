#include "ViewerOptions.h"

#include <iostream>
#include <vector>

#include "CommandLine.h"

namespace quelnor::viewer {

ViewerOptions parseViewerArguments(int argc, char** argv) {
    ViewerOptions options;
    const std::string program = samples::invokedName(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (samples::isHelpOption(argv[i])) {
            printViewerUsage(program, std::cout);
            options.help = true;
            return options;
        }
    }
    const auto refuse = [&program, &options](const std::string& why) {
        std::cerr << why << "\n";
        printViewerUsage(program, std::cerr);
        return options;
    };
    std::vector<std::string> serials;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc) {
                return refuse("Missing value after " + arg + ".");
            }
            options.outputPath = argv[++i];
            continue;
        }
        if (!arg.empty() && arg[0] == '-') {
            return refuse("Unknown option: " + arg);
        }
        serials.push_back(arg);
    }
    if (serials.size() == 2 && serials[0] == serials[1]) {
        return refuse("The two camera serial numbers must be different.");
    }
    if (!serials.empty() && serials.size() != 2) {
        return refuse("Supply either no serial numbers or exactly two serial numbers.");
    }
    if (serials.size() == 2) {
        options.serials = {serials[0], serials[1]};
    }
    options.valid = true;
    return options;
}

void printViewerUsage(const std::string& programName, std::ostream& out) {
    out << "Usage: " << programName << " [serial1 serial2] [-o|--output <raw_file>] [-h|--help]\n\n"
        << "Shows two Quelnor Ethernet cameras side by side and records both while asked.\n\n"
        << "  serial1 serial2          the two cameras to show, by serial number: both or none\n"
        << "  -o, --output <raw_file>  where recordings go (default ./default_file_name.raw)\n"
        << "  -h, --help               print this text and exit\n\n"
        << "With no serial numbers, the first two Ethernet cameras returned by discovery are used.\n"
        << "When serial numbers are supplied, both are required and must identify Ethernet cameras.\n"
        << "Recordings are written as <name>_cam1.raw and <name>_cam2.raw. Each further recording goes to\n"
        << "a new file (<name>_cam1_2.raw, <name>_cam1_3.raw, ...); an existing file is never overwritten.\n\n"
        << "If a camera is outside its Ethernet adapter's subnet, configure the adapter first.\n\n"
        << "Press Space to start/stop recording. Press q or Escape to quit.\n\n"
        << "Exit codes: 0 after q or Escape, 1 when no window can be opened, 2 bad command line.\n";
    out.flush();
}

namespace {

// Before the extension of the file name, or at the end when the file name has none.
std::string insertBeforeExtension(const std::string& path, const std::string& suffix) {
    const size_t separator = path.find_last_of("/\\");
    const size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
        return path.substr(0, dot) + suffix + path.substr(dot);
    }
    return path + suffix;
}

} // namespace

std::string makeCameraOutputPath(const std::string& path, int slot) {
    return insertBeforeExtension(path, "_cam" + std::to_string(slot + 1));
}

std::string makeRecordingPartPath(const std::string& path, int part) {
    return part <= 1 ? path : insertBeforeExtension(path, "_" + std::to_string(part));
}

} // namespace quelnor::viewer
