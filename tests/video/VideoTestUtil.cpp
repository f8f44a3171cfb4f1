#include "VideoTestUtil.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

namespace quelnor::videotest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quelnor-video-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

int run(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string text;
    std::array<char, 65536> buffer{};
    size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        text.append(buffer.data(), n);
    }
    const int status = pclose(pipe);
    if (output != nullptr) {
        *output = std::move(text);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

nlohmann::json probe(const std::string& arguments, const std::string& path) {
    std::string out;
    const std::string command = "ffprobe -v error " + arguments + " -of json " + shellQuote(path);
    if (run(command, &out) != 0) {
        throw std::runtime_error("ffprobe failed: " + command);
    }
    return nlohmann::json::parse(out);
}

} // namespace

nlohmann::json probeVideoStream(const std::string& path) {
    const auto j = probe("-count_frames -select_streams v:0 -show_entries "
                         "stream=codec_name,width,height,pix_fmt,time_base,nb_frames,nb_read_frames,color_range",
                         path);
    return j.at("streams").at(0);
}

nlohmann::json probeVideoFrames(const std::string& path) {
    const auto j = probe("-select_streams v:0 -show_entries frame=pts,best_effort_timestamp,key_frame,pict_type",
                         path);
    return j.value("frames", nlohmann::json::array());
}

nlohmann::json probeFormat(const std::string& path) {
    return probe("-show_entries format=format_name:format_tags", path).at("format");
}

std::vector<uint8_t> decodeRaw(const std::string& path, const std::string& pixFmt) {
    std::string out;
    const std::string command =
        "ffmpeg -v error -nostdin -i " + shellQuote(path) + " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt " + pixFmt + " -";
    if (run(command, &out) != 0) {
        throw std::runtime_error("ffmpeg decode failed: " + command);
    }
    return std::vector<uint8_t>(out.begin(), out.end());
}

std::vector<std::vector<uint8_t>> decodeLumaPlanes(const std::string& path, int width, int height) {
    const auto all = decodeRaw(path, "yuv420p");
    const size_t lumaBytes = static_cast<size_t>(width) * height;
    const size_t frameBytes = lumaBytes + 2 * (static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2));
    std::vector<std::vector<uint8_t>> planes;
    for (size_t at = 0; at + frameBytes <= all.size(); at += frameBytes) {
        planes.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at),
                            all.begin() + static_cast<std::ptrdiff_t>(at + lumaBytes));
    }
    return planes;
}

int lumaOf(uint8_t grey) { return 16 + (grey * 219 + 127) / 255; }

void makeVideo(const std::string& arguments, const std::string& path) {
    const std::string command = "ffmpeg -v error -nostdin -y " + arguments + " " + shellQuote(path);
    if (run(command) != 0) {
        throw std::runtime_error("ffmpeg failed: " + command);
    }
}

std::vector<uint64_t> probeFrameTimes(const std::string& path) {
    const std::string timeBase = probeVideoStream(path).at("time_base");
    std::vector<uint64_t> times;
    for (const auto& frame : probeVideoFrames(path)) {
        const auto& pts = frame.contains("pts") ? frame.at("pts") : frame.at("best_effort_timestamp");
        times.push_back(static_cast<uint64_t>(toMicroseconds(pts.get<int64_t>(), timeBase)));
    }
    return times;
}

int64_t toMicroseconds(int64_t ticks, const std::string& timeBase) {
    const auto slash = timeBase.find('/');
    const int64_t num = std::stoll(timeBase.substr(0, slash));
    const int64_t den = std::stoll(timeBase.substr(slash + 1));
    const __int128 scaled = static_cast<__int128>(ticks) * num * 1000000;
    const __int128 half = den / 2;
    return static_cast<int64_t>(scaled >= 0 ? (scaled + half) / den : -((-scaled + half) / den));
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> blockPicture(int width, int height, int seed) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3);
    std::mt19937 random(static_cast<unsigned>(seed) * 7919u + 1u);
    const int blocksX = (width + 7) / 8;
    const int blocksY = (height + 7) / 8;
    std::vector<Bgr> colours(static_cast<size_t>(blocksX) * blocksY);
    for (auto& c : colours) {
        // Away from the extremes, where limited-range YUV clips.
        c = Bgr{static_cast<uint8_t>(24 + random() % 208), static_cast<uint8_t>(24 + random() % 208),
                static_cast<uint8_t>(24 + random() % 208)};
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Bgr& c = colours[static_cast<size_t>(y / 8) * blocksX + x / 8];
            uint8_t* p = &picture[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
        }
    }
    return picture;
}

int maxBlockInteriorDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width, int height,
                               int block) {
    int worst = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int bx = x % block;
            const int by = y % block;
            if (bx < 2 || bx >= block - 2 || by < 2 || by >= block - 2) {
                continue;
            }
            for (int c = 0; c < 3; ++c) {
                const size_t i = (static_cast<size_t>(y) * width + x) * 3 + c;
                const int d = std::abs(static_cast<int>(a.at(i)) - static_cast<int>(b.at(i)));
                worst = std::max(worst, d);
            }
        }
    }
    return worst;
}

} // namespace quelnor::videotest
