#include "evt3/Evt3RawFile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quelnor::test {

std::vector<uint16_t> Evt3RawFile::words() const {
    std::vector<uint16_t> w(data.size() / 2);
    for (size_t i = 0; i < w.size(); ++i) {
        w[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    return w;
}

Evt3RawFile loadEvt3RawFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    std::vector<uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string endLine = "% end\n";
    size_t pos = 0;
    Evt3RawFile file;
    // Header lines start with '%'; the one reading "% end" closes the header.
    while (pos < all.size() && all[pos] == '%') {
        size_t eol = pos;
        while (eol < all.size() && all[eol] != '\n') {
            ++eol;
        }
        const std::string line(all.begin() + pos, all.begin() + eol);
        file.header += line + "\n";
        pos = eol + 1;
        unsigned w = 0;
        unsigned h = 0;
        if (std::sscanf(line.c_str(), "%% geometry %ux%u", &w, &h) == 2) {
            file.width = w;
            file.height = h;
        }
        if (line == "% end") {
            file.data.assign(all.begin() + static_cast<std::ptrdiff_t>(pos), all.end());
            return file;
        }
    }
    throw std::runtime_error("no header end in " + path);
}

} // namespace quelnor::test
