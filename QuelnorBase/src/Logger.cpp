#include "QuelnorBase/Logger.h"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace quelnor {

namespace {

constexpr const char* LOGGER_NAME = "my_logger";
constexpr const char* LOG_PATTERN = "[%H:%M:%S.%e] [%^%l%$] %v";
constexpr size_t MESSAGE_BUFFER_SIZE = 1024;

#ifdef QUELNOR_DEBUG_BUILD
constexpr int MIN_LEVEL = LOG_DEBUG;
#else
constexpr int MIN_LEVEL = LOG_INFO;
#endif

spdlog::level::level_enum toSpdlogLevel(LogLevelType level) {
    switch (level) {
    case LOG_TRACE: return spdlog::level::trace;
    case LOG_DEBUG: return spdlog::level::debug;
    case LOG_WARN: return spdlog::level::warn;
    case LOG_ERROR: return spdlog::level::err;
    case LOG_CRITICAL: return spdlog::level::critical;
    default: return spdlog::level::info;
    }
}

const char* baseName(const char* file) {
    if (file == nullptr) {
        return "";
    }
    const char* name = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    return name;
}

} // namespace

class LoggerImpl {
public:
    int minLevel = MIN_LEVEL;
    std::shared_ptr<spdlog::logger> logger;
};

Logger& Logger::Instance() {
    // Never destroyed: threads that still log while the process exits keep a valid logger.
    static Logger* instance = new Logger();
    return *instance;
}

Logger::Logger() : impl(std::make_unique<LoggerImpl>()), level(LOG_INFO) {
    impl->logger = spdlog::get(LOGGER_NAME);
    if (!impl->logger) {
        try {
            impl->logger = spdlog::stdout_color_mt(LOGGER_NAME, spdlog::color_mode::automatic);
        } catch (const spdlog::spdlog_ex&) {
            // Another thread or library registered it in between.
            impl->logger = spdlog::get(LOGGER_NAME);
        }
    }
    impl->logger->set_pattern(LOG_PATTERN, spdlog::pattern_time_type::local);
    impl->logger->set_level(static_cast<spdlog::level::level_enum>(impl->minLevel));
}

Logger::~Logger() = default;

void Logger::log_(LogLevelType lvl, const char* file, int line, const char* format, ...) {
    if (static_cast<int>(lvl) < impl->minLevel) {
        return;
    }
    char buffer[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);

    switch (lvl) {
    case LOG_TRACE:
        impl->logger->log(spdlog::level::trace, "[{}]:[{}]:{}", baseName(file), line, buffer);
        break;
    case LOG_DEBUG:
        impl->logger->log(spdlog::level::debug, "[{}]:[{}]:{}", baseName(file), line, buffer);
        break;
    default:
        impl->logger->log(toSpdlogLevel(lvl), spdlog::string_view_t(buffer, std::strlen(buffer)));
        break;
    }
}

void Logger::setLogLevel(LogLevelType lvl) {
    level = lvl;
    impl->logger->set_level(toSpdlogLevel(lvl));
}

LogLevelType Logger::getLogLevel() { return level; }

} // namespace quelnor
