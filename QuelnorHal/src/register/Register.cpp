#include "QuelnorHal/register/Register.h"

#include <stdexcept>
#include <utility>

namespace quelnor {

Register::Field::Field() = default;

Register::Field::Field(std::string name, uint8_t start, uint8_t len, uint32_t defaultValue,
                       const std::map<std::string, uint32_t>& aliases)
    : m_name(std::move(name)), m_start(start), m_len(len), m_defaultValue(defaultValue), m_aliases(aliases) {
    init_mask();
}

Register::Field::Field(const Field& other) = default;
Register::Field& Register::Field::operator=(const Field& other) = default;
Register::Field::~Field() = default;

const std::string& Register::Field::get_name() const { return m_name; }
uint8_t Register::Field::get_start() const { return m_start; }
uint8_t Register::Field::get_len() const { return m_len; }
uint32_t Register::Field::get_mask() const { return m_mask; }
uint32_t Register::Field::get_default_value() const { return m_defaultValue; }

void Register::Field::set_start(uint8_t start) {
    m_start = start;
    init_mask();
}

void Register::Field::set_len(uint8_t len) {
    m_len = len;
    init_mask();
}

void Register::Field::add_alias(const std::string& name, uint32_t value) { m_aliases[name] = value; }

uint32_t Register::Field::operator[](const std::string& alias) const {
    auto it = m_aliases.find(alias);
    if (it == m_aliases.end()) {
        throw std::runtime_error("Register::Field: Alias not found");
    }
    return it->second;
}

uint32_t Register::Field::getAliasValue(const std::string& alias) const {
    auto it = m_aliases.find(alias);
    return it == m_aliases.end() ? 0xFFFFFFFFu : it->second;
}

bool Register::Field::has_alias(const std::string& alias) const { return m_aliases.count(alias) != 0; }

uint32_t Register::Field::set_bitfield_in_value(uint32_t fieldValue, uint32_t registerValue) const {
    // m_mask is empty whenever m_start >= 32, so the shift below only happens for start < 32.
    uint64_t shifted = m_start < 32 ? (static_cast<uint64_t>(fieldValue) << m_start) : 0;
    return (registerValue & ~m_mask) | (static_cast<uint32_t>(shifted) & m_mask);
}

uint32_t Register::Field::get_bitfield_in_value(uint32_t registerValue) const {
    return m_start < 32 ? (registerValue & m_mask) >> m_start : 0;
}

void Register::Field::init_mask() {
    if (m_len == 0 || m_start >= 32) {
        m_mask = 0;
        return;
    }
    uint64_t ones = m_len >= 64 ? ~0ull : ((1ull << m_len) - 1);
    m_mask = static_cast<uint32_t>((ones << m_start) & 0xFFFFFFFFull);
}

Register::Register() = default;

Register::Register(std::string name, uint32_t address) : m_name(std::move(name)), m_address(address) {}

Register::Register(const Register& other) = default;
Register& Register::operator=(const Register& other) = default;
Register::~Register() = default;

const std::string& Register::get_name() const { return m_name; }
uint32_t Register::get_address() const { return m_address; }
uint32_t Register::get_value() const { return 0; }

void Register::add_field(const Field&& field) { m_fields[field.get_name()] = field; }

const Register::Field& Register::operator[](const std::string& fieldName) const {
    auto it = m_fields.find(fieldName);
    if (it == m_fields.end()) {
        throw std::runtime_error("Register: Field not found");
    }
    return it->second;
}

} // namespace quelnor
