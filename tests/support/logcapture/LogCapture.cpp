#include "LogCapture.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>
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

// The logger's own list of sinks is read without a lock by every logging thread, so it is changed
// only once, before main: it gains one distributing sink, and captures come and go in that sink's
// list, which a logging thread reads under the distributor's lock. A capture removed there is no
// longer in use by any thread once the removal returns.
spdlog::sinks::dist_sink_mt& captures() {
    static const std::shared_ptr<spdlog::sinks::dist_sink_mt> distributor = [] {
        auto sink = std::make_shared<spdlog::sinks::dist_sink_mt>();
        Logger::Instance(); // creates or adopts the console logger
        if (auto logger = spdlog::get("my_logger")) {
            logger->sinks().push_back(sink);
        }
        return sink;
    }();
    return *distributor;
}

// Before main, so no test thread logs yet when the logger's list changes.
[[maybe_unused]] const bool CAPTURES_INSTALLED = (captures(), true);

} // namespace

LogCapture::LogCapture() : sink(std::make_shared<Sink>()) { captures().add_sink(sink); }

LogCapture::~LogCapture() { captures().remove_sink(sink); }

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
