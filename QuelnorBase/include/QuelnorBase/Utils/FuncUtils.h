#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "QuelnorBase/DvsFileInfo.h"

namespace quelnor {

// ---- Raw event file header and its local-time text ("2024-03-05 14:07:09.004211") ----

// The complete header text of a raw file: "%" lines closed by "% end\n". The date line carries the
// current time; the format and geometry lines carry info's width and height.
std::string generateDvsFileHeader(DvsFileInfo& info);
// The current local time as time text.
std::string getSysTime();
// The given time as local time text, microseconds as 6 digits.
std::string timePointToString(const std::chrono::system_clock::time_point& time);
// Inverse of timePointToString. Skips everything before the first digit and tolerates extra spaces.
// Throws std::invalid_argument for an empty text and std::runtime_error for malformed text, a date
// outside the clock's range (about the years 1678 to 2262) included.
std::chrono::system_clock::time_point parseLocalTimeString(const std::string& text);

// ---- Number, IP and byte helpers ----

// Upper-case hexadecimal, at least width digits; negative values as 32-bit two's complement.
std::string hexToString(int value, int width);
// Decimal, zero-padded to at least width characters, sign first ("-005").
std::string intToString(int value, int width);
// Four bytes read as a big-endian number.
uint32_t bufToU32BE(const uint8_t* bytes);
// Dotted IPv4 text to its 32-bit value, first number in the most significant byte. Check the text
// with isValidIP first: a piece that is not a number throws std::stoi's exception.
int stringToIP(const std::string& text);
std::string ipToString(uint32_t ip);
std::string ipToString(const uint8_t bytes[4]);
// Strict dotted IPv4 text: four decimal pieces 0..255 without leading zeros.
bool isValidIP(const std::string& text);
// Swaps the two bytes of every 16-bit word in place; a final odd byte stays.
void convertEndian(std::vector<uint8_t>& buffer);

// ---- Platform helpers ----

// UTF-8 to the code set of the current locale (LC_CTYPE); the identity for UTF-8 and the C locale.
// Returns an empty string when the text cannot be converted.
std::string utf8ToLocal8Bit(const std::string& text);
// The current locale's code set to UTF-8; throws std::runtime_error when the text cannot be converted.
std::string local8bitToUtf8(const std::string& text);
// Restarts the first USB device with these ids by writing 0 and then 1 to its sysfs "authorized"
// file. True only when a device matched and both writes succeeded. Blocks about 100 ms on a match.
bool restartUSBDevice(uint16_t vendorId, uint16_t productId);
// The same below another sysfs mount point (devices are looked up in <sysfsRoot>/bus/usb/devices).
bool restartUSBDevice(uint16_t vendorId, uint16_t productId, const std::string& sysfsRoot);

} // namespace quelnor
