#pragma once

#include <cstdint>

namespace quelnor {

// The kinds of camera that discovery searches, one per product class. Ethernet cameras have no kind
// of their own: every one found becomes a QuelnorTolvane.
enum CAMERA_TYPE : int32_t {
    CAMERA_PROPHESEE_EVK4 = 0,  // USB event camera, PropheseeEVK4
    CAMERA_PROPHESEE_EVK5 = 1,  // USB event camera, PropheseeEVK5
    CAMERA_QUELNOR_TOLVANE = 2, // USB event camera, QuelnorTolvane
    CAMERA_ONDRIK = 3,          // USB fusion camera, OndrikCamera
    CAMERA_ZARN320 = 4,         // USB event camera, Zarn320Camera
    CAMERA_ONDRIK_PRO = 5,      // MIPI fusion camera, OndrikProCamera
};

} // namespace quelnor
