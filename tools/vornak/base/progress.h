// SPDX-License-Identifier: MIT
// Progress of a long pack on standard error: bytes read and written, percent
// and rate on one line that is redrawn in place. Shown only on a terminal and
// never with --quiet, so that scripts and logs see nothing of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vornak {

struct ProgressState {
    uint64_t read_bytes = 0;     // file contents and entry headers fed to the compressor
    uint64_t total_bytes = 0;    // the whole entry stream
    uint64_t written_bytes = 0;  // payload bytes written so far
    double seconds = 0;          // since the pack started
};

// One line without line end, e.g.
// "vornak: packing  37% | 183.2 of 494.3 MiB read | 45.1 MiB written | 12.3 MiB/s";
// done gives "vornak: packed 100% | ... | 40.2 s".
std::string format_progress(const ProgressState &state, bool done);

// True when progress should be shown on fd: it is a terminal and not quiet.
bool progress_wanted(bool quiet, int fd);

// Draws format_progress at most every interval, and once more at finish().
// A meter that is not enabled does nothing at all. Destroying a meter whose
// line was drawn but not finished (a failed pack) ends that line, so that an
// error message starts on a line of its own.
class ProgressMeter {
public:
    ProgressMeter(bool enabled, uint64_t total_bytes, std::FILE *out, double interval_seconds = 0.25);
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter &) = delete;
    ProgressMeter &operator=(const ProgressMeter &) = delete;

    void add_read(uint64_t bytes);
    void add_written(uint64_t bytes);
    void finish();

private:
    void draw(bool done);
    void maybe_draw();

    bool enabled_;
    std::FILE *out_;
    double interval_;
    ProgressState state_;
    std::chrono::steady_clock::time_point start_;
    double last_draw_ = -1;
    bool line_open_ = false;
};

}  // namespace vornak
