#include "QuelnorDriver/sensor/Imx415RegisterMap.h"

namespace quelnor {

const RegisterInfo IMX415_REGISTER_MAP[IMX415_REGISTER_MAP_SIZE] = {
    RegisterInfo::register_row("aps_ctrl", 0x5000),
    RegisterInfo::field_row("aps_en", 0, 1, 0),
    RegisterInfo::register_row("aps_exposure", 0x5001),
    RegisterInfo::field_row("aps_auto_exposure_en", 0, 1, 1),
    RegisterInfo::register_row("aps_shutter", 0x5002),
    RegisterInfo::field_row("aps_shutter_sweep_time", 0, 20, 102),
    RegisterInfo::register_row("aps_white_balance", 0x5003),
    RegisterInfo::field_row("aps_auto_white_balance_en", 0, 1, 1),
    RegisterInfo::register_row("aps_blk_level", 0x5004),
    RegisterInfo::field_row("aps_blk_level_offset", 0, 10, 50),
    RegisterInfo::register_row("aps_auto_gain", 0x5005),
    RegisterInfo::field_row("aps_auto_gain_en", 0, 1, 1),
    RegisterInfo::register_row("aps_gain_control", 0x5006),
    RegisterInfo::field_row("aps_gain_pgc", 0, 8, 0),
    RegisterInfo::register_row("firmware_version", 0x6000),
    RegisterInfo::register_row("usb_serialnumber", 0x6001),
    RegisterInfo::register_row("camera_reset", 0x6002),
};

} // namespace quelnor
