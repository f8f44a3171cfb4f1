// Recordings read back: what the recorder writes from a camera-like stream, the reader returns as
// the events that were encoded, with their true times, in direct and in cache mode.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "QuelnorDriver/FileRecorder/DvsFileRecorder.h"
#include "RawTestSupport.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr uint64_t TIME_PERIOD = uint64_t(1) << 24;

// Raw buffers as a camera hands them over, each starting with its time and row words, with the
// events each one encodes.
struct CameraBuffers {
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<std::vector<Event2D>> events;
    std::vector<uint64_t> lastTime;
};

CameraBuffers makeCameraBuffers(size_t count, uint64_t startTime, uint32_t gapNs, size_t wordsPerBuffer) {
    CameraBuffers out;
    std::mt19937_64 random(99);
    const uint64_t base = startTime - startTime % TIME_PERIOD;
    uint64_t timeNs = (startTime - base) * 1000;
    for (size_t b = 0; b < count; ++b) {
        Evt3TestEncoder encoder;
        std::vector<Event2D> events;
        while (encoder.words().size() < wordsPerBuffer) {
            timeNs += random() % (2 * gapNs + 1);
            const uint64_t t = timeNs / 1000;
            const auto y = static_cast<uint16_t>(random() % 720);
            const auto p = static_cast<uint8_t>(random() & 1);
            if (random() % 4 == 0) {
                const auto x = static_cast<uint16_t>(random() % (1280 - 32));
                const uint32_t mask = static_cast<uint32_t>(random()) | 3u;
                encoder.addVector(y, x, p, mask, t);
                for (unsigned i = 0; i < 32; ++i) {
                    if (mask & (1u << i)) {
                        events.emplace_back(static_cast<uint16_t>(x + i), y, p, base + t);
                    }
                }
            } else {
                const auto x = static_cast<uint16_t>(random() % 1280);
                encoder.addEvent(Event2D(x, y, p, t));
                events.emplace_back(x, y, p, base + t);
            }
        }
        out.buffers.push_back(encoder.bytes());
        out.lastTime.push_back(base + timeNs / 1000);
        out.events.push_back(std::move(events));
    }
    return out;
}

size_t headerLength(const std::vector<uint8_t>& file) {
    const std::string end = "% end\n";
    return static_cast<size_t>(std::search(file.begin(), file.end(), end.begin(), end.end()) - file.begin()) + end.size();
}

std::vector<Event2D> eventsOf(const CameraBuffers& c, size_t from, size_t to) {
    std::vector<Event2D> all;
    for (size_t b = from; b < to; ++b) {
        all.insert(all.end(), c.events[b].begin(), c.events[b].end());
    }
    return all;
}

std::vector<uint8_t> bytesOf(const CameraBuffers& c, size_t from, size_t to) {
    std::vector<uint8_t> all;
    for (size_t b = from; b < to; ++b) {
        all.insert(all.end(), c.buffers[b].begin(), c.buffers[b].end());
    }
    return all;
}

TEST(RoundTrip, ADirectRecordingReadsBackAsItsEvents) {
    const CameraBuffers camera = makeCameraBuffers(60, 45000000, 400, 32768);
    TempDir dir;
    const std::string path = dir.file("direct.raw");
    DvsFileRecorder recorder;
    std::atomic<uint64_t> decoded{camera.lastTime[9]};
    recorder.setTimestampCallback([&] { return decoded.load(); });
    for (size_t b = 0; b < camera.buffers.size(); ++b) {
        if (b == 10) {
            DvsFileInfo info;
            info.dvsStartTimestamp = decoded;
            info.serialNumber = "RT";
            ASSERT_TRUE(recorder.startRecording(path, info));
        }
        if (b == 50) {
            ASSERT_TRUE(recorder.stopRecording());
        }
        if (recorder.isRecording()) {
            recorder.writeData(camera.buffers[b]);
        }
        decoded = camera.lastTime[b];
    }
    const std::vector<uint8_t> file = readFileBytes(path);
    auto reader = loadReader(path);
    ASSERT_TRUE(reader);
    DvsFileInfo info;
    reader->getFileInfo(info);
    EXPECT_EQ(info.serialNumber, "RT");
    const std::vector<uint8_t> data = bytesOf(camera, 10, 50);
    EXPECT_TRUE(std::equal(file.begin() + static_cast<std::ptrdiff_t>(headerLength(file)), file.end(), data.begin(),
                           data.end()));
    EXPECT_TRUE(readAllByCount(*reader, 65536) == eventsOf(camera, 10, 50));
}

TEST(RoundTrip, ACacheRecordingReadsBackWithItsPreRollAndTrueTimes) {
    // About 2 MB per second of event time, buffers of 32 KiB: a block of 1 MiB is about half a second.
    const CameraBuffers camera = makeCameraBuffers(400, 40000000, 3000, 16384);
    TempDir dir;
    const std::string path = dir.file("cached.raw");
    constexpr size_t START = 200;
    constexpr size_t STOP = 300;
    {
        DvsFileRecorder recorder;
        std::atomic<uint64_t> decoded{0};
        // The camera's clock: the time of the last decoded buffer, read by the cache thread whenever
        // it gets to a block, later than the block's own bytes.
        recorder.setTimestampCallback([&] { return decoded.load(); });
        DvsFileInfo info;
        info.serialNumber = "RTC";
        recorder.setFileInfo(info);
        ASSERT_TRUE(recorder.setFileCacheTime(2, dir.path()));
        for (size_t b = 0; b < camera.buffers.size(); ++b) {
            if (b == START) {
                info.dvsStartTimestamp = decoded;
                ASSERT_TRUE(recorder.startRecording(path, info));
            }
            if (b == STOP) {
                ASSERT_TRUE(recorder.stopRecording());
            }
            if (recorder.isRecording()) {
                recorder.writeData(camera.buffers[b]);
            }
            decoded = camera.lastTime[b];
        }
    }
    const std::vector<uint8_t> file = readFileBytes(path);
    // The data is a run of whole buffers that ends with the last one before the stop.
    size_t first = STOP;
    size_t size = 0;
    const size_t header = headerLength(file);
    while (first > 0 && size < file.size() - header) {
        size += camera.buffers[--first].size();
    }
    ASSERT_EQ(size, file.size() - header);
    const std::vector<uint8_t> data = bytesOf(camera, first, STOP);
    EXPECT_TRUE(std::equal(file.begin() + static_cast<std::ptrdiff_t>(header), file.end(), data.begin(), data.end()));
    // At least one whole block from before the start.
    EXPECT_LE(first + DvsFileRecorder::BLOCK_SIZE / camera.buffers[0].size(), START);

    auto reader = loadReader(path);
    ASSERT_TRUE(reader);
    DvsFileInfo read;
    reader->getFileInfo(read);
    RecordProperty("header_minus_first_event_us",
                   std::to_string(static_cast<int64_t>(read.dvsStartTimestamp - camera.events[first].front().timestamp)));
    const std::vector<Event2D> expected = eventsOf(camera, first, STOP);
    EXPECT_TRUE(readAllByCount(*reader, 65536) == expected);
    uint64_t start = 0;
    reader->getStartTimeStamp(start);
    EXPECT_LE(start, expected.front().timestamp);
    ASSERT_TRUE(reader->seekTime(expected[expected.size() / 2].timestamp));
    EXPECT_EQ(reader->getNEvents(1)->front().timestamp, expected[expected.size() / 2].timestamp);
}

} // namespace
