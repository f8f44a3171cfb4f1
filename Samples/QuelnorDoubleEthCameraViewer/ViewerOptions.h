#pragma once

#include <array>
#include <iosfwd>
#include <string>

namespace quelnor::viewer {

// What the command line asks for.
struct ViewerOptions {
    // Both empty: the first two Ethernet cameras that discovery finds.
    std::array<std::string, 2> serials;
    std::string outputPath = "./default_file_name.raw";
    bool valid = false;
    bool help = false; // -h or --help: the usage was printed, nothing else is to be done
};

// Reads the arguments after the program name. -h or --help anywhere prints the usage to standard
// output; a bad command line writes a line saying what is wrong and the usage to standard error.
ViewerOptions parseViewerArguments(int argc, char** argv);
void printViewerUsage(const std::string& programName, std::ostream& out);
// The recording path of a camera slot: "_cam1" (slot 0) or "_cam2" (slot 1) before the extension of
// the file name, or at its end when it has none.
std::string makeCameraOutputPath(const std::string& path, int slot);
// The path of the n-th file of a slot's recordings (n from 1): part 1 is the path itself, part n > 1
// carries "_n" in the same place as the slot's suffix.
std::string makeRecordingPartPath(const std::string& path, int part);

} // namespace quelnor::viewer
