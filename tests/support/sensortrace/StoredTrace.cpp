#include "sensortrace/StoredTrace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace quelnor::test {

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace

void expectStoredTrace(const std::string& trace, const std::string& storedPath, const char* recordVariable,
                       const std::string& sectionPrefix) {
    if (const char* again = std::getenv(recordVariable); again && std::string(again) == "1") {
        std::ofstream(storedPath) << trace;
        GTEST_SKIP() << "recorded " << storedPath;
    }
    std::ifstream in(storedPath);
    ASSERT_TRUE(in) << storedPath;
    std::stringstream stored;
    stored << in.rdbuf();
    const auto expected = linesOf(stored.str());
    const auto actual = linesOf(trace);
    std::string section;
    for (size_t i = 0; i < std::min(expected.size(), actual.size()); ++i) {
        if (expected[i].rfind(sectionPrefix, 0) == 0) {
            section = expected[i];
        }
        ASSERT_EQ(actual[i], expected[i]) << "line " << i + 1 << " of " << storedPath << " (" << section << ")";
    }
    ASSERT_EQ(actual.size(), expected.size());
}

} // namespace quelnor::test
