#pragma once

// NV12 test pictures and what they look like as BGR. Include "fusionlab/Nv12Frames.h".

#include <cstdint>
#include <vector>

namespace quelnor::test {

// A width x height NV12 picture of one grey level (chroma at the middle, 128).
std::vector<uint8_t> greyNv12(int width, int height, uint8_t luma);
// The BGR level a grey NV12 picture of that (limited-range) luma converts to.
int greyLevelOf(uint8_t luma);
// The bytes of EVT3 words in the byte order the fusion cameras deliver them (each word's bytes swapped).
std::vector<uint8_t> swappedWordBytes(const std::vector<uint16_t>& words);

} // namespace quelnor::test
