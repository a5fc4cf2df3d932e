// `ostrane-cli monitor`: the notifications a board's chip sends on its interrupt endpoint, live,
// with time stamps and a count, until a count, a time limit, Ctrl-C or the board's unplugging.
#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "commands.h"
#include "common.h"

namespace {

using steady = std::chrono::steady_clock;

struct monitor_options {
    cli::board_selector which;
    bool as_json = false;
    std::uint64_t count = 0;
    double seconds = 0;
};

struct notification {
    int type;
    steady::time_point at;
    std::chrono::system_clock::time_point wall;
};

// Filled by the library's threads, drained by the main thread. Static: hot-plug callbacks run on
// detached threads that may still be finishing when the command returns.
struct monitor_state {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<notification> queue;
    bool gone = false;
    std::string serial;
};
monitor_state& state()
{
    // Never destroyed: a detached hot-plug thread may still signal it while the process exits.
    static auto* s = new monitor_state;
    return *s;
}

// Event thread: only queue, never block it.
void on_notification(void* context, int type, void*)
{
    auto* s = static_cast<monitor_state*>(context);
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->queue.push_back({type, steady::now(), std::chrono::system_clock::now()});
    }
    s->wake.notify_one();
}

void on_hotplug(unsigned long, FT_DEVICE_INFO* info, bool arrived, void* context)
{
    auto* s = static_cast<monitor_state*>(context);
    if (arrived || info == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        if (std::string(info->serial_number, strnlen(info->serial_number, sizeof info->serial_number)) !=
            s->serial)
            return;
        s->gone = true;
    }
    s->wake.notify_one();
}

int run_monitor(const monitor_options& o)
{
    cli::catch_interrupts();
    cli::board b(o.which);
    monitor_state& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.serial = b.listing().serial();
        s.gone = false;
        s.queue.clear();
    }
    // Unplugging ends the notification transfer silently: the departure is the signal. Where no
    // hot-plug events reach this process (no udev, as in some containers), sysfs still shows it.
    const bool watching_unplug = FT_SetHotplugCallback(on_hotplug, &s, false);
    const std::optional<cli::usb_node> node = cli::usb_node_of(b.listing().info);
    auto next_sysfs_check = steady::now();
    // Before the registration: it may deliver at once what came since the open.
    const auto start = steady::now();
    if (const FT_RESULT rc = FT_SetNotificationCallback(b.handle(), on_notification, &s);
        rc != STATUS_SUCCESS)
        cli::fail_status("receive notifications from " + b.name(), rc);

    const auto deadline = o.seconds > 0 ? start + std::chrono::duration_cast<steady::duration>(
                                                      std::chrono::duration<double>(o.seconds))
                                        : steady::time_point::max();
    if (!o.as_json)
        fmt::print("monitoring {}; Ctrl-C stops\n", b.name());
    std::fflush(stdout);
    std::uint64_t seen = 0;
    std::string end = "interrupted";
    for (;;) {
        std::unique_lock<std::mutex> guard(s.lock);
        // Ctrl-C cannot notify the condition: wake often enough to see it.
        s.wake.wait_for(guard, std::chrono::milliseconds(100),
                        [&] { return !s.queue.empty() || s.gone; });
        std::deque<notification> batch;
        batch.swap(s.queue);
        bool gone = s.gone;
        guard.unlock();
        for (const auto& n : batch) {
            if (o.count != 0 && seen == o.count)
                break;
            ++seen;
            const double elapsed = std::chrono::duration<double>(n.at - start).count();
            if (o.as_json)
                cli::print_json_line({{"time", cli::wall_time_text(n.wall)},
                                      {"elapsed", elapsed},
                                      {"count", seen},
                                      {"type", n.type}});
            else
                fmt::print("{}  +{:.6f} s  notification {} (type {})\n",
                           cli::wall_time_text(n.wall), elapsed, seen, n.type);
        }
        std::fflush(stdout);
        if (o.count != 0 && seen >= o.count) {
            end = "count";
            break;
        }
        if (node && steady::now() >= next_sysfs_check) {
            next_sysfs_check = steady::now() + std::chrono::milliseconds(500);
            gone = gone || !cli::still_attached(*node);
        }
        if (gone) {
            end = "unplugged";
            break;
        }
        if (cli::interrupted())
            break;
        if (steady::now() >= deadline) {
            end = "time";
            break;
        }
    }
    FT_ClearNotificationCallback(b.handle());
    if (watching_unplug)
        FT_SetHotplugCallback(on_hotplug, &s, true);
    const double total = std::chrono::duration<double>(steady::now() - start).count();
    if (o.as_json)
        cli::print_json_line({{"notifications", seen}, {"seconds", total}, {"end", end}});
    else
        fmt::print("{} notification(s) in {:.1f} s ({})\n", seen, total, end);
    std::fflush(stdout);
    if (end == "unplugged")
        cli::fail(cli::exit_interrupted,
                  fmt::format("monitor {}: the board was unplugged (STATUS_DEVICE_GONE): plug it in "
                              "and start the monitor again",
                              b.name()));
    return 0;
}

} // namespace

void add_monitor_command(CLI::App& app)
{
    auto* cmd = app.add_subcommand(
        "monitor", "Show the chip's notifications live, with time stamps and a count");
    auto o = std::make_shared<monitor_options>();
    cmd->add_option("--count", o->count, "Stop after this many notifications")
        ->transform(cli::whole_number(0, UINT64_MAX >> 1, "a count"));
    cmd->add_option("--seconds", o->seconds, "Stop after this many seconds")
        ->check(cli::positive_seconds());
    o->which.add_to(cmd);
    cmd->add_flag("--json", o->as_json, "Print one JSON object per line");
    // Before the exit-status table that every subcommand shows.
    cmd->footer([] {
        return std::string("Ctrl-C stops the monitor cleanly (exit status 0); an unplugged board "
                           "ends it with exit status 6.\n");
    });
    cli::on_run(cmd, [o] { return run_monitor(*o); });
}
