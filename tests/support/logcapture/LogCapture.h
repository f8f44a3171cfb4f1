#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QuelnorBase/LogLevelType.h"

namespace quelnor::test {

struct LogLine {
    LogLevelType level;
    std::string text; // the message as formatted by the caller, without time or level
};

// While alive, records every line the process-wide logger prints. May be created and destroyed while
// other threads log: once the destructor returns, no thread writes to the capture.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    // Lines whose text is exactly `text` (at `level`, when given).
    int count(const std::string& text) const;
    int count(LogLevelType level, const std::string& text) const;
    bool has(LogLevelType level, const std::string& text) const { return count(level, text) > 0; }
    // Lines at `level` (errors: LOG_ERROR).
    int countAt(LogLevelType level) const;
    void clear();

    class Sink;

private:
    std::shared_ptr<Sink> sink;
};

} // namespace quelnor::test
