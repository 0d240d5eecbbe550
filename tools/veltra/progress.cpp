// Progress bars: at most ten redraws a second, and the final state always.
#include "progress.hpp"

#include <cstdio>
#include <ostream>

#include "internal.hpp"

namespace veltra::tool {
namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedraw = std::chrono::milliseconds(100);

std::string megabytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

std::int64_t expected_size(const std::string& pathname) {
    const std::string name(ecr_base_name(std::string_view(pathname)));
    for (const TableFormat& f : {kReparti, kPlu, kClienti, kFatture}) {
        if (name == f.file) return f.file_size();
    }
    return -1;
}

namespace {

// "[#####.....] " and the percentage of done in total (total > 0).
std::string bar_text(std::int64_t done, std::int64_t total) {
    const std::int64_t shown = done < total ? done : total;
    const int filled = static_cast<int>(shown * kBarWidth / total);
    // Appended piece by piece: GCC 12 at -O3 warns falsely on `"[" + std::string` chains.
    std::string line;
    line.append("[").append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBarWidth - filled), '.').append("] ");
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(shown * 100 / total));
    return line + pct;
}

}  // namespace

std::string step_line(const std::string& what, std::int64_t done, std::int64_t total,
                      double seconds) {
    std::string line = what + " ";
    if (total <= 0) return line + std::to_string(done) + " " + what;
    line.append(bar_text(done, total))
        .append("  ")
        .append(std::to_string(done))
        .append("/")
        .append(std::to_string(total))
        .append(" ")
        .append(what);
    if (done > 0 && done < total) {
        const double left = seconds / static_cast<double>(done) * static_cast<double>(total - done);
        line.append("  ").append(clock_text(left)).append(" left");
    } else if (done >= total) {
        line.append("  ").append(clock_text(seconds)).append(" total");
    }
    return line;
}

std::string progress_line(const std::string& name, std::int64_t done, std::int64_t total,
                          double seconds) {
    std::string line = name + " ";
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    if (total > 0) {
        line.append(bar_text(done, total))
            .append("  ")
            .append(megabytes(done))
            .append("/")
            .append(megabytes(total))
            .append(" MB");
    } else {
        line += megabytes(done) + " MB";
    }
    line += "  " + megabytes(static_cast<std::int64_t>(rate)) + " MB/s";
    if (total > 0 && rate > 0 && done < total) {
        line += "  " + clock_text(static_cast<double>(total - done) / rate) + " left";
    } else if (total > 0 && done >= total) {
        line += "  " + clock_text(seconds) + " total";
    }
    return line;
}

ProgressBar::ProgressBar(Context& ctx) : ctx_(ctx) {
    if (ctx_.progress_enabled()) {
        set_transfer_observer(&ProgressBar::observe, this);
        set_step_observer(&ProgressBar::observe_step, this);
    }
}

ProgressBar::~ProgressBar() {
    if (ctx_.progress_enabled()) {
        set_transfer_observer(nullptr, nullptr);
        set_step_observer(nullptr, nullptr);
    }
    finish();
}

void ProgressBar::finish() {
    if (drawn_) ctx_.err() << "\n" << std::flush;
    drawn_ = false;
    active_ = false;
}

void ProgressBar::observe(void* self, const TransferProgress& p) {
    static_cast<ProgressBar*>(self)->update(p);
}

void ProgressBar::update(const TransferProgress& p) {
    const Clock::time_point now = Clock::now();
    const std::string name(ecr_base_name(std::string_view(p.pathname)));
    // A file of whole blocks ends with an empty one, which reports the
    // finished size again: the bar is done already.
    if (p.done != 0 && !active_ && name == completed_) return;
    completed_.clear();
    if (p.done == 0 || !active_ || name != name_) {
        // A new transfer (or a start-over) begins a new bar.
        finish();
        active_ = true;
        name_ = name;
        total_ = p.total >= 0 ? p.total : expected_size(p.pathname);
        started_ = now;
        last_draw_ = Clock::time_point{};
    }
    const bool large = total_ >= kProgressMinBytes || p.done >= kProgressMinBytes;
    const bool last = total_ >= 0 && p.done >= total_;
    if (!large || (!last && now - last_draw_ < kRedraw)) return;
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    ctx_.err() << "\r" << progress_line(name_, p.done, total_, seconds) << "   " << std::flush;
    drawn_ = true;
    if (last) {
        finish();
        completed_ = name_;
    }
}

void ProgressBar::observe_step(void* self, const StepProgress& p) {
    static_cast<ProgressBar*>(self)->update_step(p);
}

void ProgressBar::update_step(const StepProgress& p) {
    const Clock::time_point now = Clock::now();
    if (p.done == 0) {
        steps_started_ = now;
        last_step_draw_ = Clock::time_point{};
    }
    const bool last = p.done >= p.total;
    if (!last && now - last_step_draw_ < kRedraw) return;
    last_step_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - steps_started_).count();
    ctx_.err() << "\r" << step_line(p.what, p.done, p.total, seconds) << "   " << std::flush;
    drawn_ = true;
    if (last) finish();
}

}  // namespace veltra::tool
