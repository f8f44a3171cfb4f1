#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QuelnorHal/interface/CtrlFrame.h"

namespace quelnor {

// A control frame whose request carries one 32-bit argument and whose answer is a 32-bit word
// followed by NUL-terminated strings.
class StringsCtrlFrame : public CtrlFrame {
public:
    StringsCtrlFrame(uint32_t property, uint32_t argument);

    // Appends the text and its terminating NUL.
    void push_back_string(const std::string& text);
    // The strings after the first payload word. Empty (and logged) when the payload is too short
    // or does not end with a NUL.
    std::vector<std::string> get_strings() const;
};

} // namespace quelnor
