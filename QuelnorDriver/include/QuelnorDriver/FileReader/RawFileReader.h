#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorDriver/FileReader/DvsFileReader.h"
#include "QuelnorHal/EventStream/Decoder.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"

namespace quelnor {

class DataToVideoConverter;

// Reader of raw event files: a text header ('%' lines closed by "% end") followed by EVT3 words.
//
// Seeking rests on a bookmark index: the decoder's complete state at points of the file at least
// bookmark_period_us of event time apart, with the number of events before each point. It is built
// by decoding the file once and kept beside the recording in a side file ("x.raw" -> "x.qnmark.tmp"),
// which later loads check and reuse.
//
// The side file is trusted once it passes its checks: its CRC, version, the recording's size and
// sensor size, and the records' own consistency (every count and offset within the file, keys,
// offsets and event counts rising, the first record at the start of the data and the last at its
// end). An event count that is wrong but plausible cannot be told from a right one without decoding
// the recording again, so seekNEvents and getMaxEvents then follow the side file's counts; deleting
// the side file makes the next load rebuild it. Batches by time from the start still give the events
// of the data; batches by count stop at the side file's total.
//
// Only regular files (or links to them) load; a directory or a FIFO gives false with an error line.
//
// Positions are event positions of one straight decode of the file: after seekNEvents(n) the next
// batch starts with event n, after seekTime(t) with the first event whose time is at or after t, and
// batches read back to back return every event of the file once, in file order. The start time is
// the header's start time when it has one that is not later than the first event, else the first
// event's time; the end time is the last time the data reaches, so every event lies within
// [start, end]. Damaged data whose time runs backwards (a TIME_LOW word below the one before it, which
// cameras never write) can hold events up to 4095 us outside that range; they are read in file order
// like the others. Trigger callbacks get the edges the reader decodes from the position on; a seek does
// not report the edges it skips.
//
// One thread at a time; trigger callbacks run on it (see DvsFileReader).
class RawFileReader : public DvsFileReader {
public:
    // Minimum event time between two bookmarks.
    static constexpr uint64_t bookmark_period_us = 2000;
    // Version line of the side file; side files of another version are rebuilt.
    static constexpr const char* BOOKMARK_VERSION = "2.0.0";
    static constexpr uint64_t READ_BUFFER_SIZE = 131072;
    // Side files above this size are not read.
    static constexpr uint64_t MAX_BOOKMARK_FILE_SIZE = 1048576000;
    // Extraction copies the data in pieces of this size.
    static constexpr uint64_t EXTRACT_CHUNK_SIZE = 1048576;
    static constexpr int32_t EXPORT_FRAME_RATE = 30;

    struct Bookmark {
        // Offset in the raw file (header included) at which decoding resumes.
        uint64_t bytePosition = 0;
        // The decoder's complete state at that offset, a word group cut off there included.
        EVT3Decoder::StreamState decoderStatus;
        // Event time at that offset; equal to the bookmark's key.
        uint64_t timestamp = 0;
        // Events decoded from the start of the data up to the offset.
        uint64_t eventCount = 0;
        // Trigger edges of the stretch that begins here.
        std::vector<EventTriggerIn> triggers;
    };

    explicit RawFileReader(std::string path);
    ~RawFileReader() override;
    RawFileReader(const RawFileReader&) = delete;
    RawFileReader& operator=(const RawFileReader&) = delete;

    // Opens the file, reads the header, builds or loads the bookmark index and positions the reader
    // at the start. Numbers and dates of the header that do not parse (a date the clock cannot hold
    // included) throw the conversion's exception.
    bool loadFile() override;
    bool getStartTimeStamp(uint64_t& timestamp) override;
    bool getEndTimeStamp(uint64_t& timestamp) override;
    bool getMaxEvents(uint64_t& count) override;
    // True once every event has been read or the position lies past the end time.
    bool reachedEndOfEvents() override;
    // False outside [start time, end time]; the position then moves just before the first event
    // (time below the start) or past the last one (time above the end).
    bool seekTime(uint64_t timestamp) override;
    // False above the total number of events; the position then moves past the last event.
    bool seekNEvents(uint64_t eventNumber) override;
    uint64_t getCurrentPosTimeStamp() override;
    uint64_t getCurrentPosEventNum() override;
    Events getNEvents(uint64_t n) override;
    Events getNEventsGivenStartTimeStamp(uint64_t timestamp, uint64_t n) override;
    Events getNEventsGivenStartEvent(uint64_t eventNumber, uint64_t n) override;
    // The events whose times lie below the current time + span; the current time moves by span.
    Events getNTimeEvents(uint64_t span) override;
    Events getNTimeEventsGivenStartTimeStamp(uint64_t timestamp, uint64_t span) override;
    Events getNTimeEventsGivenStartEvent(uint64_t eventNumber, uint64_t span) override;
    // Writes the events of [start, end) as a new raw file: a header whose start time is `start`, a few
    // words that give a fresh decoder the state of the cut (time, row, vector base), then the data of
    // the range unchanged. An end at the file's end time takes the data to the end of the file. Leaves
    // the reader positioned at `start`. A failed read or write during the copy throws std::runtime_error.
    bool extractEventData(uint64_t start, uint64_t end, std::string path) override;
    // Renders [start, end) as an H.264 MP4 video of the file's sensor size: one picture per 1/30 s window
    // of event time from `start` on, the last window reaching past `end` when the range is no whole number
    // of windows, and no window beyond the file's end time. Frame k is at k x 33,333 us and shows window k:
    // grey background, white where the pixel's last event was ON, black where it was OFF; a window without
    // events is a grey picture. False when `start` lies outside the file, the range is empty, the path is
    // the recording or its side file, or the encoder or the output fails; a video begun is finished.
    // Leaves the reader at the end of the last window.
    bool exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) override;
    uint32_t addTriggerInCallback(TriggerInCallback callback) override;
    bool removeTriggerInCallback(uint32_t id) override;
    uint16_t getWidth() const override;
    uint16_t getHeight() const override;
    bool getFileInfo(DvsFileInfo& info) override;
    // Every trigger edge of the file, once each, in file order.
    std::vector<EventTriggerIn> getTriggerList() override;
    void clearTriggerList();

    const std::map<uint64_t, Bookmark>& getAllBookmarks() const;
    // The triggers of the bookmark with exactly that key; empty when there is none.
    std::vector<EventTriggerIn> getTriggerListForBookmark(uint64_t timestamp);

private:
    // Result of a time search for extraction: where the data is cut and the decoder state there.
    struct CutPoint {
        uint64_t bytePosition = 0;
        EVT3Decoder::StreamState state;
    };

    bool readHeader();
    // Decoder time to start the data with: no later than the data's first time word, in the 2^24 us
    // period nearest the header's start time, so no time word of the data reads as a jump backwards.
    uint64_t restoreTimeForData();

    void initBookmark();
    bool serializeBookmarkMap(const std::map<uint64_t, Bookmark>& map, const std::string& path);
    bool checkBookmarksFromFile(const std::string& path, std::vector<uint8_t>& content);
    bool loadBookmarksFromFile(const std::vector<uint8_t>& content);
    static uint8_t crc8(const std::vector<uint8_t>& bytes);
    // The earliest bookmark with the greatest event count not above the event number; null when none.
    const Bookmark* getRawFileBookmarkByNEvents(uint64_t eventNumber) const;
    // The last bookmark whose key is below `timestamp`, else the first one.
    const Bookmark& bookmarkBefore(uint64_t timestamp) const;
    bool sideFileUsable() const;

    // All of the following run with the stream mutex held.
    void restoreBookmark(const Bookmark& bookmark);
    // Reads and decodes the next chunk into the decode buffer; 0 at the end of the data.
    size_t decodeNextChunk();
    // Hands decoded triggers to the callbacks and forgets them all. Skipped: those met before
    // `firstEvent` events of the decode buffer were decoded, and those met right at it but earlier
    // than `notBefore`.
    void dispatchTriggers(size_t firstEvent, uint64_t notBefore = 0);
    void positionAtStart();
    void positionAtEnd();
    void seekEventLocked(uint64_t eventNumber);
    void seekTimeLocked(uint64_t timestamp);
    size_t carrySize() const;
    void takeFromCarry(size_t count);
    // Decodes chunks into the result through the batch sink until the batch is full or the data ends;
    // what the last chunk gave beyond the batch becomes the carry-over.
    void decodeIntoResult();
    // Decoder events callback.
    void onEvents(Event2D* first, Event2D* last);
    CutPoint findCutPoint(uint64_t timestamp);
    std::vector<uint16_t> stateWords(const EVT3Decoder::StreamState& state) const;
    // True when `path` is the recording or its side file.
    bool isOwnFile(const std::string& path) const;
    // Paints one picture of the file's sensor size from a window of events.
    void eventsToRgbData(const std::vector<Event2D>& events, std::vector<uint8_t>& picture) const;

    void onTrigger(const EventTriggerIn& trigger);

    std::unique_ptr<Decoder> decoder;
    EVT3Decoder* evt3 = nullptr;
    std::string filePath;
    std::string bookmarkPath;
    std::ifstream fileStream;
    std::mutex streamMutex;
    uint64_t readBufferSize = READ_BUFFER_SIZE;
    std::vector<uint8_t> readBuffer;
    uint64_t dataStart = 0;
    Events decodeBuffer;
    Events carryBuffer;
    Events resultBuffer;
    // Events of the carry-over buffer before this index have been handed out.
    size_t carryPos = 0;
    uint64_t currentEventNum = 0;
    uint64_t currentTime = 0;
    uint64_t startTime = 0;
    uint64_t endTime = 0;
    uint64_t totalEvents = 0;
    DvsFileInfo fileInfo;
    uint64_t fileSize = 0;
    // File offset of the next chunk to decode.
    uint64_t readPosition = 0;
    std::unordered_map<uint32_t, TriggerInCallback> triggerCallbacks;
    uint32_t nextCallbackId = 0;
    std::mutex callbackMutex;
    std::vector<EventTriggerIn> triggerList;
    std::mutex triggerListMutex;
    std::shared_ptr<DataToVideoConverter> videoConverter;
    int32_t exportFrameRate = EXPORT_FRAME_RATE;
    std::map<uint64_t, Bookmark> bookmarkMap;
    std::map<uint64_t, uint64_t> eventCountIndex;
    // Triggers decoded and not yet handed out, each with the decode-buffer size when it was met.
    std::vector<std::pair<EventTriggerIn, size_t>> decodedTriggers;
    // Where decoded events go: during a batch call straight into the result until the batch is full
    // (by count or by time), otherwise, and for the rest, into the decode buffer.
    enum class Sink { DecodeBuffer, ResultByCount, ResultByTime };
    Sink sink = Sink::DecodeBuffer;
    size_t batchQuota = 0;
    uint64_t batchWindowEnd = 0;
    bool batchFull = false;
    bool loaded = false;
};

} // namespace quelnor
