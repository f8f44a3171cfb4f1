#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelnor::test {

// A fresh directory under the system's temporary directory, removed with everything in it when the
// object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& header, const std::vector<uint8_t>& data);

} // namespace quelnor::test
