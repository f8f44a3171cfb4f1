#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorHal/EventStream/DecoderStatus.h"

namespace quelnor {

// Turns raw camera buffers into events. One thread decodes with a decoder at a time; every callback
// runs on that thread, inside decode(). The event pointers handed to the events callback are valid
// only during the call; the shared callback's block may be kept (it returns to its pool when dropped).
class Decoder {
public:
    using EventsCallback = std::function<void(Event2D* first, Event2D* last)>;
    using SharedEventsCallback = std::function<void(std::shared_ptr<std::vector<Event2D>> block)>;
    using TriggerInCallback = std::function<void(EventTriggerIn trigger)>;

    Decoder() = default;
    Decoder(const Decoder&) = default;
    Decoder(Decoder&&) = default;
    Decoder& operator=(const Decoder&) = default;
    Decoder& operator=(Decoder&&) = default;
    virtual ~Decoder() = default;

    // Returns the number of events delivered during the call.
    virtual uint32_t decode(void* first, void* last) = 0;
    virtual uint32_t decode(std::vector<uint8_t>& buffer) = 0;
    // Follows only the time words: no event, no trigger, no counter.
    virtual bool decodeTimeStamp(void* first, void* last) = 0;
    virtual uint64_t getLastTimeStamp() = 0;
    virtual void setLastTimeStamp(const uint64_t& timestamp) = 0;
    virtual uint8_t getRawEventSizeBytes() const = 0;
    // Bytes consumed / events delivered since the previous call. Safe from any thread.
    virtual uint64_t getDecodeDataBandwidth() { return 0; }
    virtual uint64_t getDecodeEventCount() { return 0; }
    // Safe from any thread, also from inside the trigger callback.
    virtual void setCustomTriggerIn(uint64_t timestamp) { (void)timestamp; }
    // Data was lost between the previous buffer and the next one (a lost packet, a dropped buffer).
    // The next buffer must not be decoded as a continuation of the previous one: whatever state the
    // lost data may have changed is forgotten, and no event or trigger is delivered until that state
    // has been stated again by the stream itself. No event the device did not send is delivered, and
    // the time never goes back because of the loss. Any transport that can lose data (Ethernet
    // packets, USB transfers, a damaged file) gives its decoder this signal, never a fake buffer.
    // Called on the decoding thread, between two decode calls; costs nothing on unbroken streams.
    virtual void notifyGap() {}

    // An empty function switches that delivery off.
    void setEventsStreamHandleCallback(EventsCallback callback) { eventsStreamHandleCallback = std::move(callback); }
    void setSharedEventsStreamHandleCallback(SharedEventsCallback callback) {
        sharedEventsStreamHandleCallback = std::move(callback);
    }
    void setTriggerInCallback(TriggerInCallback callback) { triggerInCallback = std::move(callback); }
    void setFlipX(bool enabled) { flipXEnabled = enabled; }

    DecoderStatus getDecodeStatus() const { return DecoderStatus(); }
    void setDecodeStatus(DecoderStatus status) { (void)status; }

    static void flipX(Event2D& event, uint16_t width) { event.x = static_cast<uint16_t>(width - 1 - event.x); }

protected:
    EventsCallback eventsStreamHandleCallback;
    SharedEventsCallback sharedEventsStreamHandleCallback;
    TriggerInCallback triggerInCallback;
    bool flipXEnabled = false;
};

} // namespace quelnor
