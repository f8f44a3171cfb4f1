#pragma once

#include <string>

namespace quelnor::test::mipisim {

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace quelnor::test::mipisim
