#include "QuelnorBase/Utils/FuncUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace quelnor;
using std::chrono::microseconds;
using std::chrono::seconds;
using std::chrono::system_clock;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(line);
    }
    return out;
}

// Pins the process time zone for one test and restores the previous one afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
            m_hadOld = true;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_hadOld) {
            setenv("TZ", m_old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::string m_old;
    bool m_hadOld = false;
};

system_clock::time_point utcTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return system_clock::from_time_t(timegm(&t));
}

const std::regex TIME_TEXT(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6})");

} // namespace

TEST(FileHeader, CameraOf1280x720GetsTheFixedHeaderLinesAndNoApsLine) {
    DvsFileInfo info;
    info.dvsStartTimestamp = 123456789;
    info.serialNumber = "QN-SERIAL-7";
    const std::string header = generateDvsFileHeader(info);
    const std::vector<std::string> got = lines(header);

    ASSERT_EQ(got.size(), 15u);
    ASSERT_EQ(got[1].size(), 33u);
    EXPECT_EQ(got[1].substr(0, 7), "% date ");
    EXPECT_TRUE(std::regex_match(got[1].substr(7), TIME_TEXT)) << got[1];

    std::vector<std::string> expected = {
        "% camera_integrator_name Quelnor",
        got[1],
        "% evt 3.0",
        "% format EVT3; height = 720; width = 1280",
        "% generation 4.2",
        "% geometry 1280x720",
        "% integrator_name Quelnor",
        "% plugin_integrator_name Quelnor",
        "% plugin_name hal_plugin_quelnor",
        "% sensor_generation 4.2",
        "% sensor_name IMX646",
        "% serial_number QN-SERIAL-7",
        "% system_ID 53",
        "% dvs_start_timestamp 123456789",
        "% end",
    };
    EXPECT_EQ(got, expected);
    // Every line ends with a single line feed, the last one too.
    std::string joined;
    for (const std::string& line : expected) {
        joined += line + "\n";
    }
    EXPECT_EQ(header, joined);
}

TEST(FileHeader, ApsStartStandsJustBeforeEndAndOtherSizesAreWrittenAsGiven) {
    DvsFileInfo info;
    info.width = 320;
    info.height = 320;
    info.apsStartTimestamp = 42;
    info.serialNumber = "Z320";
    const std::vector<std::string> got = lines(generateDvsFileHeader(info));

    ASSERT_EQ(got.size(), 16u);
    EXPECT_EQ(got[3], "% format EVT3; height = 320; width = 320");
    EXPECT_EQ(got[5], "% geometry 320x320");
    EXPECT_EQ(got[13], "% dvs_start_timestamp 0");
    EXPECT_EQ(got[14], "% aps_start_timestamp 42");
    EXPECT_EQ(got[15], "% end");

    info.width = 640;
    info.height = 480;
    const std::vector<std::string> vga = lines(generateDvsFileHeader(info));
    EXPECT_EQ(vga[3], "% format EVT3; height = 480; width = 640");
    EXPECT_EQ(vga[5], "% geometry 640x480");
}

TEST(TimeText, WritesLocalTimeWithSixFractionDigits) {
    ScopedTimeZone zone("UTC");
    const auto t = utcTime(2024, 3, 5, 14, 7, 9) + microseconds(4211);
    EXPECT_EQ(timePointToString(t), "2024-03-05 14:07:09.004211");
    EXPECT_EQ(timePointToString(utcTime(2024, 3, 5, 14, 7, 9)), "2024-03-05 14:07:09.000000");
    EXPECT_EQ(timePointToString(utcTime(1999, 12, 31, 23, 59, 59) + microseconds(999999)),
              "1999-12-31 23:59:59.999999");
    // Before the epoch the fraction still counts forward from the whole second.
    EXPECT_EQ(timePointToString(system_clock::time_point(microseconds(-1))), "1969-12-31 23:59:59.999999");

    ScopedTimeZone berlin("Europe/Berlin");
    EXPECT_EQ(timePointToString(t), "2024-03-05 15:07:09.004211");
    EXPECT_EQ(timePointToString(utcTime(2024, 7, 1, 10, 0, 0)), "2024-07-01 12:00:00.000000");
    EXPECT_TRUE(std::regex_match(getSysTime(), TIME_TEXT));
}

TEST(TimeText, RoundTripsToTheMicrosecondInWinterAndSummer) {
    const std::vector<system_clock::time_point> times = {
        utcTime(2024, 1, 15, 8, 30, 0) + microseconds(4211),   // winter
        utcTime(2024, 7, 1, 22, 59, 59) + microseconds(999999), // summer
        utcTime(2024, 3, 31, 1, 0, 0) + microseconds(1),        // first hour of summer time in Berlin
        utcTime(2024, 10, 27, 2, 0, 0),                         // first hour after it ends
        utcTime(2038, 6, 1, 0, 0, 0) + microseconds(500000),    // beyond 32-bit seconds
    };
    for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "Australia/Sydney"}) {
        ScopedTimeZone pinned(zone);
        for (const auto& t : times) {
            const std::string text = timePointToString(t);
            EXPECT_EQ(parseLocalTimeString(text), t) << zone << " " << text;
        }
    }
}

TEST(TimeText, ParsesLooseTextAndFractions) {
    ScopedTimeZone zone("UTC");
    const auto base = utcTime(2024, 3, 5, 14, 7, 9);
    struct Case {
        const char* text;
        int64_t micros;
    };
    const Case cases[] = {
        {"2024-03-05 14:07:09", 0},
        {"2024-03-05   14:07:09", 0},
        {"2024-03-05 14 : 07 : 09", 0},
        {"2024 - 03 - 05 14:07:09.5", 500000},
        {"2024-03-05 14:07:09.00421", 4210},      // five digits: padded on the right
        {"2024-03-05 14:07:09.004211", 4211},
        {"2024-03-05 14:07:09.123456789", 123456}, // nine digits: the first six count
        {"date: 2024-03-05 14:07:09.1", 100000},  // everything before the first digit is skipped
        {"2024-03-05 14:07:09.", 0},
        {"2024-03-05 14:07:09.25 trailing words", 250000},
        {"2024-03-05 14:07:09 ", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseLocalTimeString(c.text), base + microseconds(c.micros)) << c.text;
    }
}

TEST(TimeText, MalformedTextThrowsItsOwnMessage) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"no digits here", "No timestamp found"},
        {"2024/03/05 14:07:09", "Failed to parse time string: invalid format"},
        {"2024-03-05", "Failed to parse time string: invalid format"},
        {"2024-13-05 14:07:09", "Failed to parse time string: invalid format"},
        // Beyond the nanosecond clock's years (about 1678 to 2262).
        {"1000-01-01 00:00:00", "Time string out of range"},
        {"1677-01-01 00:00:00", "Time string out of range"},
        {"2263-01-01 00:00:00.999999", "Time string out of range"},
        {"9999-12-31 23:59:59", "Time string out of range"},
    };
    for (const Case& c : cases) {
        try {
            parseLocalTimeString(c.text);
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message) << c.text;
        }
    }
    EXPECT_NO_THROW(parseLocalTimeString("1700-01-01 00:00:00"));
    EXPECT_NO_THROW(parseLocalTimeString("2261-12-31 23:59:59.999999"));
    try {
        parseLocalTimeString("");
        ADD_FAILURE() << "no exception for the empty text";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Time string is empty");
    }
}
