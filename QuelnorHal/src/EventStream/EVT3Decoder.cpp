#include "QuelnorHal/EventStream/EVT3Decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "EventStream/Evt3EventWriter.h"
#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

using Evt3Raw::RawEvent;

constexpr uint64_t TIME_PERIOD = uint64_t(1) << 24;
constexpr uint64_t TIME_HIGH_MASK = uint64_t(0xFFF) << 12;
constexpr uint64_t TIME_LOW_MASK = 0xFFF;
// Largest forward step of a TIME_HIGH word once past the first period: the word loop follows a
// live stream, the scans may cross gaps in a file.
constexpr uint64_t DECODE_TIME_JUMP_LIMIT = 1000000;
constexpr uint64_t SCAN_TIME_JUMP_LIMIT = 10000000;
constexpr uint16_t OTHERS_GROUP_SUBTYPE_A = 20;
constexpr uint16_t OTHERS_GROUP_SUBTYPE_B = 22;
constexpr int VECTOR_GROUP_WORDS = 3;
constexpr int OTHERS_GROUP_WORDS = 4;
constexpr int VECTOR_EVENTS = 32;

// TIME_HIGH with payload `high` after `last`: the candidate time and whether it is accepted.
inline bool reconstructTime(uint64_t last, uint16_t high, uint64_t limit, uint64_t& candidate) {
    uint64_t time = last;
    const uint64_t old = (time >> 12) & 0xFFF;
    if (old >= uint64_t(high) + 2048) {
        time += TIME_PERIOD;  // the high part fell by half its range or more: wrapped
    }
    if (high != old) {
        time &= ~TIME_LOW_MASK;
    }
    time = (time & ~TIME_HIGH_MASK) | (uint64_t(high) << 12);
    candidate = time;
    const bool anomaly = time < last || (time >= TIME_PERIOD && time - last > limit);
    return !anomaly;
}

inline EventTriggerIn triggerFromWord(uint16_t payload, uint64_t timestamp) {
    return EventTriggerIn(static_cast<int16_t>((payload >> 8) & 0xF), static_cast<int16_t>(payload & 1), timestamp);
}

} // namespace

EVT3Decoder::EVT3Decoder(uint16_t width_, uint16_t height_)
    : height(height_), width(width_) {
    vectorCheck.height = height_;
    vectorCheck.width = width_;
    blockPool = std::make_unique<ObjectPool<std::vector<Event2D>>>(POOL_BLOCKS, false, BLOCK_SIZE);
    lastAnomalyWarning = std::chrono::steady_clock::now();
    writer = std::make_unique<Evt3EventWriter>(*this);
    carryWords = std::make_unique<std::vector<RawEvent>>();
    // Room for the longest group, so carrying a group over never allocates.
    carryWords->reserve(MAX_GROUP_WORDS);
}

EVT3Decoder::~EVT3Decoder() = default;

uint32_t EVT3Decoder::decode(std::vector<uint8_t>& buffer) {
    if (buffer.data() == nullptr) {
        return 0;
    }
    uint8_t* first = buffer.data();
    return decode(first, first + (buffer.size() & ~size_t(1)));
}

uint32_t EVT3Decoder::decode(void* first, void* last) {
    const auto* begin = static_cast<const uint8_t*>(first);
    const auto* finish = static_cast<const uint8_t*>(last);
    if (begin == nullptr || finish == nullptr || finish < begin) {
        finish = begin;
    }
    const size_t bytes = static_cast<size_t>(finish - begin);
    {
        std::lock_guard<std::mutex> lock(statsMutex);
        bytesCount += bytes;
    }
    eventsThisCall = 0;
    if (bytes < sizeof(RawEvent)) {
        // Nothing to decode, but a carried group keeps waiting.
        if (!writer->empty()) {
            writer->flush();
        }
        return static_cast<uint32_t>(eventsThisCall);
    }

    const RawEvent* current = reinterpret_cast<const RawEvent*>(begin);
    const RawEvent* end = current + bytes / sizeof(RawEvent);

    if (missingWords != 0) {
        const auto available = static_cast<uint64_t>(end - current);
        if (available < missingWords) {
            carryWords->insert(carryWords->end(), current, end);
            missingWords -= available;
            return 0;
        }
        carryWords->insert(carryWords->end(), current, current + missingWords);
        current += missingWords;
        missingWords = 0;
        const RawEvent* carried = carryWords->data();
        decodeTest(carried, carried + carryWords->size());
        carryWords->clear();
    }

    const int missing = decodeTest(current, end);
    missingWords = static_cast<uint64_t>(missing);
    if (missing != 0) {
        carryWords->insert(carryWords->end(), current, end);
    }
    if (!writer->empty()) {
        writer->flush();
    }
    return static_cast<uint32_t>(eventsThisCall);
}

int EVT3Decoder::decodeTest(const RawEvent*& current, const RawEvent* end) {
    return flipXEnabled ? wordLoop<true>(current, end) : wordLoop<false>(current, end);
}

// One pass over the words. The hot state lives in locals (stores into Event2D may alias members)
// and is written back before anything outside the loop can look at the decoder. The row and time
// words that nearly always follow each other are handed on directly, so that only the choices the
// data really leaves open go through the jump table.
template <bool FlipX>
int EVT3Decoder::wordLoop(const RawEvent*& current, const RawEvent* end) {
    // Flags of the hot state, kept together in one register.
    constexpr unsigned SELECTED = 1u;
    constexpr unsigned ROW_IS_Y = 2u;
    constexpr unsigned LOW_SEEN = 4u;
    constexpr unsigned HIGH_SEEN = 8u;
    constexpr unsigned FIRST_SET = 16u;

    const RawEvent* p = current;
    uint16_t* const payloads = lastPayload.lastPayload.data();
    const unsigned sensorWidth = width;
    const unsigned sensorHeight = height;

    Event2D* out = writer->data();
    size_t n = writer->size();
    uint64_t ts = lastTimestamp;
    uint16_t row = payloads[Evt3Raw::ADDR_Y];
    unsigned state = 0;

    // Everything outside this function (callbacks, the writer, the getters) sees the members, so the
    // locals go back before each call out and are taken up again after it.
    auto storeState = [&]() __attribute__((always_inline)) {
        writer->setSize(n);
        lastTimestamp = ts;
        payloads[Evt3Raw::ADDR_Y] = row;
        rowSelected = (state & SELECTED) != 0;
        rowWordIsY = (state & ROW_IS_Y) != 0;
        timeLowSeen = (state & LOW_SEEN) != 0;
        timeHighSeen = (state & HIGH_SEEN) != 0;
        firstTimestampSet = (state & FIRST_SET) != 0;
    };
    auto loadState = [&]() __attribute__((always_inline)) {
        out = writer->data();
        n = writer->size();
        ts = lastTimestamp;
        row = payloads[Evt3Raw::ADDR_Y];
        state = (rowSelected ? SELECTED : 0u) | (rowWordIsY ? ROW_IS_Y : 0u) | (timeLowSeen ? LOW_SEEN : 0u) |
                (timeHighSeen ? HIGH_SEEN : 0u) | (firstTimestampSet ? FIRST_SET : 0u);
    };
    auto flush = [&]() __attribute__((always_inline)) {
        storeState();
        writer->flush();
        loadState();
    };
    auto emit = [&](unsigned x, unsigned polarity) __attribute__((always_inline)) {
        Event2D& event = out[n];
        event.x = static_cast<uint16_t>(FlipX ? sensorWidth - 1 - x : x);
        event.y = row;
        event.polarity = static_cast<uint8_t>(polarity);
        event.timestamp = ts;
        ++n;
    };
    // ADDR_X words from p on; leaves p on the first word of another type.
    auto addrXRun = [&]() __attribute__((always_inline)) {
        uint16_t word;
        while (p < end && ((word = p->value()) >> 12) == Evt3Raw::ADDR_X) {
            const unsigned x = word & 0x7FF;
            if ((state & SELECTED) && x < sensorWidth) {
                emit(x, (word >> 11) & 1u);
                if (n == BLOCK_SIZE) [[unlikely]] {
                    flush();
                }
            }
            ++p;
        }
    };

    loadState();
    while (p < end) {
        const uint16_t word = p->value();
        const unsigned type = word >> 12;
        const uint16_t payload = word & 0x0FFF;
        switch (type) {
        case Evt3Raw::ADDR_X:
        case Evt3Raw::ADDR_Y:
            if (type == Evt3Raw::ADDR_Y) {
            addrY:
                // The decoder is on p's word, an ADDR_Y; X words nearly always follow.
                row = p->payload();
                state = (state & ~SELECTED) | ROW_IS_Y | (row < sensorHeight ? SELECTED : 0u);
                ++p;
            }
            addrXRun();
            // Time words follow events: repeated high parts change nothing, then comes a low part.
            {
                const uint16_t repeat = static_cast<uint16_t>(0x8000u | ((ts >> 12) & 0xFFF));
                while (end - p >= 4) {
                    uint64_t q;
                    std::memcpy(&q, p, sizeof(q));
                    const uint64_t x = q ^ (uint64_t(repeat) * 0x0001000100010001ull);
                    const uint64_t nonzero =
                        (((x & 0x7FFF7FFF7FFF7FFFull) + 0x7FFF7FFF7FFF7FFFull) | x) & 0x8000800080008000ull;
                    const unsigned k = nonzero ? (static_cast<unsigned>(std::countr_zero(nonzero)) >> 4) : 4u;
                    p += k;
                    state |= k != 0 ? HIGH_SEEN : 0u;
                    if (k != 4) [[likely]] {
                        break;
                    }
                }
                while (p < end && p->value() == repeat) {
                    state |= HIGH_SEEN;
                    ++p;
                }
                if (p < end && p->type() == Evt3Raw::TIME_LOW) {
                    goto timeLow;
                }
            }
            break;
        case Evt3Raw::TIME_LOW:
        timeLow: {
            const uint16_t low = p->payload();
            payloads[Evt3Raw::TIME_LOW] = low;
            ts = (ts & ~TIME_LOW_MASK) | low;
            state |= LOW_SEEN;
            ++p;
            if (!(state & FIRST_SET) && (state & HIGH_SEEN)) [[unlikely]] {
                firstTimestamp = ts;
                state |= FIRST_SET;
            }
            uint64_t pending = customTriggerIn.load(std::memory_order_relaxed);
            if (pending != 0 && ts >= pending) [[unlikely]] {
                // Cleared before the callback runs, so a new time set from inside it is kept.
                if (customTriggerIn.compare_exchange_strong(pending, 0) && triggerInCallback) {
                    if (n != 0) {
                        flush();
                    }
                    storeState();
                    triggerInCallback(EventTriggerIn(0, 2, ts));
                    loadState();
                }
            }
            // A row address nearly always follows.
            if (p < end && p->type() == Evt3Raw::ADDR_Y) {
                goto addrY;
            }
            break;
        }
        case Evt3Raw::TIME_HIGH: {
            // Cameras repeat the high part far more often than it changes; a repeat changes nothing.
            if (payload != ((ts >> 12) & 0xFFF)) {
                uint64_t candidate;
                if (reconstructTime(ts, payload, DECODE_TIME_JUMP_LIMIT, candidate)) [[likely]] {
                    ts = candidate;
                    state |= HIGH_SEEN;
                } else {
                    candidateTimestamp = candidate;
                    storeState();
                    noteAnomaly();
                    loadState();
                }
            } else {
                state |= HIGH_SEEN;
            }
            ++p;
            if (p < end && p->type() == Evt3Raw::TIME_LOW) {
                goto timeLow;
            }
            break;
        }
        case Evt3Raw::VECT_BASE_X:
            payloads[Evt3Raw::VECT_BASE_X] = payload;
            vectorCheck.vectorBaseValid = true;
            state = (state & ~SELECTED) | ((state & ROW_IS_Y) && row < sensorHeight ? SELECTED : 0u);
            ++p;
            break;
        case Evt3Raw::VECT_12: {
            const auto remaining = end - p;
            if (remaining < VECTOR_GROUP_WORDS) {
                storeState();
                current = p;
                return VECTOR_GROUP_WORDS - static_cast<int>(remaining);
            }
            if (state & SELECTED) {
                const uint16_t vectorBase = payloads[Evt3Raw::VECT_BASE_X];
                const unsigned base = vectorBase & 0x7FF;
                const bool taken =
                    vectorCheck.vectorBaseValid && static_cast<int>(base) + VECTOR_EVENTS <= vectorCheck.width;
                if (!taken) {
                    vectorCheck.vectorBaseValid = false;
                }
                if (base < sensorWidth) {
                    uint32_t mask = 0;
                    if (taken) {
                        mask = uint32_t(p[0].payload()) | (uint32_t(p[1].payload()) << 12) |
                               (uint32_t(p[2].value() & 0xFF) << 24);
                    }
                    if (BLOCK_SIZE - n < VECTOR_EVENTS + 1) {
                        flush();
                    }
                    const unsigned polarity = (vectorBase >> 11) & 1u;
                    while (mask != 0) {
                        emit(base + static_cast<unsigned>(std::countr_zero(mask)), polarity);
                        mask &= mask - 1;
                    }
                }
                payloads[Evt3Raw::VECT_BASE_X] = static_cast<uint16_t>(vectorBase + VECTOR_EVENTS);
            }
            p += VECTOR_GROUP_WORDS;
            break;
        }
        case Evt3Raw::EXT_TRIGGER:
            if (triggerInCallback) {
                if (n != 0) {
                    flush();
                }
                storeState();
                triggerInCallback(triggerFromWord(payload, ts));
                loadState();
            }
            ++p;
            break;
        case Evt3Raw::OTHERS:
            if (payload == OTHERS_GROUP_SUBTYPE_A || payload == OTHERS_GROUP_SUBTYPE_B) {
                const auto remaining = end - p;
                if (remaining < OTHERS_GROUP_WORDS) {
                    storeState();
                    current = p;
                    return OTHERS_GROUP_WORDS - static_cast<int>(remaining);
                }
                p += OTHERS_GROUP_WORDS;
            } else {
                ++p;
            }
            break;
        case Evt3Raw::ADDR_Y_OTHER:
            payloads[type] = payload;
            state &= ~(ROW_IS_Y | SELECTED);
            ++p;
            break;
        default:
            // Stored types (VECT_8, CONTINUED_4, CONTINUED_12 and the unnamed ones).
            payloads[type] = payload;
            state = (state & ~SELECTED) | ((state & ROW_IS_Y) && row < sensorHeight ? SELECTED : 0u);
            ++p;
            break;
        }
    }
    storeState();
    current = p;
    return 0;
}

void EVT3Decoder::noteAnomaly() {
    ++anomalyCount;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastAnomalyWarning >= std::chrono::seconds(1)) {
        QN_WARN("DVS timestamp anomalies in the last second: %llu (latest new=%llu, last=%llu)",
                static_cast<unsigned long long>(anomalyCount), static_cast<unsigned long long>(candidateTimestamp),
                static_cast<unsigned long long>(lastTimestamp));
        anomalyCount = 0;
        lastAnomalyWarning = now;
    }
}

bool EVT3Decoder::decodeTimeStamp(void* first, void* last) {
    const auto* begin = static_cast<const uint8_t*>(first);
    const auto* finish = static_cast<const uint8_t*>(last);
    if (begin == nullptr || finish == nullptr || finish < begin) {
        return true;
    }
    const auto* words = reinterpret_cast<const RawEvent*>(begin);
    const size_t count = static_cast<size_t>(finish - begin) / sizeof(RawEvent);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t word = words[i].value();
        const unsigned type = word >> 12;
        const uint16_t payload = word & 0x0FFF;
        if (type == Evt3Raw::TIME_HIGH) {
            if (reconstructTime(lastTimestamp, payload, SCAN_TIME_JUMP_LIMIT, candidateTimestamp)) {
                lastTimestamp = candidateTimestamp;
                timeHighSeen = true;
            } else {
                ++i;  // the word after a rejected TIME_HIGH belongs to the rejected time
            }
        } else if (type == Evt3Raw::TIME_LOW) {
            lastPayload.lastPayload[Evt3Raw::TIME_LOW] = payload;
            const uint64_t time = (lastTimestamp & ~TIME_LOW_MASK) | payload;
            if (time >= lastTimestamp) {
                lastTimestamp = time;
                timeLowSeen = true;
            }
        }
    }
    return true;
}

uint32_t EVT3Decoder::preprocessEventData(void* first, void* last, std::vector<EventTriggerIn>& triggers) {
    const auto* begin = static_cast<const uint8_t*>(first);
    const auto* finish = static_cast<const uint8_t*>(last);
    if (begin == nullptr || finish == nullptr || finish < begin) {
        return 0;
    }
    const auto* words = reinterpret_cast<const RawEvent*>(begin);
    const size_t count = static_cast<size_t>(finish - begin) / sizeof(RawEvent);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t word = words[i].value();
        const unsigned type = word >> 12;
        const uint16_t payload = word & 0x0FFF;
        if (type == Evt3Raw::TIME_HIGH) {
            if (reconstructTime(lastTimestamp, payload, SCAN_TIME_JUMP_LIMIT, candidateTimestamp)) {
                lastTimestamp = candidateTimestamp;
                timeHighSeen = true;
            }
        } else if (type == Evt3Raw::TIME_LOW) {
            lastPayload.lastPayload[Evt3Raw::TIME_LOW] = payload;
            lastTimestamp = (lastTimestamp & ~TIME_LOW_MASK) | payload;
            timeLowSeen = true;
        } else if (type == Evt3Raw::EXT_TRIGGER) {
            const EventTriggerIn trigger = triggerFromWord(payload, lastTimestamp);
            triggers.push_back(trigger);
            QN_INFO("EVT3Decoder::preprocessEventData - Found trigger: id=%d, pol=%d, ts=%llu", trigger.id,
                    trigger.polarity, static_cast<unsigned long long>(trigger.timestamp));
            if (triggerInCallback) {
                triggerInCallback(trigger);
            }
        }
    }
    return static_cast<uint32_t>(count);
}

uint64_t EVT3Decoder::getLastTimeStamp() { return (timeHighSeen && timeLowSeen) ? lastTimestamp : 0; }

void EVT3Decoder::setLastTimeStamp(const uint64_t& timestamp) { lastTimestamp = timestamp; }

uint8_t EVT3Decoder::getRawEventSizeBytes() const { return sizeof(RawEvent); }

uint64_t EVT3Decoder::getDecodeDataBandwidth() {
    std::lock_guard<std::mutex> lock(statsMutex);
    const uint64_t value = bytesCount;
    bytesCount = 0;
    return value;
}

uint64_t EVT3Decoder::getDecodeEventCount() {
    std::lock_guard<std::mutex> lock(statsMutex);
    const uint64_t value = eventsCount;
    eventsCount = 0;
    return value;
}

void EVT3Decoder::setCustomTriggerIn(uint64_t timestamp) { customTriggerIn.store(timestamp); }

EVT3Decoder::EVT3DecoderStatus EVT3Decoder::getDecodeStatus() const { return lastPayload; }

void EVT3Decoder::setDecodeStatus(EVT3DecoderStatus status) {
    lastPayload = status;
    // The row comes with the status: a row outside the sensor must not stay selected.
    rowSelected = rowWordIsY && lastPayload.lastPayload[Evt3Raw::ADDR_Y] < height;
    carryWords->clear();
    missingWords = 0;
}

EVT3Decoder::StreamState EVT3Decoder::getStreamState() const {
    StreamState state;
    state.status = lastPayload;
    state.rowSelected = rowSelected;
    state.rowWordIsY = rowWordIsY;
    state.vectorBaseValid = vectorCheck.vectorBaseValid;
    state.timeLowSeen = timeLowSeen;
    state.timeHighSeen = timeHighSeen;
    state.firstTimestampSet = firstTimestampSet;
    state.lastTimestamp = lastTimestamp;
    state.firstTimestamp = firstTimestamp;
    state.carryCount = static_cast<uint8_t>(std::min(carryWords->size(), MAX_GROUP_WORDS));
    for (size_t i = 0; i < state.carryCount; ++i) {
        state.carryWords[i] = (*carryWords)[i].value();
    }
    state.missingWords = missingWords;
    return state;
}

void EVT3Decoder::setStreamState(const StreamState& state) {
    lastPayload = state.status;
    rowSelected = state.rowSelected;
    rowWordIsY = state.rowWordIsY;
    vectorCheck.vectorBaseValid = state.vectorBaseValid;
    timeLowSeen = state.timeLowSeen;
    timeHighSeen = state.timeHighSeen;
    firstTimestampSet = state.firstTimestampSet;
    lastTimestamp = state.lastTimestamp;
    firstTimestamp = state.firstTimestamp;
    carryWords->clear();
    const size_t count = std::min<size_t>(state.carryCount, MAX_GROUP_WORDS);
    for (size_t i = 0; i < count; ++i) {
        RawEvent word;
        std::memcpy(word.bytes, &state.carryWords[i], sizeof(word.bytes));
        carryWords->push_back(word);
    }
    // A carried group needs its first word; without one there is nothing to complete.
    missingWords = count == 0 ? 0 : state.missingWords;
}

void EVT3Decoder::addEvent2Buffer(std::shared_ptr<std::vector<Event2D>> block) {
    const size_t size = block->size();
    eventsThisCall += size;
    {
        std::lock_guard<std::mutex> lock(statsMutex);
        eventsCount += size;
    }
    if (eventsStreamHandleCallback) {
        eventsStreamHandleCallback(block->data(), block->data() + size);
    }
    if (sharedEventsStreamHandleCallback) {
        sharedEventsStreamHandleCallback(block);
    }
}

std::shared_ptr<std::vector<Event2D>> EVT3Decoder::acquireDecodedEventsBuffer() {
    auto block = blockPool->acquire(BLOCK_SIZE);
    block->clear();
    return block;
}

uint64_t EVT3Decoder::getFirstTimeStamp() const {
    return (firstTimestampSet && timeLowSeen && timeHighSeen) ? firstTimestamp : 0;
}

void EVT3Decoder::reset() {
    lastTimestamp = 0;
    firstTimestamp = 0;
    firstTimestampSet = false;
    timeLowSeen = false;
    timeHighSeen = false;
    missingWords = 0;
    eventsThisCall = 0;
    rowSelected = false;
    rowWordIsY = false;
    carryWords->clear();
    lastPayload = EVT3DecoderStatus();
}

} // namespace quelnor
