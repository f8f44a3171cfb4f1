#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quelnor {

enum ApsPixelType {
    APS_PIXEL_BGR24 = 0, // 3 bytes per pixel, B G R
};

// One frame-sensor image of width x height BGR pixels. Copies share the pixels; clone() copies them.
class ApsFrame {
public:
    static constexpr int DEFAULT_WIDTH = 3840;
    static constexpr int DEFAULT_HEIGHT = 2160;

    // Owned, zero-filled pixels.
    ApsFrame(int width = DEFAULT_WIDTH, int height = DEFAULT_HEIGHT, uint64_t startTimestamp = 0,
             uint64_t endTimestamp = 0);
    // With copy set the frame owns a copy of the caller's bytes, otherwise it borrows them (the caller
    // keeps them alive). Throws std::invalid_argument when size is smaller than width x height x 3.
    ApsFrame(int width, int height, uint64_t startTimestamp, uint64_t endTimestamp, uint8_t* data, size_t size,
             bool copy);
    // Borrows the vector's storage and keeps the vector alive. Throws std::invalid_argument when the
    // vector is smaller than width x height x 3.
    ApsFrame(int width, int height, uint64_t startTimestamp, uint64_t endTimestamp,
             std::shared_ptr<std::vector<uint8_t>> owner);
    ApsFrame(const ApsFrame& other);
    ApsFrame& operator=(const ApsFrame& other);
    ~ApsFrame() {
        m_pixels.reset();
        m_owner.reset();
    }

    ApsFrame clone() const;

    uint8_t* data() { return m_pixels.get(); }
    const uint8_t* data() const { return m_pixels.get(); }
    uint64_t getDataSize() const;
    int width() const { return m_width; }
    int height() const { return m_height; }
    ApsPixelType pixelType() const { return m_pixelType; }

    uint64_t startTimestamp = 0;
    uint64_t endTimestamp = 0;

private:
    int m_width = 0;
    int m_height = 0;
    ApsPixelType m_pixelType = APS_PIXEL_BGR24;
    std::shared_ptr<uint8_t> m_pixels;
    std::shared_ptr<std::vector<uint8_t>> m_owner;
};

} // namespace quelnor
