// Process-wide transfer configuration table: one record per FIFO channel, set by the host with
// FT_SetTransferParams and consumed by the next device open.
#pragma once

#include <memory>

#include "ostrane/ft60x.h"

// Number of FIFO channels of the table; FIFO index 4 (single-FIFO layout) maps to record 0.
inline constexpr unsigned xfr_conf_count = 4;

inline constexpr std::uint8_t default_urb_num = 8;
inline constexpr std::uint16_t default_buf_num = 256;
inline constexpr std::uint32_t default_buf_size = 0x8000;
inline constexpr std::uint32_t old_kernel_buf_size = 0x4000;
inline constexpr std::uint32_t min_buf_size = 512;
inline constexpr std::uint32_t default_extra = 0x40000000;

// True when the kernel release ("major.minor...") is older than 3.4, where transfer buffers are
// capped at 16 KiB. A release that does not parse caps nothing; null means it could not be read.
bool kernel_caps_buf_size(const char* release);

// Fills the defaults into one pipe record; `release` is the running kernel's release or null.
void apply_pipe_defaults(FT_PIPE_TRANSFER_CONF& pipe, const char* release);

// Takes the table (creating a zeroed one when none was set) with defaults applied for the given
// kernel release. The table is consumed: the next call starts from a fresh one.
std::unique_ptr<_FT_TRANSFER_CONF[]> take_xfr_confs(const char* release);

// take_xfr_confs with the release of the running kernel.
std::unique_ptr<_FT_TRANSFER_CONF[]> get_xfr_confs();
