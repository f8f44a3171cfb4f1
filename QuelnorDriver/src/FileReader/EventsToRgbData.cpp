#include "FileReader/EventsToRgbData.h"

#include <cstring>

namespace quelnor::detail {

namespace {

constexpr size_t BYTES_PER_PIXEL = 3;

} // namespace

void eventsToRgbData(const std::vector<Event2D>& events, uint16_t width, uint16_t height,
                     std::vector<uint8_t>& picture) {
    picture.assign(static_cast<size_t>(width) * height * BYTES_PER_PIXEL, EVENT_PICTURE_BACKGROUND);
    for (const Event2D& event : events) {
        if (event.x >= width || event.y >= height) {
            continue;
        }
        const uint8_t colour = event.polarity != 0 ? EVENT_PICTURE_ON : EVENT_PICTURE_OFF;
        uint8_t* pixel = picture.data() + (static_cast<size_t>(event.y) * width + event.x) * BYTES_PER_PIXEL;
        std::memset(pixel, colour, BYTES_PER_PIXEL);
    }
}

} // namespace quelnor::detail
