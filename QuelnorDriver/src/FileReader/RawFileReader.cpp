#include "QuelnorDriver/FileReader/RawFileReader.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "FileReader/BookmarkFileFormat.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorHal/EventStream/DecoderFactory.h"
#include "QuelnorHal/EventStream/Evt3Raw.h"
#include "QuelnorHal/EventStream/RawEventStreamFormat.h"

namespace quelnor {

namespace {

namespace fs = std::filesystem;

// Files are decoded for the largest sensor, whatever their header says.
constexpr const char* DECODER_FORMAT = "EVT3;height=720;width=1280";
constexpr uint16_t DECODER_WIDTH = 1280;
constexpr uint16_t DECODER_HEIGHT = 720;
constexpr const char* RAW_EXTENSION = ".raw";
constexpr const char* BOOKMARK_EXTENSION = ".qnmark.tmp";
// The side file is written under this suffix first and then renamed over the old one.
constexpr const char* BOOKMARK_TEMP_SUFFIX = ".part";

constexpr uint64_t TIME_PERIOD = uint64_t(1) << 24;
constexpr uint64_t TIME_HIGH_STEP = uint64_t(1) << 12;
constexpr unsigned VECTOR_GROUP_WORDS = 3;
constexpr unsigned OTHERS_GROUP_WORDS = 4;
constexpr uint16_t OTHERS_GROUP_SUBTYPE_A = 20;
constexpr uint16_t OTHERS_GROUP_SUBTYPE_B = 22;

constexpr const char* HEADER_END = "% end";
constexpr const char* HEADER_FORMAT = "% format ";
constexpr const char* HEADER_GEOMETRY = "% geometry ";
constexpr const char* HEADER_EVT = "% evt ";
constexpr const char* HEADER_SERIAL = "% serial_number ";
constexpr const char* HEADER_APS_START = "% aps_start_timestamp ";
constexpr const char* HEADER_DVS_START = "% dvs_start_timestamp ";
constexpr const char* HEADER_DATE = "% date ";
constexpr const char* EVT3_FORMAT_NAME = "EVT3";
constexpr const char* EVT3_VERSION = "3.0";

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string rest(const std::string& text, const char* prefix) { return text.substr(std::char_traits<char>::length(prefix)); }

// Side file of a recording: its ".raw" ending replaced; any other path gets the ending appended, so
// the side file never is the recording itself nor lands in another directory.
std::string bookmarkPathFor(const std::string& path) {
    const std::string raw = RAW_EXTENSION;
    if (path.size() >= raw.size() && path.compare(path.size() - raw.size(), raw.size(), raw) == 0) {
        return path.substr(0, path.size() - raw.size()) + BOOKMARK_EXTENSION;
    }
    return path + BOOKMARK_EXTENSION;
}

uint16_t parseSize(const std::string& text) {
    const unsigned long value = std::stoul(text);
    if (value > std::numeric_limits<uint16_t>::max()) {
        throw std::out_of_range("sensor size out of range");
    }
    return static_cast<uint16_t>(value);
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Words a decoder takes as one unit at this word: a vector group, a long OTHERS group or one word.
unsigned unitWords(const Evt3Raw::RawEvent& word) {
    const unsigned type = word.type();
    if (type == Evt3Raw::VECT_12) {
        return VECTOR_GROUP_WORDS;
    }
    if (type == Evt3Raw::OTHERS && (word.payload() == OTHERS_GROUP_SUBTYPE_A || word.payload() == OTHERS_GROUP_SUBTYPE_B)) {
        return OTHERS_GROUP_WORDS;
    }
    return 1;
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code error;
    return fs::exists(a, error) && fs::exists(b, error) && fs::equivalent(a, b, error);
}

} // namespace

RawFileReader::RawFileReader(std::string path) : filePath(std::move(path)) {
    decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat(DECODER_FORMAT));
    evt3 = dynamic_cast<EVT3Decoder*>(decoder.get());
    decodeBuffer = std::make_shared<std::vector<Event2D>>();
    carryBuffer = std::make_shared<std::vector<Event2D>>();
    resultBuffer = std::make_shared<std::vector<Event2D>>();
}

RawFileReader::~RawFileReader() {
    if (fileStream.is_open()) {
        fileStream.close();
    }
}

// ---------------------------------------------------------------------------------------------
// Loading

bool RawFileReader::loadFile() {
    std::lock_guard<std::mutex> lock(streamMutex);
    if (fileStream.is_open()) {
        fileStream.close();
    }
    loaded = false;
    fileInfo = DvsFileInfo();
    startTime = endTime = totalEvents = currentEventNum = currentTime = 0;
    decoder->setEventsStreamHandleCallback(nullptr);
    decoder->setTriggerInCallback(nullptr);

    bookmarkPath = bookmarkPathFor(filePath);
    // Only regular files are recordings. Checked before opening: opening a FIFO without a writer
    // would block, and a directory opens and reads as an empty recording.
    std::error_code statusError;
    const fs::file_status status = fs::status(filePath, statusError);
    if (!statusError && fs::exists(status) && !fs::is_regular_file(status)) {
        QN_ERROR("Loading raw file failed. %s is not a regular file.", filePath.c_str());
        return false;
    }
    fileStream.open(filePath, std::ios::binary);
    if (!fileStream.is_open()) {
        return false;
    }
    fileStream.seekg(0, std::ios::end);
    const std::streamoff size = fileStream.tellg();
    fileSize = size > 0 ? static_cast<uint64_t>(size) : 0;
    fileStream.seekg(0, std::ios::beg);

    if (!readHeader()) {
        return false;
    }
    const std::streamoff headerEnd = fileStream.tellg();
    dataStart = headerEnd >= 0 ? std::min<uint64_t>(static_cast<uint64_t>(headerEnd), fileSize) : fileSize;
    fileStream.clear();
    QN_INFO("Loading raw file...");

    std::error_code error;
    if (!fs::exists(bookmarkPath, error) || !sideFileUsable()) {
        initBookmark();
    } else {
        std::vector<uint8_t> content;
        if (checkBookmarksFromFile(bookmarkPath, content) && loadBookmarksFromFile(content)) {
            // loaded
        } else {
            QN_WARN("Bookmark file check failed, re-initialize bookmarks.");
            initBookmark();
        }
    }

    decoder->setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) { onEvents(first, last); });
    decoder->setTriggerInCallback([this](EventTriggerIn trigger) { onTrigger(trigger); });

    if (bookmarkMap.empty()) {
        QN_ERROR("Loading raw file failed. There is no data in the file.");
        return false;
    }
    startTime = bookmarkMap.begin()->first;
    endTime = bookmarkMap.rbegin()->first;
    totalEvents = bookmarkMap.rbegin()->second.eventCount;
    loaded = true;
    seekTimeLocked(startTime);
    QN_INFO("Loading raw file succeeded.");
    return true;
}

bool RawFileReader::readHeader() {
    fileStream.clear();
    fileStream.seekg(0, std::ios::beg);
    while (fileStream.peek() == '%') {
        std::string line;
        std::getline(fileStream, line);
        if (line == HEADER_END) {
            break;
        }
        if (startsWith(line, HEADER_FORMAT)) {
            const std::string fields = rest(line, HEADER_FORMAT);
            size_t pos = 0;
            bool first = true;
            while (pos <= fields.size()) {
                size_t end = fields.find(';', pos);
                if (end == std::string::npos) {
                    end = fields.size();
                }
                const std::string field = fields.substr(pos, end - pos);
                if (first) {
                    if (field != EVT3_FORMAT_NAME) {
                        std::cerr << "Error : detected non-EVT3 input file '" << "'" << std::endl;
                        return false;
                    }
                    first = false;
                } else {
                    const size_t equals = field.find('=');
                    if (equals != std::string::npos) {
                        const std::string key = field.substr(0, equals);
                        const std::string value = field.substr(equals + 1);
                        if (key == "width") {
                            fileInfo.width = parseSize(value);
                        } else if (key == "height") {
                            fileInfo.height = parseSize(value);
                        }
                    }
                }
                pos = end + 1;
            }
        } else if (startsWith(line, HEADER_GEOMETRY)) {
            const std::string geometry = rest(line, HEADER_GEOMETRY);
            const size_t x = geometry.find('x');
            fileInfo.width = parseSize(geometry.substr(0, x));
            fileInfo.height = parseSize(x == std::string::npos ? std::string() : geometry.substr(x + 1));
        } else if (startsWith(line, HEADER_EVT)) {
            if (rest(line, HEADER_EVT) != EVT3_VERSION) {
                std::cerr << "Error : detected non-EVT3 input file.'" << "'" << std::endl;
                return false;
            }
        } else if (startsWith(line, HEADER_SERIAL)) {
            fileInfo.serialNumber = rest(line, HEADER_SERIAL);
        } else if (startsWith(line, HEADER_APS_START)) {
            fileInfo.apsStartTimestamp = std::stoull(rest(line, HEADER_APS_START));
        } else if (startsWith(line, HEADER_DVS_START)) {
            fileInfo.dvsStartTimestamp = std::stoull(rest(line, HEADER_DVS_START));
        } else if (startsWith(line, HEADER_DATE)) {
            fileInfo.date = parseLocalTimeString(rest(line, HEADER_DATE));
        }
    }
    return true;
}

uint64_t RawFileReader::restoreTimeForData() {
    const uint64_t headerTime = fileInfo.dvsStartTimestamp;
    fileStream.clear();
    fileStream.seekg(static_cast<std::streamoff>(dataStart));
    readBuffer.resize(readBufferSize);
    uint64_t pos = dataStart;
    unsigned skip = 0; // words of a group that began in the previous chunk
    while (pos + 1 < fileSize) {
        const uint64_t n = std::min<uint64_t>(readBufferSize, fileSize - pos);
        fileStream.read(reinterpret_cast<char*>(readBuffer.data()), static_cast<std::streamsize>(n));
        const auto got = static_cast<uint64_t>(fileStream.gcount());
        if (got < 2) {
            break;
        }
        pos += got;
        const auto* words = reinterpret_cast<const Evt3Raw::RawEvent*>(readBuffer.data());
        const size_t count = static_cast<size_t>(got / 2);
        size_t i = std::min<size_t>(skip, count);
        skip -= static_cast<unsigned>(i);
        while (i < count) {
            if (words[i].type() == Evt3Raw::TIME_HIGH) {
                uint64_t time = (headerTime & ~(TIME_PERIOD - 1)) | (uint64_t(words[i].payload()) << 12);
                if (time > headerTime && time - headerTime > TIME_PERIOD / 2 && time >= TIME_PERIOD) {
                    time -= TIME_PERIOD;
                } else if (time < headerTime && headerTime - time > TIME_PERIOD / 2) {
                    time += TIME_PERIOD;
                }
                // One step before the first time word, so words before it, and the word itself,
                // read forwards from here.
                return time >= TIME_HIGH_STEP ? time - TIME_HIGH_STEP : 0;
            }
            const unsigned unit = unitWords(words[i]);
            if (i + unit > count) {
                skip = static_cast<unsigned>(i + unit - count);
            }
            i += unit;
        }
    }
    return headerTime;
}

// ---------------------------------------------------------------------------------------------
// Bookmark index

void RawFileReader::initBookmark() {
    {
        std::lock_guard<std::mutex> lock(triggerListMutex);
        triggerList.clear();
    }
    bookmarkMap.clear();
    eventCountIndex.clear();
    currentEventNum = 0;

    const uint64_t headerTime = fileInfo.dvsStartTimestamp;
    EVT3Decoder::StreamState initial;
    initial.lastTimestamp = restoreTimeForData();
    evt3->setStreamState(initial);

    bool haveEvent = false;
    uint64_t firstEventTime = 0;
    uint64_t lastEventTime = 0;
    std::vector<EventTriggerIn> collected;
    // The index needs the events' count and times only: they are counted, not decoded.
    decoder->setEventsStreamHandleCallback(nullptr);
    decoder->setTriggerInCallback([&](EventTriggerIn trigger) { collected.push_back(trigger); });

    auto store = [this](Bookmark& bookmark) {
        eventCountIndex.emplace(bookmark.eventCount, bookmark.timestamp);
        const uint64_t key = bookmark.timestamp;
        bookmarkMap[key] = std::move(bookmark);
    };

    Bookmark pending;
    pending.bytePosition = dataStart;
    pending.decoderStatus = initial;
    pending.timestamp = headerTime;
    bool pendingIsFirst = true;
    uint64_t total = 0;

    fileStream.clear();
    fileStream.seekg(static_cast<std::streamoff>(dataStart));
    readBuffer.resize(readBufferSize);
    uint64_t pos = dataStart;
    while (pos < fileSize) {
        const uint64_t n = std::min<uint64_t>(readBufferSize, fileSize - pos);
        fileStream.read(reinterpret_cast<char*>(readBuffer.data()), static_cast<std::streamsize>(n));
        const auto got = static_cast<uint64_t>(fileStream.gcount());
        if (got == 0) {
            break;
        }
        pos += got;
        const EVT3Decoder::EventCount counted = evt3->countEvents(readBuffer.data(), readBuffer.data() + got);
        total += counted.events;
        if (counted.events != 0) {
            if (!haveEvent) {
                haveEvent = true;
                firstEventTime = counted.firstTime;
            }
            lastEventTime = std::max(lastEventTime, counted.latestBlockEnd);
        }
        const uint64_t t = decoder->getLastTimeStamp();
        if (pendingIsFirst) {
            // The first bookmark opens the data: no event may lie before its time.
            if (haveEvent) {
                pending.timestamp = headerTime != 0 ? std::min(headerTime, firstEventTime) : firstEventTime;
            } else if (pending.timestamp == 0 && t != 0) {
                pending.timestamp = t;
            }
        }
        if (t != 0 && t >= saturatingAdd(pending.timestamp, bookmark_period_us)) {
            pending.triggers = std::move(collected);
            collected.clear();
            store(pending);
            pending = Bookmark();
            pending.bytePosition = pos;
            pending.decoderStatus = evt3->getStreamState();
            pending.timestamp = t;
            pending.eventCount = total;
            pendingIsFirst = false;
        }
    }
    pending.triggers = std::move(collected);

    // The end mark lies at the end of the file under the last time of the data, so the time of
    // every event is within [start, end].
    uint64_t finalTime = std::max(decoder->getLastTimeStamp(), pending.timestamp);
    if (haveEvent) {
        finalTime = std::max(finalTime, lastEventTime);
    }
    if (pending.bytePosition >= pos) {
        pending.timestamp = finalTime;
        store(pending);
    } else {
        if (finalTime == pending.timestamp) {
            // Keys are unique: the stretch's own key moves down by one, or the end mark's up by one.
            const bool roomBelow = pending.timestamp > 0 &&
                                   (bookmarkMap.empty() || bookmarkMap.rbegin()->first < pending.timestamp - 1);
            if (roomBelow) {
                --pending.timestamp;
            } else {
                ++finalTime;
            }
        }
        store(pending);
        Bookmark endMark;
        endMark.bytePosition = pos;
        endMark.decoderStatus = evt3->getStreamState();
        endMark.timestamp = finalTime;
        endMark.eventCount = total;
        store(endMark);
    }

    {
        std::lock_guard<std::mutex> lock(triggerListMutex);
        for (const auto& [key, bookmark] : bookmarkMap) {
            triggerList.insert(triggerList.end(), bookmark.triggers.begin(), bookmark.triggers.end());
        }
    }
    decoder->setEventsStreamHandleCallback(nullptr);
    decoder->setTriggerInCallback(nullptr);

    if (sideFileUsable()) {
        serializeBookmarkMap(bookmarkMap, bookmarkPath);
    } else {
        QN_WARN("Bookmark file would overwrite the recording; bookmarks are kept in memory only.");
    }
}

bool RawFileReader::serializeBookmarkMap(const std::map<uint64_t, Bookmark>& map, const std::string& path) {
    std::vector<uint8_t> bytes =
        BookmarkFileFormat::encode(map, BOOKMARK_VERSION, fileSize, fileInfo.width, fileInfo.height);
    bytes.push_back(crc8(bytes));
    const std::string temporary = path + BOOKMARK_TEMP_SUFFIX;
    if (samePath(temporary, filePath)) {
        QN_ERROR("Failed to open file for writing");
        return false;
    }
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out.is_open()) {
            QN_ERROR("Failed to open file for writing");
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            QN_ERROR("Failed to write bookmark file: %s", temporary.c_str());
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        QN_ERROR("Failed to replace bookmark file %s: %s", path.c_str(), error.message().c_str());
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

bool RawFileReader::checkBookmarksFromFile(const std::string& path, std::vector<uint8_t>& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        QN_ERROR("Error opening file for reading!");
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) {
        QN_ERROR("Error opening file for reading!");
        return false;
    }
    if (static_cast<uint64_t>(size) > MAX_BOOKMARK_FILE_SIZE) {
        QN_WARN("The tmp file is too large!");
        return false;
    }
    content.resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(content.data()), size);
    content.resize(static_cast<size_t>(in.gcount()));
    if (content.empty()) {
        QN_WARN("The file content is insufficient to perform CRC validation!");
        return false;
    }
    const uint8_t stored = content.back();
    content.pop_back();
    if (stored != crc8(content)) {
        QN_WARN("The file has changed");
        return false;
    }
    const BookmarkFileFormat::TextPart text = BookmarkFileFormat::parseText(content);
    const auto version = text.text.find("version");
    if (version == text.text.end()) {
        QN_WARN("Bookmark file has no version information, need to regenerate");
        return false;
    }
    if (version->second != BOOKMARK_VERSION) {
        QN_WARN("Bookmark file version mismatch: expected %s, got %s", BOOKMARK_VERSION, version->second.c_str());
        return false;
    }
    auto number = [&text](const char* key) {
        const auto found = text.numbers.find(key);
        return found == text.numbers.end() ? uint64_t(0) : found->second;
    };
    if (number("max_byte") != fileSize) {
        QN_WARN("The file has changed");
        return false;
    }
    if (number("sensor_width") != fileInfo.width || number("sensor_height") != fileInfo.height) {
        QN_WARN("The sensor resolution has been changed ");
        return false;
    }
    return true;
}

bool RawFileReader::loadBookmarksFromFile(const std::vector<uint8_t>& content) {
    std::map<uint64_t, Bookmark> loadedMap;
    std::string error;
    if (!BookmarkFileFormat::decode(content, dataStart, fileSize, loadedMap, error)) {
        QN_WARN("Bookmark file is inconsistent: %s", error.c_str());
        return false;
    }
    eventCountIndex.clear();
    std::vector<EventTriggerIn> triggers;
    for (const auto& [key, bookmark] : loadedMap) {
        eventCountIndex.emplace(bookmark.eventCount, key);
        triggers.insert(triggers.end(), bookmark.triggers.begin(), bookmark.triggers.end());
    }
    {
        std::lock_guard<std::mutex> lock(triggerListMutex);
        triggerList = std::move(triggers);
    }
    bookmarkMap = std::move(loadedMap);
    return true;
}

uint8_t RawFileReader::crc8(const std::vector<uint8_t>& bytes) { return BookmarkFileFormat::crc8(bytes.data(), bytes.size()); }

const RawFileReader::Bookmark* RawFileReader::getRawFileBookmarkByNEvents(uint64_t eventNumber) const {
    // The earliest bookmark with the greatest count not above the event number.
    auto it = eventCountIndex.upper_bound(eventNumber);
    if (it == eventCountIndex.begin()) {
        return nullptr;
    }
    --it;
    const auto found = bookmarkMap.find(it->second);
    return found == bookmarkMap.end() ? nullptr : &found->second;
}

const RawFileReader::Bookmark& RawFileReader::bookmarkBefore(uint64_t timestamp) const {
    // A bookmark whose key equals the time may follow events of that same time, so the search
    // starts from the one before it.
    auto it = bookmarkMap.lower_bound(timestamp);
    if (it != bookmarkMap.begin()) {
        --it;
    }
    return it->second;
}

bool RawFileReader::sideFileUsable() const {
    return bookmarkPath != filePath && !samePath(bookmarkPath, filePath);
}

const std::map<uint64_t, RawFileReader::Bookmark>& RawFileReader::getAllBookmarks() const { return bookmarkMap; }

std::vector<EventTriggerIn> RawFileReader::getTriggerListForBookmark(uint64_t timestamp) {
    const auto found = bookmarkMap.find(timestamp);
    return found == bookmarkMap.end() ? std::vector<EventTriggerIn>() : found->second.triggers;
}

// ---------------------------------------------------------------------------------------------
// Position

void RawFileReader::restoreBookmark(const Bookmark& bookmark) {
    evt3->setStreamState(bookmark.decoderStatus);
    readPosition = bookmark.bytePosition;
    fileStream.clear();
    fileStream.seekg(static_cast<std::streamoff>(readPosition));
    decodeBuffer->clear();
    carryBuffer->clear();
    carryPos = 0;
    decodedTriggers.clear();
}

size_t RawFileReader::decodeNextChunk() {
    if (readPosition >= fileSize) {
        return 0;
    }
    const uint64_t n = std::min<uint64_t>(readBufferSize, fileSize - readPosition);
    readBuffer.resize(readBufferSize);
    fileStream.read(reinterpret_cast<char*>(readBuffer.data()), static_cast<std::streamsize>(n));
    const auto got = static_cast<size_t>(fileStream.gcount());
    if (got == 0) {
        readPosition = fileSize;  // the file shrank since it was loaded
        return 0;
    }
    readPosition += got;
    decoder->decode(readBuffer.data(), readBuffer.data() + got);
    return got;
}

void RawFileReader::onTrigger(const EventTriggerIn& trigger) { decodedTriggers.emplace_back(trigger, decodeBuffer->size()); }

void RawFileReader::dispatchTriggers(size_t firstEvent, uint64_t notBefore) {
    if (decodedTriggers.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        for (const auto& [trigger, before] : decodedTriggers) {
            if (before < firstEvent || (before == firstEvent && trigger.timestamp < notBefore)) {
                continue;
            }
            for (auto& [id, callback] : triggerCallbacks) {
                if (callback) {
                    callback(trigger);
                }
            }
        }
    }
    decodedTriggers.clear();
}

size_t RawFileReader::carrySize() const { return carryBuffer->size() - carryPos; }

// Copies rather than swaps, so the result keeps the capacity of the largest batch and a steady reading
// allocates nothing.
void RawFileReader::takeFromCarry(size_t count) {
    if (count == 0) {
        return;
    }
    const auto first = carryBuffer->begin() + static_cast<std::ptrdiff_t>(carryPos);
    resultBuffer->insert(resultBuffer->end(), first, first + static_cast<std::ptrdiff_t>(count));
    carryPos += count;
    if (carryPos == carryBuffer->size()) {
        carryBuffer->clear();
        carryPos = 0;
    }
}

void RawFileReader::onEvents(Event2D* first, Event2D* last) {
    Event2D* stop = first;
    switch (sink) {
    case Sink::ResultByCount:
        stop = first + std::min<size_t>(batchQuota, static_cast<size_t>(last - first));
        batchQuota -= static_cast<size_t>(stop - first);
        batchFull = batchQuota == 0;
        break;
    case Sink::ResultByTime:
        if (!batchFull) {
            const uint64_t end = batchWindowEnd;
            stop = std::find_if(first, last, [end](const Event2D& e) { return e.timestamp >= end; });
            batchFull = stop != last;
        }
        break;
    case Sink::DecodeBuffer:
        break;
    }
    if (stop != first) {
        resultBuffer->insert(resultBuffer->end(), first, stop);
    }
    if (stop != last) {
        decodeBuffer->insert(decodeBuffer->end(), stop, last);
    }
}

void RawFileReader::decodeIntoResult() {
    // The carry-over is used up whenever a chunk is decoded for a batch.
    while (!batchFull && decodeNextChunk() != 0) {
        dispatchTriggers(0);
    }
    sink = Sink::DecodeBuffer;
    if (!decodeBuffer->empty()) {
        carryBuffer->swap(*decodeBuffer);
        carryPos = 0;
        decodeBuffer->clear();
    }
}

void RawFileReader::positionAtStart() {
    restoreBookmark(bookmarkMap.begin()->second);
    currentEventNum = 0;
}

void RawFileReader::positionAtEnd() {
    restoreBookmark(bookmarkMap.rbegin()->second);
    readPosition = fileSize;
    currentEventNum = totalEvents;
}

void RawFileReader::seekEventLocked(uint64_t eventNumber) {
    const Bookmark* from = getRawFileBookmarkByNEvents(eventNumber);
    if (from == nullptr) {
        from = &bookmarkMap.begin()->second;
    }
    restoreBookmark(*from);
    uint64_t skip = eventNumber - std::min(eventNumber, from->eventCount);
    while (skip > 0 || carrySize() == 0) {
        if (skip == 0 && readPosition >= fileSize) {
            break;
        }
        if (decodeNextChunk() == 0) {
            break;
        }
        const size_t decoded = decodeBuffer->size();
        if (skip >= decoded) {
            // Triggers met after the skipped events, before event n, still belong to the position.
            dispatchTriggers(skip == decoded ? decoded : std::numeric_limits<size_t>::max());
            skip -= decoded;
            decodeBuffer->clear();
            continue;
        }
        dispatchTriggers(static_cast<size_t>(skip));
        carryBuffer->swap(*decodeBuffer);
        carryPos = static_cast<size_t>(skip);
        decodeBuffer->clear();
        skip = 0;
        break;
    }
    currentEventNum = eventNumber;
    currentTime = carrySize() != 0 ? (*carryBuffer)[carryPos].timestamp : endTime;
}

void RawFileReader::seekTimeLocked(uint64_t timestamp) {
    const Bookmark& from = bookmarkBefore(timestamp);
    restoreBookmark(from);
    uint64_t count = from.eventCount;
    // The first bookmark's time is at or below every event's.
    const bool atFirstEvent = &from == &bookmarkMap.begin()->second && timestamp <= from.timestamp;
    while (!atFirstEvent) {
        if (decodeNextChunk() == 0) {
            break;
        }
        const auto begin = decodeBuffer->begin();
        const auto found = std::find_if(begin, decodeBuffer->end(),
                                        [timestamp](const Event2D& e) { return e.timestamp >= timestamp; });
        const auto index = static_cast<size_t>(found - begin);
        // Triggers from the target on: those after it, and those just before it that are not earlier
        // than the time sought.
        dispatchTriggers(index, timestamp);
        count += index;
        if (index < decodeBuffer->size()) {
            carryBuffer->swap(*decodeBuffer);
            carryPos = index;
            decodeBuffer->clear();
            break;
        }
        decodeBuffer->clear();
    }
    currentEventNum = count;
    currentTime = timestamp;
}

bool RawFileReader::seekTime(uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(streamMutex);
    if (!loaded) {
        return false;
    }
    if (timestamp > endTime) {
        positionAtEnd();
        currentTime = saturatingAdd(endTime, 1);
        return false;
    }
    if (timestamp < startTime) {
        positionAtStart();
        currentTime = startTime - 1;
        return false;
    }
    seekTimeLocked(timestamp);
    return true;
}

bool RawFileReader::seekNEvents(uint64_t eventNumber) {
    std::lock_guard<std::mutex> lock(streamMutex);
    if (!loaded) {
        return false;
    }
    if (eventNumber > totalEvents) {
        positionAtEnd();
        currentEventNum = totalEvents + 1;
        currentTime = saturatingAdd(endTime, 1);
        return false;
    }
    seekEventLocked(eventNumber);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Batches

DvsFileReader::Events RawFileReader::getNEvents(uint64_t n) {
    std::lock_guard<std::mutex> lock(streamMutex);
    resultBuffer->clear();
    if (!loaded || n == 0) {
        return resultBuffer;
    }
    const uint64_t remaining = totalEvents > currentEventNum ? totalEvents - currentEventNum : 0;
    if (n > remaining) {
        QN_WARN("Requested number of events exceeds total number of events.");
        n = remaining;
        if (n == 0) {
            return resultBuffer;
        }
    }
    const size_t wanted = static_cast<size_t>(n);
    takeFromCarry(std::min(wanted, carrySize()));
    if (resultBuffer->size() < wanted) {
        sink = Sink::ResultByCount;
        batchQuota = wanted - resultBuffer->size();
        batchFull = false;
        decodeIntoResult();
    }
    if (!resultBuffer->empty()) {
        currentTime = resultBuffer->back().timestamp + 1;
    }
    currentEventNum += resultBuffer->size();
    return resultBuffer;
}

DvsFileReader::Events RawFileReader::getNTimeEvents(uint64_t span) {
    std::lock_guard<std::mutex> lock(streamMutex);
    resultBuffer->clear();
    if (!loaded) {
        return resultBuffer;
    }
    uint64_t windowEnd = saturatingAdd(currentTime, span);
    if (windowEnd < startTime) {
        QN_WARN("Requested interval is before start timestamp.");
        currentEventNum = 0;
        currentTime = windowEnd;
        return std::make_shared<std::vector<Event2D>>();
    }
    if (currentTime > endTime) {
        QN_WARN("Current read pos exceeds end timestamp.");
        if (currentEventNum >= totalEvents || (carrySize() == 0 && readPosition >= fileSize)) {
            currentEventNum = std::max(currentEventNum, totalEvents);
            return std::make_shared<std::vector<Event2D>>();
        }
        // Events of the end time are still unread (a count batch stopped among them): they come now.
        windowEnd = saturatingAdd(endTime, 1);
    } else if (windowEnd > endTime) {
        QN_WARN("Requested interval exceeds end timestamp.");
        windowEnd = saturatingAdd(endTime, 1);
    }
    currentTime = saturatingAdd(currentTime, span);
    auto below = [windowEnd](const Event2D& e) { return e.timestamp >= windowEnd; };

    if (carrySize() != 0) {
        const auto first = carryBuffer->begin() + static_cast<std::ptrdiff_t>(carryPos);
        const auto stop = std::find_if(first, carryBuffer->end(), below);
        takeFromCarry(static_cast<size_t>(stop - first));
    }
    if (carrySize() == 0) {
        sink = Sink::ResultByTime;
        batchWindowEnd = windowEnd;
        batchFull = false;
        decodeIntoResult();
    }
    currentEventNum += resultBuffer->size();
    return resultBuffer;
}

DvsFileReader::Events RawFileReader::getNEventsGivenStartTimeStamp(uint64_t timestamp, uint64_t n) {
    if (!seekTime(timestamp)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNEvents(n);
}

DvsFileReader::Events RawFileReader::getNEventsGivenStartEvent(uint64_t eventNumber, uint64_t n) {
    if (!seekNEvents(eventNumber)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNEvents(n);
}

DvsFileReader::Events RawFileReader::getNTimeEventsGivenStartTimeStamp(uint64_t timestamp, uint64_t span) {
    if (!seekTime(timestamp)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNTimeEvents(span);
}

DvsFileReader::Events RawFileReader::getNTimeEventsGivenStartEvent(uint64_t eventNumber, uint64_t span) {
    if (!seekNEvents(eventNumber)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNTimeEvents(span);
}

// ---------------------------------------------------------------------------------------------
// Extraction

RawFileReader::CutPoint RawFileReader::findCutPoint(uint64_t timestamp) {
    // A decoder of its own, so the reader's decoder, buffers and callbacks stay as they are.
    EVT3Decoder scratch(DECODER_WIDTH, DECODER_HEIGHT);
    const Bookmark& from = bookmarkBefore(timestamp);
    CutPoint cut{from.bytePosition, from.decoderStatus};
    if (from.decoderStatus.lastTimestamp >= timestamp && from.decoderStatus.missingWords == 0) {
        return cut;
    }
    scratch.setStreamState(from.decoderStatus);
    std::ifstream in(filePath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from.bytePosition));
    std::vector<uint8_t> chunk(readBufferSize);
    uint64_t pos = from.bytePosition;
    while (pos < fileSize) {
        const EVT3Decoder::StreamState before = scratch.getStreamState();
        const uint64_t n = std::min<uint64_t>(readBufferSize, fileSize - pos);
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(n));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0) {
            break;
        }
        scratch.decode(chunk.data(), chunk.data() + got);
        if (scratch.getStreamState().lastTimestamp < timestamp) {
            pos += got;
            continue;
        }
        // The time reached the sought one inside this chunk: walk it again one unit at a time and
        // cut before the unit that brought it there, which is a time word, never inside a group.
        scratch.setStreamState(before);
        const auto* words = reinterpret_cast<const Evt3Raw::RawEvent*>(chunk.data());
        const size_t count = got / 2;
        size_t i = std::min<size_t>(static_cast<size_t>(before.missingWords), count);
        if (i != 0) {
            scratch.decode(chunk.data(), chunk.data() + 2 * i);
        }
        while (i < count) {
            const size_t unit = std::min<size_t>(unitWords(words[i]), count - i);
            const EVT3Decoder::StreamState state = scratch.getStreamState();
            if (state.lastTimestamp >= timestamp && state.missingWords == 0) {
                return {pos + 2 * i, state};
            }
            scratch.decode(chunk.data() + 2 * i, chunk.data() + 2 * (i + unit));
            if (scratch.getStreamState().lastTimestamp >= timestamp) {
                return {pos + 2 * i, state};
            }
            i += unit;
        }
        pos += got;
    }
    return {fileSize, scratch.getStreamState()};
}

std::vector<uint16_t> RawFileReader::stateWords(const EVT3Decoder::StreamState& state) const {
    auto word = [](unsigned type, unsigned payload) { return static_cast<uint16_t>((type << 12) | (payload & 0xFFF)); };
    std::vector<uint16_t> words;
    if (state.timeHighSeen && state.timeLowSeen) {
        words.push_back(word(Evt3Raw::TIME_HIGH, static_cast<unsigned>(state.lastTimestamp >> 12)));
        words.push_back(word(Evt3Raw::TIME_LOW, static_cast<unsigned>(state.lastTimestamp)));
    }
    if (state.rowWordIsY) {
        words.push_back(word(Evt3Raw::ADDR_Y, state.status.lastPayload[Evt3Raw::ADDR_Y]));
    }
    if (state.vectorBaseValid) {
        words.push_back(word(Evt3Raw::VECT_BASE_X, state.status.lastPayload[Evt3Raw::VECT_BASE_X]));
    }
    return words;
}

bool RawFileReader::isOwnFile(const std::string& path) const {
    return samePath(path, filePath) || samePath(path, bookmarkPath);
}

bool RawFileReader::extractEventData(uint64_t start, uint64_t end, std::string path) {
    std::lock_guard<std::mutex> lock(streamMutex);
    if (!loaded || end > endTime || end < startTime) {
        QN_ERROR("No end timestamp found.");
        return false;
    }
    if (start > endTime || start < startTime) {
        QN_ERROR("No start timestamp found.");
        return false;
    }
    QN_INFO("extract event start time: %llu, end time: %llu", static_cast<unsigned long long>(start),
            static_cast<unsigned long long>(end));
    const CutPoint endCut = end >= endTime ? CutPoint{fileSize, {}} : findCutPoint(end);
    const CutPoint startCut =
        start <= startTime ? CutPoint{dataStart, bookmarkMap.begin()->second.decoderStatus} : findCutPoint(start);
    if (endCut.bytePosition < startCut.bytePosition) {
        QN_ERROR("Start time must be less than or equal to end time.");
        return false;
    }
    const uint64_t length = endCut.bytePosition - startCut.bytePosition;
    if (length == 0) {
        QN_ERROR("There is no data in the interval.");
        return false;
    }
    if (isOwnFile(path)) {
        QN_ERROR("Failed to open output file: %s.", path.c_str());
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        QN_ERROR("Failed to open output file: %s.", path.c_str());
        return false;
    }
    DvsFileInfo info = fileInfo;
    info.dvsStartTimestamp = start;
    const std::string header = generateDvsFileHeader(info);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    if (startCut.bytePosition > dataStart) {
        // The copy starts amid the data: give a fresh decoder the time, row and vector base there.
        const std::vector<uint16_t> prologue = stateWords(startCut.state);
        for (uint16_t w : prologue) {
            const char bytes[2] = {static_cast<char>(w & 0xFF), static_cast<char>(w >> 8)};
            out.write(bytes, 2);
        }
    }

    std::ifstream in(filePath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(startCut.bytePosition));
    std::vector<char> chunk(static_cast<size_t>(std::min<uint64_t>(EXTRACT_CHUNK_SIZE, length)));
    uint64_t left = length;
    while (left > 0) {
        const uint64_t n = std::min<uint64_t>(EXTRACT_CHUNK_SIZE, left);
        in.read(chunk.data(), static_cast<std::streamsize>(n));
        if (static_cast<uint64_t>(in.gcount()) != n) {
            throw std::runtime_error("Failed to read the expected number of bytes from the input file.");
        }
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        if (!out.good()) {
            throw std::runtime_error("Failed to write the expected number of bytes to the output file.");
        }
        left -= n;
    }
    out.close();
    if (!out) {
        throw std::runtime_error("Failed to write the expected number of bytes to the output file.");
    }
    // A side file left from an earlier file at this path describes other data, possibly of the same size.
    const std::string staleSideFile = bookmarkPathFor(path);
    if (!samePath(staleSideFile, filePath) && !samePath(staleSideFile, bookmarkPath)) {
        std::error_code ignored;
        fs::remove(staleSideFile, ignored);
    }
    seekTimeLocked(start);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Small accessors

bool RawFileReader::getStartTimeStamp(uint64_t& timestamp) {
    timestamp = startTime;
    return true;
}

bool RawFileReader::getEndTimeStamp(uint64_t& timestamp) {
    timestamp = endTime;
    return true;
}

bool RawFileReader::getMaxEvents(uint64_t& count) {
    count = totalEvents;
    return true;
}

bool RawFileReader::reachedEndOfEvents() {
    if (!loaded) {
        return currentTime > endTime;
    }
    return currentTime > endTime || currentEventNum >= totalEvents || (carrySize() == 0 && readPosition >= fileSize);
}

uint64_t RawFileReader::getCurrentPosTimeStamp() { return currentTime; }

uint64_t RawFileReader::getCurrentPosEventNum() { return currentEventNum; }

uint32_t RawFileReader::addTriggerInCallback(TriggerInCallback callback) {
    std::lock_guard<std::mutex> lock(callbackMutex);
    const uint32_t id = nextCallbackId++;
    triggerCallbacks[id] = std::move(callback);
    return id;
}

bool RawFileReader::removeTriggerInCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(callbackMutex);
    return triggerCallbacks.erase(id) != 0;
}

uint16_t RawFileReader::getWidth() const { return fileInfo.width; }

uint16_t RawFileReader::getHeight() const { return fileInfo.height; }

bool RawFileReader::getFileInfo(DvsFileInfo& info) {
    info = fileInfo;
    return true;
}

std::vector<EventTriggerIn> RawFileReader::getTriggerList() {
    std::lock_guard<std::mutex> lock(triggerListMutex);
    return triggerList;
}

void RawFileReader::clearTriggerList() {
    std::lock_guard<std::mutex> lock(triggerListMutex);
    triggerList.clear();
}

} // namespace quelnor
