#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "sensor/RegisterTableBuilder.h"

namespace quelnor::detail {
namespace {

std::string errorOf(const std::vector<RegisterBlock>& blocks, const std::vector<RegisterLayout>& layouts) {
    try {
        expandRegisterTable(blocks, layouts);
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(RegisterTableBuilder, ExpandsSeriesLayoutsAndGeneratedFields) {
    std::vector<RegisterInfo> rows = expandRegisterTable(
        {{"", "plain 0x10 (3), lone 0x14 (0)"},
         {"blk/", "lut_00 … lut_02 0x100 + 4n (2+1a each), Reserved_0200 … Reserved_0208 0x200 + 4n (1 each)"}},
        {{"blk/lut_00 … blk/lut_02 0x100 + 4n", "t{2n:3} 0/9 {zero=0x0}; t{2n+1:3} 16/9=0x3"}});
    std::vector<std::string> text;
    for (const RegisterInfo& r : rows) {
        switch (r.type) {
        case RegisterInfo::REGISTER:
            text.push_back(std::string("R ") + r.name + " " + std::to_string(r.reg.address));
            break;
        case RegisterInfo::FIELD:
            text.push_back(std::string("F ") + r.name + " " + std::to_string(r.field.start) + "/" +
                           std::to_string(r.field.len) + "=" + std::to_string(r.field.default_value));
            break;
        default:
            text.push_back(std::string("A ") + r.name + " " + std::to_string(r.alias.value));
        }
    }
    EXPECT_EQ(text, (std::vector<std::string>{
                        "R plain 16", "F Reserved_9_0 0/10=0", "F Reserved_19_10 10/10=0", "F Reserved_31_20 20/12=0",
                        "R lone 20",
                        "R blk/lut_00 256", "F t000 0/9=0", "A zero 0", "F t001 16/9=3",
                        "R blk/lut_01 260", "F t002 0/9=0", "A zero 0", "F t003 16/9=3",
                        "R blk/lut_02 264", "F t004 0/9=0", "A zero 0", "F t005 16/9=3",
                        "R blk/Reserved_0200 512", "F Reserved_31_0 0/32=0",
                        "R blk/Reserved_0204 516", "F Reserved_31_0 0/32=0",
                        "R blk/Reserved_0208 520", "F Reserved_31_0 0/32=0",
                    }));
}

TEST(RegisterTableBuilder, RefusesListsThatDisagree) {
    EXPECT_NE(errorOf({{"", "a 0x10 (2)"}}, {{"a 0x10", "f 0/1"}}).find("row counts differ"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x10 (1+1a)"}}, {}).find("aliases need a layout"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x10 (1)"}}, {{"a 0x14", "f 0/1"}}).find("address"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x10 (1)"}}, {{"b 0x10", "f 0/1"}}).find("matches no register"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x10 (1), b 0x10 (1)"}}, {}).find("appears twice"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x10 (1), a 0x14 (1)"}}, {}).find("appears twice"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x10 (1)"}}, {{"a 0x10", "f 30/4"}}).find("bits 0 to 31"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x10 (1 each)"}}, {}).find("each"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a_1 … a_3 0x10 + 4n (1 each)"}}, {}).find("bad series"), std::string::npos);
    EXPECT_NE(errorOf({{"", "a 0x1G (1)"}}, {}).find("bad number"), std::string::npos);
}

TEST(RegisterTableBuilder, FillChecksTheRowCountAndLeavesTheRowsOnError) {
    RegisterInfo rows[2] = {RegisterInfo::register_row("keep", 1), RegisterInfo::register_row("keep", 2)};
    EXPECT_FALSE(fillRegisterTable(rows, 2, {{"", "a 0x10 (2)"}}, {}, "TEST_TABLE"));
    EXPECT_STREQ(rows[0].name, "keep");
    EXPECT_TRUE(fillRegisterTable(rows, 2, {{"", "a 0x10 (1)"}}, {}, "TEST_TABLE"));
    EXPECT_STREQ(rows[0].name, "a");
    EXPECT_STREQ(rows[1].name, "Reserved_31_0");
}

} // namespace
} // namespace quelnor::detail
