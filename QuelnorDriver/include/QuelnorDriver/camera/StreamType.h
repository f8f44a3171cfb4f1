#pragma once

#include <cstdint>

namespace quelnor {

// Which stream(s) of a fusion camera an operation acts on. start, stop and startRecording take every
// other value as FUSION_STREAM; getWidth and getHeight give the frame size for every value but DVS_STREAM.
enum STREAM_TYPE : int32_t {
    DVS_STREAM = 0,    // the event stream alone
    APS_STREAM = 1,    // the frame stream alone
    FUSION_STREAM = 2, // both streams, each frame timed by the trigger input
};

} // namespace quelnor
