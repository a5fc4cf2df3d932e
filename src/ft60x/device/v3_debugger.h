// Access to the chip's flash through the debugger register block in its memory space.
#pragma once

#include <cstdint>

#include "ft60x/device/dev_handle.h"

class v3_debugger {
public:
    explicit v3_debugger(dev_ops* ops) : ops(ops) {}

    std::uint8_t read_reg(std::uint8_t* reg);
    bool read_reg(std::uint8_t* reg, std::uint8_t* value);
    bool write_reg(std::uint8_t* reg, std::uint8_t value);
    bool write_addr(std::uint8_t* reg, std::uint32_t value);

    bool iflash_wait_semaphore();
    bool iflash_release_semaphore();
    bool wait_for_idle();

    bool read_crc16(std::uint16_t* crc);
    bool read_from_flash(std::uint32_t flash_addr, std::uint32_t mem_addr, std::uint32_t length,
                         std::uint8_t command);
    bool flash_to_pm(std::uint32_t flash_addr, std::uint32_t mem_addr, std::uint32_t length);
    bool flash_to_dm(std::uint32_t flash_addr, std::uint32_t mem_addr, std::uint32_t length);
    bool dm_to_flash(std::uint32_t flash_addr, std::uint32_t mem_addr, std::uint32_t length);

private:
    dev_ops* ops;
};
