// Raw file reader. Input: a whole raw file, header and data, as the fuzzer makes it.
// Checks: loading either throws one of the header's conversion errors or returns; a loaded file reads
// back in batches as getMaxEvents events, each within [start, end] (or a TIME_LOW step beyond, for data
// whose time runs backwards); a seek to an event number or to a
// time agrees with that sequential read; a second reader, which loads the side file the first one
// wrote, gives the same figures and events.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "FuzzSupport.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

constexpr uint64_t BATCH = 97;
constexpr size_t SEEKS = 6;
constexpr uint64_t TIME_LOW_SPAN = 4096;

const ScratchDir& scratch() {
    static ScratchDir dir;
    return dir;
}

std::vector<Event2D> readAll(RawFileReader& reader) {
    std::vector<Event2D> events;
    for (;;) {
        auto batch = reader.getNEvents(BATCH);
        if (batch->empty()) {
            return events;
        }
        FUZZ_CHECK(batch->size() <= BATCH);
        events.insert(events.end(), batch->begin(), batch->end());
    }
}

// Loads; false when the header was refused (by a false or by one of its conversion errors).
bool load(RawFileReader& reader) {
    try {
        return reader.loadFile();
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    } catch (const std::runtime_error&) {
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLogger();
    const std::string path = scratch().file("f.raw");
    const std::string side = scratch().file("f.qnmark.tmp");
    std::error_code ignored;
    std::filesystem::remove(side, ignored);
    writeFile(path, data, size);

    RawFileReader reader(path);
    if (!load(reader)) {
        return 0;
    }
    uint64_t total = 0;
    uint64_t start = 0;
    uint64_t end = 0;
    reader.getMaxEvents(total);
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    FUZZ_CHECK(start <= end);
    const std::vector<Event2D> all = readAll(reader);
    FUZZ_CHECK(all.size() == total);
    FUZZ_CHECK(reader.reachedEndOfEvents());
    // Within [start, end]; data whose time runs backwards within a 4096 us step may reach that step
    // beyond.
    const bool ordered = std::is_sorted(all.begin(), all.end(),
                                        [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
    for (const Event2D& e : all) {
        if (ordered) {
            FUZZ_CHECK(e.timestamp >= start && e.timestamp <= end);
        }
        FUZZ_CHECK(e.timestamp + TIME_LOW_SPAN > start && e.timestamp < end + TIME_LOW_SPAN);
        FUZZ_CHECK(e.x < 1280 && e.y < 720);
    }

    // Seeks by event number, spread over the file, and by the times of events.
    for (size_t i = 0; i < SEEKS; ++i) {
        const uint64_t n = total * i / (SEEKS - 1);
        FUZZ_CHECK(reader.seekNEvents(n));
        FUZZ_CHECK(reader.getCurrentPosEventNum() == n);
        const auto batch = reader.getNEvents(BATCH);
        const size_t expected = static_cast<size_t>(std::min<uint64_t>(BATCH, total - n));
        FUZZ_CHECK(batch->size() == expected);
        FUZZ_CHECK(std::equal(batch->begin(), batch->end(), all.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    FUZZ_CHECK(!reader.seekNEvents(total + 1));
    for (size_t i = 0; i < SEEKS && !all.empty(); ++i) {
        const uint64_t t = all[all.size() * i / SEEKS].timestamp;
        if (t < start || t > end) {
            FUZZ_CHECK(!ordered);
            FUZZ_CHECK(!reader.seekTime(t));
            continue;
        }
        FUZZ_CHECK(reader.seekTime(t));
        // The first event at or after t in file order.
        const auto first = std::find_if(all.begin(), all.end(), [t](const Event2D& e) { return e.timestamp >= t; });
        const auto batch = reader.getNEvents(1);
        FUZZ_CHECK(batch->size() == 1 && batch->front() == *first);
    }
    FUZZ_CHECK(reader.seekTime(start));
    FUZZ_CHECK(reader.seekTime(end));
    FUZZ_CHECK(!reader.seekTime(end + 1));
    FUZZ_CHECK(reader.reachedEndOfEvents());

    // Batches by time from the start: never more than the file holds, never at or past a window's end.
    FUZZ_CHECK(reader.seekTime(start));
    size_t byTime = 0;
    for (int guard = 0; guard < 10000 && !reader.reachedEndOfEvents(); ++guard) {
        const uint64_t windowEnd = reader.getCurrentPosTimeStamp() + 1000;
        const auto batch = reader.getNTimeEvents(1000);
        for (const Event2D& e : *batch) {
            FUZZ_CHECK(e.timestamp < windowEnd);
        }
        byTime += batch->size();
    }
    FUZZ_CHECK(byTime <= total);

    // The side file written by the first load is taken by the next one.
    RawFileReader again(path);
    FUZZ_CHECK(load(again));
    uint64_t total2 = 0;
    uint64_t start2 = 0;
    uint64_t end2 = 0;
    again.getMaxEvents(total2);
    again.getStartTimeStamp(start2);
    again.getEndTimeStamp(end2);
    FUZZ_CHECK(total2 == total && start2 == start && end2 == end);
    FUZZ_CHECK(again.getAllBookmarks().size() == reader.getAllBookmarks().size());
    FUZZ_CHECK(again.getTriggerList() == reader.getTriggerList());
    FUZZ_CHECK(readAll(again) == all);
    return 0;
}
