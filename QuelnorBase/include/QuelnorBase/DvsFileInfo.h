#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quelnor {

// Description of one raw recording. The header writer uses the timestamps, the size and the serial
// number; the file reader fills every field from a header.
struct DvsFileInfo {
    uint64_t dvsStartTimestamp = 0; // camera time (us) when the recording starts
    uint64_t apsStartTimestamp = 0; // frame time when the recording starts; 0 = no frame stream
    uint16_t width = 1280;
    uint16_t height = 720;
    std::string serialNumber;
    std::chrono::system_clock::time_point date{};
};

} // namespace quelnor
