// Control frame layout and the answer checks, without a device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "QuelnorHal/interface/CtrlFrame.h"
#include "QuelnorHal/interface/StringsCtrlFrame.h"
#include "LogCapture.h"

using namespace quelnor;
using quelnor::test::LogCapture;
using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

std::vector<uint8_t> bytesOf(CtrlFrame& frame) { return std::vector<uint8_t>(frame.frame(), frame.frame() + frame.frame_size()); }

std::vector<uint8_t> answer(uint32_t property, uint32_t sizeField, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    for (uint32_t v : {property, sizeField}) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> answer(uint32_t property, const std::vector<uint8_t>& payload) {
    return answer(property, static_cast<uint32_t>(payload.size()), payload);
}

// Lets a test cut the frame below its header, which no public operation can do.
class TruncatedFrame : public CtrlFrame {
public:
    TruncatedFrame() : CtrlFrame(1) { m_data.resize(5); }
};

class CountingFrame : public CtrlFrame {
public:
    CountingFrame() : CtrlFrame(7) {}
    void updateSize() override {
        ++updates;
        CtrlFrame::updateSize();
    }
    int updates = 0;
};

} // namespace

TEST(CtrlFrameLayout, NewFrameIsTheHeaderWithSizeZero) {
    CtrlFrame frame(0x00010102);
    EXPECT_EQ(frame.frame_size(), 8u);
    EXPECT_EQ(frame.payload_size(), 0u);
    EXPECT_EQ(frame.get_property(), 0x00010102u);
    EXPECT_THAT(bytesOf(frame), ElementsAre(0x02, 0x01, 0x01, 0x00, 0, 0, 0, 0));
}

TEST(CtrlFrameLayout, WordsAreLittleEndianAndTheSizeFieldFollowsAtFrame) {
    CtrlFrame frame(0x40010102);
    frame.push_back32(0x11223344);
    EXPECT_EQ(frame.frame_size(), 12u);
    // The size field is brought up to date by frame(), not by push_back32.
    const uint8_t* raw = frame.payload() - 8;
    EXPECT_EQ(raw[4], 0);
    EXPECT_THAT(bytesOf(frame), ElementsAre(0x02, 0x01, 0x01, 0x40, 4, 0, 0, 0, 0x44, 0x33, 0x22, 0x11));

    frame.push_back32({0, 0x9008, 0xA5});
    EXPECT_EQ(frame.payload_size(), 16u);
    EXPECT_THAT(bytesOf(frame),
                ElementsAre(0x02, 0x01, 0x01, 0x40, 16, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0x08, 0x90, 0, 0,
                            0xA5, 0, 0, 0));
}

TEST(CtrlFrameLayout, FrameUpdatesTheSizeThroughTheVirtualOperation) {
    CountingFrame frame;
    frame.push_back32(1);
    frame.frame();
    EXPECT_EQ(frame.updates, 1);
}

TEST(CtrlFrameLayout, WordAccessStaysInsideThePayload) {
    CtrlFrame frame(1);
    frame.push_back32({10, 20, 30});
    EXPECT_EQ(frame.get32(0), 10u);
    EXPECT_EQ(frame.get32(2), 30u);
    EXPECT_THROW(frame.get32(3), std::range_error);
    EXPECT_THROW(frame.get32(UINT64_MAX / 2), std::range_error); // no wrap of the bound
    EXPECT_EQ(frame.get64(0), (20ull << 32) | 10u);
    EXPECT_THROW(frame.get64(1), std::range_error); // 12 bytes hold one 64-bit word
    try {
        frame.get32(3);
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "Ctrl frame vect index out of range");
    }
    CtrlFrame empty(1);
    EXPECT_THROW(empty.get32(0), std::range_error);
    EXPECT_THROW(empty.get64(0), std::range_error);
}

TEST(CtrlFrameLayout, AFrameBelowItsHeaderReportsANegativePayload) {
    TruncatedFrame frame;
    try {
        frame.updateSize();
        FAIL() << "no exception";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "payload resized to less than 0");
    }
    EXPECT_THROW(frame.payload_size(), std::length_error);
    EXPECT_THROW(frame.frame(), std::length_error);
}

struct AnswerCase {
    const char* name;
    std::vector<uint8_t> answer;
    bool accepted;
    const char* log; // expected error line, or nullptr
};

class AnswerCheck : public testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerCheck, ChecksTheAnswerAgainstTheRequest) {
    const AnswerCase& c = GetParam();
    LogCapture logs;
    CtrlFrame frame(0x00010102);
    frame.push_back32({0, 0x9008, 1});
    std::vector<uint8_t> request = bytesOf(frame);
    std::vector<uint8_t> reply = c.answer;
    EXPECT_EQ(frame.swap_req_and_answer(reply), c.accepted);
    if (c.log) {
        EXPECT_EQ(logs.count(LOG_ERROR, c.log), 1) << c.name;
    } else {
        EXPECT_EQ(logs.countAt(LOG_ERROR), 0) << c.name;
    }
    if (c.answer.size() < 8) {
        // Nothing taken: the frame still holds the request, the caller's answer is untouched.
        EXPECT_EQ(bytesOf(frame), request);
        EXPECT_EQ(reply, c.answer);
    } else {
        // Taken whatever the outcome: the frame holds the answer, the caller's vector the request.
        EXPECT_EQ(std::vector<uint8_t>(frame.payload() - 8, frame.payload() - 8 + frame.frame_size()), c.answer);
        EXPECT_EQ(reply, request);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CtrlFrame, AnswerCheck,
    testing::Values(
        AnswerCase{"answer", answer(0x00010102, {0, 0, 0, 0, 8, 0x90, 0, 0, 0x34, 0x12, 0, 0}), true, nullptr},
        AnswerCase{"header only", answer(0x00010102, {}), true, nullptr},
        AnswerCase{"seven bytes", {0x02, 0x01, 0x01, 0, 0, 0, 0}, false, "control answer is shorter than its header"},
        AnswerCase{"size field too large", answer(0x00010102, 8, {1, 2, 3, 4}), false, "size mismatch; expected 8, got 4"},
        AnswerCase{"size field too small", answer(0x00010102, 0, {1, 2, 3, 4}), false, "size mismatch; expected 0, got 4"},
        AnswerCase{"not implemented", answer(0x80000000, {}), false, "command not implemented"},
        AnswerCase{"failed", answer(0x80010102, {}), false, "command failed"},
        AnswerCase{"other property", answer(0x00010103, {}), false, "property mismatch; expected 65794, got 65795"}),
    [](const testing::TestParamInfo<AnswerCase>& info) {
        std::string n = info.param.name;
        for (char& ch : n) {
            if (!isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return n;
    });

TEST(StringsCtrlFrame, RequestCarriesTheArgumentAndStrings) {
    StringsCtrlFrame frame(0x30, 0xAABBCCDD);
    frame.push_back_string("ab");
    EXPECT_THAT(bytesOf(frame), ElementsAre(0x30, 0, 0, 0, 7, 0, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA, 'a', 'b', 0));
}

TEST(StringsCtrlFrame, ReadsEveryStringAfterTheFirstWord) {
    StringsCtrlFrame frame(0x30, 0);
    std::vector<uint8_t> reply = answer(0x30, {9, 9, 9, 9, 'e', 'v', 'k', 0, 0, 'x', 'y', 0});
    ASSERT_TRUE(frame.swap_req_and_answer(reply));
    EXPECT_THAT(frame.get_strings(), ElementsAre("evk", "", "xy"));
}

struct StringsCase {
    std::vector<uint8_t> payload;
    const char* log;
};

class StringsAnswerCheck : public testing::TestWithParam<StringsCase> {};

TEST_P(StringsAnswerCheck, RefusesPayloadsItCannotReadSafely) {
    LogCapture logs;
    StringsCtrlFrame frame(0x30, 0);
    std::vector<uint8_t> reply = answer(0x30, GetParam().payload);
    ASSERT_TRUE(frame.swap_req_and_answer(reply));
    EXPECT_TRUE(frame.get_strings().empty());
    EXPECT_EQ(logs.count(LOG_ERROR, GetParam().log), 1);
}

INSTANTIATE_TEST_SUITE_P(
    StringsCtrlFrame, StringsAnswerCheck,
    testing::Values(StringsCase{{1, 2}, "TZ_TOO_SHORT"},
                    StringsCase{{1, 2, 3, 4}, "TZ_TOO_SHORT, not enough space for NULL terminator"},
                    StringsCase{{1, 2, 3, 4, 'a', 'b'}, "TZ_INVALID_ANSWER, compatible string shall be NULL-terminated"}));
