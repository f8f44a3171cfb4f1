#pragma once

#include <cstdint>

#include "QuelnorHal/EventStream/DataTransfer.h"

namespace quelnor::detail {

// The event sensors' stream: EVT3 words of 2 bytes in 128 KiB buffers, 20 USB transfers in flight on
// the data endpoint.
constexpr uint32_t EVENT_RAW_EVENT_SIZE_BYTES = 2;
constexpr uint32_t EVENT_BUFFER_SIZE = 0x20000;
constexpr uint8_t EVENT_TRANSFERS_IN_FLIGHT = 20;
constexpr UsbDataTransferEndpoint EVENT_ENDPOINT = USB_DATA_ENDPOINT;

// The frame sensor's stream: one NV12 frame (1.5 bytes per pixel) per transfer on the second endpoint.
constexpr uint32_t FRAME_RAW_EVENT_SIZE_BYTES = 2;
constexpr double FRAME_BYTES_PER_PIXEL = 1.5;
constexpr uint8_t FRAME_TRANSFERS_IN_FLIGHT = 1;
constexpr UsbDataTransferEndpoint FRAME_ENDPOINT = USB_DATA_ENDPOINT_2;

// V4L2 captures count bytes, not words.
constexpr uint32_t V4L2_RAW_EVENT_SIZE_BYTES = 1;

// Pauses of the sensors' set-up writes.
constexpr uint32_t TEMPERATURE_PAUSE_US = 100;
constexpr uint32_t IPH_MIRROR_PAUSE_US = 20;
constexpr uint32_t SETUP_STEP_PAUSE_US = 1000;

// Time base: the value of ro/time_base_ctrl's reserved bits 10..4 on the IMX636, the GenX320's
// microsecond counter period, and the sync pad modes.
constexpr uint32_t IMX636_TIME_BASE_RESERVED_10_4 = 100;
constexpr uint32_t GENX320_US_COUNTER_MAX = 25;
constexpr uint32_t PAD_SYNC_EXTERNAL = 12;
constexpr uint32_t PAD_SYNC_INTERNAL = 15;

} // namespace quelnor::detail
