#include "QuelnorHal/interface/StringsCtrlFrame.h"

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {
constexpr size_t FIRST_WORD_SIZE = 4;
}

StringsCtrlFrame::StringsCtrlFrame(uint32_t property, uint32_t argument) : CtrlFrame(property) {
    push_back32(argument);
}

void StringsCtrlFrame::push_back_string(const std::string& text) {
    m_data.insert(m_data.end(), text.begin(), text.end());
    m_data.push_back(0);
}

std::vector<std::string> StringsCtrlFrame::get_strings() const {
    const uint64_t size = payload_size();
    if (size < FIRST_WORD_SIZE) {
        QN_ERROR("TZ_TOO_SHORT");
        return {};
    }
    if (size == FIRST_WORD_SIZE) {
        QN_ERROR("TZ_TOO_SHORT, not enough space for NULL terminator");
        return {};
    }
    const uint8_t* p = payload();
    if (p[size - 1] != 0) {
        QN_ERROR("TZ_INVALID_ANSWER, compatible string shall be NULL-terminated");
        return {};
    }
    std::vector<std::string> strings;
    size_t cursor = FIRST_WORD_SIZE;
    while (cursor < size) {
        const char* text = reinterpret_cast<const char*>(p + cursor);
        size_t length = 0;
        while (p[cursor + length] != 0) { // the payload ends with a NUL, so this stops inside it
            ++length;
        }
        strings.emplace_back(text, length);
        cursor += length + 1;
    }
    return strings;
}

} // namespace quelnor
