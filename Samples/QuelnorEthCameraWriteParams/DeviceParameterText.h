#pragma once

#include <cstdint>
#include <string>

namespace quelnor::writeparams {

// The largest MAC address (48 bits).
constexpr uint64_t MAX_MAC_ADDRESS = 0xFFFFFFFFFFFFULL;

// Lower-case hexadecimal, at least 12 digits.
std::string formatMacAddress(uint64_t mac);
// Reads a MAC written as 001122334455, 00:11:22:33:44:55, 00-11-22-33-44-55 or 0011.2233.4455
// (separators are dropped, then one hexadecimal number is read; what follows it is ignored).
// False when no number can be read or it does not fit 48 bits.
bool parseMacAddress(const std::string& text, uint64_t& mac);
// Dotted IPv4 text as stored in the record: first octet in the low byte. Digits build each part,
// '.' ends one, anything else is ignored; no range check.
uint32_t ipStringToU32LittleEndian(const std::string& text);
std::string ipU32LittleEndianToString(uint32_t ip);
// Without ' ', '\t', '\n' and '\r' at both ends.
std::string trimWhitespace(const std::string& text);

} // namespace quelnor::writeparams
