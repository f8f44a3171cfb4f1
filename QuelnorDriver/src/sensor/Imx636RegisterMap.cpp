#include "QuelnorDriver/sensor/Imx636RegisterMap.h"

#include "sensor/RegisterTableBuilder.h"
#include "sensor/StcRegisterBlock.h"

namespace quelnor {

namespace {

using detail::RegisterBlock;
using detail::RegisterLayout;

// Every register by block: name, address, (field rows[+alias rows]).
std::vector<RegisterBlock> blocks() {
    return {
        {"",
         "roi_ctrl 0x4 (9), lifo_ctrl 0xC (4), lifo_status 0x10 (3), Reserved_0014 0x14 (1), "
         "spare0 0x18 (3), refractory_ctrl 0x20 (5), roi_win_ctrl 0x34 (2), roi_win_start_addr 0x38 (2), "
         "roi_win_end_addr 0x3C (2), dig_pad2_ctrl 0x44 (3), adc_control 0x4C (4), adc_status 0x50 (4), "
         "adc_misc_ctrl 0x54 (6), temp_ctrl 0x5C (3), iph_mirr_ctrl 0x74 (3), gcd_ctrl1 0x78 (4), "
         "reqy_qmon_ctrl 0x88 (6), reqy_qmon_status 0x8C (3), gcd_shadow_ctrl 0x90 (3), "
         "gcd_shadow_status 0x94 (2), gcd_shadow_counter 0x98 (2), stop_sequence_control 0xC8 (2)"},
        {"bias/",
         "bias_fo 0x1004 (3), bias_hpf 0x100C (3), bias_diff_on 0x1010 (3), bias_diff 0x1014 (3), "
         "bias_diff_off 0x1018 (3), bias_refr 0x1020 (3), bgen_ctrl 0x1100 (2)"},
        {"roi/",
         "td_roi_x00 … td_roi_x39 0x2000 + 4n (1+2a each), td_roi_y00 … td_roi_y21 0x4000 + 4n (1+2a each), "
         "td_roi_y22 0x4058 (7+2a)"},
        {"erc/",
         "Reserved_6000 0x6000 (1), in_drop_rate_control 0x6004 (3), reference_period 0x6008 (1), "
         "td_target_event_rate 0x600C (1), erc_enable 0x6028 (3), Reserved_602C 0x602C (1), "
         "t_dropping_control 0x6050 (1), h_dropping_control 0x6060 (1), v_dropping_control 0x6070 (1), "
         "h_drop_lut_00 … h_drop_lut_07 0x6080 + 4n (4 each), "
         "v_drop_lut_00 … v_drop_lut_07 0x60C0 + 4n (4 each), "
         "t_drop_lut_00 … t_drop_lut_255 0x6400 + 4n (2 each), "
         "Reserved_6800 … Reserved_6B94 0x6800 + 4n (4 each)"},
        {"edf/", "pipeline_control 0x7000 (6), trigger_in 0x7004 (1)"},
        {"eoi/", "Reserved_8000 0x8000 (1)"},
        {"ro/",
         "readout_ctrl 0x9000 (7), ro_fsm_ctrl 0x9004 (2), time_base_ctrl 0x9008 (5), dig_ctrl 0x900C (3), "
         "dig_start_pos 0x9010 (2), dig_end_pos 0x9014 (2), ro_ctrl 0x9028 (3), area_x0_addr 0x902C (1), "
         "area_x1_addr 0x9030 (1), area_x2_addr 0x9034 (1), area_x3_addr 0x9038 (1), "
         "area_x4_addr 0x903C (1), area_y0_addr 0x9040 (1), area_y1_addr 0x9044 (1), "
         "area_y2_addr 0x9048 (1), area_y3_addr 0x904C (1), area_y4_addr 0x9050 (1), "
         "counter_ctrl 0x9054 (3), counter_timer_threshold 0x9058 (1), "
         "digital_mask_pixel_00 … digital_mask_pixel_63 0x9100 + 4n (3 each), "
         "area_cnt00 … area_cnt15 0x9200 + 4n (1 each), evt_vector_cnt_val 0x9244 (1)"},
        {"mipi_csi/",
         "mipi_control 0xB000 (11), mipi_packet_size 0xB020 (1), mipi_packet_timeout 0xB024 (1), "
         "mipi_frame_period 0xB028 (1), mipi_line_blanking 0xB02C (1), mipi_frame_blanking 0xB030 (1)"},
        {"afk/",
         "pipeline_control 0xC000 (3), param 0xC004 (4), filter_period 0xC008 (3), invalidation 0xC0C0 (4), "
         "initialization 0xC0C4 (3), shadow_ctrl 0xC0D4 (2), shadow_timer_threshold 0xC0D8 (1), "
         "shadow_status 0xC0DC (3), total_evt_count 0xC0E0 (1), flicker_evt_count 0xC0E4 (1), "
         "vector_evt_count 0xC0E8 (1)"},
        detail::STC_REGISTER_BLOCK,
        {"slvs/",
         "slvs_control 0xE000 (6), slvs_packet_size 0xE020 (1), slvs_packet_timeout 0xE024 (1), "
         "slvs_line_blanking 0xE02C (1), slvs_frame_blanking 0xE030 (1), slvs_phy_logic_ctrl_00 0xE150 (1)"},
    };
}

// Field layouts of the registers that tools and sensors address by name. The h/v drop tables are our
// own layout (four 5-bit entries a word); every other register gets generated fields.
std::vector<RegisterLayout> layouts() {
    return detail::joinLayouts({
        {"Reserved_0014 0x0014", "Reserved_31_0 0/32=0xA0401806"},
        {"roi_ctrl 0x0004",
         "roi_td_en 1/1; roi_td_shadow_trigger 5/1; td_roi_roni_n_en 6/1=0x1; Reserved_8 8/1; px_td_rstn 10/1; "
         "Reserved_17_11 11/7=0xA; Reserved_25 25/1; Reserved_29_28 28/2=0x3; Reserved_31_30 30/2=0x3"},
        {"lifo_ctrl 0x000C", "lifo_en 0/1; lifo_out_en 1/1; lifo_cnt_en 2/1; Reserved_31_3 3/29"},
        {"roi_win_ctrl 0x0034", "roi_master_en 0/1; roi_win_done 1/1"},
        {"roi_win_start_addr 0x0038", "roi_win_start_x 0/11; roi_win_start_y 16/10"},
        {"roi_win_end_addr 0x003C", "roi_win_end_x 0/11=0x4FF; roi_win_end_y 16/10=0x2CF"},
        {"dig_pad2_ctrl 0x0044", "Reserved_15_0 0/16=0xFCCF; pad_sync 16/4=0xF; Reserved_31_20 20/12=0xCCF"},
        {"adc_control 0x004C", "adc_en 0/1; adc_clk_en 1/1; adc_start 2/1; Reserved_31_3 3/29=0xEC8"},
        {"adc_misc_ctrl 0x0054",
         "Reserved_0 0/1; adc_buf_cal_en 1/1; Reserved_9_2 2/8=0x84; adc_rng 10/2; adc_temp 12/1; "
         "Reserved_14_13 13/2"},
        {"temp_ctrl 0x005C", "temp_buf_cal_en 0/1; temp_buf_en 1/1; Reserved_31_2 2/30=0x20"},
        {"iph_mirr_ctrl 0x0074", "iph_mirr_en 0/1; iph_mirr_amp_en 1/1=0x1; Reserved_31_2 2/30"},
        {"bias/bias_fo 0x1004", "idac_ctl 0/8; Reserved_27_8 8/20=0x3A1E8; single_transfer 28/1"},
        {"bias/bias_hpf 0x100C", "idac_ctl 0/8; Reserved_27_8 8/20=0x3A1FF; single_transfer 28/1"},
        {"bias/bias_diff_on 0x1010", "idac_ctl 0/8; Reserved_27_8 8/20=0x1A163; single_transfer 28/1"},
        {"bias/bias_diff 0x1014", "idac_ctl 0/8=0x4D; Reserved_27_8 8/20=0x1A150; single_transfer 28/1"},
        {"bias/bias_diff_off 0x1018", "idac_ctl 0/8; Reserved_27_8 8/20=0x1A137; single_transfer 28/1"},
        {"bias/bias_refr 0x1020", "idac_ctl 0/8=0x14; Reserved_27_8 8/20=0x38296; single_transfer 28/1"},
        {"roi/td_roi_x00 … roi/td_roi_x39 0x2000 + 4n", "effective 0/32 {enable=0x0, disable=0xFFFFFFFF}"},
        {"roi/td_roi_y00 … roi/td_roi_y21 0x4000 + 4n", "effective 0/32 {enable=0x0, disable=0xFFFFFFFF}"},
        {"roi/td_roi_y22 0x4058",
         "effective 0/16 {enable=0x0, disable=0xFFFF}; Reserved_16 16/1=0x1; Reserved_17 17/1=0x1; "
         "Reserved_19_18 18/2=0x3; Reserved_21_20 20/2=0x3; Reserved_22 22/1=0x1; Reserved_23 23/1=0x1"},
        {"erc/Reserved_6000 0x6000", "Reserved_1_0 0/2"},
        {"erc/in_drop_rate_control 0x6004", "cfg_event_delay_fifo_en 0/1; Reserved_1 1/1; Reserved_10_2 2/9"},
        {"erc/reference_period 0x6008", "erc_reference_period 0/10=0x80"},
        {"erc/td_target_event_rate 0x600C", "target_event_rate 0/22=0x80"},
        {"erc/erc_enable 0x6028", "erc_en 0/1; Reserved_1 1/1; Reserved_2 2/1"},
        {"erc/Reserved_602C 0x602C", "Reserved_0 0/1"},
        {"erc/t_dropping_control 0x6050", "t_dropping_en 0/1"},
        {"erc/h_dropping_control 0x6060", "h_dropping_en 0/1"},
        {"erc/v_dropping_control 0x6070", "v_dropping_en 0/1"},
        {"erc/h_drop_lut_00 … erc/h_drop_lut_07 0x6080 + 4n",
         "hlut{4n:2} 0/5; hlut{4n+1:2} 8/5; hlut{4n+2:2} 16/5; hlut{4n+3:2} 24/5"},
        {"erc/v_drop_lut_00 … erc/v_drop_lut_07 0x60C0 + 4n",
         "vlut{4n:2} 0/5; vlut{4n+1:2} 8/5; vlut{4n+2:2} 16/5; vlut{4n+3:2} 24/5"},
        {"erc/t_drop_lut_00 … erc/t_drop_lut_255 0x6400 + 4n", "tlut{2n:3} 0/9; tlut{2n+1:3} 16/9"},
        {"erc/Reserved_6800 … erc/Reserved_6B94 0x6800 + 4n",
         "Reserved_5_0 0/6; Reserved_13_8 8/6; Reserved_21_16 16/6; Reserved_29_24 24/6"},
        {"edf/pipeline_control 0x7000",
         "Reserved_0 0/1=0x1; format 1/1; Reserved_2 2/1; Reserved_3 3/1; Reserved_4 4/1; "
         "Reserved_31_16 16/16=0xFFFF"},
        {"edf/trigger_in 0x7004", "enable 10/1=0x1"},
        {"ro/time_base_ctrl 0x9008",
         "time_base_enable 0/1; time_base_mode 1/1; external_mode 2/1; external_mode_enable 3/1; "
         "Reserved_10_4 4/7=0x64"},
        {"afk/pipeline_control 0xC000", "Reserved_0 0/1; Reserved_1 1/1; afk_bypass 2/1"},
        {"afk/param 0xC004", "counter_low 0/3=0x4; counter_high 3/3=0x6; invert 6/1; drop_disable 7/1"},
        {"afk/filter_period 0xC008",
         "min_cutoff_period 0/8=0xF; max_cutoff_period 8/8=0x9C; inverted_duty_cycle 16/4=0x8"},
        {"afk/invalidation 0xC0C0",
         "dt_fifo_wait_time 0/12=0x5A0; Reserved_23_12 12/12=0x5A; Reserved_27_24 24/4=0xA; Reserved_28 28/1"},
        {"afk/initialization 0xC0C4", "afk_req_init 0/1; Reserved_1 1/1; afk_flag_init_done 2/1"},
    }, detail::STC_REGISTER_LAYOUTS);
}

RegisterInfo g_rows[IMX636_REGISTER_MAP_SIZE];
const bool g_filled = detail::fillRegisterTable(g_rows, IMX636_REGISTER_MAP_SIZE, blocks(), layouts(),
                                                "IMX636_REGISTER_MAP");

} // namespace

const RegisterInfo (&IMX636_REGISTER_MAP)[IMX636_REGISTER_MAP_SIZE] = g_rows;

} // namespace quelnor
