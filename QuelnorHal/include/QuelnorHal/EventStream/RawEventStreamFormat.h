#pragma once

#include <map>
#include <string>
#include <string_view>

namespace quelnor {

enum RawEventStreamEncodingType : int {
    EVT3 = 0,
    UNKNOWN_ENCODING = -1,
};

// A camera's stream-format text, e.g. "EVT3;height=720;width=1280": the encoding name, then
// key=value options, all separated by ';'. Nothing is trimmed; a later key overwrites an earlier one.
class RawEventStreamFormat {
public:
    explicit RawEventStreamFormat(const std::string& text);
    RawEventStreamFormat(const RawEventStreamFormat&) = default;
    RawEventStreamFormat(RawEventStreamFormat&&) = default;
    RawEventStreamFormat& operator=(const RawEventStreamFormat&) = default;
    RawEventStreamFormat& operator=(RawEventStreamFormat&&) = default;

    std::string getEncodingTypeStr() const;
    RawEventStreamEncodingType getEncodingType() const;
    bool contains(const std::string& key) const;
    // Throws std::out_of_range("option not found") when the key is absent.
    const std::string& operator[](std::string_view key) const;

private:
    std::string encodingName;
    RawEventStreamEncodingType encodingType = UNKNOWN_ENCODING;
    std::map<std::string, std::string, std::less<>> options;
};

} // namespace quelnor
