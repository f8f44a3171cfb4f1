#pragma once

#include <cstdint>
#include <string>

namespace quelnor {

// One V4L2 capture stream of the MIPI camera: which video node to open and the capture it asks for.
struct V4l2StreamConfig {
    std::string devicePath; // video device node, e.g. "/dev/video0"
    int32_t width = 0;       // frame width in pixels; 0 keeps the driver's current width
    int32_t height = 0;      // frame height in pixels; 0 keeps the driver's current height
    int32_t pixelFormat = 0; // V4L2 fourcc; 0 keeps the driver's current format
    int32_t bufferCount = 0; // memory-mapped capture buffers to request (the driver may grant more or fewer)
    int32_t bufferSize = 0;  // bytes of a pooled raw buffer; 0 makes the capture use 131072
};

} // namespace quelnor
