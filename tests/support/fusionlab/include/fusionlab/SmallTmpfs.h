#pragma once

// A tmpfs of a few hundred KiB mounted on a fresh folder for the life of the object, so a recording can
// fill its disk. Needs root (tests skip when mounted() is false). Include "fusionlab/SmallTmpfs.h".

#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quelnor::test {

class SmallTmpfs {
public:
    explicit SmallTmpfs(const std::string& size = "256k") {
        std::string pattern = (std::filesystem::temp_directory_path() / "quelnor-tmpfs-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        folder = pattern;
        const std::string options = "size=" + size;
        isMounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallTmpfs() {
        if (isMounted) {
            ::umount2(folder.c_str(), MNT_DETACH);
        }
        if (!folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    bool mounted() const { return isMounted; }
    const std::string& path() const { return folder; }
    std::string file(const std::string& name) const { return folder + "/" + name; }

private:
    std::string folder;
    bool isMounted = false;
};

} // namespace quelnor::test
