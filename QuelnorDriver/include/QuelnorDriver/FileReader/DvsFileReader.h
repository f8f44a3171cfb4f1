#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"

namespace quelnor {

// Reads recorded event files without a camera. Get one from createFileReader, call loadFile once,
// then read events in batches, by count or by event time, optionally after a seek.
//
// All times are microseconds of the camera clock. A reader is used by one thread at a time; the
// trigger callbacks run on that thread, inside the batch call or seek that decodes the edge.
class DvsFileReader {
public:
    using Events = std::shared_ptr<std::vector<Event2D>>;
    using TriggerInCallback = std::function<void(EventTriggerIn trigger)>;

    DvsFileReader() = default;
    DvsFileReader(const DvsFileReader&) = default;
    DvsFileReader& operator=(const DvsFileReader&) = default;
    virtual ~DvsFileReader() {}

    // A reader for the path by its extension: exactly ".raw" gives a RawFileReader; anything else,
    // or no extension, an empty pointer. The reader is returned unloaded.
    static std::unique_ptr<DvsFileReader> createFileReader(const std::string& path);

    virtual bool loadFile() = 0;
    virtual bool getStartTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getEndTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getMaxEvents(uint64_t& count) = 0;
    virtual bool reachedEndOfEvents() = 0;
    virtual bool seekTime(uint64_t timestamp) = 0;
    virtual bool seekNEvents(uint64_t eventNumber) = 0;
    virtual uint64_t getCurrentPosTimeStamp() = 0;
    virtual uint64_t getCurrentPosEventNum() = 0;
    // A batch call returns the reader's own result buffer: the next batch call clears and refills it.
    virtual Events getNEvents(uint64_t n) = 0;
    virtual Events getNEventsGivenStartTimeStamp(uint64_t timestamp, uint64_t n) = 0;
    virtual Events getNEventsGivenStartEvent(uint64_t eventNumber, uint64_t n) = 0;
    virtual Events getNTimeEvents(uint64_t span) = 0;
    virtual Events getNTimeEventsGivenStartTimeStamp(uint64_t timestamp, uint64_t span) = 0;
    virtual Events getNTimeEventsGivenStartEvent(uint64_t eventNumber, uint64_t span) = 0;
    virtual bool extractEventData(uint64_t start, uint64_t end, std::string path) = 0;
    virtual bool exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) = 0;
    // Callbacks run on the reading thread under the reader's callback lock: a callback must not add
    // or remove trigger callbacks.
    virtual uint32_t addTriggerInCallback(TriggerInCallback callback) = 0;
    virtual bool removeTriggerInCallback(uint32_t id) = 0;
    virtual uint16_t getWidth() const = 0;
    virtual uint16_t getHeight() const = 0;
    virtual bool getFileInfo(DvsFileInfo& info) {
        (void)info;
        return false;
    }
    virtual std::vector<EventTriggerIn> getTriggerList() { return {}; }
};

} // namespace quelnor
