// SPDX-License-Identifier: MIT
// Writes the attached payload: "QOZ", one zstd frame holding the entry
// stream, seven zero bytes, and the u64 trailer holding its own offset.
// Files are streamed through the compressor; nothing holds the whole tree.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/vornak/payload/tree.h"

namespace vornak {

// zstd's smallest window.
constexpr unsigned MIN_WINDOW_LOG = 10;

// Chosen from bench/BENCHMARKS.md: on the benchmark application level 9
// packs in about 6 s on two cores and is 18 % larger than level 19, which
// takes over two minutes; the launcher starts as fast from either.
constexpr int DEFAULT_LEVEL = 9;

struct PackOptions {
    int level = DEFAULT_LEVEL;  // zstd compression level, 1..22
    int threads = 0;  // zstd worker threads; 0: one per core. The output is the same for any count.
    bool progress = false;  // draw a progress line on stderr (see progress.h)
    FolderFilter filter;    // what pack_folder leaves out; it adds the output itself
};

struct PackResult {
    uint64_t entries = 0;
    uint64_t stream_bytes = 0;   // decoded size of the entry stream
    uint64_t payload_bytes = 0;  // L, the whole payload file
    unsigned window_log = 0;
    std::vector<std::string> empty_folders;  // from pack_folder: folders dropped for holding no file
    uint64_t excluded = 0;                    // files and folders the filter left out
};

// Decoded size of the entry stream for these entries, terminator included.
uint64_t entry_stream_bytes(const std::vector<PackEntry> &entries);

// The smallest window log >= 10 whose window covers stream_bytes, capped at
// PAYLOAD_WINDOW_LOG_MAX, the most the launcher's decoder accepts.
unsigned choose_window_log(uint64_t stream_bytes);

// Writes the payload for entries to output (committed only when complete).
// Throws Error when a file cannot be read, changed size since the walk, or
// the output cannot be written; no output is left behind then.
PackResult write_payload(const std::vector<PackEntry> &entries, const PackOptions &options,
                         const std::string &output);

// scan_folder followed by write_payload. The output file is left out of the
// folder's files wherever it appears, so that packing into the folder
// itself never carries an earlier output. check, when given, sees the
// entries before anything is written and refuses them by throwing.
PackResult pack_folder(const std::string &app_dir, const std::string &dll, const PackOptions &options,
                       const std::string &output,
                       const std::function<void(const std::vector<PackEntry> &)> &check = {});

}  // namespace vornak
