#include "QuelnorHal/EventStream/RawEventStreamFormat.h"

#include <stdexcept>

namespace quelnor {

RawEventStreamFormat::RawEventStreamFormat(const std::string& text) {
    size_t end = text.find(';');
    encodingName = text.substr(0, end);
    encodingType = encodingName == "EVT3" ? EVT3 : UNKNOWN_ENCODING;
    while (end != std::string::npos) {
        const size_t start = end + 1;
        end = text.find(';', start);
        const std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const size_t eq = piece.find('=');
        if (eq == std::string::npos) {
            options[piece] = std::string();
        } else {
            options[piece.substr(0, eq)] = piece.substr(eq + 1);
        }
    }
}

std::string RawEventStreamFormat::getEncodingTypeStr() const { return encodingName; }

RawEventStreamEncodingType RawEventStreamFormat::getEncodingType() const { return encodingType; }

bool RawEventStreamFormat::contains(const std::string& key) const { return options.find(key) != options.end(); }

const std::string& RawEventStreamFormat::operator[](std::string_view key) const {
    auto it = options.find(key);
    if (it == options.end()) {
        throw std::out_of_range("option not found");
    }
    return it->second;
}

} // namespace quelnor
