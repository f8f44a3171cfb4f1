#pragma once

#include <cstdint>
#include <vector>

namespace quelnor {

// One step of a register sequence.
struct RegisterOperation {
    enum Type : uint32_t {
        NONE = 0,
        READ = 1,        // read address, discard the value
        WRITE = 2,       // write value to address
        MASKED_WRITE = 3, // write (old AND NOT mask) OR (value AND mask)
        DELAY = 4,       // sleep delayUs microseconds
    };

    uint32_t type;
    uint32_t address;
    uint32_t value;
    uint32_t mask;
    uint32_t delayUs;

    RegisterOperation() : type(NONE), address(0), value(0), mask(0), delayUs(0) {}
    explicit RegisterOperation(uint32_t delayUs_) : type(DELAY), address(0), value(0), mask(0), delayUs(delayUs_) {}
    RegisterOperation(uint32_t address_, uint32_t value_)
        : type(WRITE), address(address_), value(value_), mask(0), delayUs(0) {}
    RegisterOperation(uint32_t address_, uint32_t value_, uint32_t mask_)
        : type(MASKED_WRITE), address(address_), value(value_), mask(mask_), delayUs(0) {}
};

using RegisterOperationSequence = std::vector<RegisterOperation>;

} // namespace quelnor
