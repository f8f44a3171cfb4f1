#include "fusionlab/Nv12Frames.h"

#include <algorithm>
#include <cmath>

namespace quelnor::test {

namespace {
constexpr uint8_t NEUTRAL_CHROMA = 128;
constexpr double LIMITED_BLACK = 16.0;
constexpr double LIMITED_RANGE = 219.0;
constexpr double FULL_RANGE = 255.0;
} // namespace

std::vector<uint8_t> greyNv12(int width, int height, uint8_t luma) {
    const size_t lumaBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> picture(lumaBytes * 3 / 2, NEUTRAL_CHROMA);
    std::fill(picture.begin(), picture.begin() + static_cast<std::ptrdiff_t>(lumaBytes), luma);
    return picture;
}

int greyLevelOf(uint8_t luma) {
    const double level = (luma - LIMITED_BLACK) * FULL_RANGE / LIMITED_RANGE;
    return static_cast<int>(std::lround(std::clamp(level, 0.0, FULL_RANGE)));
}

std::vector<uint8_t> swappedWordBytes(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * 2);
    for (uint16_t word : words) {
        bytes.push_back(static_cast<uint8_t>(word >> 8));
        bytes.push_back(static_cast<uint8_t>(word & 0xFF));
    }
    return bytes;
}

} // namespace quelnor::test
