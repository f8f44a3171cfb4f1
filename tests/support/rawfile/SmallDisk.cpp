#include "rawfile/SmallDisk.h"

#include <sys/mount.h>

#include <filesystem>

namespace quelnor::test {

SmallDisk::SmallDisk() : mountPoint(base.file("small")) {
    std::filesystem::create_directory(mountPoint);
    const std::string options = "size=" + std::to_string(SIZE);
    mounted = ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

SmallDisk::~SmallDisk() {
    if (mounted) {
        ::umount2(mountPoint.c_str(), MNT_DETACH);
    }
}

} // namespace quelnor::test
