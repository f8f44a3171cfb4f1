#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"

namespace quelnor {

// Rendering a time range to video comes with the video export; until then the call reports failure.
bool RawFileReader::exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) {
    (void)start;
    (void)end;
    (void)path;
    QN_ERROR("Exporting event data to video is not available.");
    return false;
}

} // namespace quelnor
