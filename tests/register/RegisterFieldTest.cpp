#include <gtest/gtest.h>

#include <stdexcept>

#include "QuelnorHal/register/Register.h"

namespace quelnor {
namespace {

using Field = Register::Field;

struct MaskCase {
    uint8_t start;
    uint8_t len;
    uint32_t mask;
};

class FieldMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(FieldMask, CoversTheFieldsBitsWithinTheWord) {
    const MaskCase& c = GetParam();
    Field field("f", c.start, c.len, 0, {});
    EXPECT_EQ(field.get_mask(), c.mask);
    // The mask follows set_start / set_len too.
    Field moved;
    moved.set_len(c.len);
    moved.set_start(c.start);
    EXPECT_EQ(moved.get_mask(), c.mask);
}

INSTANTIATE_TEST_SUITE_P(Edges, FieldMask,
                         ::testing::Values(MaskCase{4, 3, 0x70}, MaskCase{0, 1, 0x1}, MaskCase{0, 0, 0x0},
                                           MaskCase{0, 32, 0xFFFFFFFF}, MaskCase{31, 1, 0x80000000},
                                           MaskCase{16, 16, 0xFFFF0000},
                                           // runs past bit 31: only the bits inside the word
                                           MaskCase{30, 4, 0xC0000000}, MaskCase{1, 32, 0xFFFFFFFE},
                                           MaskCase{0, 255, 0xFFFFFFFF},
                                           // outside the word: empty
                                           MaskCase{32, 1, 0x0}, MaskCase{33, 8, 0x0}, MaskCase{255, 255, 0x0}));

TEST(FieldValue, SetsAndGetsTheBitsOfTheField) {
    Field field("f", 4, 3, 0, {});
    EXPECT_EQ(field.set_bitfield_in_value(0xF, 0xFFFFFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(field.set_bitfield_in_value(2, 0), 0x20u);
    EXPECT_EQ(field.set_bitfield_in_value(0, 0xFFFFFFFF), 0xFFFFFF8Fu);
    // bits beyond the field's width are dropped
    EXPECT_EQ(field.set_bitfield_in_value(0xF, 0), 0x70u);
    EXPECT_EQ(field.get_bitfield_in_value(0x70), 7u);
    EXPECT_EQ(field.get_bitfield_in_value(0xFFFFFF8F), 0u);
}

TEST(FieldValue, WholeWordAndEmptyFields) {
    Field whole("w", 0, 32, 0, {});
    EXPECT_EQ(whole.set_bitfield_in_value(0x12345678, 0xFFFFFFFF), 0x12345678u);
    EXPECT_EQ(whole.get_bitfield_in_value(0xCAFEBABE), 0xCAFEBABEu);

    Field empty("e", 0, 0, 0, {});
    EXPECT_EQ(empty.set_bitfield_in_value(0xFFFFFFFF, 0x1234), 0x1234u);
    EXPECT_EQ(empty.get_bitfield_in_value(0xFFFFFFFF), 0u);

    Field top("t", 31, 1, 0, {});
    EXPECT_EQ(top.set_bitfield_in_value(1, 0), 0x80000000u);
    EXPECT_EQ(top.get_bitfield_in_value(0x80000000), 1u);

    for (uint8_t start : {uint8_t{32}, uint8_t{40}, uint8_t{64}, uint8_t{200}}) {
        Field outside("o", start, 4, 0, {});
        EXPECT_EQ(outside.set_bitfield_in_value(0xF, 0xA5A5A5A5), 0xA5A5A5A5u) << int(start);
        EXPECT_EQ(outside.get_bitfield_in_value(0xFFFFFFFF), 0u) << int(start);
    }
}

TEST(FieldAlias, OperatorThrowsButGetAliasValueAnswersAllOnes) {
    Field field("effective", 0, 32, 0, {{"enable", 0x0}, {"disable", 0xFFFFFFFF}});
    EXPECT_EQ(field["enable"], 0u);
    EXPECT_EQ(field["disable"], 0xFFFFFFFFu);
    EXPECT_EQ(field.getAliasValue("enable"), 0u);
    EXPECT_EQ(field.getAliasValue("missing"), 0xFFFFFFFFu);
    try {
        (void)field["missing"];
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Register::Field: Alias not found");
    }
    field.add_alias("enable", 5);
    EXPECT_EQ(field["enable"], 5u);
}

TEST(RegisterFields, LaterFieldOfTheSameNameReplacesTheEarlierAndCopiesAreDeep) {
    Register reg("r", 0x40);
    EXPECT_EQ(reg.get_name(), "r");
    EXPECT_EQ(reg.get_address(), 0x40u);
    EXPECT_EQ(reg.get_value(), 0u);
    reg.add_field(Field("a", 0, 4, 1, {}));
    reg.add_field(Field("a", 8, 2, 3, {}));
    EXPECT_EQ(reg["a"].get_start(), 8);
    EXPECT_EQ(reg["a"].get_len(), 2);
    EXPECT_EQ(reg["a"].get_default_value(), 3u);

    Register copy = reg;
    reg.add_field(Field("a", 0, 1, 0, {}));
    EXPECT_EQ(copy["a"].get_start(), 8);

    try {
        (void)reg["b"];
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Register: Field not found");
    }

    Register fresh;
    EXPECT_EQ(fresh.get_name(), "");
    EXPECT_EQ(fresh.get_address(), 0u);
    EXPECT_EQ(fresh.get_value(), 0u);
}

} // namespace
} // namespace quelnor
