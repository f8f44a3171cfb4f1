// The event stream of an Ethernet camera: simulator -> UDP -> EthInterface -> EthDataTransfer ->
// EventStream -> EVT3 decoder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include "EthTestSupport.h"
#include "LogCapture.h"
#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/DecoderFactory.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3ReferenceDecoder.h"
#include "evt3/Evt3TestEncoder.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;

constexpr uint32_t BUFFER_SIZE = 131072;
constexpr uint32_t FULL_BUFFER = 93 * 1400; // first offset beyond 131072 - 1400 with 1400-byte payloads

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

// Every buffer a transfer hands on, in order.
struct Collected {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> buffers;

    void attach(DataTransfer& transfer) {
        transfer.registerNewBufferCallback([this](RawBuffer buffer) {
            std::lock_guard<std::mutex> guard(lock);
            buffers.push_back(*buffer);
        });
    }
    size_t bytes() {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (const auto& b : buffers) {
            n += b.size();
        }
        return n;
    }
    std::vector<uint8_t> joined() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<uint8_t> out;
        for (const auto& b : buffers) {
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }
    std::vector<size_t> sizes() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<size_t> out;
        for (const auto& b : buffers) {
            out.push_back(b.size());
        }
        return out;
    }
};

class EthStreamTest : public EthLoopbackTest {
protected:
    std::unique_ptr<DataTransfer> makeTransfer(uint32_t bufferSize = BUFFER_SIZE) {
        return createDataTransferUniquePtr(eth, 2, bufferSize, 20, USB_DATA_ENDPOINT);
    }

    // Connects, starts a transfer into `collected`, switches the stream on and waits for all of it.
    void streamAll(Collected& collected, uint32_t bufferSize = BUFFER_SIZE) {
        eth = connect();
        auto transfer = makeTransfer(bufferSize);
        ASSERT_TRUE(transfer);
        collected.attach(*transfer);
        transfer->start();
        eth->setEventStream(true);
        ASSERT_TRUE(eventually([&] { return camera->streamStats().sourceDone; }));
        const size_t expected = camera->expectedDelivery().size();
        EXPECT_TRUE(eventually([&] { return collected.bytes() >= expected; }));
        transfer->stop();
        eth->setEventStream(false);
    }

    std::shared_ptr<EthInterface> eth;
};

TEST_F(EthStreamTest, FactoryRefusesAnInterfaceThatIsNotAnEthInterface) {
    class NotEthernet : public Interface {
    public:
        NotEthernet() : Interface(Interface::ETH) {}
    };
    LogCapture logs;
    EXPECT_FALSE(createDataTransferUniquePtr(std::make_shared<NotEthernet>(), 2, BUFFER_SIZE, 20, USB_DATA_ENDPOINT));
    EXPECT_EQ(logs.countAt(LOG_ERROR), 1);
}

TEST_F(EthStreamTest, BuffersAreHandedOnAtTheThresholdAndArriveByteExact) {
    startCamera().setStreamData(randomBytes(2'000'000, 1));
    Collected collected;
    streamAll(collected);
    EXPECT_EQ(collected.joined(), camera->expectedDelivery());
    const auto sizes = collected.sizes();
    EXPECT_GE(std::count(sizes.begin(), sizes.end(), FULL_BUFFER), 1);
    for (size_t size : sizes) {
        // A buffer goes on as soon as less than one payload of room is left, never later.
        EXPECT_TRUE(size <= BUFFER_SIZE - 1400 || size == FULL_BUFFER) << size;
    }
}

// A payload larger than the room left is split over two buffers, never written past the end.
TEST_F(EthStreamTest, LargestPayloadsNeverOverrunTheBuffer) {
    std::vector<size_t> pattern(92, 1406);
    pattern.push_back(320); // leaves exactly 1400 bytes of room in a 131072-byte buffer
    auto& cam = startCamera();
    cam.setPayloadSizes(pattern);
    cam.setStreamData(randomBytes(600'000, 2));
    Collected collected;
    streamAll(collected);
    EXPECT_EQ(collected.joined(), cam.expectedDelivery());
    const auto sizes = collected.sizes();
    EXPECT_THAT(sizes, testing::Each(testing::Le(BUFFER_SIZE)));
    EXPECT_THAT(sizes, testing::Contains(BUFFER_SIZE));
}

TEST_F(EthStreamTest, BufferSmallerThanOnePayload) {
    auto& cam = startCamera();
    cam.setPayloadSize(1406);
    cam.setStreamData(randomBytes(50'000, 3));
    Collected collected;
    streamAll(collected, 1000);
    EXPECT_EQ(collected.joined(), cam.expectedDelivery());
    EXPECT_THAT(collected.sizes(), testing::Each(testing::Le(1000u)));
}

// At a low rate a buffer never fills: its data still goes on within the hand-over delay.
TEST_F(EthStreamTest, LowRateDataIsHandedOnWithoutWaitingForAFullBuffer) {
    auto& cam = startCamera();
    cam.setStreamRate(14000); // ten datagrams a second
    cam.setStreamData(randomBytes(14000, 4));
    eth = connect();
    EventStream stream(makeTransfer());
    stream.start();
    eth->setEventStream(true);
    std::vector<uint8_t> received;
    size_t buffers = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.size() < 14000 && std::chrono::steady_clock::now() < deadline) {
        if (stream.waitNextBuffer() == 1) {
            auto buffer = stream.getLatestBuffer();
            ASSERT_TRUE(buffer);
            received.insert(received.end(), (*buffer)->begin(), (*buffer)->end());
            ++buffers;
        }
    }
    stream.stop();
    eth->setEventStream(false);
    EXPECT_EQ(received, cam.expectedDelivery());
    EXPECT_GE(buffers, 2u);
}

TEST_F(EthStreamTest, StopHandsOnWhatWasGathered) {
    auto& cam = startCamera();
    cam.setStreamData(randomBytes(5 * 1400, 5));
    eth = connect();
    auto transfer = makeTransfer();
    Collected collected;
    collected.attach(*transfer);
    transfer->start();
    eth->setEventStream(true);
    ASSERT_TRUE(eventually([&] { return cam.streamStats().sourceDone; }));
    transfer->stop();
    EXPECT_EQ(collected.joined(), cam.expectedDelivery());
    eth->setEventStream(false);
}

TEST_F(EthStreamTest, FaultyDatagramsAreRefusedAndTheRestArrivesInArrivalOrder) {
    LogCapture logs;
    auto& cam = startCamera();
    StreamFaults faults;
    faults.lost = {3, 10};
    faults.duplicated = {5};
    faults.reordered = {7};
    faults.oversized = {12};
    faults.truncated = {14};
    faults.badStatus = {16};
    faults.leaderTrailerEvery = 6;
    cam.setStreamFaults(faults);
    cam.setStreamData(randomBytes(30 * 1400, 6));
    Collected collected;
    streamAll(collected);

    // Packet ids are not used to restore order: the payloads come in the order they arrived, without
    // the second copy of 5 and without 7, which came after 8.
    EXPECT_EQ(collected.joined(), cam.expectedDelivery());
    EXPECT_EQ(cam.streamStats().packetsLost, 2u);
    // Missing from what went on: 3, 7, 10, 12 (too large), 14 (no header) and 16 (bad status).
    EXPECT_EQ(eth->getLostPackets(), 6u);
    EXPECT_EQ(eth->getLostBytes(), 6u * 1400);
    EXPECT_EQ(eth->getLatePackets(), 1u);
    EXPECT_EQ(eth->getDuplicatePackets(), 1u);
    // The late and the duplicate packet, twelve malformed datagrams and the one too large.
    EXPECT_EQ(eth->getRefusedDatagrams(), 15u);
    EXPECT_EQ(logs.count(LOG_WARN, "Ethernet stream: 6 packets lost (about 8400 bytes), 15 datagrams refused (1 late, "
                                   "1 duplicate, 12 malformed, 1 too large or from another sender)"),
              1);
    // Five leaders, five trailers, the truncated and the bad-status datagram.
    EXPECT_EQ(logs.count(LOG_ERROR, "Parse GVSP packet error"), 12);
    const auto lines = logs.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const LogLine& l) {
                                return l.text.find("Datagram of 2000 bytes") == 0 &&
                                       l.text.find("exceeds the 1414-byte receive buffer, refused") !=
                                           std::string::npos;
                            }),
              1);
}

// Buffers taken from an event stream with their gap marks.
struct Marked {
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<bool> gaps;

    std::vector<uint8_t> joined() const {
        std::vector<uint8_t> out;
        for (const auto& b : buffers) {
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }
};

// Lost packets leave a gap mark on the buffer that starts with the first payload after the hole, and
// are counted; a start begins the counts anew.
TEST_F(EthStreamTest, GapsAreMarkedWhereTheyAreAndCounted) {
    LogCapture logs;
    const std::vector<uint8_t> data = randomBytes(200 * 1400, 9);
    auto& cam = startCamera();
    StreamFaults faults;
    faults.lost = {5, 20, 21};
    for (uint32_t id = 40; id < 90; ++id) {
        faults.lost.insert(id);
    }
    faults.reordered = {100};
    faults.duplicated = {110};
    cam.setStreamFaults(faults);
    cam.setStreamData(data);
    eth = connect();
    // Streams the whole source through a new event stream.
    auto streamAllMarked = [&](Marked& marked) {
        EventStream stream(makeTransfer());
        stream.start();
        eth->setEventStream(true);
        ASSERT_TRUE(eventually([&] { return cam.streamStats().sourceDone; }));
        const size_t expected = cam.expectedDelivery().size();
        size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (got < expected && std::chrono::steady_clock::now() < deadline) {
            if (stream.waitNextBuffer() == 1) {
                bool gap = false;
                auto buffer = stream.getLatestBuffer(gap);
                ASSERT_TRUE(buffer);
                marked.buffers.push_back(**buffer);
                marked.gaps.push_back(gap);
                got += (*buffer)->size();
            }
        }
        stream.stop();
        eth->setEventStream(false);
    };
    Marked marked;
    streamAllMarked(marked);

    EXPECT_EQ(marked.joined(), cam.expectedDelivery());
    // The first payloads after the holes: of packets 6, 22, 90 and 101 (100 came after it, late).
    auto payloadOf = [&](uint32_t id) {
        return std::vector<uint8_t>(data.begin() + (id - 1) * 1400, data.begin() + id * 1400);
    };
    std::vector<std::vector<uint8_t>> afterGaps;
    for (size_t i = 0; i < marked.buffers.size(); ++i) {
        if (marked.gaps[i]) {
            ASSERT_GE(marked.buffers[i].size(), 1400u);
            afterGaps.emplace_back(marked.buffers[i].begin(), marked.buffers[i].begin() + 1400);
        }
    }
    EXPECT_TRUE(afterGaps == (std::vector<std::vector<uint8_t>>{payloadOf(6), payloadOf(22), payloadOf(90),
                                                                payloadOf(101)}));
    EXPECT_EQ(eth->getLostPackets(), 1u + 2u + 50u + 1u);
    EXPECT_EQ(eth->getLatePackets(), 1u);
    EXPECT_EQ(eth->getDuplicatePackets(), 1u);
    EXPECT_EQ(eth->getRefusedDatagrams(), 2u);
    const StreamLossInfo info = eth->getStreamLossInfo();
    EXPECT_EQ(info.lostPackets, 54u);
    EXPECT_EQ(info.lostBytes, 54u * 1400);
    EXPECT_EQ(info.refusedDatagrams, 2u);
    // Warned at the first loss, at most once a second after it, and summed up at stop.
    const auto lines = logs.lines();
    const auto warnings = std::count_if(lines.begin(), lines.end(), [](const LogLine& l) {
        return l.level == LOG_WARN && l.text.rfind("Ethernet stream losses: ", 0) == 0;
    });
    EXPECT_GE(warnings, 1);
    EXPECT_EQ(logs.count(LOG_WARN, "Ethernet stream: 54 packets lost (about 75600 bytes), 2 datagrams refused (1 late, "
                                   "1 duplicate, 0 malformed, 0 too large or from another sender)"),
              1);

    // A new start: the counts begin anew, and so do the camera's packet ids.
    cam.setStreamFaults({});
    cam.rewindStream();
    Marked clean;
    streamAllMarked(clean);
    EXPECT_EQ(clean.joined(), data);
    EXPECT_TRUE(std::none_of(clean.gaps.begin(), clean.gaps.end(), [](bool g) { return g; }));
    EXPECT_EQ(eth->getStreamLossInfo().lostPackets, 0u);
    EXPECT_EQ(eth->getRefusedDatagrams(), 0u);
}

// Events in, events out: what the camera encodes is what the decoder delivers.
class EthDecodeTest : public EthStreamTest {
protected:
    struct Decoded {
        std::vector<Event2D> events;
        std::vector<EventTriggerIn> triggers;
    };

    Decoded streamAndDecode(const std::string& format, size_t expectedEvents, size_t expectedTriggers) {
        Decoded out;
        eth = connect();
        EventStream stream(makeTransfer());
        auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat(format));
        decoder->setEventsStreamHandleCallback(
            [&out](Event2D* first, Event2D* last) { out.events.insert(out.events.end(), first, last); });
        decoder->setTriggerInCallback([&out](EventTriggerIn t) { out.triggers.push_back(t); });
        stream.start();
        eth->setEventStream(true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((out.events.size() < expectedEvents || out.triggers.size() < expectedTriggers) &&
               std::chrono::steady_clock::now() < deadline) {
            if (stream.waitNextBuffer() == 1) {
                auto buffer = stream.getLatestBuffer();
                decoder->decode(**buffer);
            }
        }
        stream.stop();
        eth->setEventStream(false);
        return out;
    }
};

TEST_F(EthDecodeTest, DecodedEventsEqualWhatTheCameraSent) {
    std::mt19937 rng(7);
    std::vector<Event2D> events;
    uint64_t t = 1000;
    for (int i = 0; i < 60000; ++i) {
        t += rng() % 40;
        events.emplace_back(static_cast<uint16_t>(rng() % 1280), static_cast<uint16_t>(rng() % 720),
                            static_cast<uint8_t>(rng() % 2), t);
    }
    std::vector<EventTriggerIn> triggers = {EventTriggerIn(0, 1, 5000), EventTriggerIn(0, 0, 900000)};
    Evt3TestEncoder encoder;
    encoder.addStream(events, triggers, true);
    startCamera().setStreamWords(encoder.words());

    const Decoded got = streamAndDecode("EVT3;height=720;width=1280", events.size(), triggers.size());
    EXPECT_EQ(got.events, events);
    EXPECT_EQ(got.triggers, triggers);
}

TEST_F(EthDecodeTest, RealRecordingStreamsThrough) {
    const std::string path = std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecc_evt3_trigger_1280x720.raw";
    const Evt3RawFile file = loadEvt3RawFile(path);
    const Evt3ReferenceResult expected = referenceDecode(file.words(), file.width, file.height);
    ASSERT_FALSE(expected.events.empty());
    startCamera().setStreamFile(path);

    const Decoded got = streamAndDecode("EVT3;height=720;width=1280", expected.events.size(), expected.triggers.size());
    EXPECT_EQ(got.events.size(), expected.events.size());
    EXPECT_TRUE(got.events == expected.events);
    EXPECT_EQ(got.triggers, expected.triggers);
}

// A known recording under packet loss, bursts, reordering and duplicates, decoded with the gap marks:
// only events the camera sent, in its order, time never stepping back, and every packet missing from
// what went on counted.
TEST_F(EthDecodeTest, LossesNeverMakeEventsTheCameraDidNotSend) {
    const std::string path = std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecpy_test_events_1_640x480.raw";
    const Evt3RawFile file = loadEvt3RawFile(path);
    const Evt3ReferenceResult whole = referenceDecode(file.words(), file.width, file.height);
    const uint32_t packets = static_cast<uint32_t>((file.data.size() + 1399) / 1400);

    enum class Kind { Lost, Reordered, Duplicated };
    struct Case {
        const char* name;
        Kind kind;
        unsigned burst; // packets in a row, for losses
    };
    const std::vector<Case> cases = {
        {"1 % single losses", Kind::Lost, 1},
        {"bursts of 2", Kind::Lost, 2},
        {"bursts of 50", Kind::Lost, 50},
        {"adjacent packets swapped", Kind::Reordered, 1},
        {"duplicates", Kind::Duplicated, 1},
    };
    startCamera();
    eth = connect();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamFaults faults;
        std::mt19937 rng(static_cast<unsigned>(c.burst) * 7 + static_cast<unsigned>(c.kind));
        size_t picked = 0;
        for (uint32_t id = 2; id + c.burst < packets; ++id) {
            if (rng() % 100 != 0) {
                continue;
            }
            ++picked;
            if (c.kind == Kind::Lost) {
                for (unsigned k = 0; k < c.burst; ++k) {
                    faults.lost.insert(id + k);
                }
                id += c.burst;
            } else if (c.kind == Kind::Reordered) {
                faults.reordered.insert(id);
                id += 2; // swaps never overlap
            } else {
                faults.duplicated.insert(id);
            }
        }
        ASSERT_GT(picked, 0u);
        camera->setStreamFaults(faults);
        camera->setStreamFile(path);
        camera->rewindStream();

        EventStream stream(makeTransfer());
        auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=480;width=640"));
        std::vector<Event2D> events;
        std::vector<EventTriggerIn> triggers;
        decoder->setEventsStreamHandleCallback(
            [&events](Event2D* first, Event2D* last) { events.insert(events.end(), first, last); });
        decoder->setTriggerInCallback([&triggers](EventTriggerIn t) { triggers.push_back(t); });
        stream.start();
        eth->setEventStream(true);
        ASSERT_TRUE(eventually([&] { return camera->streamStats().sourceDone; }));
        const size_t expectedBytes = camera->expectedDelivery().size();
        size_t bytes = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (bytes < expectedBytes && std::chrono::steady_clock::now() < deadline) {
            if (stream.waitNextBuffer() == 1) {
                bool gap = false;
                auto buffer = stream.getLatestBuffer(gap);
                if (gap) {
                    decoder->notifyGap();
                }
                decoder->decode(**buffer);
                bytes += (*buffer)->size();
            }
        }
        stream.stop();
        eth->setEventStream(false);

        const StreamStats sent = camera->streamStats();
        EXPECT_EQ(bytes, expectedBytes);
        EXPECT_TRUE(isOrderedSubsequence(events, whole.events));
        EXPECT_TRUE(timeNeverStepsBack(events));
        for (const EventTriggerIn& t : triggers) {
            EXPECT_TRUE(std::find(whole.triggers.begin(), whole.triggers.end(), t) != whole.triggers.end());
        }
        EXPECT_LE(events.size(), whole.events.size());
        // Little more is missing than the holes held: decoding resumes at the next time words.
        const uint64_t kept = packets - std::min<uint64_t>(packets, 2 * eth->getLostPackets());
        EXPECT_GE(events.size() * uint64_t(packets), whole.events.size() * kept);
        switch (c.kind) {
        case Kind::Lost:
            EXPECT_EQ(eth->getLostPackets(), sent.packetsLost);
            EXPECT_EQ(eth->getLostPackets(), picked * c.burst);
            EXPECT_EQ(eth->getRefusedDatagrams(), 0u);
            EXPECT_LT(events.size(), whole.events.size());
            break;
        case Kind::Reordered:
            // Each swapped packet came after a newer one: declared lost at the gap, refused when it came.
            EXPECT_EQ(eth->getLostPackets(), picked);
            EXPECT_EQ(eth->getLatePackets(), picked);
            EXPECT_EQ(eth->getRefusedDatagrams(), picked);
            break;
        case Kind::Duplicated:
            EXPECT_EQ(eth->getLostPackets(), 0u);
            EXPECT_EQ(eth->getDuplicatePackets(), picked);
            EXPECT_TRUE(events == whole.events) << "a duplicate is not decoded twice";
            break;
        }
    }
}

} // namespace
