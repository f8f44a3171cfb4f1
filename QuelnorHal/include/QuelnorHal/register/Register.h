#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quelnor {

// A named register with named bit fields. Holds no cached value.
class Register {
public:
    // A bit field: len bits from bit start, with named values (aliases).
    class Field {
    public:
        Field();
        Field(std::string name, uint8_t start, uint8_t len, uint32_t defaultValue,
              const std::map<std::string, uint32_t>& aliases);
        Field(const Field& other);
        Field& operator=(const Field& other);
        ~Field();

        const std::string& get_name() const;
        uint8_t get_start() const;
        uint8_t get_len() const;
        uint32_t get_mask() const;
        uint32_t get_default_value() const;
        void set_start(uint8_t start);
        void set_len(uint8_t len);

        void add_alias(const std::string& name, uint32_t value);
        // Throws runtime_error "Register::Field: Alias not found".
        uint32_t operator[](const std::string& alias) const;
        // 0xFFFFFFFF when the alias is absent.
        uint32_t getAliasValue(const std::string& alias) const;
        bool has_alias(const std::string& alias) const;

        // registerValue with the field replaced by fieldValue; bits beyond the field are dropped.
        uint32_t set_bitfield_in_value(uint32_t fieldValue, uint32_t registerValue) const;
        uint32_t get_bitfield_in_value(uint32_t registerValue) const;

    private:
        // mask = len one-bits from bit start, cut to the 32-bit word: empty when start >= 32,
        // all bits from start upwards when start + len >= 32.
        void init_mask();

        std::string m_name;
        uint8_t m_start = 0;
        uint8_t m_len = 0;
        uint32_t m_mask = 0;
        uint32_t m_defaultValue = 0;
        std::map<std::string, uint32_t> m_aliases;
    };

    Register();
    Register(std::string name, uint32_t address);
    Register(const Register& other);
    Register& operator=(const Register& other);
    ~Register();

    const std::string& get_name() const;
    uint32_t get_address() const;
    uint32_t get_value() const; // always 0
    void add_field(const Field&& field);
    // Throws runtime_error "Register: Field not found".
    const Field& operator[](const std::string& fieldName) const;

private:
    std::string m_name;
    uint32_t m_address = 0;
    std::map<std::string, Field> m_fields;
};

} // namespace quelnor
