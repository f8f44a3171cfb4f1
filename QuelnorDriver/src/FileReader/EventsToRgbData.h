#pragma once

#include <cstdint>
#include <vector>

#include "QuelnorBase/Event2D.h"

namespace quelnor::detail {

// Colours of a picture painted from events (B, G and R alike).
constexpr uint8_t EVENT_PICTURE_BACKGROUND = 112; // no event at the pixel
constexpr uint8_t EVENT_PICTURE_ON = 255;         // last event at the pixel had polarity 1
constexpr uint8_t EVENT_PICTURE_OFF = 0;          // last event at the pixel had polarity 0

// Paints one BGR picture of width x height (rows top to bottom) from a batch of events: the background
// everywhere, then each event in order at its pixel, so later events win. Events outside the picture are
// left out. An empty batch gives the plain background, so a window without events still makes a picture.
// The picture's storage is reused.
void eventsToRgbData(const std::vector<Event2D>& events, uint16_t width, uint16_t height,
                     std::vector<uint8_t>& picture);

} // namespace quelnor::detail
