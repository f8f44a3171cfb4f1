#pragma once

// A moving scene for a simulated camera that can stream for ever: a rotating bar and a bouncing
// ring, as EVT3 words from time 0 to just before 2^24 us (the EVT3 clock's wrap), so the stream
// looped by the simulator reads as one steadily advancing time. A trigger edge every 2^20 us.

#include <cstdint>
#include <vector>

namespace quelnor::test {

constexpr uint64_t DEMO_SCENE_DURATION_US = uint64_t(1) << 24;

// `variant` turns the bar the other way and starts the ring elsewhere, so two cameras differ.
std::vector<uint16_t> makeDemoScene(uint16_t width, uint16_t height, int variant);

} // namespace quelnor::test
