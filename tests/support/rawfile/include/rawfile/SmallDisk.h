#pragma once

#include <cstddef>
#include <string>

#include "rawfile/TempDir.h"

namespace quelnor::test {

// A tmpfs of SIZE bytes mounted for one test (root only: ok() is false otherwise), unmounted when
// the object goes, so writes to it run out of space after SIZE bytes.
class SmallDisk {
public:
    static constexpr size_t SIZE = 3 * 1024 * 1024;

    SmallDisk();
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool ok() const { return mounted; }
    std::string file(const std::string& name) const { return mountPoint + "/" + name; }
    const std::string& path() const { return mountPoint; }

private:
    TempDir base;
    std::string mountPoint;
    bool mounted = false;
};

} // namespace quelnor::test
