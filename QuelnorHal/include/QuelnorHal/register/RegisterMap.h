#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "QuelnorHal/register/Register.h"
#include "QuelnorHal/register/RegisterInfo.h"

namespace quelnor {

// Registers by name, built once from a register table and never changed afterwards, so concurrent
// look-ups are safe.
class RegisterMap {
public:
    // Throws runtime_error "RegisterMap: Field without register" / "RegisterMap: Alias without register"
    // for rows out of place. The prefix is accepted and not used: keys are the names as they stand.
    RegisterMap(const RegisterInfo* table, uint32_t count, std::string prefix);
    RegisterMap(const RegisterMap& other);
    RegisterMap(RegisterMap&& other) noexcept;
    RegisterMap& operator=(const RegisterMap& other);
    RegisterMap& operator=(RegisterMap&& other) noexcept;
    ~RegisterMap();

    // Throws runtime_error "RegisterController: Register not found".
    const Register& operator[](const std::string& name) const;
    // The name of a register at this address, empty when none; a linear search, for error lines.
    std::string nameOf(uint32_t address) const;

private:
    std::map<std::string, Register> m_registers;
};

} // namespace quelnor
