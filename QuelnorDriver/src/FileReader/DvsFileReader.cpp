#include "QuelnorDriver/FileReader/DvsFileReader.h"

#include "QuelnorDriver/FileReader/RawFileReader.h"

namespace quelnor {

namespace {
constexpr const char* RAW_FILE_EXTENSION = ".raw";
}

std::unique_ptr<DvsFileReader> DvsFileReader::createFileReader(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, RAW_FILE_EXTENSION) != 0) {
        return nullptr;
    }
    return std::make_unique<RawFileReader>(path);
}

} // namespace quelnor
