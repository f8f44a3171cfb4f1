#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorHal/register/RegisterController.h"
#include "QuelnorHal/register/RegisterMap.h"
#include "device/DeviceDouble.h"

namespace quelnor {
namespace {

struct TableCase {
    const char* name;
    const RegisterInfo* rows;
    uint32_t count;
    uint32_t registers;
    uint32_t fields;
    uint32_t aliases;
    uint32_t lowestAddress;
    uint32_t highestAddress;
};

const TableCase TABLES[] = {
    {"IMX636", IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, 742, 2011, 126, 0x0004, 0xE150},
    {"GENX320", GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE, 226, 570, 0, 0x0000, 0xE020},
    {"IMX415", IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE, 10, 7, 0, 0x5000, 0x6002},
};

class RegisterTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(RegisterTable, HasTheExactRowCountsAndWellFormedRows) {
    const TableCase& t = GetParam();
    uint32_t registers = 0, fields = 0, aliases = 0;
    std::set<std::string> names;
    std::set<uint32_t> addresses;
    uint32_t lowest = 0xFFFFFFFF, highest = 0;
    uint32_t occupied = 0; // bits used by the fields of the current register
    std::string current;
    for (uint32_t i = 0; i < t.count; ++i) {
        const RegisterInfo& row = t.rows[i];
        ASSERT_NE(row.name, nullptr) << i;
        ASSERT_NE(std::string(row.name), "") << i;
        switch (row.type) {
        case RegisterInfo::REGISTER:
            ++registers;
            current = row.name;
            occupied = 0;
            EXPECT_TRUE(names.insert(row.name).second) << "register name twice: " << row.name;
            EXPECT_TRUE(addresses.insert(row.reg.address).second) << "address twice: " << row.name;
            EXPECT_EQ(row.reg.address % 4, t.count == IMX415_REGISTER_MAP_SIZE ? row.reg.address % 4 : 0u)
                << row.name;
            lowest = std::min(lowest, row.reg.address);
            highest = std::max(highest, row.reg.address);
            EXPECT_EQ(row.reg.unused1, 0u);
            EXPECT_EQ(row.reg.unused2, 0u);
            break;
        case RegisterInfo::FIELD: {
            ++fields;
            EXPECT_GE(row.field.len, 1u) << current << "." << row.name;
            EXPECT_LE(row.field.start + row.field.len, 32u) << current << "." << row.name;
            uint32_t mask = row.field.len >= 32 ? 0xFFFFFFFFu : ((1u << row.field.len) - 1) << row.field.start;
            EXPECT_EQ(occupied & mask, 0u) << "overlapping field " << current << "." << row.name;
            occupied |= mask;
            EXPECT_EQ(row.field.default_value & ~(mask >> row.field.start), 0u)
                << "default wider than " << current << "." << row.name;
            break;
        }
        case RegisterInfo::ALIAS:
            ++aliases;
            EXPECT_EQ(row.alias.unused1, 0u);
            break;
        default:
            ADD_FAILURE() << "row " << i << " of type " << row.type;
        }
    }
    EXPECT_EQ(registers, t.registers);
    EXPECT_EQ(fields, t.fields);
    EXPECT_EQ(aliases, t.aliases);
    EXPECT_EQ(registers + fields + aliases, t.count);
    EXPECT_EQ(lowest, t.lowestAddress);
    EXPECT_EQ(highest, t.highestAddress);
    EXPECT_NO_THROW(RegisterMap(t.rows, t.count, ""));
}

INSTANTIATE_TEST_SUITE_P(AllTables, RegisterTable, ::testing::ValuesIn(TABLES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RegisterTableCounts, AreExact) {
    EXPECT_EQ(IMX636_REGISTER_MAP_SIZE, 2879u);
    EXPECT_EQ(GENX320_REGISTER_MAP_SIZE, 796u);
    EXPECT_EQ(IMX415_REGISTER_MAP_SIZE, 17u);
    EXPECT_EQ(std::size(IMX636_REGISTER_MAP), 2879u);
    EXPECT_EQ(std::size(GENX320_REGISTER_MAP), 796u);
}

struct FieldCase {
    const char* reg;
    uint32_t address;
    const char* field;
    uint8_t start;
    uint8_t len;
    uint32_t defaultValue;
};

void expectFields(const RegisterMap& map, const std::vector<FieldCase>& cases) {
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(std::string(c.reg) + "." + c.field);
        const Register& reg = map[c.reg];
        EXPECT_EQ(reg.get_address(), c.address);
        const Register::Field& field = reg[c.field];
        EXPECT_EQ(field.get_start(), c.start);
        EXPECT_EQ(field.get_len(), c.len);
        EXPECT_EQ(field.get_default_value(), c.defaultValue);
    }
}

TEST(Imx636Table, ResolvesNamesOfTheNamedRegistersAndSeries) {
    RegisterMap map(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/");
    expectFields(map, {
                          {"Reserved_0014", 0x0014, "Reserved_31_0", 0, 32, 0xA0401806},
                          {"roi_ctrl", 0x0004, "td_roi_roni_n_en", 6, 1, 1},
                          {"roi_ctrl", 0x0004, "Reserved_31_30", 30, 2, 3},
                          {"dig_pad2_ctrl", 0x0044, "pad_sync", 16, 4, 0xF},
                          {"roi_win_end_addr", 0x003C, "roi_win_end_y", 16, 10, 0x2CF},
                          {"bias/bias_diff", 0x1014, "idac_ctl", 0, 8, 0x4D},
                          {"bias/bias_refr", 0x1020, "Reserved_27_8", 8, 20, 0x38296},
                          {"roi/td_roi_x39", 0x209C, "effective", 0, 32, 0},
                          {"roi/td_roi_y21", 0x4054, "effective", 0, 32, 0},
                          {"roi/td_roi_y22", 0x4058, "effective", 0, 16, 0},
                          {"roi/td_roi_y22", 0x4058, "Reserved_23", 23, 1, 1},
                          {"erc/td_target_event_rate", 0x600C, "target_event_rate", 0, 22, 0x80},
                          {"erc/h_drop_lut_07", 0x609C, "hlut31", 24, 5, 0},
                          {"erc/v_drop_lut_00", 0x60C0, "vlut00", 0, 5, 0},
                          {"erc/t_drop_lut_00", 0x6400, "tlut000", 0, 9, 0},
                          {"erc/t_drop_lut_00", 0x6400, "tlut001", 16, 9, 0},
                          {"erc/t_drop_lut_09", 0x6424, "tlut019", 16, 9, 0},
                          {"erc/t_drop_lut_255", 0x67FC, "tlut510", 0, 9, 0},
                          {"erc/t_drop_lut_255", 0x67FC, "tlut511", 16, 9, 0},
                          {"erc/Reserved_6800", 0x6800, "Reserved_29_24", 24, 6, 0},
                          {"erc/Reserved_6B94", 0x6B94, "Reserved_5_0", 0, 6, 0},
                          {"edf/trigger_in", 0x7004, "enable", 10, 1, 1},
                          {"ro/time_base_ctrl", 0x9008, "Reserved_10_4", 4, 7, 0x64},
                          {"afk/filter_period", 0xC008, "max_cutoff_period", 8, 8, 0x9C},
                          {"afk/initialization", 0xC0C4, "afk_flag_init_done", 2, 1, 0},
                          {"stc/trail_param", 0xD008, "trail_threshold", 1, 19, 0x186A0},
                          {"stc/timestamping", 0xD00C, "prescaler", 0, 5, 0xD},
                      });
    EXPECT_EQ(map["ro/digital_mask_pixel_63"].get_address(), 0x91FCu);
    EXPECT_EQ(map["ro/area_cnt15"].get_address(), 0x923Cu);
    EXPECT_EQ(map["slvs/slvs_phy_logic_ctrl_00"].get_address(), 0xE150u);
    EXPECT_EQ(map["eoi/Reserved_8000"].get_address(), 0x8000u);
    EXPECT_THROW(map["erc/t_drop_lut_256"], std::runtime_error);
    EXPECT_THROW(map["erc/Reserved_6B98"], std::runtime_error);
    EXPECT_THROW(map["erc/t_drop_lut_255"]["tlut512"], std::runtime_error);
}

TEST(Imx636Table, RoiLinesHaveEnableAndDisableAliases) {
    RegisterMap map(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/");
    for (const char* reg : {"roi/td_roi_x00", "roi/td_roi_x39", "roi/td_roi_y00", "roi/td_roi_y21"}) {
        EXPECT_EQ(map[reg]["effective"]["enable"], 0u) << reg;
        EXPECT_EQ(map[reg]["effective"]["disable"], 0xFFFFFFFFu) << reg;
    }
    EXPECT_EQ(map["roi/td_roi_y22"]["effective"]["enable"], 0u);
    EXPECT_EQ(map["roi/td_roi_y22"]["effective"]["disable"], 0xFFFFu);
}

TEST(Imx636Table, ControllerWritesTheSixteenBitRoiLineByAlias) {
    auto dev = std::make_shared<test::DeviceDouble>(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE);
    RegisterController ctrl(dev, IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/");
    EXPECT_EQ(dev->peek(0x14), 0xA0401806u);
    EXPECT_EQ(dev->peek("roi/td_roi_y22"), 0x00FF0000u);
    ctrl.writeRegisterFieldByAlias("roi/td_roi_y22", "effective", "disable");
    EXPECT_EQ(dev->peek(0x4058), 0x00FFFFFFu);
    ctrl.writeRegisterFieldByAlias("roi/td_roi_x39", "effective", "disable");
    EXPECT_EQ(dev->peek(0x209C), 0xFFFFFFFFu);
    EXPECT_EQ(dev->decodedWrites(true),
              (std::vector<std::string>{"roi/td_roi_y22.effective = 0xFFFF", "roi/td_roi_x39.effective = 0xFFFFFFFF"}));
}

TEST(Genx320Table, ResolvesNamesAndHasNoPad2ControlNorAliases) {
    RegisterMap map(GENX320_REGISTER_MAP, GENX320_REGISTER_MAP_SIZE, "PSEE/GENX320/");
    expectFields(map, {
                          {"roi_ctrl", 0x0000, "px_roi_halt_programming", 11, 1, 0},
                          {"adc_control", 0x004C, "adc_clk_div", 4, 16, 0x4E2},
                          {"roi_master_ctrl", 0x0034, "roi_win_nb", 3, 5, 0},
                          {"bias/bias_refr_lv0", 0x1114, "bias_ctl", 0, 7, 0x52},
                          {"roi/td_roi_x09", 0x2024, "effective", 0, 32, 0xFFFFFFFF},
                          {"roi/td_roi_y09", 0x3024, "effective", 0, 32, 0xFFFFFFFF},
                          {"erc/ahvt_dropping_control", 0x6014, "status", 31, 1, 0},
                          {"erc/ahvt_dropping_control", 0x6014, "drop_all_td_when_drop_geq", 4, 10, 0x201},
                          {"erc/delay_fifo_size", 0x6028, "val", 0, 15, 0x1408},
                          {"ro/time_base_ctrl", 0x9008, "us_counter_max", 4, 7, 0x32},
                          {"afk/invalidation", 0xC0C0, "in_parallel", 24, 3, 5},
                          {"afk/initialisation", 0xC0C4, "flag_init_done", 2, 1, 0},
                          {"stc/trail_param", 0xD008, "trail_threshold", 1, 19, 0x186A0},
                          {"stc/initialization", 0xD0C4, "stc_flag_init_done", 2, 1, 0},
                      });
    EXPECT_EQ(map["ro/lp_x4"].get_address(), 0x903Cu);
    EXPECT_EQ(map["ro/lp_y0"].get_address(), 0x9040u);
    EXPECT_EQ(map["stc/output_vector_count"].get_address(), 0xD0ECu);
    EXPECT_EQ(map["nfl/pixel_events_in_window"].get_address(), 0xE020u);
    EXPECT_THROW(map["dig_pad2_ctrl"], std::runtime_error);
    EXPECT_THROW(map["roi/td_roi_x10"], std::runtime_error);
    EXPECT_THROW(map["roi/td_roi_x00"]["effective"]["enable"], std::runtime_error);
}

TEST(Imx415Table, TenRegistersSevenFieldsAndThreeBareRegisters) {
    RegisterMap map(IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE, "");
    expectFields(map, {
                          {"aps_ctrl", 0x5000, "aps_en", 0, 1, 0},
                          {"aps_exposure", 0x5001, "aps_auto_exposure_en", 0, 1, 1},
                          {"aps_shutter", 0x5002, "aps_shutter_sweep_time", 0, 20, 102},
                          {"aps_white_balance", 0x5003, "aps_auto_white_balance_en", 0, 1, 1},
                          {"aps_blk_level", 0x5004, "aps_blk_level_offset", 0, 10, 50},
                          {"aps_auto_gain", 0x5005, "aps_auto_gain_en", 0, 1, 1},
                          {"aps_gain_control", 0x5006, "aps_gain_pgc", 0, 8, 0},
                      });
    // the three identity registers carry no field rows: the next row is another register or the end
    for (uint32_t i = 0; i < IMX415_REGISTER_MAP_SIZE; ++i) {
        std::string name = IMX415_REGISTER_MAP[i].name;
        if (name == "firmware_version" || name == "usb_serialnumber" || name == "camera_reset") {
            EXPECT_EQ(IMX415_REGISTER_MAP[i].type, RegisterInfo::REGISTER);
            if (i + 1 < IMX415_REGISTER_MAP_SIZE) {
                EXPECT_EQ(IMX415_REGISTER_MAP[i + 1].type, RegisterInfo::REGISTER) << name;
            }
        }
    }
    EXPECT_EQ(map["firmware_version"].get_address(), 0x6000u);
    EXPECT_EQ(map["usb_serialnumber"].get_address(), 0x6001u);
    EXPECT_EQ(map["camera_reset"].get_address(), 0x6002u);
    EXPECT_THROW(map["aps_blk_level"]["aps_gain_pgc"], std::runtime_error);
}

} // namespace
} // namespace quelnor
