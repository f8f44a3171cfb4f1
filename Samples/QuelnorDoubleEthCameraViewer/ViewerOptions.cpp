#include "ViewerOptions.h"

#include <iostream>
#include <vector>

namespace quelnor::viewer {

ViewerOptions parseViewerArguments(int argc, char** argv) {
    ViewerOptions options;
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    std::vector<std::string> serials;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            printViewerUsage(program);
            return options;
        }
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc) {
                std::cerr << "Missing value after " << arg << ".\n";
                printViewerUsage(program);
                return options;
            }
            options.outputPath = argv[++i];
            continue;
        }
        if (!arg.empty() && arg[0] == '-') {
            std::cerr << "Unknown option: " << arg << "\n";
            printViewerUsage(program);
            return options;
        }
        serials.push_back(arg);
    }
    if (serials.empty()) {
        options.valid = true;
    } else if (serials.size() == 2 && serials[0] == serials[1]) {
        std::cerr << "The two camera serial numbers must be different.\n";
    } else if (serials.size() == 2) {
        options.serials = {serials[0], serials[1]};
        options.valid = true;
    } else {
        std::cerr << "Supply either no serial numbers or exactly two serial numbers.\n";
        printViewerUsage(program);
    }
    return options;
}

void printViewerUsage(const std::string& programName) {
    std::cout << "Usage: " << programName << " [serial1 serial2] [--output <raw_file>]\n\n"
              << "With no serial numbers, the first two Ethernet cameras returned by discovery are used.\n"
              << "When serial numbers are supplied, both are required and must identify Ethernet cameras.\n"
              << "Recordings are written as <name>_cam1.raw and <name>_cam2.raw.\n\n"
              << "If a camera is outside its Ethernet adapter's subnet, configure the adapter first.\n\n"
              << "Press Space to start/stop recording. Press q or Escape to quit.\n";
    std::cout.flush();
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
