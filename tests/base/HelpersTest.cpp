#include "QuelnorBase/Utils/FuncUtils.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

using namespace quelnor;

TEST(NumberText, HexAndDecimalTables) {
    struct Case {
        int value;
        int width;
        const char* hex;
        const char* dec;
    };
    const Case cases[] = {
        {255, 4, "00FF", "0255"},
        {-1, 2, "FFFFFFFF", "-1"},
        {7, 3, "007", "007"},
        {-5, 4, "FFFFFFFB", "-005"}, // the sign goes before the zeros
        {-5, 2, "FFFFFFFB", "-5"},
        {12345, 3, "3039", "12345"},
        {0, 0, "0", "0"},
        {0, 5, "00000", "00000"},
        {0xABCDEF, 8, "00ABCDEF", "11259375"},
        {INT32_MIN, 12, "000080000000", "-02147483648"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hexToString(c.value, c.width), c.hex) << c.value << " width " << c.width;
        EXPECT_EQ(intToString(c.value, c.width), c.dec) << c.value << " width " << c.width;
    }
}

TEST(IpText, ConvertsBetweenTextAndValue) {
    struct Case {
        const char* text;
        uint32_t value;
    };
    const Case cases[] = {
        {"192.168.1.10", 0xC0A8010Au},
        {"1.2.3", 0x01020300u},     // missing pieces stay 0
        {"1.2.3.4.5", 0x01020304u}, // pieces after the fourth are ignored
        {"300.1.1.1", 0x2C010101u}, // 300 keeps its low 8 bits: 44
        {"255.255.255.255", 0xFFFFFFFFu},
        {"0.0.0.0", 0u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<uint32_t>(stringToIP(c.text)), c.value) << c.text;
    }
    EXPECT_EQ(ipToString(0xC0A8010Au), "192.168.1.10");
    EXPECT_EQ(ipToString(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(ipToString(0u), "0.0.0.0");
    const uint8_t bytes[4] = {10, 0, 200, 7};
    EXPECT_EQ(ipToString(bytes), "10.0.200.7");
    EXPECT_EQ(static_cast<uint32_t>(stringToIP(ipToString(0x0A00C807u))), 0x0A00C807u);

    EXPECT_THROW(stringToIP("1..2.3"), std::invalid_argument);
    EXPECT_THROW(stringToIP("a.b.c.d"), std::invalid_argument);
}

TEST(IpText, ValidationIsStrict) {
    for (const char* text : {"192.168.1.10", "0.0.0.0", "255.255.255.255", "1.2.3.4."}) {
        EXPECT_TRUE(isValidIP(text)) << text;
    }
    for (const char* text : {"192.168.01.10", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "", " 1.2.3.4",
                             "1.2.3.4 ", "1.2.-3.4", "1.2.3.4..", ".1.2.3", "99999999999999999999.1.1.1",
                             "1.2.3.0x4", "1.2.3.00"}) {
        EXPECT_FALSE(isValidIP(text)) << "'" << text << "'";
    }
}

TEST(Bytes, BigEndianWordsAndSwappedPairs) {
    const uint8_t word[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(bufToU32BE(word), 0xDEADBEEFu);
    const uint8_t small[4] = {0, 0, 1, 2};
    EXPECT_EQ(bufToU32BE(small), 0x0102u);

    std::vector<uint8_t> odd = {1, 2, 3, 4, 5};
    convertEndian(odd);
    EXPECT_EQ(odd, (std::vector<uint8_t>{2, 1, 4, 3, 5}));
    std::vector<uint8_t> even = {0xAA, 0xBB};
    convertEndian(even);
    EXPECT_EQ(even, (std::vector<uint8_t>{0xBB, 0xAA}));
    std::vector<uint8_t> none;
    convertEndian(none);
    EXPECT_TRUE(none.empty());
}

namespace {

// Sets LC_CTYPE for one test and restores the C locale afterwards.
class ScopedCType {
public:
    explicit ScopedCType(const char* name) { m_ok = std::setlocale(LC_CTYPE, name) != nullptr; }
    ~ScopedCType() { std::setlocale(LC_CTYPE, "C"); }
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

const std::string UTF8_NAME = "Gr\xC3\xBC\xC3\x9F" "e.mp4"; // "Grüße.mp4"
const std::string LATIN1_NAME = "Gr\xFC\xDF" "e.mp4";

} // namespace

TEST(CodeSet, Utf8AndCLocalesPassTextUnchanged) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        ScopedCType ctype(locale);
        ASSERT_TRUE(ctype.ok()) << locale;
        EXPECT_EQ(utf8ToLocal8Bit(UTF8_NAME), UTF8_NAME) << locale;
        EXPECT_EQ(local8bitToUtf8(UTF8_NAME), UTF8_NAME) << locale;
        EXPECT_EQ(utf8ToLocal8Bit(""), "");
        EXPECT_EQ(local8bitToUtf8(""), "");
    }
}

TEST(CodeSet, Latin1LocaleConvertsBothWays) {
    // Build an ISO-8859-1 locale of our own, so the test needs no locale preinstalled on the machine.
    // The folder is this process's: another run of the test beside it would rewrite or remove a
    // shared one while this one reads it.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quelnor-locale-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string command = "localedef -i en_US -f ISO-8859-1 " + (dir / "en_US.ISO-8859-1").string() +
                                " >/dev/null 2>&1";
    (void)std::system(command.c_str());
    setenv("LOCPATH", dir.c_str(), 1);
    {
        ScopedCType ctype("en_US.ISO-8859-1");
        ASSERT_TRUE(ctype.ok()) << "localedef could not build an ISO-8859-1 locale (package locales)";

        const std::string local = utf8ToLocal8Bit(UTF8_NAME);
        EXPECT_EQ(local, LATIN1_NAME);
        EXPECT_EQ(local.size(), LATIN1_NAME.size()); // no terminating NUL inside the string
        EXPECT_EQ(local8bitToUtf8(LATIN1_NAME), UTF8_NAME);
        EXPECT_EQ(local8bitToUtf8(utf8ToLocal8Bit("plain.raw")), "plain.raw");
        // Not representable in Latin-1, and not UTF-8 at all: both give an empty text.
        EXPECT_EQ(utf8ToLocal8Bit("price \xE2\x82\xAC"), "");
        EXPECT_EQ(utf8ToLocal8Bit("bad \xC3"), "");
        // A long text goes through in one piece.
        std::string longUtf8;
        std::string longLatin1;
        for (int i = 0; i < 5000; ++i) {
            longUtf8 += "\xC3\xA9";
            longLatin1 += "\xE9";
        }
        EXPECT_EQ(utf8ToLocal8Bit(longUtf8), longLatin1);
        EXPECT_EQ(local8bitToUtf8(longLatin1), longUtf8);
    }
    unsetenv("LOCPATH");
    std::filesystem::remove_all(dir);
}
