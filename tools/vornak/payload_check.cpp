// SPDX-License-Identifier: MIT
// Checks a payload file given to `vornak build --payload`, through the
// tool's one payload reader and the packer's own name rules.
#include "tools/vornak/payload_check.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <cstdint>

#include "payload/format.h"
#include "tools/vornak/error.h"
#include "tools/vornak/payload_reader.h"
#include "tools/vornak/pe_reader.h"
#include "tools/vornak/tree.h"

namespace vornak {

void check_payload_file(const std::string &path) {
    std::string where = "payload '" + printable(path) + "': ";
    MappedFile file(path);
    if (file.size() <= PAYLOAD_MAGIC_BYTES + PAYLOAD_ZERO_FILL_BYTES + PAYLOAD_TRAILER_BYTES)
        throw Error(where + "too short (" + std::to_string(file.size()) +
                    " bytes) for magic, frame, zero fill and trailer");
    PayloadParts parts = locate_payload(ByteView{file.data(), file.size()});
    if (parts.problem == PayloadParts::NO_MAGIC)
        throw Error(where + "does not start with \"" + PAYLOAD_MAGIC + "\"");
    if (parts.problem == PayloadParts::NO_FRAME)
        throw Error(where + "what follows \"" + PAYLOAD_MAGIC + "\" is not a zstd frame: " + parts.frame_error);
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, parts.frame, parts.frame_bytes) != 0 || header.frameType != ZSTD_frame)
        throw Error(where + "what follows \"" + PAYLOAD_MAGIC + "\" is a skippable frame, not a zstd frame");
    if (header.windowSize > uint64_t{1} << PAYLOAD_WINDOW_LOG_MAX)
        throw Error(where + "the zstd frame needs a window of " + std::to_string(header.windowSize) +
                    " bytes; the launcher decodes at most " + std::to_string(uint64_t{1} << PAYLOAD_WINDOW_LOG_MAX));
    // A second frame, or anything else between frame and trailer, shows here.
    if (!parts.tail_correct || parts.payload_bytes != file.size())
        throw Error(where + "its one zstd frame must be followed by seven zero bytes and the trailer, the 64-bit "
                            "value " + std::to_string(parts.trailer_offset) + ", at the end of the file");
    uint64_t entries = 0;
    EntryNameSet names;
    try {
        read_payload_entries(parts.frame, parts.frame_bytes, [&](const PayloadEntry &entry, EntryData &) {
            ++entries;
            std::string problem = names.add(entry.name);
            if (!problem.empty())
                throw Error("entry " + std::to_string(entries) + " '" + printable(entry.name) + "' " + problem);
        });
    } catch (const Error &e) {
        throw Error(where + e.what());
    }
    if (entries == 0) throw Error(where + "the entry stream holds no entries; the first must be the application DLL");
}

}  // namespace vornak
