#pragma once

// Traces recorded before a refactor and stored under tests/data, compared with the same trace recorded
// now. Include "sensortrace/StoredTrace.h".

#include <string>

namespace quelnor::test {

// Fails the running test at the first line of `trace` that differs from the file `storedPath`, naming the
// line and the section it lies in (the last line before it that starts with `sectionPrefix`). With the
// environment variable `recordVariable` set to 1 it writes `trace` to `storedPath` instead and skips the
// test. Call it last in a test: its assertions end this function, not the caller.
void expectStoredTrace(const std::string& trace, const std::string& storedPath, const char* recordVariable,
                       const std::string& sectionPrefix);

} // namespace quelnor::test
