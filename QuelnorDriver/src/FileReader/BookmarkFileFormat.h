#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "QuelnorDriver/FileReader/RawFileReader.h"

namespace quelnor {

// Byte layout of the bookmark side file (all integers little-endian, no padding):
//   "version:<v>\n" "max_byte:<raw file size>\n" "sensor_width:<w>\n" "sensor_height:<h>\n" 0x00
//   u64 count N, N records in ascending key order, then one CRC-8 byte over everything before it.
// Record: u64 key, u64 byte position, decoder state (STATE_BYTES), u64 timestamp, u64 event count,
//   u64 trigger count M, M triggers of {i16 id, i16 polarity, u64 timestamp}.
// Decoder state: 16 x u16 stored payloads, u8 flags (bit 0 row selected, 1 last row word was type 0,
//   2 vector base valid, 3 time low seen, 4 time high seen, 5 first time set), u64 last time,
//   u64 first time, u8 carried words, 4 x u16 carried words, u64 words the carried group lacks.
class BookmarkFileFormat {
public:
    using BookmarkMap = std::map<uint64_t, RawFileReader::Bookmark>;

    static constexpr size_t STATE_BYTES = 66;
    static constexpr size_t RECORD_FIXED_BYTES = 8 + 8 + STATE_BYTES + 8 + 8 + 8;
    static constexpr size_t TRIGGER_BYTES = 12;

    struct TextPart {
        std::map<std::string, std::string> text;
        std::map<std::string, uint64_t> numbers; // only values that begin with a digit
    };

    // The whole file without its CRC byte.
    static std::vector<uint8_t> encode(const BookmarkMap& bookmarks, const std::string& version, uint64_t rawFileSize,
                                       uint16_t width, uint16_t height);
    // Key/value lines up to the first 0x00 byte (or the end); a line without ':' ends them.
    static TextPart parseText(const std::vector<uint8_t>& content);
    // Records of `content` (the file without its CRC byte). False, with the reason in `error`, on
    // anything that does not fit: counts beyond the bytes that remain, bytes left over, a state that
    // cannot be, keys, offsets or counts out of order, or offsets outside [dataStart, rawFileSize].
    static bool decode(const std::vector<uint8_t>& content, uint64_t dataStart, uint64_t rawFileSize,
                       BookmarkMap& bookmarks, std::string& error);
    // CRC-8, polynomial 0x07, initial value 0, no reflection, no final XOR.
    static uint8_t crc8(const uint8_t* data, size_t size);
};

} // namespace quelnor
