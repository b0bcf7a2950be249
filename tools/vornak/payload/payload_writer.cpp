// SPDX-License-Identifier: MIT
// The payload producer. The frame carries no content size and no dictionary
// id, but zstd's content checksum, which the launcher, extract and inspect
// verify at the frame's end; its window never exceeds what the launcher's
// default-parameter decoder accepts.
#include "tools/vornak/payload/payload_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <memory>
#include <thread>

#include <zstd.h>

#include "payload/format.h"
#include "tools/vornak/base/bytes.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/base/progress.h"
#include "tools/vornak/base/utf.h"

namespace vornak {

namespace {

constexpr size_t READ_CHUNK_BYTES = 1 << 20;

// How a frame is cut into jobs for the worker threads. zstd's own choice
// for the strong levels is one job of four windows with a whole window of
// overlap, and a job is never smaller than its overlap: for any payload of
// up to 512 MiB that is a single job, so more threads would change nothing.
// Instead: about JOBS_WANTED jobs (each a power of two from 4 MiB up to four
// windows), each reloading a quarter of its own size from the job before,
// which keeps most of the ratio at a quarter more work. The cut depends on
// the input alone, never on the thread count: zstd's multithreaded frames
// are then the same bytes whatever the number of workers.
constexpr uint64_t JOBS_WANTED = 16;

struct WorkerJobs {
    uint64_t job_bytes;
    int overlap_log;  // the overlap is window >> (9 - overlap_log); 9 is the whole window
};

WorkerJobs worker_jobs(uint64_t stream_bytes, unsigned window_log) {
    const unsigned min_log = 22, max_log = window_log + 2;
    uint64_t target = stream_bytes / JOBS_WANTED;
    unsigned job_log = min_log;
    while (job_log < max_log && (uint64_t{1} << job_log) < target) ++job_log;
    int overlap_log = 7 + static_cast<int>(job_log) - static_cast<int>(window_log);
    if (overlap_log > 9) overlap_log = 9;
    if (overlap_log < 2) overlap_log = 2;
    return {uint64_t{1} << job_log, overlap_log};
}

// One worker per core, within what zstd takes.
int default_thread_count() {
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(std::min(cores, 64u));
}

void check_zstd(size_t rc, const char *what) {
    if (ZSTD_isError(rc)) throw Error(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(rc));
}

// One zstd frame written through to an output file.
class FrameWriter {
public:
    FrameWriter(OutputFile &out, ProgressMeter &meter, const PackOptions &options, unsigned window_log,
                uint64_t stream_bytes)
        : out_(out), meter_(meter), cctx_(ZSTD_createCCtx(), &ZSTD_freeCCtx), buffer_(ZSTD_CStreamOutSize(), '\0') {
        if (!cctx_) throw Error("zstd: cannot allocate a compression context");
        check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, options.level),
                   "compression level");
        check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_windowLog, static_cast<int>(window_log)),
                   "window log");
        check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_contentSizeFlag, 0), "content size flag");
        check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_checksumFlag, 1), "checksum flag");
        check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_dictIDFlag, 0), "dictionary id flag");
        // The exact size lets zstd size its tables to the input (a small
        // folder packs in milliseconds at level 19); with the content size
        // flag off the size is not written, and a file that changed size
        // makes the frame fail instead of coming out different.
        check_zstd(ZSTD_CCtx_setPledgedSrcSize(cctx_.get(), stream_bytes), "pledged size");
        // Always zstd's multithreaded mode, one worker included: its frames
        // differ from the single-thread mode's, and the output must not
        // depend on how many threads made it.
        int workers = options.threads > 0 ? options.threads : default_thread_count();
        size_t rc = ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_nbWorkers, workers);
        if (ZSTD_isError(rc))
            throw Error("zstd: cannot use " + std::to_string(workers) + " worker threads: " + ZSTD_getErrorName(rc));
        WorkerJobs jobs = worker_jobs(stream_bytes, window_log);
        check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_jobSize, static_cast<int>(jobs.job_bytes)), "job size");
        check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_overlapLog, jobs.overlap_log), "overlap log");
    }

    void write(const void *data, size_t bytes) {
        run(data, bytes, ZSTD_e_continue);
        meter_.add_read(bytes);
    }
    void finish() { run(nullptr, 0, ZSTD_e_end); }
    uint64_t frame_bytes() const { return frame_bytes_; }

private:
    void run(const void *data, size_t bytes, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in{data, bytes, 0};
        for (;;) {
            ZSTD_outBuffer o{&buffer_[0], buffer_.size(), 0};
            size_t rc = ZSTD_compressStream2(cctx_.get(), &o, &in, mode);
            check_zstd(rc, "compression failed");
            out_.write(o.dst, o.pos);
            frame_bytes_ += o.pos;
            if (o.pos > 0) meter_.add_written(o.pos);
            // continue: done once the input is taken; end: once the frame is flushed.
            if (mode == ZSTD_e_end ? rc == 0 : in.pos == in.size) break;
        }
    }

    OutputFile &out_;
    ProgressMeter &meter_;
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx_;
    std::string buffer_;
    uint64_t frame_bytes_ = 0;
};

void write_entry_data(FrameWriter &frame, const PackEntry &entry, std::string &chunk) {
    std::string shown = printable(entry.path);
    int fd = ::open(entry.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        throw Error("cannot open '" + shown + "': " + errno_text(err));
    }
    std::unique_ptr<int, void (*)(int *)> guard(&fd, [](int *f) { ::close(*f); });
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != entry.size)
        throw Error("'" + shown + "' changed while it was being packed");
    uint64_t remaining = entry.size;
    while (remaining > 0) {
        size_t want = remaining < chunk.size() ? static_cast<size_t>(remaining) : chunk.size();
        ssize_t n = ::read(fd, &chunk[0], want);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            throw Error("cannot read '" + shown + "': " + errno_text(err));
        }
        if (n == 0) throw Error("'" + shown + "' changed while it was being packed");
        frame.write(chunk.data(), static_cast<size_t>(n));
        remaining -= static_cast<uint64_t>(n);
    }
    char extra;
    if (::read(fd, &extra, 1) > 0) throw Error("'" + shown + "' changed while it was being packed");
}

}  // namespace

uint64_t entry_stream_bytes(const std::vector<PackEntry> &entries) {
    uint64_t total = 2;  // terminator
    for (const PackEntry &e : entries) total += 2 * (e.name.size() + 1) + 8 + e.size;
    return total;
}

unsigned choose_window_log(uint64_t stream_bytes) {
    unsigned log = MIN_WINDOW_LOG;
    while (log < PAYLOAD_WINDOW_LOG_MAX && (uint64_t{1} << log) < stream_bytes) ++log;
    return log;
}

PackResult write_payload(const std::vector<PackEntry> &entries, const PackOptions &options,
                         const std::string &output) {
    if (options.level < 1 || options.level > ZSTD_maxCLevel())
        throw Error("--level must be between 1 and " + std::to_string(ZSTD_maxCLevel()));
    if (options.threads < 0) throw Error("--threads must not be negative");

    PackResult result;
    result.entries = entries.size();
    result.stream_bytes = entry_stream_bytes(entries);
    result.window_log = choose_window_log(result.stream_bytes);

    OutputFile out(output);
    ProgressMeter meter(options.progress, result.stream_bytes, stderr);
    out.write(PAYLOAD_MAGIC, PAYLOAD_MAGIC_BYTES);
    FrameWriter frame(out, meter, options, result.window_log, result.stream_bytes);
    std::string chunk(READ_CHUNK_BYTES, '\0');
    std::string header;
    for (const PackEntry &e : entries) {
        header = utf16le_bytes(e.name);
        header.append(2, '\0');
        put_le64(header, e.size);
        frame.write(header.data(), header.size());
        write_entry_data(frame, e, chunk);
    }
    frame.write("\0\0", 2);
    frame.finish();

    std::string tail(PAYLOAD_ZERO_FILL_BYTES, '\0');
    put_le64(tail, PAYLOAD_MAGIC_BYTES + frame.frame_bytes() + PAYLOAD_ZERO_FILL_BYTES);
    out.write(tail.data(), tail.size());
    result.payload_bytes = out.bytes_written();
    out.commit(0666);
    meter.finish();
    return result;
}

PackResult pack_folder(const std::string &app_dir, const std::string &dll, const PackOptions &options,
                       const std::string &output, const std::function<void(const std::vector<PackEntry> &)> &check) {
    FolderFilter filter = options.filter;
    filter.leave_out.push_back(output);
    FolderScan scan = scan_folder(app_dir, dll, filter);
    if (check) check(scan.entries);
    PackResult result = write_payload(scan.entries, options, output);
    result.empty_folders = std::move(scan.empty_folders);
    result.excluded = scan.excluded.size();
    return result;
}

}  // namespace vornak
