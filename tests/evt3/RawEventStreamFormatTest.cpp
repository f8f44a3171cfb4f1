#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "QuelnorHal/EventStream/DecoderFactory.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "QuelnorHal/EventStream/RawEventStreamFormat.h"

using namespace quelnor;

TEST(RawEventStreamFormat, SplitsEncodingAndOptions) {
    RawEventStreamFormat format("EVT3;height=720;width=1280");
    EXPECT_EQ(format.getEncodingTypeStr(), "EVT3");
    EXPECT_EQ(format.getEncodingType(), EVT3);
    EXPECT_TRUE(format.contains("width"));
    EXPECT_TRUE(format.contains("height"));
    EXPECT_FALSE(format.contains("depth"));
    EXPECT_EQ(format["height"], "720");
    EXPECT_EQ(format["width"], "1280");
    try {
        (void)format["depth"];
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "option not found");
    }
}

TEST(RawEventStreamFormat, KeepsTextAsWrittenAndLaterKeysWin) {
    struct Case {
        const char* text;
        const char* encoding;
        int type;
        std::vector<std::pair<std::string, std::string>> options;
    };
    const Case cases[] = {
        {"evt3;height=720;width=1280", "evt3", -1, {{"height", "720"}}},
        {"EVT3", "EVT3", 0, {}},
        {"", "", -1, {}},
        {"EVT3 ;a=1", "EVT3 ", -1, {{"a", "1"}}},
        {"EVT3; w = 5 ", "EVT3", 0, {{" w ", " 5 "}}},
        {"EVT3;a=1;a=2", "EVT3", 0, {{"a", "2"}}},
        {"EVT3;flag;k=v=w", "EVT3", 0, {{"flag", ""}, {"k", "v=w"}}},
        {"EVT3;width=640;", "EVT3", 0, {{"width", "640"}, {"", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        RawEventStreamFormat format(c.text);
        EXPECT_EQ(format.getEncodingTypeStr(), c.encoding);
        EXPECT_EQ(static_cast<int>(format.getEncodingType()), c.type);
        for (const auto& [key, value] : c.options) {
            ASSERT_TRUE(format.contains(key)) << key;
            EXPECT_EQ(format[key], value);
        }
    }
}

TEST(RawEventStreamFormat, CopiesAreIndependent) {
    RawEventStreamFormat a("EVT3;height=320;width=320");
    RawEventStreamFormat b = a;
    b = RawEventStreamFormat("X;k=v");
    EXPECT_EQ(a["width"], "320");
    EXPECT_EQ(b.getEncodingTypeStr(), "X");
    RawEventStreamFormat c(std::move(a));
    EXPECT_EQ(c["height"], "320");
}

TEST(DecoderFactory, MakesEvt3DecoderOfTheGivenSize) {
    auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=320;width=320"));
    ASSERT_NE(decoder, nullptr);
    auto* evt3 = dynamic_cast<EVT3Decoder*>(decoder.get());
    ASSERT_NE(evt3, nullptr);
    EXPECT_EQ(decoder->getRawEventSizeBytes(), 2);
}

TEST(DecoderFactory, RefusesOtherEncodingsAndReportsBadOptions) {
    EXPECT_EQ(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("evt3;height=720;width=1280")), nullptr);
    EXPECT_EQ(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT2;height=720;width=1280")), nullptr);
    try {
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720"));
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "option not found");
    }
    EXPECT_THROW(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=tall;width=1280")),
                 std::invalid_argument);
    EXPECT_THROW(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=99999999999")),
                 std::out_of_range);
}
