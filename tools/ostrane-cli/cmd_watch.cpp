// `ostrane-cli watch`: boards arriving and departing, live, until a count, a time limit or
// Ctrl-C. Boards already attached are shown first as present.
#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "commands.h"
#include "common.h"

namespace {

using steady = std::chrono::steady_clock;

struct watch_options {
    bool as_json = false;
    std::uint64_t count = 0;
    double seconds = 0;
};

struct plug_event {
    const char* what; // "present", "arrived" or "departed"
    unsigned long uid;
    FT_DEVICE_INFO info;
    steady::time_point at;
    std::chrono::system_clock::time_point wall;
};

// Static: the library calls back on detached threads that may outlive the command.
struct watch_state {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<plug_event> queue;
    bool registering = false;
};
watch_state& watch_state_instance()
{
    // Never destroyed: a detached hot-plug thread may still signal it while the process exits.
    static auto* s = new watch_state;
    return *s;
}

void on_board_change(unsigned long uid, FT_DEVICE_INFO* info, bool arrived, void* context)
{
    auto* s = static_cast<watch_state*>(context);
    if (info == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        // Registration replays the boards already listed before it returns.
        const char* what = !arrived ? "departed" : s->registering ? "present" : "arrived";
        s->queue.push_back({what, uid, *info, steady::now(), std::chrono::system_clock::now()});
    }
    s->wake.notify_one();
}

std::string text(const char (&field)[32])
{
    return std::string(field, strnlen(field, sizeof field));
}

int run_watch(const watch_options& o)
{
    cli::catch_interrupts();
    watch_state& s = watch_state_instance();
    // The first list makes the library scan the bus, so that registration can replay it.
    std::uint32_t listed = 0;
    if (const FT_RESULT rc = FT_CreateDeviceInfoList(&listed); rc != STATUS_SUCCESS)
        cli::fail_status("list the boards", rc);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.registering = true;
    }
    const auto start = steady::now();
    if (!FT_SetHotplugCallback(on_board_change, &s, false))
        cli::fail(cli::exit_device, "watch: hot-plug notification is not available "
                                    "(STATUS_UNSUPPORTED): libusb on this system does not report "
                                    "arrivals; use `ostrane-cli list` instead");
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.registering = false;
    }
    if (!o.as_json)
        fmt::print("watching for boards; Ctrl-C stops\n");
    std::fflush(stdout);
    const auto deadline = o.seconds > 0 ? start + std::chrono::duration_cast<steady::duration>(
                                                      std::chrono::duration<double>(o.seconds))
                                        : steady::time_point::max();
    std::uint64_t changes = 0;
    std::string end = "interrupted";
    for (;;) {
        std::unique_lock<std::mutex> guard(s.lock);
        s.wake.wait_for(guard, std::chrono::milliseconds(100), [&] { return !s.queue.empty(); });
        std::deque<plug_event> batch;
        batch.swap(s.queue);
        guard.unlock();
        for (const auto& e : batch) {
            const bool change = std::strcmp(e.what, "present") != 0;
            if (change && o.count != 0 && changes == o.count)
                break;
            changes += change ? 1 : 0;
            const double elapsed = std::chrono::duration<double>(e.at - start).count();
            if (o.as_json)
                cli::print_json_line({{"time", cli::wall_time_text(e.wall)},
                                      {"elapsed", elapsed},
                                      {"event", e.what},
                                      {"uid", e.uid},
                                      {"vid", fmt::format("{:04X}", e.info.id >> 16)},
                                      {"pid", fmt::format("{:04X}", e.info.id & 0xFFFF)},
                                      {"serial_number", text(e.info.serial_number)},
                                      {"description", text(e.info.description)}});
            else
                fmt::print("{}  +{:.3f} s  {:<8} {:04X}:{:04X} {} {}\n", cli::wall_time_text(e.wall),
                           elapsed, e.what, e.info.id >> 16, e.info.id & 0xFFFF,
                           text(e.info.serial_number), text(e.info.description));
        }
        std::fflush(stdout);
        if (o.count != 0 && changes >= o.count) {
            end = "count";
            break;
        }
        if (cli::interrupted())
            break;
        if (steady::now() >= deadline) {
            end = "time";
            break;
        }
    }
    FT_SetHotplugCallback(on_board_change, &s, true);
    const double total = std::chrono::duration<double>(steady::now() - start).count();
    if (o.as_json)
        cli::print_json_line({{"changes", changes}, {"seconds", total}, {"end", end}});
    else
        fmt::print("{} arrival(s) and departure(s) in {:.1f} s ({})\n", changes, total, end);
    return 0;
}

} // namespace

void add_watch_command(CLI::App& app)
{
    auto* cmd = app.add_subcommand("watch", "Show boards arriving and departing, live");
    auto o = std::make_shared<watch_options>();
    cmd->add_option("--count", o->count, "Stop after this many arrivals and departures")
        ->transform(cli::whole_number(0, UINT64_MAX >> 1, "a count"));
    cmd->add_option("--seconds", o->seconds, "Stop after this many seconds")
        ->check(cli::positive_seconds());
    cmd->add_flag("--json", o->as_json, "Print one JSON object per line");
    // Before the exit-status table that every subcommand shows.
    cmd->footer([] { return std::string("Ctrl-C stops watching cleanly (exit status 0).\n"); });
    cli::on_run(cmd, [o] { return run_watch(*o); });
}
