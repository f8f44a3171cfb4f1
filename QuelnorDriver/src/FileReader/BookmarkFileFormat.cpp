#include "FileReader/BookmarkFileFormat.h"

#include <cstring>

namespace quelnor {

namespace {

constexpr uint8_t FLAG_ROW_SELECTED = 1u << 0;
constexpr uint8_t FLAG_ROW_WORD_IS_Y = 1u << 1;
constexpr uint8_t FLAG_VECTOR_BASE_VALID = 1u << 2;
constexpr uint8_t FLAG_TIME_LOW_SEEN = 1u << 3;
constexpr uint8_t FLAG_TIME_HIGH_SEEN = 1u << 4;
constexpr uint8_t FLAG_FIRST_TIME_SET = 1u << 5;
constexpr uint8_t KNOWN_FLAGS = 0x3F;
constexpr uint8_t TEXT_END = 0x00;

void putU8(std::vector<uint8_t>& out, uint8_t value) { out.push_back(value); }

void putU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void putU64(std::vector<uint8_t>& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void putText(std::vector<uint8_t>& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

// Reads little-endian values and never past its end: every read first checks what remains.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data(data), size(size) {}

    size_t remaining() const { return size - pos; }
    bool u8(uint8_t& value) {
        if (remaining() < 1) {
            return false;
        }
        value = data[pos++];
        return true;
    }
    bool u16(uint16_t& value) {
        if (remaining() < 2) {
            return false;
        }
        value = static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return true;
    }
    bool u64(uint64_t& value) {
        if (remaining() < 8) {
            return false;
        }
        value = 0;
        for (int i = 7; i >= 0; --i) {
            value = (value << 8) | data[pos + static_cast<size_t>(i)];
        }
        pos += 8;
        return true;
    }

private:
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

void encodeState(std::vector<uint8_t>& out, const EVT3Decoder::StreamState& state) {
    for (uint16_t payload : state.status.lastPayload) {
        putU16(out, payload);
    }
    uint8_t flags = 0;
    flags |= state.rowSelected ? FLAG_ROW_SELECTED : 0;
    flags |= state.rowWordIsY ? FLAG_ROW_WORD_IS_Y : 0;
    flags |= state.vectorBaseValid ? FLAG_VECTOR_BASE_VALID : 0;
    flags |= state.timeLowSeen ? FLAG_TIME_LOW_SEEN : 0;
    flags |= state.timeHighSeen ? FLAG_TIME_HIGH_SEEN : 0;
    flags |= state.firstTimestampSet ? FLAG_FIRST_TIME_SET : 0;
    putU8(out, flags);
    putU64(out, state.lastTimestamp);
    putU64(out, state.firstTimestamp);
    putU8(out, state.carryCount);
    for (uint16_t word : state.carryWords) {
        putU16(out, word);
    }
    putU64(out, state.missingWords);
}

bool decodeState(ByteReader& in, EVT3Decoder::StreamState& state, std::string& error) {
    for (uint16_t& payload : state.status.lastPayload) {
        if (!in.u16(payload)) {
            error = "truncated decoder state";
            return false;
        }
    }
    uint8_t flags = 0;
    if (!in.u8(flags) || !in.u64(state.lastTimestamp) || !in.u64(state.firstTimestamp) || !in.u8(state.carryCount)) {
        error = "truncated decoder state";
        return false;
    }
    for (uint16_t& word : state.carryWords) {
        if (!in.u16(word)) {
            error = "truncated decoder state";
            return false;
        }
    }
    if (!in.u64(state.missingWords)) {
        error = "truncated decoder state";
        return false;
    }
    if ((flags & ~KNOWN_FLAGS) != 0) {
        error = "unknown decoder state flags";
        return false;
    }
    state.rowSelected = (flags & FLAG_ROW_SELECTED) != 0;
    state.rowWordIsY = (flags & FLAG_ROW_WORD_IS_Y) != 0;
    state.vectorBaseValid = (flags & FLAG_VECTOR_BASE_VALID) != 0;
    state.timeLowSeen = (flags & FLAG_TIME_LOW_SEEN) != 0;
    state.timeHighSeen = (flags & FLAG_TIME_HIGH_SEEN) != 0;
    state.firstTimestampSet = (flags & FLAG_FIRST_TIME_SET) != 0;
    // A cut group has its first word carried and lacks at least one; no group is longer than the
    // carry buffer.
    const bool carried = state.carryCount != 0;
    if (carried != (state.missingWords != 0) ||
        state.carryCount + state.missingWords > EVT3Decoder::MAX_GROUP_WORDS) {
        error = "impossible carried word group";
        return false;
    }
    return true;
}

} // namespace

std::vector<uint8_t> BookmarkFileFormat::encode(const BookmarkMap& bookmarks, const std::string& version,
                                                uint64_t rawFileSize, uint16_t width, uint16_t height) {
    std::vector<uint8_t> out;
    putText(out, "version:" + version + "\n");
    putText(out, "max_byte:" + std::to_string(rawFileSize) + "\n");
    putText(out, "sensor_width:" + std::to_string(width) + "\n");
    putText(out, "sensor_height:" + std::to_string(height) + "\n");
    putU8(out, TEXT_END);
    putU64(out, bookmarks.size());
    for (const auto& [key, bookmark] : bookmarks) {
        putU64(out, key);
        putU64(out, bookmark.bytePosition);
        encodeState(out, bookmark.decoderStatus);
        putU64(out, bookmark.timestamp);
        putU64(out, bookmark.eventCount);
        putU64(out, bookmark.triggers.size());
        for (const EventTriggerIn& trigger : bookmark.triggers) {
            putU16(out, static_cast<uint16_t>(trigger.id));
            putU16(out, static_cast<uint16_t>(trigger.polarity));
            putU64(out, trigger.timestamp);
        }
    }
    return out;
}

BookmarkFileFormat::TextPart BookmarkFileFormat::parseText(const std::vector<uint8_t>& content) {
    TextPart part;
    size_t end = 0;
    while (end < content.size() && content[end] != TEXT_END) {
        ++end;
    }
    size_t pos = 0;
    while (pos <= end) {
        size_t eol = pos;
        while (eol < end && content[eol] != '\n') {
            ++eol;
        }
        const std::string line(content.begin() + static_cast<std::ptrdiff_t>(pos),
                               content.begin() + static_cast<std::ptrdiff_t>(eol));
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            break;
        }
        const std::string key = line.substr(0, colon);
        const std::string value = line.substr(colon + 1);
        part.text[key] = value;
        if (!value.empty() && value[0] >= '0' && value[0] <= '9') {
            uint64_t number = 0;
            for (char c : value) {
                if (c < '0' || c > '9') {
                    break;
                }
                number = number * 10 + static_cast<uint64_t>(c - '0');
            }
            part.numbers[key] = number;
        } else {
            part.numbers.erase(key);
        }
        pos = eol + 1;
    }
    return part;
}

bool BookmarkFileFormat::decode(const std::vector<uint8_t>& content, uint64_t dataStart, uint64_t rawFileSize,
                                BookmarkMap& bookmarks, std::string& error) {
    size_t separator = 0;
    while (separator < content.size() && content[separator] != TEXT_END) {
        ++separator;
    }
    if (separator == content.size()) {
        error = "no end of the text part";
        return false;
    }
    ByteReader in(content.data() + separator + 1, content.size() - separator - 1);
    uint64_t count = 0;
    if (!in.u64(count)) {
        error = "no bookmark count";
        return false;
    }
    if (count == 0 || count > in.remaining() / RECORD_FIXED_BYTES) {
        error = "bookmark count does not fit the file";
        return false;
    }
    BookmarkMap loaded;
    const RawFileReader::Bookmark* previous = nullptr;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t key = 0;
        RawFileReader::Bookmark bookmark;
        if (!in.u64(key) || !in.u64(bookmark.bytePosition)) {
            error = "truncated record";
            return false;
        }
        if (!decodeState(in, bookmark.decoderStatus, error)) {
            return false;
        }
        uint64_t triggers = 0;
        if (!in.u64(bookmark.timestamp) || !in.u64(bookmark.eventCount) || !in.u64(triggers)) {
            error = "truncated record";
            return false;
        }
        if (triggers > in.remaining() / TRIGGER_BYTES) {
            error = "trigger count does not fit the file";
            return false;
        }
        bookmark.triggers.reserve(static_cast<size_t>(triggers));
        for (uint64_t t = 0; t < triggers; ++t) {
            uint16_t id = 0;
            uint16_t polarity = 0;
            uint64_t timestamp = 0;
            in.u16(id);
            in.u16(polarity);
            in.u64(timestamp);
            bookmark.triggers.emplace_back(static_cast<int16_t>(id), static_cast<int16_t>(polarity), timestamp);
        }
        if (bookmark.timestamp != key) {
            error = "bookmark time differs from its key";
            return false;
        }
        if (bookmark.bytePosition < dataStart || bookmark.bytePosition > rawFileSize ||
            ((bookmark.bytePosition - dataStart) % 2 != 0 && bookmark.bytePosition != rawFileSize)) {
            error = "byte position outside the data";
            return false;
        }
        if (previous == nullptr) {
            if (bookmark.bytePosition != dataStart || bookmark.eventCount != 0) {
                error = "first bookmark is not the start of the data";
                return false;
            }
        } else if (key <= previous->timestamp || bookmark.bytePosition < previous->bytePosition ||
                   bookmark.eventCount < previous->eventCount) {
            error = "bookmarks out of order";
            return false;
        }
        auto placed = loaded.emplace(key, std::move(bookmark));
        previous = &placed.first->second;
    }
    if (in.remaining() != 0) {
        error = "bytes after the last record";
        return false;
    }
    if (previous->bytePosition != rawFileSize) {
        error = "last bookmark is not the end of the file";
        return false;
    }
    bookmarks = std::move(loaded);
    return true;
}

uint8_t BookmarkFileFormat::crc8(const uint8_t* data, size_t size) {
    uint8_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}

} // namespace quelnor
