// Another library of the process registered the console logger "my_logger" before anyone used
// ours: the logger shares it and sets its pattern and level again.
#include "QuelnorBase/Logger.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>

#include "ConsoleLine.h"

using namespace quelnor;

TEST(LoggerSharing, AdoptsTheRegisteredLoggerAndSetsItsPatternAndLevel) {
    std::ostringstream out;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
    auto registered = std::make_shared<spdlog::logger>("my_logger", sink);
    registered->set_pattern("OTHER %v");
    registered->set_level(spdlog::level::off);
    spdlog::register_logger(registered);

    Logger::Instance().log_(LOG_INFO, __FILE__, __LINE__, "shared %d", 1);
    Logger::Instance().log_(LOG_TRACE, __FILE__, __LINE__, "never");

    EXPECT_EQ(spdlog::get("my_logger"), registered);
#ifdef QUELNOR_DEBUG_BUILD
    EXPECT_EQ(registered->level(), spdlog::level::debug);
#else
    EXPECT_EQ(registered->level(), spdlog::level::info);
#endif
    const std::string text = out.str();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_TRUE(isConsoleLine(text.substr(0, text.size() - 1), "[info] shared 1")) << text;
    spdlog::drop("my_logger");
}
