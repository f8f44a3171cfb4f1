#pragma once

#include <cstdint>

// One row of a sensor's register table. A register row is followed by its field rows, each field
// row by its alias rows. Rows of any other type are skipped by RegisterMap.
// The three values share their storage; use the group that matches the row's type.
struct RegisterInfo {
    enum RowType : int32_t {
        REGISTER = 0,
        FIELD = 1,
        ALIAS = 2,
    };

    int32_t type;
    const char* name;
    union {
        struct {
            uint32_t address;
            uint32_t unused1;
            uint32_t unused2;
        } reg;
        struct {
            uint32_t start; // lowest bit; only the low 8 bits are used
            uint32_t len;   // bit count; only the low 8 bits are used
            uint32_t default_value;
        } field;
        struct {
            uint32_t value;
            uint32_t unused1;
            uint32_t unused2;
        } alias;
    };

    static constexpr RegisterInfo register_row(const char* name, uint32_t address) {
        return RegisterInfo{REGISTER, name, {{address, 0, 0}}};
    }
    static constexpr RegisterInfo field_row(const char* name, uint32_t start, uint32_t len,
                                            uint32_t defaultValue = 0) {
        return RegisterInfo{FIELD, name, {{start, len, defaultValue}}};
    }
    static constexpr RegisterInfo alias_row(const char* name, uint32_t value) {
        return RegisterInfo{ALIAS, name, {{value, 0, 0}}};
    }
};
