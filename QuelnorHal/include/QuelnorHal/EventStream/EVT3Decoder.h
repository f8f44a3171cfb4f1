#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/ObjectPool.h"
#include "QuelnorHal/EventStream/Decoder.h"
#include "QuelnorHal/EventStream/Evt3Raw.h"

namespace quelnor {

class Evt3EventWriter;

// Decodes EVT3 words into Event2D blocks of up to 320 events and EventTriggerIn values.
// A word group cut off at the end of a buffer is kept and completed by the next decode() call.
// Not thread-safe except for the counters and setCustomTriggerIn (see Decoder).
//
// After notifyGap() the decoder resynchronises: the word group cut off by the previous buffer and
// the vector base are dropped, the row is deselected, and no event and no trigger is delivered until
// the stream after the gap has given an accepted TIME_HIGH, a TIME_LOW after it and a row word
// (ADDR_Y). Words met meanwhile still update the stored payloads (a VECT_BASE_X after the gap is
// valid, and its groups move it on as usual). The first TIME_HIGH after a gap may jump forward
// without the usual limit, since the hole may have held any amount of time, but never back.
//
// A TIME_HIGH too far ahead of the time is refused as corrupt. A camera sends TIME_HIGH words all
// the time, so when TIME_JUMP_CONFIRM_WORDS refused ones in succession each lead on from the one
// before (not below it, not too far ahead of it) the stream lost time without a gap being reported:
// the last of them is taken and the jump logged. A TIME_HIGH repeating the high part of the time
// does not break such a series; one that moves the time does. A TIME_HIGH below the time is always
// refused. The same holds for decodeTimeStamp and preprocessEventData with their longer limit.
//
// On x86-64 processors with AVX-512 (BW and VBMI2) the word loop builds the events of a run of row,
// time and column words with those instructions, picked once per process; elsewhere it uses SSE2
// or plain code. The output is the same either way. Setting QUELNOR_EVT3_NO_AVX512=1 in the
// environment before the first decode keeps the AVX-512 path off.
class EVT3Decoder : public Decoder {
public:
    static constexpr size_t BLOCK_SIZE = 320;
    static constexpr size_t POOL_BLOCKS = 3;
    static constexpr size_t MAX_GROUP_WORDS = 4;
    // Custom triggers pending at once at most; more are refused with a warning. A mark lies about one
    // exposure after its edge, so at a trigger rate of N exposures per mark delay, N are pending.
    static constexpr size_t CUSTOM_TRIGGER_SLOTS = 16;
    // Refused forward TIME_HIGH words in succession, leading on from one another, that make a time
    // jump taken (the last of them): about 8 ms of a camera's stream.
    static constexpr uint8_t TIME_JUMP_CONFIRM_WORDS = 3;

    // The last payload stored per word type (index = type).
    struct EVT3DecoderStatus {
        std::array<uint16_t, 16> lastPayload{};
    };

    // Everything a decode depends on between two decode() calls, apart from the counters, the
    // callbacks and a pending custom trigger. Saved at a point of a stream and given back with
    // setStreamState, the decode goes on exactly as a straight decode would from that point.
    // Plain data: copy it freely.
    struct StreamState {
        EVT3DecoderStatus status;
        bool rowSelected = false;
        bool rowWordIsY = false;
        bool vectorBaseValid = false;
        bool timeLowSeen = false;
        bool timeHighSeen = false;
        bool firstTimestampSet = false;
        uint64_t lastTimestamp = 0;
        uint64_t firstTimestamp = 0;
        // Start of a word group cut off by the previous buffer, and how many words it still lacks.
        std::array<uint16_t, MAX_GROUP_WORDS> carryWords{};
        uint8_t carryCount = 0;
        uint64_t missingWords = 0;
        // After a gap: what the stream must still give before events are delivered again (ResyncNeed bits).
        uint8_t resyncNeeds = 0;
        // A forward time jump not yet confirmed: how many refused TIME_HIGH words in succession led
        // on to `jumpCandidate`, refused while the high part of the time (bits 12 and up) was `jumpFrom`.
        uint8_t jumpWords = 0;
        uint64_t jumpCandidate = 0;
        uint64_t jumpFrom = 0;
    };

    // What a decode of some words hands to the events callback, told without the events.
    struct EventCount {
        uint64_t events = 0;
        // Times of the first and the last event; 0 without events.
        uint64_t firstTime = 0;
        uint64_t lastTime = 0;
        // The latest time among the last events of the blocks the events callback is given (the
        // blocks end where a decode hands them over: full, before a trigger or a vector group that
        // may not fit, at the end of the call). 0 without events.
        uint64_t latestBlockEnd = 0;
    };

    EVT3Decoder(uint16_t width, uint16_t height);
    EVT3Decoder(const EVT3Decoder&) = delete;
    EVT3Decoder& operator=(const EVT3Decoder&) = delete;
    ~EVT3Decoder() override;

    uint32_t decode(void* first, void* last) override;
    uint32_t decode(std::vector<uint8_t>& buffer) override;
    // Decodes like decode(), with the same stream state, triggers, counters and anomaly warnings
    // after it, but only counts the events: neither events callback is called. A decode's
    // partly filled block must not be pending (never the case between decode() calls).
    EventCount countEvents(void* first, void* last);
    bool decodeTimeStamp(void* first, void* last) override;
    uint64_t getLastTimeStamp() override;
    void setLastTimeStamp(const uint64_t& timestamp) override;
    uint8_t getRawEventSizeBytes() const override;
    uint64_t getDecodeDataBandwidth() override;
    uint64_t getDecodeEventCount() override;
    // Adds a pending custom trigger (0 forgets every pending one). Each is reported once, in time order,
    // at the first TIME_LOW that reaches it; a time already pending is not added twice. Set from another
    // thread while decode() runs, the time is taken up within 64 words. Takes a lock: not for the word loop.
    void setCustomTriggerIn(uint64_t timestamp) override;
    // See the class comment. Decoding thread, between two decode calls; constant time.
    void notifyGap() override;

    // The word loop. Advances `current`; returns 0 when it reached `end`, or the number of words a
    // group cut off at `end` still lacks, with `current` left on the group's first word.
    int decodeTest(const Evt3Raw::RawEvent*& current, const Evt3Raw::RawEvent* end);
    // Follows time words and reports EXT_TRIGGER words only (appended to `triggers`, and to the
    // trigger callback when set). Returns the number of words scanned.
    uint32_t preprocessEventData(void* first, void* last, std::vector<EventTriggerIn>& triggers);

    EVT3DecoderStatus getDecodeStatus() const;
    // Also drops a group carried over from the previous buffer.
    void setDecodeStatus(EVT3DecoderStatus status);

    StreamState getStreamState() const;
    void setStreamState(const StreamState& state);

    void addEvent2Buffer(std::shared_ptr<std::vector<Event2D>> block);
    std::shared_ptr<std::vector<Event2D>> acquireDecodedEventsBuffer();
    uint64_t getFirstTimeStamp() const;
    void reset();

private:
    // Removes the earliest pending custom trigger when `now` has reached it.
    bool takeDueCustomTrigger(uint64_t now);
    friend class Evt3EventWriter;

    struct VectorCheck {
        int32_t height = 0;
        int32_t width = 0;
        bool vectorBaseValid = false;
    };

    // What resynchronisation after a gap still waits for.
    enum ResyncNeed : uint8_t {
        NEED_TIME_HIGH = 1,
        NEED_TIME_LOW = 2, // after the TIME_HIGH
        NEED_ROW = 4,
    };

    // decode() and, with Count, countEvents(): the carried group, then the buffer.
    template <bool Count>
    void decodeRange(void* first, void* last);
    // The word loop, preceded by the resynchronisation after a gap while one is pending.
    template <bool Count>
    int decodeWords(const Evt3Raw::RawEvent*& current, const Evt3Raw::RawEvent* end);
    // Follows the words after a gap without delivering anything, until the stream has stated time and
    // row again (resyncNeeds 0) or `end`; same result as the word loop.
    int resyncLoop(const Evt3Raw::RawEvent*& current, const Evt3Raw::RawEvent* end);
    template <bool FlipX, bool Count>
    int wordLoop(const Evt3Raw::RawEvent*& current, const Evt3Raw::RawEvent* end);
    // TIME_HIGH with payload h: true when accepted, false for an anomaly.
    bool applyTimeHigh(uint16_t high, uint64_t limit);
    // A TIME_HIGH with payload `high` refused against lastTimestamp, its candidate in
    // candidateTimestamp: true when it confirms a forward jump, with `time` the time to take.
    bool confirmTimeJump(uint16_t high, uint64_t limit, uint64_t& time);
    // The word loops' refused TIME_HIGH: takes a confirmed jump (lastTimestamp, timeHighSeen), or
    // counts the anomaly.
    void refuseTimeHigh(uint16_t high, uint64_t limit);
    void clearTimeJump();
    // Logs a jump taken, at most once a second.
    void noteTimeJump(uint64_t from, uint64_t to);
    void noteAnomaly();
    // Counts `count` events from `first` and hands them to the events callback.
    void deliverEvents(Event2D* first, size_t count);
    void deliverTrigger(const EventTriggerIn& trigger);

    std::unique_ptr<Evt3EventWriter> writer;
    VectorCheck vectorCheck;
    std::unique_ptr<std::vector<Evt3Raw::RawEvent>> carryWords;
    uint64_t missingWords = 0;
    std::unique_ptr<ObjectPool<std::vector<Event2D>>> blockPool;
    uint64_t eventsThisCall = 0;
    // countEvents(): the tally of the call and the fill of the block a decode would be filling.
    EventCount tally;
    size_t tallyFill = 0;
    uint16_t height = 0;
    uint16_t width = 0;
    uint64_t lastTimestamp = 0;
    uint64_t candidateTimestamp = 0;
    bool timeLowSeen = false;
    bool timeHighSeen = false;
    bool rowSelected = false;
    bool rowWordIsY = false;
    EVT3DecoderStatus lastPayload;
    uint64_t bytesCount = 0;
    uint64_t eventsCount = 0;
    std::mutex statsMutex;
    // The earliest pending custom trigger (0: none), read by the word loop without a lock; the pending
    // ones in time order under customTriggerMutex.
    std::atomic<uint64_t> customTriggerIn{0};
    std::mutex customTriggerMutex;
    std::array<uint64_t, CUSTOM_TRIGGER_SLOTS> customTriggers{};
    size_t customTriggerCount = 0;
    uint64_t firstTimestamp = 0;
    bool firstTimestampSet = false;
    uint64_t anomalyCount = 0;
    std::chrono::steady_clock::time_point lastAnomalyWarning;
    uint8_t resyncNeeds = 0;
    // See StreamState.
    uint8_t jumpWords = 0;
    uint64_t jumpCandidate = 0;
    uint64_t jumpFrom = 0;
    // Jumps taken since the last jump warning, and its time (the first jump is told at once).
    uint64_t timeJumps = 0;
    bool timeJumpWarned = false;
    std::chrono::steady_clock::time_point lastTimeJumpWarning;
};

} // namespace quelnor
