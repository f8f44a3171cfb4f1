// quelnor_double_eth_camera_live_viewer: shows two Ethernet event cameras side by side and records
// both while asked. Space starts/stops recording, q or Escape quits.
#include <exception>
#include <iostream>
#include <string>

#include "CommandLine.h"
#include "DoubleCameraViewer.h"
#include "ViewerOptions.h"
#include "WindowSystem.h"

int main(int argc, char** argv) {
    using namespace quelnor::viewer;
    using namespace quelnor::samples;
    ViewerOptions options = parseViewerArguments(argc, argv);
    if (options.help) {
        return EXIT_DONE;
    }
    if (!options.valid) {
        return EXIT_BAD_COMMAND_LINE;
    }
    if (const std::string why = windowUnavailableReason(); !why.empty()) {
        std::cerr << why << "\n";
        return EXIT_FAILED;
    }
    try {
        DoubleCameraViewer viewer(std::move(options));
        return viewer.run();
    } catch (const std::exception& e) {
        std::cerr << "The viewer stopped after an unexpected error: " << e.what() << "\n";
        return EXIT_FAILED;
    }
}
