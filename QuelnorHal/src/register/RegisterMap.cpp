#include "QuelnorHal/register/RegisterMap.h"

#include <optional>
#include <stdexcept>
#include <utility>

namespace quelnor {

RegisterMap::RegisterMap(const RegisterInfo* table, uint32_t count, std::string /*prefix*/) {
    std::optional<Register> currentRegister;
    std::optional<Register::Field> currentField;

    auto closeField = [&] {
        if (currentRegister && currentField) {
            currentRegister->add_field(std::move(*currentField));
        }
        currentField.reset();
    };
    auto closeRegister = [&] {
        closeField();
        if (currentRegister) {
            std::string name = currentRegister->get_name();
            m_registers.insert_or_assign(std::move(name), std::move(*currentRegister));
        }
        currentRegister.reset();
    };

    for (uint32_t i = 0; table != nullptr && i < count; ++i) {
        const RegisterInfo& row = table[i];
        const char* name = row.name != nullptr ? row.name : "";
        switch (row.type) {
        case RegisterInfo::REGISTER:
            closeRegister();
            currentRegister.emplace(name, row.reg.address);
            break;
        case RegisterInfo::FIELD:
            if (!currentRegister) {
                throw std::runtime_error("RegisterMap: Field without register");
            }
            closeField();
            currentField.emplace(name, static_cast<uint8_t>(row.field.start & 0xFF),
                                 static_cast<uint8_t>(row.field.len & 0xFF), row.field.default_value,
                                 std::map<std::string, uint32_t>{});
            break;
        case RegisterInfo::ALIAS:
            if (!currentRegister || !currentField) {
                throw std::runtime_error("RegisterMap: Alias without register");
            }
            currentField->add_alias(name, row.alias.value);
            break;
        default:
            break;
        }
    }
    closeRegister();
}

RegisterMap::RegisterMap(const RegisterMap& other) = default;
RegisterMap::RegisterMap(RegisterMap&& other) noexcept = default;
RegisterMap& RegisterMap::operator=(const RegisterMap& other) = default;
RegisterMap& RegisterMap::operator=(RegisterMap&& other) noexcept = default;
RegisterMap::~RegisterMap() = default;

const Register& RegisterMap::operator[](const std::string& name) const {
    auto it = m_registers.find(name);
    if (it == m_registers.end()) {
        throw std::runtime_error("RegisterController: Register not found");
    }
    return it->second;
}

std::string RegisterMap::nameOf(uint32_t address) const {
    for (const auto& [name, reg] : m_registers) {
        if (reg.get_address() == address) {
            return name;
        }
    }
    return {};
}

} // namespace quelnor
