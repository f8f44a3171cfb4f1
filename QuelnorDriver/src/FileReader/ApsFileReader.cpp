#include "QuelnorDriver/FileReader/ApsFileReader.h"

#include "QuelnorDriver/FileReader/Mp4FileReader.h"

namespace quelnor {

namespace {

constexpr const char* MP4_EXTENSION = ".mp4";

} // namespace

ApsFileReader::ApsFileReader(const std::string&) {}

std::unique_ptr<ApsFileReader> ApsFileReader::createFileReader(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, MP4_EXTENSION) != 0) {
        return nullptr;
    }
    return std::make_unique<Mp4FileReader>(path);
}

} // namespace quelnor
