// The raw file recorder: direct recordings byte for byte, the cache ring of one-second segments and
// its pre-roll, refused calls, and the hand-over between the camera thread and the writer threads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "LogCapture.h"
#include "QuelnorBase/ObjectPool.h"
#include "QuelnorDriver/FileRecorder/DvsFileRecorder.h"
#include "RawTestSupport.h"
#include "rawfile/SmallDisk.h"

using namespace quelnor;
using namespace quelnor::test;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

constexpr size_t BLOCK = DvsFileRecorder::BLOCK_SIZE;
constexpr uint64_t SECOND = 1000000;

template <typename Predicate>
bool waitUntil(Predicate predicate, std::chrono::seconds timeout = 120s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Buffer k: its number in the first 8 bytes, then bytes that depend on k and the offset, so any
// loss, repeat or reordering shows.
size_t bufferSize(uint64_t k) { return 1000 + (k * 7919) % 200000; }

std::vector<uint8_t> numberedBuffer(uint64_t k) {
    std::vector<uint8_t> b(bufferSize(k));
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = i < 8 ? static_cast<uint8_t>(k >> (8 * i)) : static_cast<uint8_t>(k * 31 + i);
    }
    return b;
}

// The numbers of the whole buffers that `data` consists of, in order; fails on anything else.
std::vector<uint64_t> buffersIn(const std::vector<uint8_t>& data, size_t from) {
    std::vector<uint64_t> numbers;
    size_t pos = from;
    while (pos < data.size()) {
        if (data.size() - pos < 8) {
            ADD_FAILURE() << "partial buffer at " << pos;
            break;
        }
        uint64_t k = 0;
        for (int i = 7; i >= 0; --i) {
            k = (k << 8) | data[pos + static_cast<size_t>(i)];
        }
        const std::vector<uint8_t> expected = numberedBuffer(k);
        if (data.size() - pos < expected.size() || !std::equal(expected.begin(), expected.end(), data.begin() + static_cast<std::ptrdiff_t>(pos))) {
            ADD_FAILURE() << "damaged buffer " << k << " at " << pos;
            break;
        }
        numbers.push_back(k);
        pos += expected.size();
    }
    return numbers;
}

size_t headerLength(const std::vector<uint8_t>& file) {
    const std::string end = "% end\n";
    const auto found = std::search(file.begin(), file.end(), end.begin(), end.end());
    return found == file.end() ? 0 : static_cast<size_t>(found - file.begin()) + end.size();
}

std::string headerText(const std::vector<uint8_t>& file) {
    return std::string(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(headerLength(file)));
}

DvsFileInfo infoWith(uint64_t start, const std::string& serial = "SN7") {
    DvsFileInfo info;
    info.dvsStartTimestamp = start;
    info.serialNumber = serial;
    return info;
}

size_t segmentFiles(const std::string& dir) {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        n += entry.path().string().find("quelnor.raw.tmp") != std::string::npos;
    }
    return n;
}

// Numbered buffers in a file whose blocks were padded to BLOCK + 1 bytes.
std::vector<uint64_t> paddedBlocksIn(const std::vector<uint8_t>& data, size_t from) {
    std::vector<uint64_t> numbers;
    for (size_t pos = from; pos + BLOCK + 1 <= data.size(); pos += BLOCK + 1) {
        uint64_t k = 0;
        for (int i = 7; i >= 0; --i) {
            k = (k << 8) | data[pos + static_cast<size_t>(i)];
        }
        const std::vector<uint8_t> expected = numberedBuffer(k);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.begin() + static_cast<std::ptrdiff_t>(pos))) << k;
        numbers.push_back(k);
    }
    EXPECT_EQ((data.size() - from) % (BLOCK + 1), 0u);
    return numbers;
}

// ---- Direct mode ----

TEST(RecorderDirect, WritesTheHeaderAndEveryByteInOrder) {
    TempDir dir;
    const std::string path = dir.file("direct.raw");
    DvsFileRecorder recorder;
    recorder.setTimestampCallback([] { return uint64_t(777); });
    EXPECT_FALSE(recorder.isRecording());
    LogCapture log;
    ASSERT_TRUE(recorder.startRecording(path, infoWith(123456789)));
    EXPECT_TRUE(recorder.isRecording());
    std::vector<uint8_t> all;
    for (uint64_t k = 0; k < 60; ++k) {
        const std::vector<uint8_t> b = numberedBuffer(k);
        recorder.writeData(b);
        all.insert(all.end(), b.begin(), b.end());
    }
    ASSERT_TRUE(recorder.stopRecording());
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(log.has(LOG_INFO, "Start recording file ts: 123456789"));
    EXPECT_TRUE(log.has(LOG_INFO, "Stop recording file ts: 777"));
    const std::vector<uint8_t> file = readFileBytes(path);
    const size_t header = headerLength(file);
    ASSERT_GT(header, 0u);
    const std::string text = headerText(file);
    EXPECT_NE(text.find("% serial_number SN7\n"), std::string::npos);
    EXPECT_NE(text.find("% dvs_start_timestamp 123456789\n"), std::string::npos);
    EXPECT_TRUE(std::equal(file.begin() + static_cast<std::ptrdiff_t>(header), file.end(), all.begin(), all.end()));

    // A second stop changes nothing.
    EXPECT_TRUE(recorder.stopRecording());
    EXPECT_EQ(readFileBytes(path), file);
}

TEST(RecorderDirect, HandsABlockOverOnlyWhenItPassesOneMebibyte) {
    TempDir dir;
    const std::string path = dir.file("block.raw");
    DvsFileRecorder recorder;
    ASSERT_TRUE(recorder.startRecording(path, infoWith(1)));
    const uint64_t header = fs::file_size(path);
    recorder.writeData(std::vector<uint8_t>(BLOCK, 0x11));
    // Nothing is queued yet, so nothing can have reached the file.
    EXPECT_EQ(fs::file_size(path), header);
    recorder.writeData(std::vector<uint8_t>(1, 0x22));
    EXPECT_TRUE(waitUntil([&] { return fs::file_size(path) == header + BLOCK + 1; }));
    recorder.writeData(std::vector<uint8_t>(5, 0x33));
    ASSERT_TRUE(recorder.stopRecording());
    EXPECT_EQ(fs::file_size(path), header + BLOCK + 6);
}

TEST(RecorderDirect, RefusesASecondStartAndAnUnopenableFile) {
    TempDir dir;
    DvsFileRecorder recorder;
    LogCapture log;
    EXPECT_FALSE(recorder.startRecording(dir.file("no/such/dir/x.raw"), infoWith(1)));
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(recorder.startRecording(dir.path(), infoWith(1)));
    EXPECT_EQ(log.countAt(LOG_ERROR), 2);

    ASSERT_TRUE(recorder.startRecording(dir.file("first.raw"), infoWith(1)));
    recorder.writeData(numberedBuffer(0));
    EXPECT_FALSE(recorder.startRecording(dir.file("second.raw"), infoWith(2)));
    EXPECT_FALSE(fs::exists(dir.file("second.raw")));
    recorder.writeData(numberedBuffer(1));
    ASSERT_TRUE(recorder.stopRecording());
    const std::vector<uint8_t> file = readFileBytes(dir.file("first.raw"));
    EXPECT_EQ(buffersIn(file, headerLength(file)), (std::vector<uint64_t>{0, 1}));
}

TEST(RecorderDirect, WorksWithoutATimestampCallback) {
    TempDir dir;
    DvsFileRecorder recorder;
    ASSERT_TRUE(recorder.startRecording(dir.file("plain.raw"), infoWith(5)));
    recorder.writeData(numberedBuffer(3));
    ASSERT_TRUE(recorder.stopRecording());
    const std::vector<uint8_t> file = readFileBytes(dir.file("plain.raw"));
    EXPECT_EQ(buffersIn(file, headerLength(file)), (std::vector<uint64_t>{3}));
}

// Raw buffers as the camera loop hands them over: pooled, of every fill. Well-filled large ones are
// held until written (they stay out of their pool meanwhile), the rest copied; the file is the same.
TEST(RecorderDirect, HeldRawBuffersMakeTheSameFileAndGoBackToTheirPool) {
    struct Plan {
        const char* name;
        size_t size;
        size_t capacity;
        bool held; // when it comes first in a block
    };
    constexpr size_t MIN = DvsFileRecorder::REFERENCE_MIN_BYTES;
    const Plan plans[] = {
        {"full", 131072, 131072, true},
        {"half full", 2 * MIN, 4 * MIN, true},
        {"at the minimum", MIN, MIN, true},
        {"below the minimum", MIN - 2, MIN - 2, false},
        {"mostly room", 2 * MIN, 4 * MIN + 2, false},
    };
    ObjectPool<std::vector<uint8_t>> pool(0, false);
    const auto make = [&](uint64_t k, const Plan& plan) {
        RawBuffer buffer = pool.acquire();
        std::vector<uint8_t> bytes = numberedBuffer(k);
        bytes.resize(plan.size, static_cast<uint8_t>(k));
        *buffer = std::vector<uint8_t>();  // a reused one keeps its capacity
        buffer->reserve(plan.capacity);
        buffer->assign(bytes.begin(), bytes.end());
        return buffer;
    };
    for (const Plan& plan : plans) {
        SCOPED_TRACE(plan.name);
        TempDir dir;
        DvsFileRecorder recorder;
        ASSERT_TRUE(recorder.startRecording(dir.file("held.raw"), infoWith(1)));
        std::vector<std::weak_ptr<std::vector<uint8_t>>> handed;
        // The first in a fresh block.
        RawBuffer first = make(0, plan);
        std::vector<uint8_t> all = *first;
        handed.push_back(first);
        recorder.writeData(first);
        first.reset();
        EXPECT_EQ(!handed.front().expired(), plan.held);
        // Then a stream of every kind mixed, over several blocks.
        for (uint64_t k = 1; k < 80; ++k) {
            const RawBuffer buffer = make(k, plans[k % std::size(plans)]);
            all.insert(all.end(), buffer->begin(), buffer->end());
            handed.push_back(buffer);
            recorder.writeData(buffer);
        }
        ASSERT_TRUE(recorder.stopRecording());
        const std::vector<uint8_t> file = readFileBytes(dir.file("held.raw"));
        const size_t header = headerLength(file);
        ASSERT_EQ(file.size() - header, all.size());
        EXPECT_TRUE(std::equal(all.begin(), all.end(), file.begin() + static_cast<std::ptrdiff_t>(header)));
        // Once written nothing is held: every buffer is back in its pool.
        for (size_t i = 0; i < handed.size(); ++i) {
            EXPECT_TRUE(handed[i].expired()) << "buffer " << i;
        }
    }
}

TEST(RecorderDirect, BytesHandedOverAfterTheStopBelongToNoRecording) {
    TempDir dir;
    DvsFileRecorder recorder;
    ASSERT_TRUE(recorder.startRecording(dir.file("a.raw"), infoWith(1)));
    recorder.writeData(numberedBuffer(0));
    ASSERT_TRUE(recorder.stopRecording());
    recorder.writeData(numberedBuffer(1));  // the camera checked isRecording just before the stop
    ASSERT_TRUE(recorder.startRecording(dir.file("b.raw"), infoWith(2)));
    recorder.writeData(numberedBuffer(2));
    ASSERT_TRUE(recorder.stopRecording());
    const std::vector<uint8_t> a = readFileBytes(dir.file("a.raw"));
    const std::vector<uint8_t> b = readFileBytes(dir.file("b.raw"));
    EXPECT_EQ(buffersIn(a, headerLength(a)), (std::vector<uint64_t>{0}));
    EXPECT_EQ(buffersIn(b, headerLength(b)), (std::vector<uint64_t>{2}));
}

// The file is a pipe nobody reads: the writer thread is stuck in the middle of a block, and the
// camera thread's writeData calls still return at once, block after block.
TEST(RecorderDirect, WriteDataNeverWaitsForTheDisk) {
    TempDir dir;
    const std::string path = dir.file("pipe.raw");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    DvsFileRecorder recorder;
    ASSERT_TRUE(recorder.startRecording(path, infoWith(1)));
    std::atomic<int> calls{0};
    std::thread camera([&] {
        for (uint64_t k = 0; k < 40; ++k) {
            std::vector<uint8_t> b = numberedBuffer(k);
            b.resize(BLOCK + 1, 0);
            recorder.writeData(b);
            ++calls;
        }
    });
    // Nothing reads the pipe until every call has returned.
    EXPECT_TRUE(waitUntil([&] { return calls == 40; }, 60s));

    // Now drain it: everything arrives, in order.
    ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);
    std::vector<uint8_t> received;
    std::thread drain([&] {
        std::vector<uint8_t> chunk(1 << 16);
        for (;;) {
            const ssize_t n = ::read(reader, chunk.data(), chunk.size());
            if (n <= 0) {
                break;
            }
            received.insert(received.end(), chunk.begin(), chunk.begin() + n);
        }
    });
    camera.join();
    ASSERT_TRUE(recorder.stopRecording());
    drain.join();
    ::close(reader);
    const size_t header = headerLength(received);
    ASSERT_EQ(received.size(), header + 40 * (BLOCK + 1));
    std::vector<uint64_t> expected(40);
    for (uint64_t k = 0; k < 40; ++k) {
        expected[k] = k;
    }
    EXPECT_EQ(paddedBlocksIn(received, header), expected);
}

// The camera thread writes all the time while another thread starts and stops recordings: every
// recording holds a run of whole buffers in order, with every buffer whose writeData returned before
// the stop, and no buffer is in two recordings.
TEST(RecorderDirect, StopsWhileTheCameraThreadWritesLoseNothingHandedOver) {
    TempDir dir;
    DvsFileRecorder recorder;
    std::atomic<uint64_t> written{0};
    std::atomic<bool> done{false};
    std::thread camera([&] {
        for (uint64_t k = 0; !done; ++k) {
            recorder.writeData(numberedBuffer(k));
            written = k + 1;
        }
    });
    std::vector<std::pair<uint64_t, uint64_t>> windows;  // buffers completed before start / before stop
    for (int r = 0; r < 12; ++r) {
        const uint64_t before = written;
        ASSERT_TRUE(recorder.startRecording(dir.file("r" + std::to_string(r) + ".raw"), infoWith(r)));
        const uint64_t target = written + 20 + static_cast<uint64_t>(r) * 7;
        ASSERT_TRUE(waitUntil([&] { return written >= target; }));
        const uint64_t beforeStop = written;
        ASSERT_TRUE(recorder.stopRecording());
        windows.emplace_back(before, beforeStop);
    }
    done = true;
    camera.join();
    uint64_t previousLast = 0;
    bool first = true;
    for (size_t r = 0; r < windows.size(); ++r) {
        SCOPED_TRACE(r);
        const std::vector<uint8_t> file = readFileBytes(dir.file("r" + std::to_string(r) + ".raw"));
        const std::vector<uint64_t> numbers = buffersIn(file, headerLength(file));
        ASSERT_FALSE(numbers.empty());
        for (size_t i = 1; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], numbers[i - 1] + 1);
        }
        // Buffers finished before the start may not be there; every buffer finished before the stop is.
        EXPECT_GE(numbers.front(), windows[r].first);
        EXPECT_GE(numbers.back() + 1, windows[r].second);
        if (!first) {
            EXPECT_GT(numbers.front(), previousLast);
        }
        previousLast = numbers.back();
        first = false;
    }
}

// ---- Cache mode ----

// Drives the cache with a test clock: each block is handed over, and the clock moves only once the
// cache thread has taken the block, so the segment boundaries are known.
class CacheDriver {
public:
    explicit CacheDriver(LogCapture& log) : log(log) {
        recorder.setTimestampCallback([this] { return now.load(); });
        recorder.setFileInfo(infoWith(0, "CAM"));
    }
    // One block per call: a numbered buffer padded past the block size.
    void block(uint64_t time) {
        now = time;
        std::vector<uint8_t> b = numberedBuffer(next);
        blocks.push_back(next++);
        b.resize(BLOCK + 1, 0);
        recorder.writeData(b);
        const int frames = ++taken;
        ASSERT_TRUE(waitUntil([&] { return processed() >= frames; })) << "block " << frames;
    }
    int processed() const {
        int n = 0;
        for (const LogLine& line : log.lines()) {
            n += line.text.rfind("Start save cache file: ", 0) == 0 ||
                 line.text.rfind("A frame of cache file was saved: ", 0) == 0;
        }
        return n;
    }
    // A block handed over without waiting for the cache thread.
    void blockNoWait() {
        std::vector<uint8_t> b = numberedBuffer(next);
        blocks.push_back(next++);
        b.resize(BLOCK + 1, 0);
        recorder.writeData(b);
    }

    LogCapture& log;
    DvsFileRecorder recorder;
    std::atomic<uint64_t> now{0};
    uint64_t next = 0;
    int taken = 0;
    std::vector<uint64_t> blocks;
};

TEST(RecorderCache, TheRingKeepsNSegmentsAndReusesTheirNames) {
    TempDir dir;
    LogCapture log;
    {
        CacheDriver d(log);
        ASSERT_TRUE(d.recorder.setFileCacheTime(3, dir.path()));
        EXPECT_TRUE(d.recorder.isRecording());
        for (uint64_t i = 0; i < 9; ++i) {
            d.block(1000 + i * SECOND);
            EXPECT_LE(segmentFiles(dir.path()), 3u);
        }
        const std::string seg = dir.path() + "/CAM_";
        EXPECT_TRUE(log.has(LOG_INFO, "Start save cache file: " + seg + "0quelnor.raw.tmp"));
        // Opened in turn: 1, 2, then 0, 1, 2, ... with the oldest dropped from the list each time.
        std::vector<std::string> opened;
        std::vector<std::string> dropped;
        for (const LogLine& line : log.lines()) {
            const std::string saved = "A frame of cache file was saved: " + seg;
            const std::string unused = "Delete unused buffer: " + seg;
            if (line.text.rfind(saved, 0) == 0) {
                opened.push_back(line.text.substr(saved.size()));
            }
            if (line.text.rfind(unused, 0) == 0) {
                dropped.push_back(line.text.substr(unused.size()));
            }
        }
        const std::vector<std::string> expectOpened = {"1quelnor.raw.tmp", "2quelnor.raw.tmp", "0quelnor.raw.tmp",
                                                       "1quelnor.raw.tmp", "2quelnor.raw.tmp", "0quelnor.raw.tmp",
                                                       "1quelnor.raw.tmp", "2quelnor.raw.tmp"};
        EXPECT_EQ(opened, expectOpened);
        EXPECT_EQ(dropped, std::vector<std::string>(expectOpened.begin() + 2, expectOpened.end()));
        EXPECT_EQ(segmentFiles(dir.path()), 3u);
    }
    // The destructor removes the cache.
    EXPECT_EQ(segmentFiles(dir.path()), 0u);
}

TEST(RecorderCache, ARecordingGetsThePreRollAndEverySegmentAfterIt) {
    TempDir dir;
    const std::string out = dir.file("cached.raw");
    LogCapture log;
    const uint64_t base = 70 * SECOND;
    std::vector<uint64_t> blocks;
    {
        CacheDriver d(log);
        ASSERT_TRUE(d.recorder.setFileCacheTime(5, dir.path()));
        for (uint64_t i = 0; i < 10; ++i) {
            d.block(base + i * SECOND);
        }
        ASSERT_TRUE(d.recorder.startRecording(out, infoWith(base + 10 * SECOND, "CAM")));
        EXPECT_FALSE(d.recorder.setFileCacheTime(0, dir.path()));
        EXPECT_FALSE(d.recorder.setFileCacheTime(9, dir.path()));
        for (uint64_t i = 10; i < 13; ++i) {
            d.block(base + i * SECOND);
        }
        ASSERT_TRUE(d.recorder.stopRecording());
        blocks = d.blocks;
        // Leaving cache mode waits for the append.
        ASSERT_TRUE(d.recorder.setFileCacheTime(0, dir.path()));
        EXPECT_FALSE(d.recorder.isRecording());
    }
    // The ring's names were 0 to 4; the recording's segments went on from 5.
    EXPECT_TRUE(log.has(LOG_INFO, "A frame of cache file was saved: " + dir.path() + "/CAM_7quelnor.raw.tmp"));
    const std::vector<uint8_t> file = readFileBytes(out);
    const std::string header = headerText(file);
    // The segment that holds block 6 opened with block 5: its time starts the file, 4 s and more
    // before startRecording.
    EXPECT_NE(header.find("% dvs_start_timestamp " + std::to_string(base + 5 * SECOND) + "\n"), std::string::npos)
        << header;
    EXPECT_NE(header.find("% serial_number CAM\n"), std::string::npos);
    EXPECT_EQ(paddedBlocksIn(file, header.size()), (std::vector<uint64_t>{6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(segmentFiles(dir.path()), 0u);
    for (const char* line : {"app file: ", "End cache loop", "Start cache loop"}) {
        bool found = false;
        for (const LogLine& l : log.lines()) {
            found = found || l.text.rfind(line, 0) == 0;
        }
        EXPECT_TRUE(found) << line;
    }
}

TEST(RecorderCache, ARecordingStartedEarlyJumpsItsSegmentNumbersPastTheRing) {
    TempDir dir;
    const std::string out = dir.file("early.raw");
    LogCapture log;
    {
        CacheDriver d(log);
        ASSERT_TRUE(d.recorder.setFileCacheTime(3, dir.path()));
        d.block(SECOND);
        ASSERT_TRUE(d.recorder.startRecording(out, infoWith(2 * SECOND, "CAM")));
        for (uint64_t i = 1; i < 6; ++i) {
            d.block(SECOND + i * SECOND);
        }
        ASSERT_TRUE(d.recorder.stopRecording());
    }
    EXPECT_TRUE(log.has(LOG_INFO, "Save cache file num: 4"));
    EXPECT_EQ(log.count(LOG_INFO, "Delete unused buffer: " + dir.path() + "/CAM_0quelnor.raw.tmp"), 0);
    const std::vector<uint8_t> file = readFileBytes(out);
    EXPECT_EQ(paddedBlocksIn(file, headerLength(file)), (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));
}

TEST(RecorderCache, AClockAtZeroKeepsOneOpenSegment) {
    TempDir dir;
    const std::string out = dir.file("zero.raw");
    LogCapture log;
    {
        CacheDriver d(log);
        ASSERT_TRUE(d.recorder.setFileCacheTime(2, dir.path()));
        d.block(0);
        ASSERT_TRUE(d.recorder.startRecording(out, infoWith(0, "CAM")));
        for (int i = 0; i < 4; ++i) {
            d.blockNoWait();
        }
        ASSERT_TRUE(d.recorder.stopRecording());
    }
    EXPECT_EQ(log.count(LOG_INFO, "Start save cache file: " + dir.path() + "/CAM_0quelnor.raw.tmp"), 1);
    const std::vector<uint8_t> file = readFileBytes(out);
    EXPECT_EQ(paddedBlocksIn(file, headerLength(file)), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
}

TEST(RecorderCache, WorksWithoutATimestampCallback) {
    TempDir dir;
    const std::string out = dir.file("noclock.raw");
    {
        DvsFileRecorder recorder;
        recorder.setFileInfo(infoWith(0, "NC"));
        ASSERT_TRUE(recorder.setFileCacheTime(4, dir.path()));
        ASSERT_TRUE(recorder.startRecording(out, infoWith(4242, "NC")));
        for (uint64_t k = 0; k < 30; ++k) {
            recorder.writeData(numberedBuffer(k));
        }
        ASSERT_TRUE(recorder.stopRecording());
    }
    const std::vector<uint8_t> file = readFileBytes(out);
    EXPECT_NE(headerText(file).find("% dvs_start_timestamp 4242\n"), std::string::npos);
    std::vector<uint64_t> expected(30);
    for (uint64_t k = 0; k < 30; ++k) {
        expected[k] = k;
    }
    EXPECT_EQ(buffersIn(file, headerLength(file)), expected);
}

TEST(RecorderCache, AStopWithoutARecordingKeepsTheCache) {
    TempDir dir;
    LogCapture log;
    CacheDriver d(log);
    ASSERT_TRUE(d.recorder.setFileCacheTime(3, dir.path()));
    d.block(SECOND);
    EXPECT_TRUE(d.recorder.stopRecording());
    EXPECT_TRUE(d.recorder.isRecording());
    d.block(2 * SECOND);
    EXPECT_EQ(segmentFiles(dir.path()), 2u);
}

// While the append copies the cache into the file, start and stop are refused. The append is held
// on a segment that is a pipe until the test writes into it.
TEST(RecorderCache, StartAndStopAreRefusedDuringTheAppend) {
    TempDir dir;
    const std::string out = dir.file("held.raw");
    LogCapture log;
    {
        CacheDriver d(log);
        ASSERT_TRUE(d.recorder.setFileCacheTime(2, dir.path()));
        d.block(SECOND);
        ASSERT_TRUE(d.recorder.startRecording(out, infoWith(SECOND, "CAM")));
        const std::string segment = dir.path() + "/CAM_0quelnor.raw.tmp";
        ASSERT_EQ(::unlink(segment.c_str()), 0);
        ASSERT_EQ(::mkfifo(segment.c_str(), 0600), 0);
        ASSERT_TRUE(d.recorder.stopRecording());
        EXPECT_FALSE(d.recorder.startRecording(dir.file("other.raw"), infoWith(2, "CAM")));
        EXPECT_FALSE(d.recorder.stopRecording());
        EXPECT_FALSE(d.recorder.isRecording());
        {
            // What the segment held: block 0, padded.
            std::vector<uint8_t> content = numberedBuffer(0);
            content.resize(BLOCK + 1, 0);
            std::ofstream pipe(segment, std::ios::binary);
            pipe.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        }
        ASSERT_TRUE(waitUntil([&] { return d.recorder.isRecording(); }));
        EXPECT_FALSE(fs::exists(dir.file("other.raw")));
        EXPECT_TRUE(d.recorder.isHealthy());
    }
    const std::vector<uint8_t> file = readFileBytes(out);
    EXPECT_EQ(paddedBlocksIn(file, headerLength(file)), (std::vector<uint64_t>{0}));
}



// ---- Failures on a full disk ----

bool sameEvent(const Event2D& a, const Event2D& b) {
    return a.x == b.x && a.y == b.y && a.polarity == b.polarity && a.timestamp == b.timestamp;
}

enum class FullDisk { DirectFile, CacheSegments, CachedFileCopy };

struct FullDiskCase {
    const char* name;
    FullDisk where;
    bool held; // handed over as the camera loop does, so the blocks hold the buffers themselves
};

class RecorderFullDisk : public ::testing::TestWithParam<FullDiskCase> {};

// Over 6 MiB of EVT3 data into a recorder whose file (or cache) lies on a 3 MiB disk: the first
// failure is logged with the file and the cause, the recording ends there, the failure is reported,
// and the file holds a prefix of the stream that the SDK's reader reads back.
TEST_P(RecorderFullDisk, ReportsTheFailureAndKeepsAReadablePrefix) {
    const FullDiskCase c = GetParam();
    SmallDisk disk;
    if (!disk.ok()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    TempDir roomy;
    SyntheticOptions options;
    options.items = 2500000;
    options.triggerEvery = 0;
    const SyntheticStream stream = makeSyntheticStream(options);
    const std::vector<uint8_t> bytes = stream.bytes();
    ASSERT_GT(bytes.size(), 2 * SmallDisk::SIZE);

    const bool cache = c.where != FullDisk::DirectFile;
    const std::string out = c.where == FullDisk::CacheSegments ? roomy.file("out.raw") : disk.file("out.raw");
    LogCapture log;
    // Each reading moves the clock by 1 s, so the cache rolls over to a new segment every two blocks.
    std::atomic<uint64_t> clock{options.startTime};
    {
        DvsFileRecorder recorder;
        recorder.setTimestampCallback([&] { return clock.fetch_add(1000000); });
        recorder.setFileInfo(infoWith(options.startTime, "FULL"));
        if (cache) {
            ASSERT_TRUE(recorder.setFileCacheTime(5, c.where == FullDisk::CacheSegments ? disk.path() : roomy.path()));
        }
        ASSERT_TRUE(recorder.startRecording(out, infoWith(options.startTime, "FULL")));
        constexpr size_t CHUNK = 65536;
        for (size_t pos = 0; pos < bytes.size(); pos += CHUNK) {
            const size_t end = std::min(bytes.size(), pos + CHUNK);
            auto chunk = std::make_shared<std::vector<uint8_t>>(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                                                                bytes.begin() + static_cast<std::ptrdiff_t>(end));
            if (c.held) {
                recorder.writeData(RawBuffer(chunk));
            } else {
                recorder.writeData(*chunk);
            }
        }
        const bool stopped = recorder.stopRecording();
        if (c.where == FullDisk::CachedFileCopy) {
            // The segments were whole; the copy into the file fails after the stop.
            EXPECT_TRUE(stopped);
            ASSERT_TRUE(waitUntil([&] { return recorder.isRecording(); })); // caching again
        } else {
            EXPECT_FALSE(stopped);
        }
        EXPECT_FALSE(recorder.isHealthy());
        if (cache) {
            ASSERT_TRUE(waitUntil([&] { return recorder.isRecording(); }));
        }
    }
    int failures = 0;
    for (const LogLine& line : log.lines()) {
        if (line.level == LOG_ERROR && line.text.rfind("Failed to write ", 0) == 0) {
            ++failures;
            EXPECT_NE(line.text.find(c.where == FullDisk::CacheSegments ? disk.path() : out), std::string::npos)
                << line.text;
            EXPECT_NE(line.text.find("No space left on device"), std::string::npos) << line.text;
        }
    }
    EXPECT_EQ(failures, 1) << "the first failure only";

    const std::vector<uint8_t> file = readFileBytes(out);
    ASSERT_GT(file.size(), headerLength(file));
    EXPECT_LT(file.size(), bytes.size());
    auto reader = loadReader(out);
    ASSERT_TRUE(reader);
    const std::vector<Event2D> events = readAllByCount(*reader, 65536);
    ASSERT_FALSE(events.empty());
    ASSERT_LT(events.size(), stream.events.size());
    size_t differ = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        differ += !sameEvent(events[i], stream.events[i]);
    }
    EXPECT_EQ(differ, 0u);
}

INSTANTIATE_TEST_SUITE_P(, RecorderFullDisk,
                         ::testing::Values(FullDiskCase{"DirectFile", FullDisk::DirectFile, false},
                                           FullDiskCase{"CacheSegments", FullDisk::CacheSegments, false},
                                           FullDiskCase{"CachedFileCopy", FullDisk::CachedFileCopy, false},
                                           FullDiskCase{"DirectFileHeld", FullDisk::DirectFile, true},
                                           FullDiskCase{"CacheSegmentsHeld", FullDisk::CacheSegments, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecorderDirect, ARecordingAfterAFailedOneIsHealthyAgain) {
    SmallDisk disk;
    if (!disk.ok()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    TempDir roomy;
    LogCapture log;
    DvsFileRecorder recorder;
    ASSERT_TRUE(recorder.startRecording(disk.file("full.raw"), infoWith(1)));
    for (uint64_t k = 0; k < 80; ++k) {
        recorder.writeData(numberedBuffer(k));
    }
    EXPECT_FALSE(recorder.stopRecording());
    EXPECT_FALSE(recorder.isHealthy());
    // The partial file holds whole buffers only.
    const std::vector<uint8_t> partial = readFileBytes(disk.file("full.raw"));
    EXPECT_FALSE(buffersIn(partial, headerLength(partial)).empty());

    ASSERT_TRUE(recorder.startRecording(roomy.file("fine.raw"), infoWith(2)));
    EXPECT_TRUE(recorder.isHealthy());
    recorder.writeData(numberedBuffer(1));
    EXPECT_TRUE(recorder.stopRecording());
    EXPECT_TRUE(recorder.isHealthy());
    const std::vector<uint8_t> file = readFileBytes(roomy.file("fine.raw"));
    EXPECT_EQ(buffersIn(file, headerLength(file)), std::vector<uint64_t>{1});
}

// A cache disk slower than the stream (here a segment that is a pipe nobody reads yet): the queue
// of full blocks stays at its limit, the oldest blocks are dropped, counted and warned about once,
// and the ring forgets what it held before the gap.
TEST(RecorderCache, ASlowCacheDiskKeepsTheQueueAtItsLimit) {
    TempDir dir;
    const std::string segment = dir.path() + "/CAM_0quelnor.raw.tmp";
    ASSERT_EQ(::mkfifo(segment.c_str(), 0600), 0);
    constexpr uint64_t BLOCK_BYTES = BLOCK + 1;
    constexpr uint64_t LIMIT = 4 * BLOCK_BYTES;
    LogCapture log;
    DvsFileRecorder recorder;
    recorder.setTimestampCallback([] { return uint64_t(5 * SECOND); });
    recorder.setFileInfo(infoWith(0, "CAM"));
    recorder.setCacheQueueLimitBytes(LIMIT);
    ASSERT_TRUE(recorder.setFileCacheTime(3, dir.path()));
    auto block = [](uint64_t k) {
        std::vector<uint8_t> b = numberedBuffer(k);
        b.resize(BLOCK_BYTES, 0);
        return b;
    };
    recorder.writeData(block(0));
    // The cache thread has taken block 0 and hangs opening the pipe.
    ASSERT_TRUE(waitUntil([&] { return recorder.getQueuedBytes() == 0; }));
    uint64_t most = 0;
    const auto began = std::chrono::steady_clock::now();
    for (uint64_t k = 1; k <= 20; ++k) {
        recorder.writeData(block(k));
        most = std::max(most, recorder.getQueuedBytes());
    }
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(most, LIMIT);
    EXPECT_EQ(recorder.getDroppedBlocks(), 16u);
    EXPECT_EQ(recorder.getDroppedBytes(), 16 * BLOCK_BYTES);
    int warnings = 0;
    for (const LogLine& line : log.lines()) {
        warnings += line.level == LOG_WARN && line.text.rfind("Recorder cache falls behind", 0) == 0;
    }
    // The warning comes at most once a second: one, and one more per whole second the writes took (a
    // loaded machine or a sanitizer makes them slow).
    EXPECT_GE(warnings, 1);
    EXPECT_LE(warnings, 1 + std::chrono::duration_cast<std::chrono::seconds>(took).count());

    // Let the disk go on: block 0 reaches the pipe, the gap closes that segment and the ring starts
    // afresh with the four newest blocks.
    std::vector<uint8_t> piped;
    {
        std::ifstream pipe(segment, std::ios::binary);
        piped.assign(std::istreambuf_iterator<char>(pipe), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(piped, block(0));
    ASSERT_TRUE(waitUntil([&] {
        std::error_code error;
        return fs::is_regular_file(segment, error) && fs::file_size(segment, error) == LIMIT;
    }));
    const std::vector<uint8_t> ring = readFileBytes(segment);
    EXPECT_EQ(paddedBlocksIn(ring, 0), (std::vector<uint64_t>{17, 18, 19, 20}));
}

} // namespace

// A segment removed before the stop copies it: the copy after the stop fails, which shows in
// isHealthy, and the error says the file is gone (its reason used to be lost: "Input/output error").
TEST(RecorderCache, ASegmentRemovedBeforeTheStopIsReportedAsMissing) {
    TempDir roomy;
    TempDir cache;
    std::atomic<uint64_t> clock{SECOND};
    LogCapture log;
    DvsFileRecorder recorder;
    recorder.setTimestampCallback([&] { return clock.fetch_add(SECOND); });
    recorder.setFileInfo(infoWith(0, "CAM"));
    ASSERT_TRUE(recorder.setFileCacheTime(5, cache.path()));
    ASSERT_TRUE(recorder.startRecording(roomy.file("out.raw"), infoWith(0, "CAM")));
    for (uint64_t k = 0; k < 30; ++k) {
        recorder.writeData(numberedBuffer(k));
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.getQueuedBytes() == 0 && segmentFiles(cache.path()) > 1; }));
    const std::string first = cache.file("CAM_0quelnor.raw.tmp");
    ASSERT_TRUE(fs::remove(first));
    EXPECT_TRUE(recorder.stopRecording()) << "the segments were whole when the recording stopped";
    auto reported = [&] {
        for (const LogLine& line : log.lines()) {
            if (line.level == LOG_ERROR && line.text.find(first) != std::string::npos &&
                line.text.find("No such file or directory") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    // The flag and the line come from the copying thread one after the other.
    EXPECT_TRUE(waitUntil([&] { return !recorder.isHealthy() && reported(); }))
        << "an error line names the missing segment and why";
}

// The cache folder goes while a recording runs: the next segment cannot be created, which ends the
// recording with an error naming the folder, and the stop reports it.
TEST(RecorderCache, ACacheFolderRemovedDuringARecordingIsReportedByTheStop) {
    TempDir roomy;
    TempDir parent;
    const std::string cache = parent.path() + "/cache";
    ASSERT_TRUE(fs::create_directory(cache));
    std::atomic<uint64_t> clock{SECOND};
    LogCapture log;
    DvsFileRecorder recorder;
    recorder.setTimestampCallback([&] { return clock.fetch_add(SECOND); });
    recorder.setFileInfo(infoWith(0, "CAM"));
    ASSERT_TRUE(recorder.setFileCacheTime(5, cache));
    ASSERT_TRUE(recorder.startRecording(roomy.file("out.raw"), infoWith(0, "CAM")));
    EXPECT_TRUE(recorder.isHealthy());
    // Blocks until one is in a segment on disk.
    uint64_t k = 0;
    for (; k < 30; ++k) {
        recorder.writeData(numberedBuffer(k));
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.getQueuedBytes() == 0 && segmentFiles(cache) > 0; }));
    // Taken away in one step: removing the files one by one races the recorder, which may create its
    // next segment among them, and the folder is then not empty when it is removed.
    const std::string gone = parent.path() + "/gone";
    fs::rename(cache, gone);
    fs::remove_all(gone);
    for (; k < 80; ++k) {
        recorder.writeData(numberedBuffer(k));
    }
    ASSERT_TRUE(waitUntil([&] { return !recorder.isHealthy(); }));
    EXPECT_FALSE(recorder.stopRecording());
    bool named = false;
    for (const LogLine& line : log.lines()) {
        named |= line.level == LOG_ERROR && line.text.find(cache) != std::string::npos;
    }
    EXPECT_TRUE(named) << "an error line names the cache folder";
}
