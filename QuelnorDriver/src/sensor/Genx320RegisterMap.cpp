#include "QuelnorDriver/sensor/Genx320RegisterMap.h"

#include "sensor/RegisterTableBuilder.h"
#include "sensor/StcRegisterBlock.h"

namespace quelnor {

namespace {

using detail::RegisterBlock;
using detail::RegisterLayout;

// Every register by block: name, address, (field rows).
std::vector<RegisterBlock> blocks() {
    return {
        {"bias/",
         "bias_pr_hv0 0x1000 (2), bias_fo_hv0 0x1004 (2), bias_hpf_lv0 0x1100 (2), "
         "bias_diff_on_lv0 0x1104 (2), bias_diff_lv0 0x1108 (2), bias_diff_off_lv0 0x110C (2), "
         "bias_refr_lv0 0x1114 (2)"},
        {"",
         "refractory_ctrl 0x20 (5), lifo_ctrl 0x8 (1), lifo_ton_status 0x10 (3), iph_mirr_ctrl 0x74 (1), "
         "gcd_ctrl 0x78 (8), gcd_ctrl2 0x7C (4), gcd_refr_ctrl 0x80 (1), gcd_shadow_ctrl 0x90 (3), "
         "gcd_shadow_status 0x94 (2), gcd_shadow_timer_ctrl 0x98 (1), gcd_shadow_cnt0 0xC4 (4), "
         "gcd_shadow_cnt1 0xC8 (4), gcd_shadow_cnt2 0xCC (4), gcd_shadow_cnt3 0xD0 (4), "
         "gcd_shadow_cnt4 0xD4 (2), adc_control 0x4C (4), adc_status1 0x50 (2), adc_misc_ctrl 0x54 (4), "
         "temp_ctrl 0x5C (2), roi_ctrl 0x0 (4), roi_master_ctrl 0x34 (4), roi_win_x0 0x400 (2), "
         "roi_win_y0 0x404 (2), roi_win_x17 0x488 (2), roi_win_y17 0x48C (2), qmon_ctrl 0x88 (5), "
         "qmon_status 0x8C (4), ref_clk_ctrl 0x200 (3), sys_clk_ctrl 0x204 (6), cpu_ss_clk_ctrl 0x208 (3), "
         "rtc_clk_ctrl 0x20C (2), evt_icn_clk_ctrl 0x210 (5), pll_ctrl 0x214 (7), sram_pd0 0xBC (6), "
         "sram_pd1 0xC0 (8)"},
        {"roi/", "td_roi_x00 … td_roi_x09 0x2000 + 4n (1 each), td_roi_y00 … td_roi_y09 0x3000 + 4n (1 each)"},
        {"ro/",
         "readout_ctrl 0x9000 (5), oor_ctrl 0x900C (3), oor_start_pos 0x9010 (2), oor_end_pos 0x9014 (2), "
         "ro_lp_ctrl 0x9028 (3), lp_x0 … lp_x4 0x902C + 4n (1 each), lp_y0 … lp_y4 0x9040 + 4n (1 each), "
         "shadow_ctrl 0x9054 (3), shadow_timer_threshold 0x9058 (1), shadow_status 0x905C (2), "
         "evt_cd_cnt 0x9244 (1), evt21_cd_cnt 0x9248 (1), line_cd_cnt 0x924C (1), "
         "time_base_ctrl 0x9008 (7), digital_event_mask_ctrl00 0x9100 (3), "
         "digital_event_mask_data00 0x9104 (1), digital_event_mask_ctrl15 0x9178 (3), "
         "digital_event_mask_data15 0x917C (1), sw_evt_bypass_msb 0x9060 (1), sw_evt_bypass_lsb 0x9064 (1), "
         "sw_evt_bypass_ctrl 0x9068 (4)"},
        {"nfl/",
         "pipeline_control 0xE000 (3), pipeline_status 0xE004 (3), reference_period 0xE008 (1), "
         "min_pixel_event_threshold_on 0xE00C (1), min_pixel_event_threshold_off 0xE010 (1), "
         "max_pixel_event_threshold_off 0xE014 (1), max_pixel_event_threshold_on 0xE018 (1), "
         "insert_drop_monitoring 0xE01C (1), pixel_events_in_window 0xE020 (4)"},
        {"afk/",
         "pipeline_control 0xC000 (3), pipeline_status 0xC004 (3), afk_param 0xC008 (4), "
         "filter_period 0xC00C (3), invalidation 0xC0C0 (4), initialisation 0xC0C4 (3), "
         "shadow_ctrl 0xC0D4 (3), shadow_timer_threshold 0xC0D8 (1), shadow_status 0xC0DC (2), "
         "total_evt_cnt 0xC0E0 (1), flicker_evt_cnt 0xC0E4 (1), output_vector_cnt 0xC0E8 (1), "
         "perf_ctrl 0xC0EC (1)"},
        detail::STC_REGISTER_BLOCK,
        {"ehc/",
         "pipeline_control 0x4000 (3), pipeline_status 0x4004 (3), ehc_control 0x4040 (2), "
         "bits_splitting 0x4044 (3), integration_period 0x4048 (1), event_rate_threshold 0x404C (1), "
         "initialisation 0x4100 (3), flags 0x4110 (3), irq_control 0x4114 (4), wake_up_period 0x4118 (1), "
         "chicken0_bits 0x41C0 (5)"},
        {"edf/",
         "pipeline_control 0x7000 (3), pipeline_status 0x7004 (3), control 0x7044 (2), "
         "event_injection 0x7048 (1), output_interface_control 0x704C (1), "
         "external_output_adapter 0x7100 (2)"},
        {"erc/",
         "pipeline_control 0x6000 (3), pipeline_status 0x6004 (3), pipeline_flush 0x6010 (3), "
         "ahvt_dropping_control 0x6014 (6), ref_period_flavor 0x6020 (2), "
         "delay_fifo_non_td_rsvd_area 0x6024 (2), delay_fifo_size 0x6028 (1), "
         "td_target_event_count 0x602C (1), interest_level 0x6030 (4), "
         "monitoring_event_control 0x6034 (11), irq_pending 0x6038 (16), irq_status 0x603C (0), "
         "irq_mask 0x6040 (0), irq_df_non_td_drop_cnt 0x6044 (1), irq_df_td_drop_cnt 0x6048 (1), "
         "shadow_ctrl 0x604C (3), shadow_timer_threshold 0x6050 (1), shadow_status 0x6054 (2), "
         "stat_in_td_event_count 0x6058 (1), stat_erc_td_event_count 0x605C (1), "
         "stat_df_td_event_drop_count 0x6060 (1), stat_df_non_td_event_drop_count 0x6064 (1), "
         "stat_alldrop_td_event_drop_count 0x6068 (1), stat_hdrop_td_event_drop_count 0x606C (1), "
         "stat_vdrop_td_event_drop_count 0x6070 (1), stat_tdrop_td_event_drop_count 0x6074 (1), "
         "stat_other_drop_15_0 0x6078 (1), stat_other_drop_31_16 0x607C (1), "
         "snap_first_last_module_tag 0x6080 (16), snap_avg_drop_rate 0x6084 (2), "
         "sram_power_down 0x6090 (7), sram_read_write_cycle_timing 0x6094 (6), "
         "intlvl_read_bank_sel 0x6098 (1), end_of_period_cycles_per_us 0x609C (1), "
         "delay_fifo_flush_and_bypass 0x60A0 (2), timestamp_from_th_td_only 0x60A4 (1), "
         "manual_td_avg_drop_rate 0x60A8 (3), manual_td_evt_drop_rate 0x60AC (2), "
         "force_immediate_change 0x60B0 (2), reset_tdrop_counter_on_mtag_first 0x60B4 (1), "
         "delay_fifo_bypass_wo_back_pressure 0x60B8 (1), nice_to_have 0x60BC (4)"},
        {"cpi/",
         "pipeline_control 0x8000 (15), pipeline_status 0x8004 (3), packet_size_control 0x8008 (1), "
         "packet_time_control 0x800C (2), frame_size_control 0x8010 (1), frame_time_control 0x8014 (1), "
         "output_if_control 0x8018 (2), pkt_self_test 0x801C (3), pkt_self_test_data 0x8020 (1)"},
        {"mipi_csi/",
         "csi_ctrl 0xB000 (8), cpu_ctrl 0xB004 (5), lane_ctrl 0xB008 (1), clk_ctrl 0xB00C (6), "
         "frame_ctrl 0xB010 (6), frame_cfg 0xB014 (2), frame_sync 0xB018 (1), mid 0xB01C (1), "
         "bl_line 0xB020 (3), bl_frame 0xB024 (3), bl_frame_start 0xB028 (2), bl_frame_end 0xB02C (2), "
         "power 0xB030 (5), cl_ctrl 0xB034 (4), dl_ctrl 0xB038 (5), ulps_ctrl 0xB03C (3), "
         "cpu_data 0xB040 (1), cpu_cmd 0xB044 (2), cpu_cfg 0xB048 (1), irq_mask 0xB060 (8), "
         "irq_pending 0xB064 (0), irq_status 0xB068 (0), gpio_ctrl 0xB06C (11), stat_ctrl 0xB080 (3), "
         "stat_frame_cnt 0xB084 (1), stat_byte_cnt 0xB088 (1), stat_pad_cnt 0xB08C (1), "
         "stat_pkt_cnt 0xB090 (1), stat_inc_pkt_cnt 0xB094 (1), stat_frame_period 0xB098 (1), "
         "spg_cfg 0xB0C0 (3), spg_data 0xB0C4 (1)"},
    };
}

// Field layouts of the registers that tools and sensors address by name; every other register gets
// generated fields.
std::vector<RegisterLayout> layouts() {
    return detail::joinLayouts({
        {"roi_ctrl 0x0000", "roi_td_en 1/1; roi_td_shadow_trigger 5/1; px_iphoto_en 6/1; px_roi_halt_programming 11/1"},
        {"lifo_ctrl 0x0008", "lifo_en 0/1"},
        {"iph_mirr_ctrl 0x0074", "iph_mirr_en 0/1"},
        {"adc_control 0x004C", "adc_en 0/1; adc_clk_en 1/1; adc_start 2/1; adc_clk_div 4/16=0x4E2"},
        {"adc_misc_ctrl 0x0054", "adc_buf_cal_en 0/1; adc_cmp_cal_en 1/1; adc_rng 15/2; adc_temp 17/1"},
        {"temp_ctrl 0x005C", "temp_buf_en 0/1; temp_buf_cal_en 1/1"},
        {"roi_master_ctrl 0x0034", "roi_master_en 0/1; roi_master_run 1/1; roi_master_mode 2/1; roi_win_nb 3/5"},
        {"roi_win_x0 0x0400", "roi_win_start_x 0/9; roi_win_end_p1_x 16/9"},
        {"roi_win_y0 0x0404", "roi_win_start_y 0/9; roi_win_end_p1_y 16/9"},
        {"bias/bias_pr_hv0 0x1000", "bias_ctl 0/7=0x3D; single 28/1"},
        {"bias/bias_fo_hv0 0x1004", "bias_ctl 0/7=0x27; single 28/1"},
        {"bias/bias_hpf_lv0 0x1100", "bias_ctl 0/7; single 28/1"},
        {"bias/bias_diff_on_lv0 0x1104", "bias_ctl 0/7=0x18; single 28/1"},
        {"bias/bias_diff_lv0 0x1108", "bias_ctl 0/7=0x33; single 28/1"},
        {"bias/bias_diff_off_lv0 0x110C", "bias_ctl 0/7=0x13; single 28/1"},
        {"bias/bias_refr_lv0 0x1114", "bias_ctl 0/7=0x52; single 28/1"},
        {"roi/td_roi_x00 … roi/td_roi_x09 0x2000 + 4n", "effective 0/32=0xFFFFFFFF"},
        {"roi/td_roi_y00 … roi/td_roi_y09 0x3000 + 4n", "effective 0/32=0xFFFFFFFF"},
        {"edf/pipeline_control 0x7000", "enable 0/1; drop_nbackpressure 1/1; bypass 2/1"},
        {"erc/pipeline_control 0x6000", "enable 0/1; drop_nbackpressure 1/1; bypass 2/1"},
        {"erc/ahvt_dropping_control 0x6014",
         "h_dropping_en 0/1; v_dropping_en 1/1; t_dropping_en 2/1; t_dropping_lut_en 3/1; "
         "drop_all_td_when_drop_geq 4/10=0x201; status 31/1"},
        {"erc/ref_period_flavor 0x6020", "reference_period 0/10=0x80; avg_drop_rate_delayed 16/1"},
        {"erc/delay_fifo_non_td_rsvd_area 0x6024", "val 0/13=0x101; auto_raise 16/1"},
        {"erc/delay_fifo_size 0x6028", "val 0/15=0x1408"},
        {"erc/td_target_event_count 0x602C", "val 0/21=0x80"},
        {"ro/time_base_ctrl 0x9008",
         "time_base_enable 0/1; time_base_mode 1/1; external_mode 2/1; external_mode_enable 3/1; "
         "us_counter_max 4/7=0x32; th_every_64us_en 11/1; time_base_srst 16/1"},
        {"afk/pipeline_control 0xC000", "enable 0/1; drop_nbackpressure 1/1; bypass 2/1"},
        {"afk/afk_param 0xC008", "counter_low 0/3=0x4; counter_high 3/3=0x6; invert 6/1; drop_disable 7/1"},
        {"afk/filter_period 0xC00C",
         "min_cutoff_period 0/8=0xF; max_cutoff_period 8/8=0x9C; inverted_duty_cycle 16/4=0x8"},
        {"afk/invalidation 0xC0C0",
         "dt_fifo_wait_time 0/12=0xF3C; dt_fifo_timeout 12/12=0x5A; in_parallel 24/3=0x5; flag_inv_busy 27/1"},
        {"afk/initialisation 0xC0C4", "req_init 0/1; flag_init_busy 1/1; flag_init_done 2/1"},
    }, detail::STC_REGISTER_LAYOUTS);
}

RegisterInfo g_rows[GENX320_REGISTER_MAP_SIZE];
const bool g_filled = detail::fillRegisterTable(g_rows, GENX320_REGISTER_MAP_SIZE, blocks(), layouts(),
                                                "GENX320_REGISTER_MAP");

} // namespace

const RegisterInfo (&GENX320_REGISTER_MAP)[GENX320_REGISTER_MAP_SIZE] = g_rows;

} // namespace quelnor
