// Raw-file header and time text. Input: a byte that picks the mode, then
//   mode 0: a time text for parseLocalTimeString;
//   mode 1: a recording description (two start times, then the serial number) for the header writer;
//   mode 2: header text put before a short valid data part and loaded by the raw file reader.
// Checks: the time text parses or throws its std::invalid_argument / std::runtime_error, and a parsed
// time is written and read back to the same time point; a written header is 15 or 16 lines ending
// in "% end" and reads back with the description's serial and start times; a header the reader takes
// gives the data's two events, one it refuses throws only its conversion errors.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "evt3/Evt3TestEncoder.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

constexpr size_t TIME_TEXT_LENGTH = 26;

const ScratchDir& scratch() {
    static ScratchDir dir;
    return dir;
}

// The local time of the run is UTC, so a parsed text reads back the same whatever the season.
void utc() {
    static const bool set = [] {
        setenv("TZ", "UTC", 1);
        tzset();
        return true;
    }();
    (void)set;
}

const std::vector<uint8_t>& smallData() {
    static const std::vector<uint8_t> data = [] {
        test::Evt3TestEncoder encoder;
        encoder.addEvent(Event2D(10, 20, 1, 5000)).addEvent(Event2D(11, 20, 0, 5002));
        return encoder.bytes();
    }();
    return data;
}

bool load(RawFileReader& reader) {
    try {
        return reader.loadFile();
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    } catch (const std::runtime_error&) {
    }
    return false;
}

void timeText(const std::string& text) {
    std::chrono::system_clock::time_point time;
    try {
        time = parseLocalTimeString(text);
    } catch (const std::invalid_argument&) {
        return;
    } catch (const std::runtime_error&) {
        return;
    }
    const std::string written = timePointToString(time);
    FUZZ_CHECK(written.size() == TIME_TEXT_LENGTH);
    FUZZ_CHECK(parseLocalTimeString(written) == time);
}

void header(Input& in) {
    DvsFileInfo info;
    info.dvsStartTimestamp = in.u64();
    info.apsStartTimestamp = in.u64() % 3 == 0 ? 0 : in.u64();
    std::string serial(reinterpret_cast<const char*>(in.rest()), in.restSize());
    // A serial number is one line of text.
    serial.erase(std::remove_if(serial.begin(), serial.end(), [](char c) { return c == '\n' || c == '\r'; }),
                 serial.end());
    info.serialNumber = serial;
    const std::string text = generateDvsFileHeader(info);
    FUZZ_CHECK(std::count(text.begin(), text.end(), '\n') == (info.apsStartTimestamp != 0 ? 16 : 15));
    FUZZ_CHECK(text.size() >= 6 && text.compare(text.size() - 6, 6, "% end\n") == 0);

    std::vector<uint8_t> file(text.begin(), text.end());
    file.insert(file.end(), smallData().begin(), smallData().end());
    const std::string path = scratch().file("w.raw");
    std::error_code ignored;
    std::filesystem::remove(scratch().file("w.qnmark.tmp"), ignored);
    writeFile(path, file.data(), file.size());
    RawFileReader reader(path);
    FUZZ_CHECK(reader.loadFile());
    DvsFileInfo back;
    FUZZ_CHECK(reader.getFileInfo(back));
    // The reader ends the serial where its line ends; a NUL in it survives.
    FUZZ_CHECK(back.serialNumber == serial);
    FUZZ_CHECK(back.dvsStartTimestamp == info.dvsStartTimestamp);
    FUZZ_CHECK(back.apsStartTimestamp == info.apsStartTimestamp);
    FUZZ_CHECK(back.width == 1280 && back.height == 720);
}

void headerText(Input& in) {
    std::vector<uint8_t> file = in.restBytes();
    // The header ends at its first line that does not begin with '%'; the data follows.
    file.push_back('\n');
    const std::string end = "% end\n";
    file.insert(file.end(), end.begin(), end.end());
    file.insert(file.end(), smallData().begin(), smallData().end());
    const std::string path = scratch().file("h.raw");
    std::error_code ignored;
    std::filesystem::remove(scratch().file("h.qnmark.tmp"), ignored);
    writeFile(path, file.data(), file.size());
    RawFileReader reader(path);
    if (!load(reader)) {
        return;
    }
    uint64_t total = 0;
    reader.getMaxEvents(total);
    // Two events when the header ended where it should; otherwise the rest is read as data.
    const auto events = reader.getNEvents(total + 1);
    FUZZ_CHECK(events->size() == total);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLogger();
    utc();
    Input in(data, size);
    switch (in.u8() % 3) {
    case 0:
        timeText(std::string(reinterpret_cast<const char*>(in.rest()), in.restSize()));
        break;
    case 1:
        header(in);
        break;
    default:
        headerText(in);
        break;
    }
    return 0;
}
