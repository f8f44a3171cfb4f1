#pragma once

// The stc/ block, alike in the IMX636 and the GenX320 tables.

#include "sensor/RegisterTableBuilder.h"

namespace quelnor::detail {

inline constexpr RegisterBlock STC_REGISTER_BLOCK = {
    "stc/",
    "pipeline_control 0xD000 (3), stc_param 0xD004 (3), trail_param 0xD008 (2), "
    "timestamping 0xD00C (4), invalidation 0xD0C0 (4), initialization 0xD0C4 (3), "
    "shadow_ctrl 0xD0D4 (2), shadow_timer_threshold 0xD0D8 (1), shadow_status 0xD0DC (3), "
    "total_evt_count 0xD0E0 (1), stc_evt_count 0xD0E4 (1), trail_evt_count 0xD0E8 (1), "
    "output_vector_count 0xD0EC (1)"};

inline constexpr RegisterLayout STC_REGISTER_LAYOUTS[] = {
    {"stc/pipeline_control 0xD000", "Reserved_0 0/1; Reserved_1 1/1; stc_trail_bypass 2/1"},
    {"stc/stc_param 0xD004", "stc_enable 0/1; stc_threshold 1/19=0x2710; disable_stc_cut_trail 24/1"},
    {"stc/trail_param 0xD008", "trail_enable 0/1; trail_threshold 1/19=0x186A0"},
    {"stc/timestamping 0xD00C",
     "prescaler 0/5=0xD; multiplier 5/4=0x1; Reserved_9 9/1=0x1; enable_last_ts_update_at_every_event 16/1"},
    {"stc/invalidation 0xD0C0",
     "dt_fifo_wait_time 0/12=0x4; dt_fifo_timeout 12/12=0x118; Reserved_27_24 24/4=0xA; Reserved_28 28/1"},
    {"stc/initialization 0xD0C4", "stc_req_init 0/1; Reserved_1 1/1; stc_flag_init_done 2/1"},
};

} // namespace quelnor::detail
