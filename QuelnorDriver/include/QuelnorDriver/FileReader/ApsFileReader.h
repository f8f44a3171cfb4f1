#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorBase/ApsFrame.h"

namespace quelnor {

// Reads recorded frame-sensor pictures (APS frames) from a file without a camera. Obtain a reader from
// createFileReader, call loadFile, then take frames in file order, by index or by time. Frames are 24-bit
// BGR; times are microseconds. A reader is used by one thread at a time.
class ApsFileReader {
public:
    static constexpr uint16_t DEFAULT_WIDTH = 3840;
    static constexpr uint16_t DEFAULT_HEIGHT = 2160;

    // A reader for the path's extension (exactly ".mp4", case matters), unloaded; empty for any other path.
    static std::unique_ptr<ApsFileReader> createFileReader(const std::string& path);

    // The path is not kept here: the implementation keeps what it needs.
    explicit ApsFileReader(const std::string& path);
    ApsFileReader(const ApsFileReader& other) = default;
    ApsFileReader& operator=(const ApsFileReader& other) = default;

    // Opens the file and lists the time of every frame; the read position is then the first frame.
    virtual bool loadFile() = 0;
    // Positions the reader at the frame before the first frame at or after timestamp (at the first frame
    // when that is the one at or after it): the next getNextFrame returns that frame. False when no frame
    // is at or after timestamp.
    virtual bool seekTime(uint64_t timestamp) = 0;
    // Every frame time in microseconds, in the order the frames are shown.
    virtual bool getTimeStamps(std::vector<uint64_t>& timestamps) = 0;
    // The next frame in file order; false at the end of the file.
    virtual bool getNextFrame(ApsFrame& frame) = 0;
    // The index-th listed frame; false for an index outside the list.
    virtual bool getNFrame(int index, ApsFrame& frame) = 0;
    // The last frame whose time is at or before timestamp; false when there is none.
    virtual bool getFrameGivenTimeStamp(uint64_t timestamp, ApsFrame& frame) = 0;
    virtual ~ApsFileReader() = default;

    // The picture size of the loaded file (3840 x 2160 before loading).
    uint16_t getWidth() const { return m_width; }
    uint16_t getHeight() const { return m_height; }

protected:
    uint16_t m_width = DEFAULT_WIDTH;
    uint16_t m_height = DEFAULT_HEIGHT;
};

} // namespace quelnor
