#include "QuelnorBase/ApsFrame.h"

#include <cstring>
#include <stdexcept>

namespace quelnor {

namespace {

uint64_t frameBytes(int width, int height) {
    if (width < 0 || height < 0) {
        throw std::invalid_argument("ApsFrame: negative width or height");
    }
    return static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3u;
}

void noDelete(uint8_t*) {}

} // namespace

ApsFrame::ApsFrame(int width, int height, uint64_t startTimestamp_, uint64_t endTimestamp_)
    : startTimestamp(startTimestamp_), endTimestamp(endTimestamp_), m_width(width), m_height(height) {
    const uint64_t bytes = frameBytes(width, height);
    m_pixels = std::shared_ptr<uint8_t>(new uint8_t[bytes](), std::default_delete<uint8_t[]>());
}

ApsFrame::ApsFrame(int width, int height, uint64_t startTimestamp_, uint64_t endTimestamp_, uint8_t* data,
                   size_t size, bool copy)
    : startTimestamp(startTimestamp_), endTimestamp(endTimestamp_), m_width(width), m_height(height) {
    const uint64_t bytes = frameBytes(width, height);
    if (bytes > 0 && (data == nullptr || size < bytes)) {
        throw std::invalid_argument("ApsFrame: buffer smaller than width x height x 3");
    }
    if (copy) {
        m_pixels = std::shared_ptr<uint8_t>(new uint8_t[bytes], std::default_delete<uint8_t[]>());
        if (bytes > 0) {
            std::memcpy(m_pixels.get(), data, bytes);
        }
    } else {
        m_pixels = std::shared_ptr<uint8_t>(data, noDelete);
    }
}

ApsFrame::ApsFrame(int width, int height, uint64_t startTimestamp_, uint64_t endTimestamp_,
                   std::shared_ptr<std::vector<uint8_t>> owner)
    : startTimestamp(startTimestamp_), endTimestamp(endTimestamp_), m_width(width), m_height(height) {
    const uint64_t bytes = frameBytes(width, height);
    if (!owner || owner->size() < bytes) {
        throw std::invalid_argument("ApsFrame: vector smaller than width x height x 3");
    }
    m_pixels = std::shared_ptr<uint8_t>(owner->data(), noDelete);
    m_owner = std::move(owner);
}

ApsFrame::ApsFrame(const ApsFrame& other)
    : startTimestamp(other.startTimestamp),
      endTimestamp(other.endTimestamp),
      m_width(other.m_width),
      m_height(other.m_height),
      m_pixelType(other.m_pixelType),
      m_pixels(other.m_pixels),
      m_owner(other.m_owner) {}

ApsFrame& ApsFrame::operator=(const ApsFrame& other) {
    if (this != &other) {
        startTimestamp = other.startTimestamp;
        endTimestamp = other.endTimestamp;
        m_width = other.m_width;
        m_height = other.m_height;
        m_pixelType = other.m_pixelType;
        m_pixels = other.m_pixels;
        m_owner = other.m_owner;
    }
    return *this;
}

ApsFrame ApsFrame::clone() const {
    return ApsFrame(m_width, m_height, startTimestamp, endTimestamp, m_pixels.get(),
                    static_cast<size_t>(getDataSize()), true);
}

uint64_t ApsFrame::getDataSize() const {
    return static_cast<uint64_t>(m_width) * static_cast<uint64_t>(m_height) * 3u;
}

} // namespace quelnor
