#include "ft60x/device/v3_debugger.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "ft60x/logging.h"

namespace {
// Registers are named by their address carried in a pointer-sized value.
std::uint8_t* reg_at(std::uintptr_t address)
{
    return reinterpret_cast<std::uint8_t*>(address);
}

std::uint8_t* const mem_addr_reg = reg_at(0x10800);
std::uint8_t* const flash_addr_reg = reg_at(0x10803);
std::uint8_t* const length_reg = reg_at(0x10806);
std::uint8_t* const command_reg = reg_at(0x10809);
std::uint8_t* const semaphore_reg = reg_at(0x1080B);
std::uint8_t* const status_reg = reg_at(0x1080D);
std::uint8_t* const crc_low_reg = reg_at(0x1080E);
std::uint8_t* const crc_high_reg = reg_at(0x1080F);

constexpr std::uint8_t cmd_write_enable = 0x06;
constexpr std::uint8_t cmd_erase = 0x20;
constexpr std::uint8_t cmd_flash_to_pm = 0xF4;
constexpr std::uint8_t cmd_flash_to_dm = 0xFC;
constexpr std::uint8_t cmd_program = 0xF8;
constexpr std::uint8_t status_busy = 0x40;
constexpr int semaphore_tries = 10;
constexpr int idle_reads = 102;
constexpr std::uint32_t flash_chunk = 256;

std::uint32_t address_of(std::uint8_t* reg)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(reg));
}
} // namespace

std::uint8_t v3_debugger::read_reg(std::uint8_t* reg)
{
    // A failed read leaves this marker: the semaphore then counts as held, the status as idle.
    std::uint8_t value = 0xA5;
    ops->memory_access(false, address_of(reg), &value, 1);
    return value;
}

bool v3_debugger::read_reg(std::uint8_t* reg, std::uint8_t* value)
{
    return ops->memory_access(false, address_of(reg), value, 1);
}

bool v3_debugger::write_reg(std::uint8_t* reg, std::uint8_t value)
{
    return ops->memory_access(true, address_of(reg), &value, 1);
}

bool v3_debugger::write_addr(std::uint8_t* reg, std::uint32_t value)
{
    std::uint8_t bytes[3] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                             static_cast<std::uint8_t>(value >> 16)};
    return ops->memory_access(true, address_of(reg), bytes, sizeof bytes);
}

bool v3_debugger::iflash_wait_semaphore()
{
    for (int i = 0; i < semaphore_tries; ++i)
        if (read_reg(semaphore_reg) == 0)
            return true;
    return false;
}

bool v3_debugger::iflash_release_semaphore()
{
    return write_reg(semaphore_reg, 1);
}

bool v3_debugger::wait_for_idle()
{
    for (int i = 0; i < idle_reads; ++i) {
        if ((read_reg(status_reg) & status_busy) == 0)
            return true;
        if (i + 1 < idle_reads)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool v3_debugger::read_crc16(std::uint16_t* crc)
{
    if (!iflash_wait_semaphore()) {
        logging(FT_LOG_LEVEL_ERROR, "Cannot acquire semaphore\r\n");
        return false;
    }
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    bool ok = read_reg(crc_low_reg, &low);
    if (ok) {
        *crc = static_cast<std::uint16_t>((*crc & 0xFF00) | low);
        ok = read_reg(crc_high_reg, &high);
        if (ok)
            *crc = static_cast<std::uint16_t>((high << 8) | low);
    }
    iflash_release_semaphore();
    return ok;
}

bool v3_debugger::read_from_flash(std::uint32_t flash_addr, std::uint32_t mem_addr,
                                  std::uint32_t length, std::uint8_t command)
{
    while (length != 0) {
        const std::uint32_t chunk = length < flash_chunk ? length : flash_chunk;
        if (!wait_for_idle())
            return false;
        if (!write_addr(mem_addr_reg, mem_addr) || !write_addr(flash_addr_reg, flash_addr) ||
            !write_addr(length_reg, chunk))
            return false;
        if (!wait_for_idle())
            return false;
        if (!write_reg(command_reg, command))
            return false;
        mem_addr += chunk;
        flash_addr += chunk;
        length -= chunk;
        wait_for_idle();
    }
    return true;
}

bool v3_debugger::flash_to_pm(std::uint32_t flash_addr, std::uint32_t mem_addr,
                              std::uint32_t length)
{
    return read_from_flash(flash_addr, mem_addr, length, cmd_flash_to_pm);
}

bool v3_debugger::flash_to_dm(std::uint32_t flash_addr, std::uint32_t mem_addr,
                              std::uint32_t length)
{
    return read_from_flash(flash_addr, mem_addr, length, cmd_flash_to_dm);
}

bool v3_debugger::dm_to_flash(std::uint32_t flash_addr, std::uint32_t mem_addr,
                              std::uint32_t length)
{
    const std::uint32_t aligned_length = (length + flash_chunk - 1) / flash_chunk * flash_chunk;
    // One sector at most; a longer program would run into the next sector unerased.
    if (aligned_length >= 4096)
        return false;
    if (!iflash_wait_semaphore()) {
        logging(FT_LOG_LEVEL_ERROR, "Cannot acquire semaphore\r\n");
        return false;
    }
    const bool ok = wait_for_idle() && write_addr(flash_addr_reg, flash_addr) &&
                    write_reg(command_reg, cmd_write_enable) && wait_for_idle() &&
                    write_reg(command_reg, cmd_erase) && wait_for_idle() &&
                    write_reg(command_reg, cmd_write_enable) &&
                    write_addr(flash_addr_reg, flash_addr) && write_addr(mem_addr_reg, mem_addr) &&
                    write_addr(length_reg, aligned_length) && write_reg(command_reg, cmd_program);
    if (ok)
        wait_for_idle();
    iflash_release_semaphore();
    return ok;
}
