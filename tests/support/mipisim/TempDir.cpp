#include "mipisim/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace quelnor::test::mipisim {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quelnor-mipisim-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace quelnor::test::mipisim
