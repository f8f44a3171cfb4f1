// The process-wide logger: which levels print, how a message is cut and formatted, and that it
// stays usable from threads that log while the process exits. Built twice: against the library
// (release behaviour, or debug in a Debug build) and with the logger compiled for a debug build.
#include "QuelnorBase/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleLine.h"
#include "LogCapture.h"
#include "StdoutCapture.h"

using namespace quelnor;
using quelnor::test::LogCapture;
using quelnor::test::LogLine;

namespace {

#ifdef QUELNOR_DEBUG_BUILD
constexpr int MIN_LEVEL = LOG_DEBUG;
#else
constexpr int MIN_LEVEL = LOG_INFO;
#endif

constexpr int LINE = 42;

Logger& logger() { return Logger::Instance(); }

void logAt(int level, const char* text) {
    logger().log_(static_cast<LogLevelType>(level), "src/LoggerTest.cpp", LINE, "%s", text);
}

// Drops terminal colour sequences (ESC [ ... m), present when the console logger was made on a terminal.
std::string withoutColour(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            const size_t end = text.find('m', i);
            if (end != std::string::npos) {
                i = end;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// Each test starts from the lowest threshold that can be set, so only the build's minimum counts.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { logger().setLogLevel(LOG_TRACE); }
    void TearDown() override { logger().setLogLevel(LOG_TRACE); }
    LogCapture capture;
};

} // namespace

// In a process of its own, where nothing has set a level yet: the level reads info, while what
// prints is decided by the build's minimum alone (debug lines print in a debug build).
TEST(LoggerStartDeathTest, ReadsInfoAndPrintsFromTheBuildsMinimum) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            LogCapture capture;
            bool ok = logger().getLogLevel() == LOG_INFO && &Logger::Instance() == &Logger::Instance();
            logAt(LOG_DEBUG, "first");
            ok = ok && capture.lines().size() == (MIN_LEVEL <= LOG_DEBUG ? 1u : 0u);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(LoggerTest, EachLevelPrintsAtItsOwnLevelFromTheBuildsMinimumUp) {
    struct Row {
        int level;
        bool printed;
        LogLevelType printedAs;
    };
    const Row rows[] = {
        {LOG_TRACE, false, LOG_TRACE},
        {LOG_DEBUG, MIN_LEVEL <= LOG_DEBUG, LOG_DEBUG},
        {LOG_INFO, true, LOG_INFO},
        {LOG_WARN, true, LOG_WARN},
        {LOG_ERROR, true, LOG_ERROR},
        {LOG_CRITICAL, true, LOG_CRITICAL},
        {7, true, LOG_INFO},  // unknown levels print as info
        {-1, false, LOG_INFO}, // below every minimum
    };
    for (const Row& row : rows) {
        capture.clear();
        logAt(row.level, "message");
        const std::vector<LogLine> lines = capture.lines();
        if (!row.printed) {
            EXPECT_TRUE(lines.empty()) << "level " << row.level;
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << "level " << row.level;
        EXPECT_EQ(lines[0].level, row.printedAs) << "level " << row.level;
        const std::string expected = row.level <= LOG_DEBUG ? "[LoggerTest.cpp]:[42]:message" : "message";
        EXPECT_EQ(lines[0].text, expected) << "level " << row.level;
    }
}

TEST_F(LoggerTest, SetLevelRaisesTheThresholdButNeverBelowTheMinimum) {
    // Level set -> the lowest message level that prints.
    struct Row {
        int set;
        int lowestPrinted;
    };
    const Row rows[] = {
        {LOG_TRACE, MIN_LEVEL}, {LOG_DEBUG, MIN_LEVEL}, {LOG_INFO, LOG_INFO},         {LOG_WARN, LOG_WARN},
        {LOG_ERROR, LOG_ERROR}, {LOG_CRITICAL, LOG_CRITICAL}, {7, LOG_INFO}, // unknown: info
    };
    for (const Row& row : rows) {
        logger().setLogLevel(static_cast<LogLevelType>(row.set));
        EXPECT_EQ(logger().getLogLevel(), row.set);
        for (int level = LOG_TRACE; level <= LOG_CRITICAL; ++level) {
            capture.clear();
            logAt(level, "x");
            EXPECT_EQ(capture.lines().size(), level >= row.lowestPrinted ? 1u : 0u)
                << "set " << row.set << ", message at " << level;
        }
    }
}

TEST_F(LoggerTest, MessagesAreCutAt1023Characters) {
    const std::string exact(1023, 'a');
    const std::string longer = std::string(1023, 'b') + "cdef";
    const std::string veryLong(2000, 'c');
    logAt(LOG_INFO, exact.c_str());
    logAt(LOG_WARN, longer.c_str());
    logger().log_(LOG_ERROR, __FILE__, __LINE__, "%s-%d", veryLong.c_str(), 7);
    const std::vector<LogLine> lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, exact);
    EXPECT_EQ(lines[1].text, std::string(1023, 'b'));
    EXPECT_EQ(lines[2].text, std::string(1023, 'c'));
}

TEST_F(LoggerTest, MessagesArePrintfFormattedAndBracesStayAsTheyStand) {
    logger().log_(LOG_INFO, __FILE__, __LINE__, "id=%d name=%s hex=%04x {} {0} {:>5} 100%%", -3, "cam", 0xAB);
    const std::vector<LogLine> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "id=-3 name=cam hex=00ab {} {0} {:>5} 100%");
}

TEST_F(LoggerTest, ConsoleLinesCarryTimeAndLevelName) {
    StdoutCapture out;
    logAt(LOG_INFO, "hello console");
    logAt(LOG_WARN, "careful");
    logAt(LOG_ERROR, "broken");
    logAt(LOG_CRITICAL, "gone");
    const std::string text = withoutColour(out.text());
    const std::vector<std::string> expected = {"[info] hello console", "[warning] careful", "[error] broken",
                                               "[critical] gone"};
    std::istringstream lines(text);
    std::string line;
    for (const std::string& tail : expected) {
        ASSERT_TRUE(std::getline(lines, line)) << text;
        EXPECT_TRUE(isConsoleLine(line, tail)) << line;
    }
    EXPECT_FALSE(std::getline(lines, line)) << text;
}

#ifdef QUELNOR_DEBUG_BUILD
TEST_F(LoggerTest, DebugLinesNameTheSourceFileAndLine) {
    struct Row {
        const char* file;
        const char* name;
    };
    const Row rows[] = {
        {"C:\\work\\quelnor\\QuelnorHal\\src\\Camera.cpp", "Camera.cpp"},
        {"/home/dev/quelnor/QuelnorBase/src/Logger.cpp", "Logger.cpp"},
        {"C:\\work/src\\mixed/Decoder.cpp", "Decoder.cpp"}, // cut after whichever separator comes last
        {"src/sub\\Windows.cpp", "Windows.cpp"},
        {"Plain.cpp", "Plain.cpp"},
        {"dir/", ""},
    };
    for (const Row& row : rows) {
        capture.clear();
        logger().log_(LOG_DEBUG, row.file, 1234, "value %d {}", 5);
        const std::vector<LogLine> lines = capture.lines();
        ASSERT_EQ(lines.size(), 1u) << row.file;
        EXPECT_EQ(lines[0].level, LOG_DEBUG);
        EXPECT_EQ(lines[0].text, std::string("[") + row.name + "]:[1234]:value 5 {}") << row.file;
    }
    // Trace never prints, not even after asking for it (the fixture asked).
    capture.clear();
    logger().log_(LOG_TRACE, "a.cpp", 1, "trace");
    EXPECT_TRUE(capture.lines().empty());
}
#endif

TEST_F(LoggerTest, ThreadsLogWhileTheLevelChanges) {
    constexpr int THREADS = 4;
    constexpr int MESSAGES = 500;
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        while (!stop) {
            logger().setLogLevel(LOG_WARN);
            logger().setLogLevel(LOG_INFO);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < MESSAGES; ++i) {
                logger().log_(LOG_ERROR, __FILE__, __LINE__, "thread %d message %d", t, i);
                logger().log_(LOG_DEBUG, __FILE__, __LINE__, "below the threshold %d", i);
            }
        });
    }
    for (std::thread& w : writers) {
        w.join();
    }
    stop = true;
    changer.join();
    EXPECT_EQ(capture.countAt(LOG_ERROR), THREADS * MESSAGES);
}

// Tests make and drop captures while camera threads still log: neither may disturb the other.
TEST_F(LoggerTest, CapturesComeAndGoWhileThreadsLog) {
    constexpr int THREADS = 2;
    constexpr int CAPTURES = 200;
    std::atomic<bool> stop{false};
    std::atomic<int> logged{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([&, t] {
            while (!stop) {
                logger().log_(LOG_ERROR, __FILE__, __LINE__, "thread %d", t);
                logged.fetch_add(1);
            }
        });
    }
    int capturesThatSawLines = 0;
    for (int i = 0; i < CAPTURES; ++i) {
        LogCapture passing;
        const int before = logged.load();
        while (logged.load() < before + THREADS + 1) { // each thread may have had one line under way
            std::this_thread::yield();
        }
        capturesThatSawLines += passing.countAt(LOG_ERROR) > 0 ? 1 : 0;
    }
    stop = true;
    for (std::thread& w : writers) {
        w.join();
    }
    EXPECT_EQ(capturesThatSawLines, CAPTURES);
    EXPECT_EQ(capture.countAt(LOG_ERROR), logged.load()) << "the lasting capture missed none";
}

TEST(LoggerDeathTest, ThreadsMayLogWhileTheProcessExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The lines go nowhere; what counts is that the exit does not pull the logger away.
            if (std::freopen("/dev/null", "w", stdout) == nullptr) {
                std::_Exit(3);
            }
            Logger::Instance().log_(LOG_INFO, __FILE__, __LINE__, "the logger is in use");
            static std::atomic<int> started{0};
            for (int t = 0; t < 4; ++t) {
                std::thread([] {
                    started.fetch_add(1);
                    for (unsigned long i = 0;; ++i) {
                        Logger::Instance().log_(LOG_ERROR, __FILE__, __LINE__, "still logging %lu", i);
                    }
                }).detach();
            }
            while (started.load() < 4) {
                std::this_thread::yield();
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
