#include "sensortrace/RegisterTrace.h"

#include <sstream>
#include <stdexcept>

namespace quelnor::test {

namespace {

uint32_t number(const std::string& text) { return static_cast<uint32_t>(std::stoul(text, nullptr, 0)); }

std::string describe(const Access& access) { return toString(access); }

} // namespace

std::vector<TraceStep> parseTrace(const std::string& script) {
    std::vector<TraceStep> steps;
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        if (!(words >> kind)) {
            continue;
        }
        TraceStep step{};
        step.text = line;
        std::string a, b, c;
        if (kind == "W" && words >> a >> b) {
            step.kind = TraceStep::WRITE;
            step.address = number(a);
            step.value = number(b);
        } else if (kind == "M" && words >> a >> b >> c) {
            step.kind = TraceStep::MASKED_WRITE;
            step.address = number(a);
            step.value = number(b);
            step.mask = number(c);
        } else if (kind == "F" && words >> a >> b && a.find('.') != std::string::npos) {
            step.kind = TraceStep::FIELD_WRITE;
            step.reg = a.substr(0, a.rfind('.'));
            step.field = a.substr(a.rfind('.') + 1);
            step.value = number(b);
        } else if (kind == "P" && words >> a) {
            step.kind = TraceStep::PAUSE;
            step.pauseUs = number(a);
        } else {
            throw std::invalid_argument("bad trace line: " + line);
        }
        steps.push_back(step);
    }
    return steps;
}

std::vector<TraceStep> parseTraces(const std::vector<std::string>& scripts) {
    std::vector<TraceStep> steps;
    for (const auto& script : scripts) {
        auto more = parseTrace(script);
        steps.insert(steps.end(), more.begin(), more.end());
    }
    return steps;
}

AccessClock::AccessClock(DeviceDouble& device) : state(std::make_shared<State>()) {
    auto s = state;
    device.setReadHook([s](uint32_t, uint32_t value, uint64_t) {
        std::lock_guard<std::mutex> lock(s->lock);
        s->times.push_back(Clock::now());
        return value;
    });
    device.setWriteHook([s](uint32_t, uint32_t written, uint32_t) {
        std::lock_guard<std::mutex> lock(s->lock);
        s->times.push_back(Clock::now());
        return written;
    });
}

std::vector<AccessClock::Clock::time_point> AccessClock::times() const {
    std::lock_guard<std::mutex> lock(state->lock);
    return state->times;
}

std::string matchTrace(const std::vector<Access>& log, const std::vector<TraceStep>& steps, const RegisterMap& map,
                       const std::vector<AccessClock::Clock::time_point>* times) {
    size_t i = 0;
    uint64_t pendingPauseUs = 0;
    std::string lastStep = "(start)";

    // Checks that log[i] is an access of the kind at the address and that the pending pause separates it
    // from the access before.
    auto expectAccess = [&](const TraceStep& step, AccessKind kind, uint32_t address, std::string& error) {
        std::ostringstream why;
        if (i >= log.size()) {
            why << "step '" << step.text << "': the log ends after " << log.size() << " accesses";
        } else if (log[i].kind != kind || log[i].address != address || log[i].failed) {
            why << "step '" << step.text << "': access " << i << " is '" << describe(log[i]) << "', expected a "
                << toString(kind) << " of 0x" << std::hex << std::uppercase << address;
        } else if (times != nullptr && pendingPauseUs > 0 && i > 0 && i < times->size()) {
            const auto gap =
                std::chrono::duration_cast<std::chrono::microseconds>((*times)[i] - (*times)[i - 1]).count();
            if (gap < static_cast<int64_t>(pendingPauseUs)) {
                why << "step '" << step.text << "': only " << gap << " us after '" << lastStep << "', expected a pause of "
                    << pendingPauseUs << " us";
            }
        }
        error = why.str();
        return error.empty();
    };

    for (const TraceStep& step : steps) {
        std::string error;
        switch (step.kind) {
        case TraceStep::PAUSE:
            pendingPauseUs += step.pauseUs;
            continue;
        case TraceStep::WRITE:
            if (!expectAccess(step, AccessKind::Write, step.address, error)) {
                return error;
            }
            if (log[i].value != step.value) {
                return "step '" + step.text + "': wrote '" + describe(log[i]) + "'";
            }
            ++i;
            break;
        case TraceStep::MASKED_WRITE:
        case TraceStep::FIELD_WRITE: {
            uint32_t address = step.address;
            if (step.kind == TraceStep::FIELD_WRITE) {
                address = map[step.reg].get_address();
            }
            if (!expectAccess(step, AccessKind::Read, address, error)) {
                return error;
            }
            const uint32_t old = log[i].value;
            ++i;
            pendingPauseUs = 0;
            if (!expectAccess(step, AccessKind::Write, address, error)) {
                return error;
            }
            const uint32_t expected = step.kind == TraceStep::MASKED_WRITE
                                          ? (old & ~step.mask) | (step.value & step.mask)
                                          : map[step.reg][step.field].set_bitfield_in_value(step.value, old);
            if (log[i].value != expected) {
                std::ostringstream why;
                why << "step '" << step.text << "': wrote '" << describe(log[i]) << "' over 0x" << std::hex
                    << std::uppercase << old << ", expected 0x" << expected;
                return why.str();
            }
            ++i;
            break;
        }
        }
        pendingPauseUs = 0;
        lastStep = step.text;
    }
    if (i != log.size()) {
        return "unexpected access " + std::to_string(i) + " after the last step: '" + describe(log[i]) + "'";
    }
    return {};
}

} // namespace quelnor::test
