// quelnor_double_eth_camera_live_viewer: shows two Ethernet event cameras side by side and records
// both while asked. Space starts/stops recording, q or Escape quits.
#include <string>

#include "DoubleCameraViewer.h"
#include "ViewerOptions.h"

int main(int argc, char** argv) {
    using namespace quelnor::viewer;
    ViewerOptions options = parseViewerArguments(argc, argv);
    if (!options.valid) {
        const std::string first = argc > 1 ? argv[1] : "";
        return first == "-h" || first == "--help" ? 0 : 1;
    }
    DoubleCameraViewer viewer(std::move(options));
    return viewer.run();
}
