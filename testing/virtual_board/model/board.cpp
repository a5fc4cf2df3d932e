#include "model/board.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

#include "model/chip_config.h"
#include "model/descriptors.h"
#include "model/timer_queue.h"
#include "model/uvc.h"

namespace vboard {
namespace {

constexpr uint8_t bridge_slave = 0x0D;
constexpr size_t i2c_max = 128;
constexpr size_t rx_fifo_capacity = 255;  // the level register is one byte
constexpr size_t memory_chunk_max = 512;
constexpr size_t program_memory_size = 64 * 1024;
constexpr size_t request_log_limit = 20000;

enum Reg : uint8_t {
    reg_data = 0x10,
    reg_status = 0x11,
    reg_rx_level = 0x12,
    reg_tx_level = 0x13,
    reg_rx_msg_level = 0x14,
    reg_control = 0x15,
    reg_int_enable = 0x16,
    reg_int_period = 0x17,
    reg_int_status = 0x18,
};
constexpr uint8_t ctl_reset_msg = 0x01, ctl_reset_tx = 0x02, ctl_reset_rx = 0x04,
                  ctl_reset_cmd = 0x08, ctl_enable_interrupts = 0x10;
constexpr uint8_t st_uart_ready = 0x80, st_rx_overrun = 0x04, st_tx_empty = 0x02,
                  st_rx_data = 0x01;

// Debugger register offsets from Board::debugger_base.
constexpr uint32_t dbg_mem_addr = 0x0, dbg_flash_addr = 0x3, dbg_length = 0x6, dbg_command = 0x9,
                   dbg_semaphore = 0xB, dbg_status = 0xD, dbg_crc_lo = 0xE, dbg_crc_hi = 0xF,
                   dbg_size = 0x10;
constexpr uint8_t dbg_busy = 0x40;
constexpr size_t flash_sector = 4096;

uint16_t crc16_ccitt(const std::vector<uint8_t>& data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint32_t get24(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }

}  // namespace

SetupPacket SetupPacket::parse(const uint8_t* b) {
    SetupPacket s;
    s.bmRequestType = b[0];
    s.bRequest = b[1];
    s.wValue = static_cast<uint16_t>(b[2] | (b[3] << 8));
    s.wIndex = static_cast<uint16_t>(b[4] | (b[5] << 8));
    s.wLength = static_cast<uint16_t>(b[6] | (b[7] << 8));
    return s;
}

std::string describe(const RequestRecord& r) {
    char head[96];
    std::snprintf(head, sizeof head, "%02X %02X %04X %04X %u", r.setup.bmRequestType, r.setup.bRequest,
                  r.setup.wValue, r.setup.wIndex, r.setup.wLength);
    std::string s = head;
    const char* what = "";
    if ((r.setup.bmRequestType & 0x60) == 0x40) {
        switch (r.setup.bRequest) {
        case 1: what = " config"; break;
        case 2: what = " gpio"; break;
        case 3: what = " memory"; break;
        case 4: what = " mode"; break;
        case 5: what = " i2c"; break;
        default: what = " unknown"; break;
        }
    } else if ((r.setup.bmRequestType & 0x60) == 0 && r.setup.bRequest == 6) {
        what = " get-descriptor";
    }
    s += what;
    if (!r.data.empty()) {
        s += r.setup.is_in() ? " <" : " >";
        const size_t shown = std::min<size_t>(r.data.size(), 32);
        for (size_t i = 0; i < shown; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", r.data[i]);
            s += hex;
        }
        if (shown < r.data.size()) s += " ...";
    }
    if (r.stalled) s += " STALL";
    if (r.delay.count() > 0) s += " (delayed " + std::to_string(r.delay.count()) + " ms)";
    return s;
}

struct Board::Impl {
    explicit Impl(BoardConfig c);

    // All state below is guarded by `mutex`.
    mutable std::mutex mutex;
    BoardConfig config;
    DescriptorSet descriptors;
    std::vector<uint8_t> chip_config;
    std::function<void()> data_ready;
    std::function<std::set<int>()> claims_held_by_host;
    std::function<void(bool)> claim_refusal_by_host;

    std::deque<RequestRecord> log;
    std::set<int> claimed;

    // What the host has done, for wait_for_host; woken only while someone waits.
    uint64_t vendor_requests = 0;
    uint64_t interrupt_polls = 0;
    uint64_t fifo_transfers = 0;
    int host_waiters = 0;
    std::condition_variable_any host_activity;

    // Faults.
    int stall_control_count = 0;
    std::optional<uint8_t> stall_control_request;
    int nak_i2c_count = 0;
    int delay_control_count = 0;
    std::chrono::milliseconds delay_control_by{0};
    int stall_bulk_count = 0;
    std::optional<uint8_t> stall_bulk_ep;
    int short_control_count = 0;
    size_t short_control_length = 0;
    std::optional<uint8_t> short_control_request;
    std::map<uint8_t, uint8_t> register_lies;
    std::map<uint8_t, int> endpoint_stalls;
    std::map<uint8_t, std::vector<uint8_t>> string_overrides;
    std::shared_ptr<ReplySource> hostile;

    // Notifications.
    std::deque<Notification> notify_queue;
    std::vector<Notification> notify_sent;
    bool raised_outstanding = false;
    bool irq_timer_armed = false;
    Clock::time_point next_irq_allowed{};

    // UART bridge.
    BridgeState bridge;
    std::deque<uint8_t> rx;
    std::deque<size_t> rx_messages;  // bytes left of each message in the receive FIFO
    bool rx_overrun = false;
    CameraBehaviour camera;
    CameraResponder responder;
    uint64_t camera_generation = 0;  // bumped to drop answers not delivered yet
    uint64_t chatter_generation = 0;

    // GPIO.
    GpioState gpio;

    // Memory and debugger.
    std::unordered_map<uint32_t, std::vector<uint8_t>> ram_pages;
    std::array<uint8_t, dbg_size> dbg{};
    bool semaphore_held = false;
    int semaphore_hold_reads = 0;
    int busy_reads = 0;
    bool write_enabled = false;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> program_memory;
    mutable std::optional<uint16_t> crc_cache;
    std::vector<std::string> flash_log;

    // Chip mode and FIFO.
    uint16_t chip_mode = 0;
    bool dfu = false;
    FifoState fifo;
    std::vector<uint8_t> ring;
    size_t ring_head = 0;  // next byte to read
    uint64_t pattern_offset = 0;
    // Bytes that left the loopback (read, dropped by a fault or a reset) since the plug: the
    // offset, in the order the host wrote them, of the next byte 0x85 sends.
    uint64_t loopback_taken = 0;
    std::optional<uint64_t> corrupt_at;  // that byte of the loopback goes out with its bits inverted
    std::optional<uint64_t> drop_at;     // from there, drop_bytes of the loopback never go out
    size_t drop_bytes = 0;

    // Video function.
    uvc::VideoFunction video;
    std::set<Clock::time_point> video_wakes;  // frame times a timer will announce

    TimerQueue timer;  // declared last: stopped first

    // --- helpers, called with the mutex held ---
    void record(const SetupPacket& s, const uint8_t* data, size_t n, bool stalled, std::chrono::milliseconds delay);
    ControlResult standard_request(const SetupPacket& s, uint8_t* in);
    ControlResult vendor_request(const SetupPacket& s, const uint8_t* out, uint8_t* in);
    bool i2c(const SetupPacket& s, const uint8_t* out, uint8_t* in);
    uint8_t bridge_read(uint8_t reg);
    void bridge_write(uint8_t reg, uint8_t value);
    void camera_write(std::vector<uint8_t> chunk);
    void deliver_from_camera(const std::vector<uint8_t>& bytes);
    bool evaluate_interrupts();
    void arm_irq_timer(Clock::time_point when);
    void restart_chatter();
    void chatter_tick_after(uint64_t generation);
    uint8_t gpio_levels() const;
    bool gpio_write(uint16_t which, uint16_t word);
    uint8_t mem_read(uint32_t addr);
    void mem_write(uint32_t addr, uint8_t v);
    uint8_t& ram(uint32_t addr);
    void debugger_command(uint8_t cmd);
    size_t ring_size() const { return fifo.loopback_level; }
    void fire_data_ready(std::unique_lock<std::mutex>& lock);
    bool take_endpoint_stall(uint8_t ep);
    HostileDecision hostile_decision(size_t max_length);
    void wake_for_frame(Clock::time_point when);
    bool host_has_done(HostActivity what) const;
    // Declared after the lock in each USB-level entry: tells waiters once the request is counted.
    struct ActivityNotice {
        Impl& m;
        ~ActivityNotice() {
            if (m.host_waiters > 0) m.host_activity.notify_all();
        }
    };
};

bool Board::Impl::host_has_done(HostActivity what) const {
    switch (what) {
    case HostActivity::vendor_request: return vendor_requests > 0;
    case HostActivity::interrupt_in: return interrupt_polls > 0;
    case HostActivity::fifo_transfer: return fifo_transfers > 0;
    }
    return false;
}

void Board::Impl::wake_for_frame(Clock::time_point when) {
    if (!video_wakes.insert(when).second) return;
    timer.schedule(when, [this, when] {
        std::unique_lock lock(mutex);
        video_wakes.erase(when);
        fire_data_ready(lock);
    });
}

bool Board::Impl::take_endpoint_stall(uint8_t ep) {
    auto it = endpoint_stalls.find(ep);
    if (it == endpoint_stalls.end() || it->second <= 0) return false;
    if (--it->second == 0) endpoint_stalls.erase(it);
    return true;
}

HostileDecision Board::Impl::hostile_decision(size_t max_length) {
    return hostile ? decide(*hostile, max_length) : HostileDecision{};
}

Board::Impl::Impl(BoardConfig c)
    : config(std::move(c)), video(std::clamp(config.video_interfaces, 0, 2), config.speed == Speed::super) {
    descriptors = build_descriptors(config);
    chip_config = default_chip_configuration(config);
    flash.resize(Board::flash_size);
    // Deterministic contents that differ between serial numbers.
    uint32_t seed = 2166136261u;
    for (char ch : config.serial) seed = (seed ^ static_cast<uint8_t>(ch)) * 16777619u;
    for (auto& b : flash) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    program_memory.assign(program_memory_size, 0);
    fifo.source = config.fifo;
    fifo.loopback_capacity = Board::loopback_capacity;
    ring.resize(Board::loopback_capacity);
    bridge.status = st_uart_ready | st_tx_empty;
    gpio.levels = 0;
}

void Board::Impl::fire_data_ready(std::unique_lock<std::mutex>& lock) {
    auto cb = data_ready;
    lock.unlock();
    if (cb) cb();
}

void Board::Impl::record(const SetupPacket& s, const uint8_t* data, size_t n, bool stalled,
                         std::chrono::milliseconds delay) {
    RequestRecord r;
    r.when = Clock::now();
    r.setup = s;
    if (data && n) r.data.assign(data, data + n);
    r.stalled = stalled;
    r.delay = delay;
    log.push_back(std::move(r));
    if (log.size() > request_log_limit) log.pop_front();
}

ControlResult Board::Impl::standard_request(const SetupPacket& s, uint8_t* in) {
    auto reply = [&](const std::vector<uint8_t>& bytes) {
        const size_t n = std::min<size_t>(bytes.size(), s.wLength);
        if (n) std::memcpy(in, bytes.data(), n);
        return ControlResult{UsbStatus::ok, n};
    };
    const ControlResult stall{UsbStatus::stall, 0};
    const uint8_t recipient = s.bmRequestType & 0x1F;
    if (s.is_in()) {
        switch (s.bRequest) {
        case 0x06: {  // GET_DESCRIPTOR
            if (recipient != 0) return stall;
            const uint8_t type = s.wValue >> 8, index = s.wValue & 0xFF;
            switch (type) {
            case 1: return reply(descriptors.device);
            case 2: return index == 0 ? reply(descriptors.configuration) : stall;
            case 3: {
                if (config.fail_string_descriptors) return stall;
                if (auto it = string_overrides.find(index); it != string_overrides.end())
                    return it->second.empty() ? stall : reply(it->second);
                auto d = string_descriptor(config, index);
                return d ? reply(*d) : stall;
            }
            case 6: return descriptors.qualifier.empty() ? stall : reply(descriptors.qualifier);
            case 0x0F: return reply(descriptors.bos);
            default: return stall;
            }
        }
        case 0x00: return reply({0, 0});  // GET_STATUS: bus powered, no remote wake-up, not halted
        case 0x08: return recipient == 0 ? reply({1}) : stall;  // GET_CONFIGURATION
        case 0x0A: return recipient == 1 ? reply({0}) : stall;  // GET_INTERFACE
        default: return stall;
        }
    }
    switch (s.bRequest) {
    case 0x01:  // CLEAR_FEATURE
        // ENDPOINT_HALT on a video endpoint is how the host stops that stream.
        if (recipient == 2 && s.wValue == 0) video.stop(video.stream_of_endpoint(static_cast<uint8_t>(s.wIndex)));
        return {UsbStatus::ok, 0};
    case 0x03:  // SET_FEATURE
        return {UsbStatus::ok, 0};
    case 0x09: return s.wValue == 1 || s.wValue == 0 ? ControlResult{UsbStatus::ok, 0} : stall;
    case 0x0B:  // SET_INTERFACE: only alternate setting 0 exists; it stops a video stream
        if (s.wValue != 0) return stall;
        video.stop(video.stream_of_interface(s.wIndex));
        return {UsbStatus::ok, 0};
    case 0x30:  // SET_SEL
    case 0x31:  // SET_ISOCH_DELAY
        return {UsbStatus::ok, 0};
    default: return stall;
    }
}

uint8_t& Board::Impl::ram(uint32_t addr) {
    auto& page = ram_pages[addr >> 12];
    if (page.empty()) page.assign(4096, 0);
    return page[addr & 0xFFF];
}

uint8_t Board::Impl::mem_read(uint32_t addr) {
    if (addr >= Board::debugger_base && addr < Board::debugger_base + dbg_size) {
        const uint32_t off = addr - Board::debugger_base;
        switch (off) {
        case dbg_semaphore:
            if (semaphore_hold_reads > 0) {
                --semaphore_hold_reads;
                return 1;
            }
            if (semaphore_held) return 1;
            semaphore_held = true;
            return 0;
        case dbg_status:
            if (busy_reads != 0) {
                if (busy_reads > 0) --busy_reads;
                return dbg_busy;
            }
            return 0;
        case dbg_crc_lo:
        case dbg_crc_hi: {
            if (!crc_cache) crc_cache = crc16_ccitt(flash);
            return off == dbg_crc_lo ? static_cast<uint8_t>(*crc_cache) : static_cast<uint8_t>(*crc_cache >> 8);
        }
        default: return dbg[off];
        }
    }
    auto it = ram_pages.find(addr >> 12);
    return it == ram_pages.end() ? 0 : it->second[addr & 0xFFF];
}

void Board::Impl::mem_write(uint32_t addr, uint8_t v) {
    if (addr >= Board::debugger_base && addr < Board::debugger_base + dbg_size) {
        const uint32_t off = addr - Board::debugger_base;
        dbg[off] = v;
        if (off == dbg_command) debugger_command(v);
        if (off == dbg_semaphore && v == 1) semaphore_held = false;
        return;
    }
    ram(addr) = v;
}

void Board::Impl::debugger_command(uint8_t cmd) {
    const uint32_t mem_addr = get24(&dbg[dbg_mem_addr]);
    const uint32_t flash_addr = get24(&dbg[dbg_flash_addr]);
    const uint32_t length = get24(&dbg[dbg_length]);
    char line[96];
    const char* outcome = "";
    switch (cmd) {
    case 0x06: write_enabled = true; break;
    case 0x20:
        if (!write_enabled) {
            outcome = " ignored: write not enabled";
            break;
        }
        for (size_t i = 0; i < flash_sector; ++i) {
            const size_t a = (flash_addr & ~(flash_sector - 1)) + i;
            if (a < flash.size()) flash[a] = 0xFF;
        }
        write_enabled = false;
        crc_cache.reset();
        break;
    case 0xF8:
        if (!write_enabled) {
            outcome = " ignored: write not enabled";
            break;
        }
        // NOR flash: programming only clears bits.
        for (uint32_t i = 0; i < length; ++i)
            if (flash_addr + i < flash.size()) flash[flash_addr + i] &= mem_read(mem_addr + i);
        write_enabled = false;
        crc_cache.reset();
        break;
    case 0xF4:
        for (uint32_t i = 0; i < length; ++i)
            if (flash_addr + i < flash.size() && mem_addr + i < program_memory.size())
                program_memory[mem_addr + i] = flash[flash_addr + i];
        break;
    case 0xFC:
        for (uint32_t i = 0; i < length; ++i)
            if (flash_addr + i < flash.size()) ram(mem_addr + i) = flash[flash_addr + i];
        break;
    default: outcome = " ignored: unknown command"; break;
    }
    std::snprintf(line, sizeof line, "0x%02X mem=0x%X flash=0x%X len=%u%s", cmd, mem_addr, flash_addr, length, outcome);
    flash_log.emplace_back(line);
    if (busy_reads >= 0) busy_reads = 1;  // the next status read sees the command still running
}

uint8_t Board::Impl::gpio_levels() const {
    uint8_t levels = 0;
    for (int n = 0; n < 3; ++n) {
        const GpioPin& p = gpio.pins[n];
        bool level;
        if (p.output) level = p.level;
        else if (p.driven) level = *p.driven;
        else level = (p.pull & 0x2) != 0;  // codes 2 and 3 pull up; 0 pulls down, 1 floats (reads low)
        if (level) levels |= static_cast<uint8_t>(1u << n);
    }
    return levels;
}

bool Board::Impl::gpio_write(uint16_t which, uint16_t word) {
    for (int n = 0; n < 3; ++n) {
        const unsigned bits = (word >> (3 * n)) & 0x7;
        if (!(bits & 0x4)) continue;  // pin not addressed
        GpioPin& p = gpio.pins[n];
        switch (which) {
        case 1: p.level = bits & 0x1; break;
        case 2: p.output = bits & 0x1; break;
        case 3: p.pull = static_cast<uint8_t>(bits & 0x3); break;
        default: return false;
        }
    }
    gpio.words.push_back(word);
    return true;
}

ControlResult Board::Impl::vendor_request(const SetupPacket& s, const uint8_t* out, uint8_t* in) {
    const ControlResult stall{UsbStatus::stall, 0};
    if ((s.bmRequestType & 0x1F) != 0) return stall;  // the chip answers device-recipient requests only
    const bool read = s.is_in();
    switch (s.bRequest) {
    case 1:  // chip configuration
        if (s.wValue != 0 || s.wIndex != 0) return stall;
        if (read) {
            const size_t n = std::min<size_t>(s.wLength, chip_config.size());
            if (n) std::memcpy(in, chip_config.data(), n);
            return {UsbStatus::ok, n};
        }
        if (s.wLength != chip_config.size() || s.wLength < 2 ||
            static_cast<uint16_t>(out[0] | (out[1] << 8)) != chip_config.size())
            return stall;
        chip_config.assign(out, out + s.wLength);
        return {UsbStatus::ok, s.wLength};
    case 2:  // GPIO
        if (read) {
            if (s.wValue != 0 || s.wLength != 1) return stall;
            in[0] = static_cast<uint8_t>(gpio_levels() & s.wIndex & 0x07);
            return {UsbStatus::ok, 1};
        }
        if (s.wLength != 2 || s.wValue < 1 || s.wValue > 3) return stall;
        gpio_write(s.wValue, static_cast<uint16_t>(out[0] | (out[1] << 8)));
        gpio.levels = gpio_levels();
        return {UsbStatus::ok, 2};
    case 3: {  // chip memory
        if (s.wLength > memory_chunk_max) return stall;
        const uint32_t addr = (static_cast<uint32_t>(s.wValue) << 16) | s.wIndex;
        for (size_t i = 0; i < s.wLength; ++i) {
            if (read) in[i] = mem_read(addr + static_cast<uint32_t>(i));
            else mem_write(addr + static_cast<uint32_t>(i), out[i]);
        }
        return {UsbStatus::ok, s.wLength};
    }
    case 4:  // chip mode
        if (read || s.wLength != 0 || s.wIndex != 0) return stall;
        chip_mode = s.wValue;
        fifo.fifo_mode = s.wValue != 0;
        if (s.wValue == 2) dfu = true;
        return {UsbStatus::ok, 0};
    case 5:  // I2C
        if (!i2c(s, out, in)) return stall;
        return {UsbStatus::ok, s.wLength};
    default: return stall;
    }
}

bool Board::Impl::i2c(const SetupPacket& s, const uint8_t* out, uint8_t* in) {
    const uint8_t slave = s.wIndex & 0xFF;
    const size_t count = s.wIndex >> 8;
    if (slave != bridge_slave || count > i2c_max || count != s.wLength) return false;
    if (nak_i2c_count > 0) {
        --nak_i2c_count;
        return false;
    }
    // The bridge decodes bits 0-6 of the register address; the flag bit means nothing to it.
    const uint8_t reg = s.wValue & 0x7F;
    if (reg == reg_data) {
        if (s.is_in()) {
            for (size_t i = 0; i < count; ++i) in[i] = bridge_read(reg_data);
        } else if (count > 0) {
            camera_write(std::vector<uint8_t>(out, out + count));
        }
        return true;
    }
    // Other registers auto-increment on multi-byte access.
    for (size_t i = 0; i < count; ++i) {
        const auto r = static_cast<uint8_t>(reg + i);
        if (s.is_in()) in[i] = bridge_read(r);
        else bridge_write(r, out[i]);
    }
    return true;
}

uint8_t Board::Impl::bridge_read(uint8_t reg) {
    if (auto it = register_lies.find(reg); it != register_lies.end()) return it->second;
    switch (reg) {
    case reg_data: {
        if (rx.empty()) return 0;
        const uint8_t b = rx.front();
        rx.pop_front();
        if (!rx_messages.empty() && --rx_messages.front() == 0) rx_messages.pop_front();
        return b;
    }
    case reg_status:
        return static_cast<uint8_t>(st_uart_ready | st_tx_empty | (rx.empty() ? 0 : st_rx_data) |
                                    (rx_overrun ? st_rx_overrun : 0));
    case reg_rx_level: return static_cast<uint8_t>(rx.size());
    case reg_tx_level: return 0;  // the transmitter drains at once
    case reg_rx_msg_level: return static_cast<uint8_t>(std::min<size_t>(rx_messages.size(), 255));
    case reg_control: return bridge.control;
    case reg_int_enable: return bridge.interrupt_enable;
    case reg_int_period: return bridge.interrupt_period_ms;
    case reg_int_status: {
        const uint8_t v = bridge.interrupt_status;
        bridge.interrupt_status = 0;  // read clears
        return v;
    }
    default: return 0;
    }
}

void Board::Impl::bridge_write(uint8_t reg, uint8_t value) {
    switch (reg) {
    case reg_control:
        bridge.control_writes.push_back(value);
        if (value & ctl_reset_rx) {
            rx.clear();
            rx_messages.clear();
            rx_overrun = false;
        }
        if (value & ctl_reset_msg) rx_messages.clear();
        if (value & ctl_reset_cmd) ++camera_generation;  // answers in flight are dropped
        (void)ctl_reset_tx;  // nothing is ever waiting in the transmitter
        bridge.control = value & ctl_enable_interrupts;
        evaluate_interrupts();
        break;
    case reg_int_enable:
        bridge.interrupt_enable = value;
        evaluate_interrupts();
        break;
    case reg_int_period: bridge.interrupt_period_ms = value; break;
    case reg_int_status:
        bridge.interrupt_status &= static_cast<uint8_t>(~value);  // write one to clear
        break;
    default: break;  // read-only or absent registers ignore writes
    }
}

void Board::Impl::camera_write(std::vector<uint8_t> chunk) {
    bridge.to_camera.insert(bridge.to_camera.end(), chunk.begin(), chunk.end());
    bridge.interrupt_status |= irq::tx_empty;
    std::vector<std::vector<uint8_t>> answers;
    if (responder) answers = responder(chunk);
    else if (camera.kind != CameraKind::silent) answers.push_back(std::move(chunk));
    const auto when = Clock::now() + camera.delay;
    const uint64_t generation = camera_generation;
    for (auto& a : answers) {
        timer.schedule(when, [this, generation, bytes = std::move(a)] {
            std::unique_lock lock(mutex);
            if (generation != camera_generation) return;
            deliver_from_camera(bytes);
            const bool queued = evaluate_interrupts();
            if (queued) fire_data_ready(lock);
        });
    }
}

void Board::Impl::deliver_from_camera(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    size_t taken = 0;
    for (uint8_t b : bytes) {
        if (rx.size() >= rx_fifo_capacity) {
            rx_overrun = true;
            bridge.interrupt_status |= irq::rx_error;
            break;
        }
        rx.push_back(b);
        ++taken;
    }
    if (taken) {
        rx_messages.push_back(taken);
        bridge.interrupt_status |= irq::rx_data | irq::rx_message;
    }
}

// Raise one notification when the bridge's interrupt line is up, none is waiting for the host,
// and the interrupt period since the last one has passed. True when one was queued.
bool Board::Impl::evaluate_interrupts() {
    const bool line = (bridge.control & ctl_enable_interrupts) && (bridge.interrupt_status & bridge.interrupt_enable);
    if (!line || raised_outstanding) return false;
    const auto now = Clock::now();
    if (now < next_irq_allowed) {
        arm_irq_timer(next_irq_allowed);
        return false;
    }
    Notification n;
    n.bytes = {0xEF, 0xBE, 0xAD, 0xDE};
    n.generated = true;
    n.queued = now;
    notify_queue.push_back(std::move(n));
    raised_outstanding = true;
    // A period of 0 counts as 1 ms: an uncleared status must not flood the host.
    next_irq_allowed = now + std::chrono::milliseconds(std::max<int>(1, bridge.interrupt_period_ms));
    return true;
}

void Board::Impl::arm_irq_timer(Clock::time_point when) {
    if (irq_timer_armed) return;
    irq_timer_armed = true;
    timer.schedule(when, [this] {
        std::unique_lock lock(mutex);
        irq_timer_armed = false;
        if (evaluate_interrupts()) fire_data_ready(lock);
    });
}

// A new camera behaviour starts a new chatter generation: ticks of an older one stop themselves.
void Board::Impl::restart_chatter() {
    const uint64_t generation = ++chatter_generation;
    if (camera.kind == CameraKind::chatty && camera.chatter_interval.count() > 0) chatter_tick_after(generation);
}

void Board::Impl::chatter_tick_after(uint64_t generation) {
    timer.schedule(Clock::now() + camera.chatter_interval, [this, generation] {
        std::unique_lock lock(mutex);
        if (generation != chatter_generation) return;
        deliver_from_camera(camera.chatter);
        const bool queued = evaluate_interrupts();
        chatter_tick_after(generation);
        if (queued) fire_data_ready(lock);
    });
}

// ---------------------------------------------------------------------------------------------

Board::Board(BoardConfig config) : impl_(std::make_shared<Impl>(std::move(config))) {}

Board::~Board() { impl_->timer.stop(); }

const BoardConfig& Board::config() const { return impl_->config; }

std::vector<uint8_t> Board::descriptors() const {
    std::lock_guard lock(impl_->mutex);
    auto d = impl_->descriptors.device;
    d.insert(d.end(), impl_->descriptors.configuration.begin(), impl_->descriptors.configuration.end());
    return d;
}

uint8_t Board::vendor_interface_number() const { return impl_->descriptors.vendor_interface; }
int Board::interface_count() const { return impl_->descriptors.interface_count; }

int Board::endpoint_type(uint8_t ep) const {
    switch (ep) {
    case 0x00:
    case 0x80: return 2;
    case ep_notify: return 1;
    case ep_fifo_in:
    case ep_fifo_out: return 3;
    default: return impl_->video.stream_of_endpoint(ep) >= 0 ? 3 : -1;
    }
}

ControlResult Board::control(const SetupPacket& s, const uint8_t* out, uint8_t* in) {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    Impl::ActivityNotice notice{m};
    ControlResult r;
    const uint8_t type = s.bmRequestType & 0x60;
    if (type == 0x40) ++m.vendor_requests;
    if (m.take_endpoint_stall(0x00)) {
        r = {UsbStatus::stall, 0};
    } else if (type == 0x40) {
        bool stalled = false;
        if (m.stall_control_count > 0 && (!m.stall_control_request || *m.stall_control_request == s.bRequest)) {
            --m.stall_control_count;
            stalled = true;
        }
        if (stalled) r = {UsbStatus::stall, 0};
        else r = m.vendor_request(s, out, in);
        if (m.delay_control_count > 0) {
            --m.delay_control_count;
            r.delay = m.delay_control_by;
        }
    } else if (type == 0x00) {
        r = m.standard_request(s, in);
    } else if (type == 0x20 && m.video.streams() > 0 && m.video.is_class_interface(s.wIndex)) {
        const auto a = m.video.class_request(s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength, out, in,
                                             Clock::now());
        r = a.outcome == uvc::Outcome::data ? ControlResult{UsbStatus::ok, a.length} : ControlResult{UsbStatus::stall, 0};
    } else {
        r = {UsbStatus::stall, 0};
    }
    if (s.is_in() && r.status == UsbStatus::ok && m.short_control_count > 0 &&
        (!m.short_control_request || *m.short_control_request == s.bRequest)) {
        --m.short_control_count;
        r.length = std::min(r.length, m.short_control_length);
    }
    const HostileDecision d = m.hostile_decision(s.wLength);
    switch (d.action) {
    case HostileAction::stall: r = {UsbStatus::stall, 0, r.delay}; break;
    case HostileAction::shorten:
        if (s.is_in() && r.status == UsbStatus::ok) r.length = std::min(r.length, d.length);
        break;
    case HostileAction::garbage:
        if (s.is_in()) {
            m.hostile->fill(in, d.length);
            r = {UsbStatus::ok, d.length, r.delay};
        }
        break;
    case HostileAction::delay: r.delay = d.delay; break;
    default: break;
    }
    if (s.is_in()) m.record(s, in, r.status == UsbStatus::ok ? r.length : 0, r.status == UsbStatus::stall, r.delay);
    else m.record(s, out, s.wLength, r.status == UsbStatus::stall, r.delay);
    return r;
}

ClaimResult Board::claim_interface(int number) {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    if (number < 0 || number >= m.descriptors.interface_count) return ClaimResult::no_such_interface;
    if (m.config.refuse_claim) return ClaimResult::busy;
    m.claimed.insert(number);
    return ClaimResult::ok;
}

bool Board::release_interface(int number) {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    return m.claimed.erase(number) > 0;
}

TransferResult Board::bulk_out(uint8_t ep, const uint8_t* data, size_t length) {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    Impl::ActivityNotice notice{m};
    if (ep != ep_fifo_out) return {UsbStatus::stall, 0};
    if (m.stall_bulk_count > 0 && (!m.stall_bulk_ep || *m.stall_bulk_ep == ep)) {
        --m.stall_bulk_count;
        return {UsbStatus::stall, 0};
    }
    if (m.take_endpoint_stall(ep)) return {UsbStatus::stall, 0};
    const HostileDecision d = m.hostile_decision(length);
    if (d.action == HostileAction::stall) return {UsbStatus::stall, 0};
    if (d.action == HostileAction::nak) return {UsbStatus::pending, 0};
    if (d.action == HostileAction::shorten) {
        if (d.length == 0) return {UsbStatus::pending, 0};
        length = d.length;  // the board takes only part of the transfer this time
    }
    // Outside FIFO mode nothing drains the endpoint: the host's packets are NAKed.
    if (!m.fifo.fifo_mode) return {UsbStatus::pending, 0};
    ++m.fifo_transfers;
    if (m.fifo.source == FifoSource::pattern) {
        m.fifo.bytes_out += length;
        return {UsbStatus::ok, length};
    }
    const size_t cap = m.ring.size();
    const size_t n = std::min(length, cap - m.fifo.loopback_level);
    if (n == 0 && length > 0) return {UsbStatus::pending, 0};
    size_t tail = (m.ring_head + m.fifo.loopback_level) % cap;
    size_t first = std::min(n, cap - tail);
    std::memcpy(&m.ring[tail], data, first);
    if (n > first) std::memcpy(&m.ring[0], data + first, n - first);
    m.fifo.loopback_level += n;
    m.fifo.bytes_out += n;
    return {UsbStatus::ok, n};
}

TransferResult Board::bulk_in(uint8_t ep, uint8_t* buffer, size_t length) {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    Impl::ActivityNotice notice{m};
    if (const int stream = m.video.stream_of_endpoint(ep); stream >= 0) {
        if (m.take_endpoint_stall(ep)) return {UsbStatus::stall, 0};
        const auto a = m.video.bulk_in(stream, buffer, length, Clock::now());
        if (a.wake_at) m.wake_for_frame(*a.wake_at);
        if (a.outcome == uvc::Outcome::pending) return {UsbStatus::pending, 0};
        return {a.outcome == uvc::Outcome::stall ? UsbStatus::stall : UsbStatus::ok, a.length};
    }
    if (ep != ep_fifo_in) return {UsbStatus::stall, 0};
    if (m.stall_bulk_count > 0 && (!m.stall_bulk_ep || *m.stall_bulk_ep == ep)) {
        --m.stall_bulk_count;
        return {UsbStatus::stall, 0};
    }
    if (m.take_endpoint_stall(ep)) return {UsbStatus::stall, 0};
    const HostileDecision d = m.hostile_decision(length);
    if (d.action == HostileAction::stall) return {UsbStatus::stall, 0};
    if (d.action == HostileAction::nak) return {UsbStatus::pending, 0};
    if (d.action == HostileAction::garbage) {
        m.hostile->fill(buffer, d.length);
        return {UsbStatus::ok, d.length};
    }
    if (d.action == HostileAction::shorten) length = d.length;  // a short packet ends it early
    if (!m.fifo.fifo_mode) return {UsbStatus::pending, 0};
    ++m.fifo_transfers;
    if (length == 0) return {UsbStatus::ok, 0};
    if (m.fifo.source == FifoSource::pattern) {
        // Endless little-endian 32-bit counter; the offset runs on across transfers.
        uint64_t off = m.pattern_offset;
        size_t i = 0;
        while (i < length && (off & 3)) {
            const uint32_t word = static_cast<uint32_t>(off >> 2);
            buffer[i++] = static_cast<uint8_t>(word >> (8 * (off & 3)));
            ++off;
        }
        while (length - i >= 4) {
            const uint32_t word = static_cast<uint32_t>(off >> 2);
            const uint8_t le[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                                   static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
            std::memcpy(buffer + i, le, 4);
            i += 4;
            off += 4;
        }
        while (i < length) {
            const uint32_t word = static_cast<uint32_t>(off >> 2);
            buffer[i++] = static_cast<uint8_t>(word >> (8 * (off & 3)));
            ++off;
        }
        m.pattern_offset = off;
        m.fifo.bytes_in += length;
        return {UsbStatus::ok, length};
    }
    const size_t cap = m.ring.size();
    if (m.drop_at && *m.drop_at == m.loopback_taken) {
        const size_t gone = std::min(m.drop_bytes, m.fifo.loopback_level);
        m.ring_head = (m.ring_head + gone) % cap;
        m.fifo.loopback_level -= gone;
        m.loopback_taken += gone;
        m.drop_bytes -= gone;
        if (m.drop_bytes == 0) m.drop_at.reset();
        else m.drop_at = m.loopback_taken;
    }
    size_t n = std::min(length, m.fifo.loopback_level);
    // A transfer ends short before a drop, so that the bytes after it go out in the next one.
    if (m.drop_at && *m.drop_at > m.loopback_taken) n = std::min<uint64_t>(n, *m.drop_at - m.loopback_taken);
    if (n == 0) return {UsbStatus::pending, 0};
    const size_t first = std::min(n, cap - m.ring_head);
    std::memcpy(buffer, &m.ring[m.ring_head], first);
    if (n > first) std::memcpy(buffer + first, &m.ring[0], n - first);
    if (m.corrupt_at && *m.corrupt_at >= m.loopback_taken && *m.corrupt_at - m.loopback_taken < n) {
        buffer[*m.corrupt_at - m.loopback_taken] ^= 0xFF;
        m.corrupt_at.reset();
    }
    m.ring_head = (m.ring_head + n) % cap;
    m.fifo.loopback_level -= n;
    m.loopback_taken += n;
    m.fifo.bytes_in += n;
    return {UsbStatus::ok, n};  // short when the loopback data ran out
}

TransferResult Board::interrupt_in(uint8_t ep, uint8_t* buffer, size_t length) {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    if (ep != ep_notify) return {UsbStatus::stall, 0};
    Impl::ActivityNotice notice{m};
    ++m.interrupt_polls;
    if (m.stall_bulk_count > 0 && m.stall_bulk_ep && *m.stall_bulk_ep == ep) {
        --m.stall_bulk_count;
        return {UsbStatus::stall, 0};
    }
    if (m.take_endpoint_stall(ep)) return {UsbStatus::stall, 0};
    const HostileDecision d = m.hostile_decision(length);
    if (d.action == HostileAction::stall) return {UsbStatus::stall, 0};
    if (d.action == HostileAction::nak) return {UsbStatus::pending, 0};
    if (d.action == HostileAction::garbage) {
        m.hostile->fill(buffer, d.length);
        return {UsbStatus::ok, d.length};
    }
    if (d.action == HostileAction::shorten) length = d.length;  // the message arrives cut
    if (m.notify_queue.empty()) return {UsbStatus::pending, 0};
    Notification n = std::move(m.notify_queue.front());
    m.notify_queue.pop_front();
    const size_t len = std::min(length, n.bytes.size());
    if (len) std::memcpy(buffer, n.bytes.data(), len);
    n.delivered = Clock::now();
    const bool generated = n.generated;
    m.notify_sent.push_back(std::move(n));
    if (generated) {
        m.raised_outstanding = false;
        m.evaluate_interrupts();
    }
    return {UsbStatus::ok, len};
}

void Board::usb_reset() {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    m.claimed.clear();
    for (int i = 0; i < m.video.streams(); ++i) m.video.stop(i);
    m.ring_head = 0;
    m.loopback_taken += m.fifo.loopback_level;
    m.fifo.loopback_level = 0;
}

bool Board::wait_for_host(HostActivity what, Clock::time_point deadline, std::stop_token stop) {
    auto& m = *impl_;
    std::unique_lock lock(m.mutex);
    ++m.host_waiters;
    const bool done = m.host_activity.wait_until(lock, stop, deadline, [&] { return m.host_has_done(what); });
    --m.host_waiters;
    return done;
}

void Board::set_data_ready_callback(std::function<void()> callback) {
    std::lock_guard lock(impl_->mutex);
    impl_->data_ready = std::move(callback);
}

// ---- Faults ----

void Board::stall_control(int count, std::optional<uint8_t> bRequest) {
    std::lock_guard lock(impl_->mutex);
    impl_->stall_control_count = count;
    impl_->stall_control_request = bRequest;
}

void Board::nak_i2c(int count) {
    std::lock_guard lock(impl_->mutex);
    impl_->nak_i2c_count = count;
}

void Board::delay_control(int count, std::chrono::milliseconds delay) {
    std::lock_guard lock(impl_->mutex);
    impl_->delay_control_count = count;
    impl_->delay_control_by = delay;
}

void Board::send_notification(std::vector<uint8_t> bytes) {
    std::unique_lock lock(impl_->mutex);
    Notification n;
    n.bytes = std::move(bytes);
    n.queued = Clock::now();
    impl_->notify_queue.push_back(std::move(n));
    impl_->fire_data_ready(lock);
}

void Board::stall_bulk(int count, std::optional<uint8_t> ep) {
    std::unique_lock lock(impl_->mutex);
    impl_->stall_bulk_count = count;
    impl_->stall_bulk_ep = ep;
    impl_->fire_data_ready(lock);  // pending transfers pick the stall up now
}

void Board::corrupt_fifo_byte(uint64_t offset) {
    std::lock_guard lock(impl_->mutex);
    impl_->corrupt_at = offset;
}

void Board::drop_fifo_bytes(uint64_t offset, size_t bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->drop_at = offset;
    impl_->drop_bytes = bytes;
    if (bytes == 0) impl_->drop_at.reset();
}

void Board::set_refuse_claim(bool refuse) {
    std::unique_lock lock(impl_->mutex);
    impl_->config.refuse_claim = refuse;
    if (auto host = impl_->claim_refusal_by_host) {
        lock.unlock();
        host(refuse);
    }
}

void Board::set_fail_string_descriptors(bool fail) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.fail_string_descriptors = fail;
}

void Board::set_camera(CameraBehaviour behaviour) {
    std::lock_guard lock(impl_->mutex);
    impl_->camera = std::move(behaviour);
    impl_->restart_chatter();
}

void Board::set_camera_responder(CameraResponder responder) {
    std::lock_guard lock(impl_->mutex);
    impl_->responder = std::move(responder);
}

void Board::camera_send(std::vector<uint8_t> bytes) {
    std::unique_lock lock(impl_->mutex);
    impl_->deliver_from_camera(bytes);
    if (impl_->evaluate_interrupts()) impl_->fire_data_ready(lock);
}

void Board::drive_gpio_input(int pin, std::optional<bool> level) {
    std::lock_guard lock(impl_->mutex);
    if (pin < 0 || pin > 2) return;
    impl_->gpio.pins[pin].driven = level;
    impl_->gpio.levels = impl_->gpio_levels();
}

void Board::hold_flash_semaphore(int reads) {
    std::lock_guard lock(impl_->mutex);
    impl_->semaphore_hold_reads = reads;
}

void Board::set_debugger_busy(int reads) {
    std::lock_guard lock(impl_->mutex);
    impl_->busy_reads = reads;
}

void Board::set_flash(std::vector<uint8_t> contents) {
    std::lock_guard lock(impl_->mutex);
    contents.resize(flash_size, 0xFF);
    impl_->flash = std::move(contents);
    impl_->crc_cache.reset();
}

void Board::set_fifo_source(FifoSource source) {
    std::unique_lock lock(impl_->mutex);
    impl_->fifo.source = source;
    impl_->ring_head = 0;
    impl_->fifo.loopback_level = 0;
    impl_->fire_data_ready(lock);
}

void Board::short_control_replies(int count, size_t length, std::optional<uint8_t> bRequest) {
    std::lock_guard lock(impl_->mutex);
    impl_->short_control_count = count;
    impl_->short_control_length = length;
    impl_->short_control_request = bRequest;
}

void Board::lie_register(uint8_t reg, std::optional<uint8_t> value) {
    std::lock_guard lock(impl_->mutex);
    if (value) impl_->register_lies[reg] = *value;
    else impl_->register_lies.erase(reg);
}

void Board::stall_endpoint(uint8_t ep, int count) {
    std::unique_lock lock(impl_->mutex);
    if (count > 0) impl_->endpoint_stalls[ep] = count;
    else impl_->endpoint_stalls.erase(ep);
    impl_->fire_data_ready(lock);  // pending transfers pick the stall up now
}

void Board::set_string_descriptor(uint8_t index, std::optional<std::vector<uint8_t>> raw) {
    std::lock_guard lock(impl_->mutex);
    if (raw) impl_->string_overrides[index] = std::move(*raw);
    else impl_->string_overrides.erase(index);
}

void Board::set_chip_configuration(std::vector<uint8_t> record) {
    std::lock_guard lock(impl_->mutex);
    impl_->chip_config = std::move(record);
}

void Board::set_reply_source(std::shared_ptr<ReplySource> source) {
    std::unique_lock lock(impl_->mutex);
    impl_->hostile = std::move(source);
    impl_->fire_data_ready(lock);
}

// ---- Introspection ----

std::vector<RequestRecord> Board::request_log() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->log.begin(), impl_->log.end()};
}

void Board::clear_request_log() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

BridgeState Board::bridge() const {
    auto& m = *impl_;
    std::lock_guard lock(m.mutex);
    BridgeState b = m.bridge;
    b.status = static_cast<uint8_t>(st_uart_ready | st_tx_empty | (m.rx.empty() ? 0 : st_rx_data) |
                                    (m.rx_overrun ? st_rx_overrun : 0));
    b.rx_level = static_cast<uint8_t>(m.rx.size());
    b.tx_level = 0;
    b.rx_msg_level = static_cast<uint8_t>(std::min<size_t>(m.rx_messages.size(), 255));
    b.rx_fifo.assign(m.rx.begin(), m.rx.end());
    return b;
}

GpioState Board::gpio() const {
    std::lock_guard lock(impl_->mutex);
    GpioState g = impl_->gpio;
    g.levels = impl_->gpio_levels();
    return g;
}

std::vector<uint8_t> Board::flash() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->flash;
}

uint16_t Board::flash_crc() const {
    std::lock_guard lock(impl_->mutex);
    return crc16_ccitt(impl_->flash);
}

std::vector<uint8_t> Board::program_memory() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->program_memory;
}

std::vector<uint8_t> Board::memory(uint32_t address, size_t length) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        auto it = impl_->ram_pages.find(a >> 12);
        out[i] = it == impl_->ram_pages.end() ? 0 : it->second[a & 0xFFF];
    }
    return out;
}

std::vector<uint8_t> Board::chip_configuration() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->chip_config;
}

std::vector<Notification> Board::notifications_sent() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->notify_sent;
}

size_t Board::notifications_queued() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->notify_queue.size();
}

uint16_t Board::chip_mode() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->chip_mode;
}

bool Board::dfu_requested() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->dfu;
}

FifoState Board::fifo() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->fifo;
}

std::set<int> Board::claimed_interfaces() const {
    std::unique_lock lock(impl_->mutex);
    if (auto host = impl_->claims_held_by_host) {
        lock.unlock();  // the query may block on the host; never with the board locked
        return host();
    }
    return impl_->claimed;
}

void Board::set_claims_held_by_host(std::function<std::set<int>()> query) {
    std::lock_guard lock(impl_->mutex);
    impl_->claims_held_by_host = std::move(query);
}

void Board::set_claim_refusal_by_host(std::function<void(bool)> apply) {
    std::lock_guard lock(impl_->mutex);
    impl_->claim_refusal_by_host = std::move(apply);
}

uvc::StreamState Board::video_stream(int stream) const {
    std::lock_guard lock(impl_->mutex);
    return stream >= 0 && stream < impl_->video.streams() ? impl_->video.state(stream) : uvc::StreamState{};
}

std::vector<std::string> Board::flash_commands() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->flash_log;
}

}  // namespace vboard
