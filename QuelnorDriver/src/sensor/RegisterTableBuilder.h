#pragma once

// Expands a register table from its compact description: the register list by block (name, address
// and row counts, series written "first … last address + 4n") and the field layouts of the registers
// that are addressed by name. Registers without a layout get generated fields ("Reserved_<hi>_<lo>")
// that fill the word. The expansion checks the two lists against each other and the result against
// the expected row count, and throws std::logic_error naming the first mismatch.
//
// Notation of a layout: "field first/count[=default] [{alias=value, ...}]; ...". In a series a field
// name may carry "{Kn+C:W}": K times the register's number n plus C, written with at least W digits.

#include <cstdint>
#include <span>
#include <vector>

#include "QuelnorHal/register/RegisterInfo.h"

namespace quelnor::detail {

struct RegisterBlock {
    const char* prefix;    // "" for the first block, else e.g. "erc/"
    const char* registers; // "name address (fields[+Ka][ each]), ..."
};

struct RegisterLayout {
    const char* registers; // "full_name address", or "first … last address + 4n" for a series
    const char* fields;
};

// A table's own layouts followed by those of a block it shares with other tables.
std::vector<RegisterLayout> joinLayouts(std::vector<RegisterLayout> own, std::span<const RegisterLayout> shared);

// The rows; their names point into storage that lives as long as the process.
std::vector<RegisterInfo> expandRegisterTable(const std::vector<RegisterBlock>& blocks,
                                              const std::vector<RegisterLayout>& layouts);

// Expands into rows[0..count) and checks the count; on any error logs it and leaves rows untouched.
bool fillRegisterTable(RegisterInfo* rows, uint32_t count, const std::vector<RegisterBlock>& blocks,
                       const std::vector<RegisterLayout>& layouts, const char* tableName);

} // namespace quelnor::detail
