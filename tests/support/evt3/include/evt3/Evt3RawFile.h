#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelnor::test {

// A raw recording: the text header ('%' lines up to "% end") and the EVT3 bytes after it.
struct Evt3RawFile {
    std::string header;
    std::vector<uint8_t> data;
    unsigned width = 0;
    unsigned height = 0;

    std::vector<uint16_t> words() const;
};

// Throws std::runtime_error when the file cannot be read or has no "% end" line.
Evt3RawFile loadEvt3RawFile(const std::string& path);

} // namespace quelnor::test
