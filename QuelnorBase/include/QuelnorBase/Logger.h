#pragma once

#include <atomic>
#include <memory>

#include "QuelnorBase/LogLevelType.h"

namespace quelnor {

class LoggerImpl;

// The process-wide console logger ("my_logger" in spdlog's registry). Safe from any thread.
// Debug builds of the base library print from debug level up, release builds from info up;
// setLogLevel can raise that threshold but never lower it.
class Logger {
public:
    static Logger& Instance();
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // printf-style; the message is cut at 1023 characters.
    void log_(LogLevelType level, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 5, 6)))
#endif
        ;
    void setLogLevel(LogLevelType level);
    LogLevelType getLogLevel();

private:
    Logger();
    std::unique_ptr<LoggerImpl> impl;
    std::atomic<LogLevelType> level;
};

} // namespace quelnor

#define QN_LOG(level, ...) ::quelnor::Logger::Instance().log_((level), __FILE__, __LINE__, __VA_ARGS__)
#define QN_TRACE(...) QN_LOG(::quelnor::LOG_TRACE, __VA_ARGS__)
#define QN_DEBUG(...) QN_LOG(::quelnor::LOG_DEBUG, __VA_ARGS__)
#define QN_INFO(...) QN_LOG(::quelnor::LOG_INFO, __VA_ARGS__)
#define QN_WARN(...) QN_LOG(::quelnor::LOG_WARN, __VA_ARGS__)
#define QN_ERROR(...) QN_LOG(::quelnor::LOG_ERROR, __VA_ARGS__)
#define QN_CRITICAL(...) QN_LOG(::quelnor::LOG_CRITICAL, __VA_ARGS__)
