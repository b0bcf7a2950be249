// SPDX-License-Identifier: MIT
// The pack's progress line. Redrawn with a carriage return and an erase to
// the end of the line, since a line may be shorter than the one before.
#include "tools/vornak/base/progress.h"

#include <unistd.h>

namespace vornak {

namespace {

double mib(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

std::string format_progress(const ProgressState &s, bool done) {
    unsigned percent = s.total_bytes == 0 ? 100 : static_cast<unsigned>(s.read_bytes * 100 / s.total_bytes);
    if (percent > 100) percent = 100;
    double rate = s.seconds > 0 ? mib(s.read_bytes) / s.seconds : 0;
    char line[256];
    int n = std::snprintf(line, sizeof line, "vornak: %s %3u%% | %.1f of %.1f MiB read | %.1f MiB written | %.1f MiB/s",
                          done ? "packed " : "packing", percent, mib(s.read_bytes), mib(s.total_bytes),
                          mib(s.written_bytes), rate);
    std::string text(line, n > 0 ? static_cast<size_t>(n) : 0);
    if (done) {
        std::snprintf(line, sizeof line, " | %.1f s", s.seconds);
        text += line;
    }
    return text;
}

bool progress_wanted(bool quiet, int fd) { return !quiet && ::isatty(fd) == 1; }

ProgressMeter::ProgressMeter(bool enabled, uint64_t total_bytes, std::FILE *out, double interval_seconds)
    : enabled_(enabled), out_(out), interval_(interval_seconds), start_(std::chrono::steady_clock::now()) {
    state_.total_bytes = total_bytes;
}

ProgressMeter::~ProgressMeter() {
    if (enabled_ && line_open_) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
}

void ProgressMeter::add_read(uint64_t bytes) {
    if (!enabled_) return;
    state_.read_bytes += bytes;
    maybe_draw();
}

void ProgressMeter::add_written(uint64_t bytes) {
    if (!enabled_) return;
    state_.written_bytes += bytes;
    maybe_draw();
}

void ProgressMeter::finish() {
    if (!enabled_) return;
    draw(true);
    std::fputc('\n', out_);
    std::fflush(out_);
    line_open_ = false;
    enabled_ = false;
}

void ProgressMeter::maybe_draw() {
    double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (last_draw_ >= 0 && now - last_draw_ < interval_) return;
    last_draw_ = now;
    draw(false);
}

void ProgressMeter::draw(bool done) {
    state_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(out_, "\r%s\033[K", format_progress(state_, done).c_str());
    std::fflush(out_);
    line_open_ = true;
}

}  // namespace vornak
