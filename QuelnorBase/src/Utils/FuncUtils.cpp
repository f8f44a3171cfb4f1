#include "QuelnorBase/Utils/FuncUtils.h"

#include <cctype>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace quelnor {

namespace {

constexpr int64_t MICROS_PER_SECOND = 1000000;
constexpr const char* TIME_FORMAT = "%Y-%m-%d %H:%M:%S";
constexpr size_t FRACTION_DIGITS = 6;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Splits at '.' the way std::getline does: a '.' at the very end adds no empty piece.
std::vector<std::string> splitDots(const std::string& text) {
    std::vector<std::string> pieces;
    std::istringstream in(text);
    std::string piece;
    while (std::getline(in, piece, '.')) {
        pieces.push_back(piece);
    }
    return pieces;
}

// A run of spaces becomes one space; a run touching '-' or ':' goes entirely.
std::string normaliseSpaces(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != ' ') {
            out.push_back(text[i++]);
            continue;
        }
        size_t end = i;
        while (end < text.size() && text[end] == ' ') {
            ++end;
        }
        const bool afterSeparator = !out.empty() && (out.back() == '-' || out.back() == ':');
        const bool beforeSeparator = end < text.size() && (text[end] == '-' || text[end] == ':');
        if (!afterSeparator && !beforeSeparator) {
            out.push_back(' ');
        }
        i = end;
    }
    return out;
}

} // namespace

std::string generateDvsFileHeader(DvsFileInfo& info) {
    std::ostringstream out;
    out << "% camera_integrator_name Quelnor\n"
        << "% date " << getSysTime() << "\n"
        << "% evt 3.0\n"
        << "% format EVT3; height = " << info.height << "; width = " << info.width << "\n"
        << "% generation 4.2\n"
        << "% geometry " << info.width << "x" << info.height << "\n"
        << "% integrator_name Quelnor\n"
        << "% plugin_integrator_name Quelnor\n"
        << "% plugin_name hal_plugin_quelnor\n"
        << "% sensor_generation 4.2\n"
        << "% sensor_name IMX646\n"
        << "% serial_number " << info.serialNumber << "\n"
        << "% system_ID 53\n"
        << "% dvs_start_timestamp " << info.dvsStartTimestamp << "\n";
    if (info.apsStartTimestamp != 0) {
        out << "% aps_start_timestamp " << info.apsStartTimestamp << "\n";
    }
    out << "% end\n";
    return out.str();
}

std::string getSysTime() { return timePointToString(std::chrono::system_clock::now()); }

std::string timePointToString(const std::chrono::system_clock::time_point& time) {
    // Floor, not truncation: times before the epoch keep a fraction in 0..999999.
    const auto micros = std::chrono::floor<std::chrono::microseconds>(time.time_since_epoch()).count();
    int64_t seconds = micros / MICROS_PER_SECOND;
    int64_t fraction = micros % MICROS_PER_SECOND;
    if (fraction < 0) {
        fraction += MICROS_PER_SECOND;
        --seconds;
    }
    const std::time_t calendar = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&calendar, &local);
    char text[64];
    const size_t length = std::strftime(text, sizeof(text), TIME_FORMAT, &local);
    std::ostringstream out;
    out << std::string(text, length) << '.' << std::setw(FRACTION_DIGITS) << std::setfill('0') << fraction;
    return out.str();
}

std::chrono::system_clock::time_point parseLocalTimeString(const std::string& text) {
    if (text.empty()) {
        throw std::invalid_argument("Time string is empty");
    }
    size_t first = 0;
    while (first < text.size() && !isDigit(text[first])) {
        ++first;
    }
    if (first == text.size()) {
        throw std::runtime_error("No timestamp found");
    }

    // strptime, not std::get_time: the latter accepts a text that ends before the format does.
    const std::string normalised = normaliseSpaces(text.substr(first));
    std::tm broken{};
    const char* rest = strptime(normalised.c_str(), TIME_FORMAT, &broken);
    if (rest == nullptr) {
        throw std::runtime_error("Failed to parse time string: invalid format");
    }

    int64_t fraction = 0;
    if (*rest == '.') {
        ++rest;
        std::string digits;
        while (isDigit(*rest)) {
            digits.push_back(*rest++);
        }
        if (!digits.empty()) {
            digits.resize(FRACTION_DIGITS, '0');
            try {
                fraction = std::stoll(digits);
            } catch (const std::exception&) {
                throw std::runtime_error("Invalid microsecond part");
            }
        }
    }

    // Let mktime decide whether daylight saving applies, so summer times read back unchanged.
    broken.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&broken);
    if (seconds == static_cast<std::time_t>(-1)) {
        throw std::runtime_error("mktime failed");
    }
    // The clock counts nanoseconds in 64 bits (about the years 1678 to 2262); a date outside that
    // would overflow it.
    using Clock = std::chrono::system_clock;
    constexpr int64_t FIRST_SECOND =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::min().time_since_epoch()).count() + 1;
    constexpr int64_t LAST_SECOND =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max().time_since_epoch()).count() - 1;
    if (static_cast<int64_t>(seconds) < FIRST_SECOND || static_cast<int64_t>(seconds) > LAST_SECOND) {
        throw std::runtime_error("Time string out of range");
    }
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(seconds) +
                                                                         std::chrono::microseconds(fraction)));
}

std::string hexToString(int value, int width) {
    std::ostringstream out;
    out << std::uppercase << std::hex << std::setw(width) << std::setfill('0') << value;
    return out.str();
}

std::string intToString(int value, int width) {
    std::ostringstream out;
    // internal: the zeros go between the sign and the digits.
    out << std::internal << std::setw(width) << std::setfill('0') << value;
    return out.str();
}

uint32_t bufToU32BE(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

int stringToIP(const std::string& text) {
    uint8_t bytes[4] = {0, 0, 0, 0};
    const std::vector<std::string> pieces = splitDots(text);
    for (size_t i = 0; i < pieces.size() && i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(std::stoi(pieces[i]) & 0xFF);
    }
    return static_cast<int>(bufToU32BE(bytes));
}

std::string ipToString(uint32_t ip) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(ip >> 24), static_cast<uint8_t>(ip >> 16),
                              static_cast<uint8_t>(ip >> 8), static_cast<uint8_t>(ip)};
    return ipToString(bytes);
}

std::string ipToString(const uint8_t bytes[4]) {
    std::ostringstream out;
    out << static_cast<int>(bytes[0]) << '.' << static_cast<int>(bytes[1]) << '.' << static_cast<int>(bytes[2])
        << '.' << static_cast<int>(bytes[3]);
    return out.str();
}

bool isValidIP(const std::string& text) {
    int count = 0;
    for (const std::string& piece : splitDots(text)) {
        if (piece.empty()) {
            return false;
        }
        if (piece.size() > 1 && piece[0] == '0') {
            return false;
        }
        for (char c : piece) {
            if (!isDigit(c)) {
                return false;
            }
        }
        if (piece.size() > 3 || std::stoi(piece) > 255) {
            return false;
        }
        ++count;
    }
    return count == 4;
}

void convertEndian(std::vector<uint8_t>& buffer) {
    for (size_t i = 0; i + 1 < buffer.size(); i += 2) {
        std::swap(buffer[i], buffer[i + 1]);
    }
}

} // namespace quelnor
