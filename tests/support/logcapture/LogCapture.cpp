#include "LogCapture.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <mutex>

#include "QuelnorBase/Logger.h"

namespace quelnor::test {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return captured;
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        captured.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        captured.push_back({static_cast<LogLevelType>(msg.level), std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<LogLine> captured;
};

namespace {
std::shared_ptr<spdlog::logger> quelnorLogger() {
    Logger::Instance(); // creates or adopts the console logger
    return spdlog::get("my_logger");
}
} // namespace

LogCapture::LogCapture() : sink(std::make_shared<Sink>()) {
    if (auto logger = quelnorLogger()) {
        logger->sinks().push_back(sink);
    }
}

LogCapture::~LogCapture() {
    if (auto logger = quelnorLogger()) {
        auto& sinks = logger->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
    }
}

std::vector<LogLine> LogCapture::lines() const { return sink->snapshot(); }

int LogCapture::count(const std::string& text) const {
    const auto all = lines();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const LogLine& l) { return l.text == text; }));
}

int LogCapture::count(LogLevelType level, const std::string& text) const {
    const auto all = lines();
    return static_cast<int>(
        std::count_if(all.begin(), all.end(), [&](const LogLine& l) { return l.level == level && l.text == text; }));
}

int LogCapture::countAt(LogLevelType level) const {
    const auto all = lines();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const LogLine& l) { return l.level == level; }));
}

void LogCapture::clear() { sink->reset(); }

} // namespace quelnor::test
