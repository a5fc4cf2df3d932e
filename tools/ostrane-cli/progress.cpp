#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <string>

namespace cli {

progress_bar::progress_bar(std::FILE* out, std::uint64_t total, std::uint64_t min_total)
    : out_(out), total_(total), enabled_(isatty(fileno(out)) != 0 && total >= min_total),
      start_(std::chrono::steady_clock::now())
{
}

progress_bar::~progress_bar()
{
    finish();
}

void progress_bar::update(std::uint64_t done, bool force)
{
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - last_ < std::chrono::milliseconds(200))
        return;
    last_ = now;
    drawn_ = true;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    constexpr int width = 30;
    if (total_ == 0) {
        std::fprintf(out_, "\r%10.1f MB  %8.1f MB/s   ", static_cast<double>(done) / 1e6, rate / 1e6);
    } else {
        const double frac = std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
        const int filled = static_cast<int>(frac * width);
        const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                                std::string(static_cast<std::size_t>(width - filled), '.');
        const double left = rate > 0 ? static_cast<double>(total_ - std::min(done, total_)) / rate : 0.0;
        std::fprintf(out_, "\r[%s] %3d%%  %8.1f MB/s  ETA %4.0f s   ", bar.c_str(),
                     static_cast<int>(frac * 100), rate / 1e6, left);
    }
    std::fflush(out_);
}

void progress_bar::finish()
{
    if (enabled_ && drawn_) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    drawn_ = false;
    enabled_ = false;
}

} // namespace cli
