#pragma once

// Captures what the process writes to its standard output (fd 1) while an object of this class lives,
// by pointing fd 1 at a temporary file. The console logger writes there.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/quelnor-stdout-XXXXXX";
        m_fd = mkstemp(name);
        if (m_fd < 0) {
            throw std::runtime_error("mkstemp failed");
        }
        m_path = name;
        m_saved = dup(STDOUT_FILENO);
        dup2(m_fd, STDOUT_FILENO);
    }
    ~StdoutCapture() {
        restore();
        ::close(m_fd);
        std::remove(m_path.c_str());
    }

    // Everything written so far; stops the capture.
    std::string text() {
        restore();
        std::ifstream in(m_path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

private:
    void restore() {
        if (m_saved >= 0) {
            std::fflush(stdout);
            dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
            m_saved = -1;
        }
    }

    int m_fd = -1;
    int m_saved = -1;
    std::string m_path;
};
