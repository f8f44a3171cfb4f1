// Bookmark side file beside a valid recording. Input: a flags byte, then the side file. With bit 0 of
// the flags set the target puts the right CRC at the end, so the records behind the CRC get explored.
// Checks: the recording always loads; a side file that was refused is rebuilt to the one a fresh build
// writes, and the reader then gives the recording's events; a side file that was taken (it is trusted:
// its decoder states and counts steer the decode) gives no more than the total it tells, every event
// inside the sensor, and seeks by number and by time inside the index succeed.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "FileReader/BookmarkFileFormat.h"
#include "FuzzRecording.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "rawfile/SyntheticRecording.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

constexpr uint64_t BATCH = 4096;
constexpr size_t FIRST_BATCHES = 3;

struct Recording {
    ScratchDir dir;
    std::string path;
    std::string side;
    std::vector<Event2D> events;
    std::vector<uint8_t> goodSide;
};

// A recording of a few chunks, so its index holds several bookmarks.
const Recording& recording() {
    static Recording rec;
    static const bool made = [] {
        const test::SyntheticStream stream = sideFileRecordingStream();
        const std::vector<uint8_t> bytes = rawFileBytes(stream, SIDE_FILE_RECORDING_START);
        rec.path = rec.dir.file("r.raw");
        rec.side = rec.dir.file("r.qnmark.tmp");
        writeFile(rec.path, bytes.data(), bytes.size());
        rec.events = stream.events;
        RawFileReader reader(rec.path);
        if (!reader.loadFile() || reader.getAllBookmarks().size() < 3) {
            std::abort();
        }
        rec.goodSide = readFile(rec.side);
        return true;
    }();
    (void)made;
    return rec;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLogger();
    const Recording& rec = recording();
    Input in(data, size);
    const uint8_t flags = in.u8();
    std::vector<uint8_t> side = in.restBytes();
    if ((flags & 1) && !side.empty()) {
        side.back() = BookmarkFileFormat::crc8(side.data(), side.size() - 1);
    }
    writeFile(rec.side, side.data(), side.size());

    RawFileReader reader(rec.path);
    FUZZ_CHECK(reader.loadFile());
    const std::vector<uint8_t> after = readFile(rec.side);
    const bool rebuilt = after != side;
    if (rebuilt) {
        FUZZ_CHECK(after == rec.goodSide);
    }
    const bool good = rebuilt || side == rec.goodSide;
    uint64_t total = 0;
    uint64_t start = 0;
    uint64_t end = 0;
    reader.getMaxEvents(total);
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    if (good) {
        FUZZ_CHECK(total == rec.events.size());
    }
    FUZZ_CHECK(start <= end);

    // A few batches from the start (all of them for the good side file): no more than the total, and
    // the recording's own events when the index is right.
    FUZZ_CHECK(reader.seekNEvents(0));
    std::vector<Event2D> read;
    const size_t batches = side == rec.goodSide ? SIZE_MAX : FIRST_BATCHES;
    for (size_t i = 0; i < batches; ++i) {
        auto batch = reader.getNEvents(BATCH);
        if (batch->empty()) {
            break;
        }
        read.insert(read.end(), batch->begin(), batch->end());
        FUZZ_CHECK(read.size() <= total);
    }
    for (const Event2D& e : read) {
        FUZZ_CHECK(e.x < 1280 && e.y < 720);
    }
    if (good) {
        FUZZ_CHECK(read.size() <= rec.events.size() && std::equal(read.begin(), read.end(), rec.events.begin()));
    }
    if (side == rec.goodSide) {
        FUZZ_CHECK(read == rec.events);
    }

    // Seeks anywhere in the index succeed.
    for (uint64_t n : {total / 3, total / 2, total}) {
        FUZZ_CHECK(reader.seekNEvents(n));
        const auto batch = reader.getNEvents(3);
        FUZZ_CHECK(batch->size() <= 3);
    }
    for (uint64_t t : {start, start + (end - start) / 2, end}) {
        FUZZ_CHECK(reader.seekTime(t));
        const auto batch = reader.getNEvents(3);
        if (good && !batch->empty()) {
            // The first event at or after t.
            const auto first = std::find_if(rec.events.begin(), rec.events.end(),
                                            [t](const Event2D& e) { return e.timestamp >= t; });
            FUZZ_CHECK(first != rec.events.end() && batch->front() == *first);
        }
    }
    FUZZ_CHECK(!reader.seekNEvents(total + 1));
    return 0;
}
