#include "DeviceParameterText.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace quelnor::writeparams {

namespace {
constexpr const char* WHITESPACE = " \t\n\r";
constexpr int MAC_DIGITS = 12;
constexpr int OCTETS = 4;
constexpr int BITS_PER_OCTET = 8;
constexpr uint32_t OCTET_MASK = 0xFF;
} // namespace

std::string formatMacAddress(uint64_t mac) {
    std::ostringstream out;
    out << std::hex << std::nouppercase << std::setw(MAC_DIGITS) << std::setfill('0') << mac;
    return out.str();
}

bool parseMacAddress(const std::string& text, uint64_t& mac) {
    std::string digits = trimWhitespace(text);
    digits.erase(std::remove_if(digits.begin(), digits.end(), [](char c) { return c == ':' || c == '-' || c == '.'; }),
                 digits.end());
    std::istringstream in(digits);
    uint64_t value = 0;
    if (!(in >> std::hex >> value)) {
        return false;
    }
    // More than 48 bits would be cut silently when it goes into the record.
    if (value > MAX_MAC_ADDRESS) {
        return false;
    }
    mac = value;
    return true;
}

uint32_t ipStringToU32LittleEndian(const std::string& text) {
    uint32_t result = 0;
    uint32_t part = 0;
    int index = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            part = part * 10 + static_cast<uint32_t>(c - '0');
        } else if (c == '.') {
            if (index < OCTETS) {
                result |= (part & OCTET_MASK) << (BITS_PER_OCTET * index);
            }
            ++index;
            part = 0;
        }
    }
    if (!text.empty() && index < OCTETS) {
        result |= (part & OCTET_MASK) << (BITS_PER_OCTET * index);
    }
    return result;
}

std::string ipU32LittleEndianToString(uint32_t ip) {
    std::ostringstream out;
    for (int i = 0; i < OCTETS; ++i) {
        if (i > 0) {
            out << '.';
        }
        out << ((ip >> (BITS_PER_OCTET * i)) & OCTET_MASK);
    }
    return out.str();
}

std::string trimWhitespace(const std::string& text) {
    const size_t first = text.find_first_not_of(WHITESPACE);
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(WHITESPACE);
    return text.substr(first, last - first + 1);
}

} // namespace quelnor::writeparams
