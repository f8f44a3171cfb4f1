#pragma once

// Helpers for checking video files with the real FFmpeg command-line tools.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quelnor::videotest {

// A fresh directory below the system temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Runs a shell command; returns its exit status and stores its standard output.
int run(const std::string& command, std::string* output = nullptr);
// Quotes a text for the shell.
std::string shellQuote(const std::string& text);

// ffprobe's description of the first video stream (codec_name, width, height, time_base, nb_read_frames).
nlohmann::json probeVideoStream(const std::string& path);
// One entry per video frame in presentation order: pts, best_effort_timestamp, key_frame, pict_type.
nlohmann::json probeVideoFrames(const std::string& path);
// ffprobe's container format description (format_name, tags).
nlohmann::json probeFormat(const std::string& path);
// Decodes every video frame to raw pixels of pixFmt ("bgr24", "nv12") with ffmpeg.
std::vector<uint8_t> decodeRaw(const std::string& path, const std::string& pixFmt);

// The luma plane of every video frame of a width x height file, decoded by ffmpeg as YUV 4:2:0.
std::vector<std::vector<uint8_t>> decodeLumaPlanes(const std::string& path, int width, int height);
// Limited-range luma of a grey level, as the encoder's BGR to YUV 4:2:0 conversion makes it. Pictures of
// grey levels only carry everything in their luma plane; comparing it avoids the decoder-side conversion
// back to BGR, which is itself a few levels off.
int lumaOf(uint8_t grey);

// Runs "ffmpeg <arguments> <path>" to make a test file; throws when ffmpeg fails.
void makeVideo(const std::string& arguments, const std::string& path);
// Every video frame's time in microseconds as ffprobe decodes them (presentation time, else best-effort
// time), rounded to the nearest microsecond.
std::vector<uint64_t> probeFrameTimes(const std::string& path);

// Microseconds of a time in a stream's time base ("1/15360"), rounded to the nearest microsecond.
int64_t toMicroseconds(int64_t ticks, const std::string& timeBase);

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

struct Bgr {
    uint8_t b, g, r;
};
// A width x height BGR picture of 8 x 8 blocks whose colours depend on seed.
std::vector<uint8_t> blockPicture(int width, int height, int seed);
// Largest difference of any byte in blocks' inner pixels (a margin of 2 pixels at each block edge is left
// out: 4:2:0 chroma smears colours across edges).
int maxBlockInteriorDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width, int height,
                               int block = 8);

} // namespace quelnor::videotest
