#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "QuelnorHal/register/RegisterMap.h"

namespace quelnor {
namespace {

using R = RegisterInfo;

RegisterMap build(const std::vector<RegisterInfo>& rows) {
    return RegisterMap(rows.data(), static_cast<uint32_t>(rows.size()), "PREFIX/");
}

std::string buildError(const std::vector<RegisterInfo>& rows) {
    try {
        build(rows);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(RegisterMapBuild, FieldsAttachToThePrecedingRegisterAndAliasesToThePrecedingField) {
    RegisterMap map = build({
        R::register_row("A", 0x10),
        R::field_row("a1", 0, 4, 3),
        R::alias_row("low", 1),
        R::alias_row("high", 15),
        R::register_row("B", 0x14),
        R::field_row("b1", 4, 3, 0),
    });
    EXPECT_EQ(map["A"].get_address(), 0x10u);
    EXPECT_EQ(map["A"]["a1"].get_default_value(), 3u);
    EXPECT_EQ(map["A"]["a1"]["low"], 1u);
    EXPECT_EQ(map["A"]["a1"]["high"], 15u);
    EXPECT_EQ(map["B"]["b1"].get_mask(), 0x70u);
    EXPECT_THROW(map["B"]["a1"], std::runtime_error);
    EXPECT_THROW(map["A"]["b1"], std::runtime_error);
    EXPECT_THROW(map["B"]["b1"]["low"], std::runtime_error);
}

TEST(RegisterMapBuild, KeysAreTheNamesAsTheyStandWithoutPrefix) {
    RegisterMap map = build({R::register_row("erc/t_drop_lut_00", 0x6400)});
    EXPECT_EQ(map["erc/t_drop_lut_00"].get_address(), 0x6400u);
    try {
        (void)map["PREFIX/erc/t_drop_lut_00"];
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "RegisterController: Register not found");
    }
}

TEST(RegisterMapBuild, RowsOfUnknownTypeAreSkipped) {
    RegisterInfo odd = R::register_row("ignored", 0x99);
    odd.type = 7;
    RegisterMap map = build({R::register_row("A", 0x10), odd, R::field_row("a1", 0, 1), R::alias_row("on", 1)});
    EXPECT_EQ(map["A"]["a1"]["on"], 1u);
    EXPECT_THROW(map["ignored"], std::runtime_error);
}

TEST(RegisterMapBuild, RepeatedNamesKeepTheLaterOne) {
    RegisterMap map = build({
        R::register_row("A", 0x10),
        R::field_row("f", 0, 1),
        R::field_row("f", 8, 4, 9),
        R::register_row("B", 0x20),
        R::field_row("g", 0, 1),
        R::register_row("B", 0x24),
        R::field_row("h", 1, 1),
    });
    EXPECT_EQ(map["A"]["f"].get_start(), 8);
    EXPECT_EQ(map["A"]["f"].get_default_value(), 9u);
    EXPECT_EQ(map["B"].get_address(), 0x24u);
    EXPECT_THROW(map["B"]["g"], std::runtime_error);
    EXPECT_EQ(map["B"]["h"].get_mask(), 0x2u);
}

TEST(RegisterMapBuild, RowsOutOfPlaceThrow) {
    EXPECT_EQ(buildError({R::field_row("f", 0, 1)}), "RegisterMap: Field without register");
    EXPECT_EQ(buildError({R::alias_row("a", 1)}), "RegisterMap: Alias without register");
    // an alias right after a register row, before any field of that register
    EXPECT_EQ(buildError({R::register_row("A", 0), R::alias_row("a", 1)}), "RegisterMap: Alias without register");
    EXPECT_EQ(buildError({R::register_row("A", 0), R::field_row("f", 0, 1), R::register_row("B", 4),
                          R::alias_row("a", 1)}),
              "RegisterMap: Alias without register");
}

TEST(RegisterMapBuild, EmptyTableAndCopies) {
    RegisterMap empty(nullptr, 0, "");
    EXPECT_THROW(empty["A"], std::runtime_error);

    RegisterMap map = build({R::register_row("A", 0x10), R::field_row("a1", 0, 2)});
    RegisterMap copy = map;
    RegisterMap moved = std::move(map);
    EXPECT_EQ(copy["A"]["a1"].get_mask(), 0x3u);
    EXPECT_EQ(moved["A"].get_address(), 0x10u);
    empty = copy;
    EXPECT_EQ(empty["A"].get_address(), 0x10u);
}

} // namespace
} // namespace quelnor
