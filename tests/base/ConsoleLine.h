#pragma once

#include <cctype>
#include <string>

// True when `line` is a console log line: "[HH:MM:SS.mmm] " followed by `tail` ("[info] text").
inline bool isConsoleLine(const std::string& line, const std::string& tail) {
    const std::string stamp = "[00:00:00.000] ";
    if (line.size() != stamp.size() + tail.size() || line.compare(stamp.size(), std::string::npos, tail) != 0) {
        return false;
    }
    for (size_t i = 0; i < stamp.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (stamp[i] == '0' ? !digit : line[i] != stamp[i]) {
            return false;
        }
    }
    return true;
}
