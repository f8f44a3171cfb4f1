#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelnorHal/register/RegisterMap.h"
#include "device/DeviceDouble.h"

namespace quelnor::test {

// One expected step of a register trace. Scripts hold one step per line:
//   W <address> <value>           plain write
//   M <address> <value> <mask>    read, then write (old AND NOT mask) OR (value AND mask)
//   F <register>.<field> <value>  field write by name: read, then write the old value with the field replaced
//   P <microseconds>              pause: the next access comes at least that long after the previous one
// Empty lines are skipped.
struct TraceStep {
    enum Kind { WRITE, MASKED_WRITE, FIELD_WRITE, PAUSE } kind;
    uint32_t address = 0;
    uint32_t value = 0;
    uint32_t mask = 0;
    std::string reg;
    std::string field;
    uint32_t pauseUs = 0;
    std::string text; // the script line, for messages
};

std::vector<TraceStep> parseTrace(const std::string& script);
// The steps of several scripts, one after the other.
std::vector<TraceStep> parseTraces(const std::vector<std::string>& scripts);

// Records when each access of a device double happens, through its read and write hooks (replacing
// any hooks set before). Only for devices without injected faults: failed accesses reach no hook.
class AccessClock {
public:
    using Clock = std::chrono::steady_clock;

    explicit AccessClock(DeviceDouble& device);
    std::vector<Clock::time_point> times() const;

private:
    struct State {
        std::mutex lock;
        std::vector<Clock::time_point> times;
    };
    std::shared_ptr<State> state;
};

// Compares a device's access log with the steps: empty when they match, otherwise a description of the
// first difference. Field names resolve through map. With times (one per access), each pause is checked
// as a lower bound on the time between the accesses around it.
std::string matchTrace(const std::vector<Access>& log, const std::vector<TraceStep>& steps, const RegisterMap& map,
                       const std::vector<AccessClock::Clock::time_point>* times = nullptr);

} // namespace quelnor::test
