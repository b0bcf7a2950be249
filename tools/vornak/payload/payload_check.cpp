// SPDX-License-Identifier: MIT
// Checks a payload file given to `vornak build --payload` the way the
// launcher reads it, with the packer's own rules for names: the file is
// mapped, its parts found and its entries decoded by the tool's one payload
// reader, so that this check, inspect and extract agree on what a payload is.
#include "tools/vornak/payload/payload_check.h"

#include <cstdint>
#include <string>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include "payload/format.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/payload/payload_reader.h"
#include "tools/vornak/pe/pe_reader.h"
#include "tools/vornak/payload/tree.h"
#include "tools/vornak/base/utf.h"

namespace vornak {

namespace {

constexpr size_t TAIL_BYTES = PAYLOAD_ZERO_FILL_BYTES + PAYLOAD_TRAILER_BYTES;

// The zero fill and the trailer, read from the file's end: they must close
// the file, whatever the frame before them holds.
void check_tail(ByteView file, const std::string &where) {
    uint64_t trailer_at = file.n - PAYLOAD_TRAILER_BYTES;
    uint64_t trailer = file.u64(trailer_at);
    if (trailer != trailer_at)
        throw Error(where + "the trailer holds " + std::to_string(trailer) + ", not its own offset " +
                    std::to_string(trailer_at));
    for (size_t i = file.n - TAIL_BYTES; i < trailer_at; ++i)
        if (file.p[i] != 0) throw Error(where + "the seven bytes before the trailer are not all zero");
}

// Exactly one zstd frame (no skippable one) between the magic and the zero
// fill, with a window the launcher's decoder accepts.
void check_frame(ByteView file, const PayloadParts &parts, const std::string &where) {
    if (parts.problem == PayloadParts::NO_FRAME)
        throw Error(where + "what follows \"" + PAYLOAD_MAGIC + "\" is not a whole zstd frame (" + parts.frame_error + ")");
    ZSTD_frameHeader header;
    size_t rc = ZSTD_getFrameHeader(&header, parts.frame, parts.frame_bytes);
    if (ZSTD_isError(rc) || rc != 0 || header.frameType != ZSTD_frame)
        throw Error(where + "what follows \"" + PAYLOAD_MAGIC + "\" is not a zstd frame");
    if (parts.payload_bytes != file.n)
        throw Error(where + "more than one zstd frame, or other data, lies before the zero fill");
    if (header.windowSize > (uint64_t{1} << PAYLOAD_WINDOW_LOG_MAX))
        throw Error(where + "the zstd frame needs a window of " + std::to_string(header.windowSize) +
                    " bytes; the launcher decodes at most " + std::to_string(uint64_t{1} << PAYLOAD_WINDOW_LOG_MAX));
}

}  // namespace

void check_payload_file(const std::string &path) {
    std::string where = "payload '" + printable(path) + "': ";
    MappedFile mapped(path);
    ByteView file{mapped.data(), mapped.size()};
    if (file.n < PAYLOAD_MAGIC_BYTES + TAIL_BYTES + 1)
        throw Error(where + "too short (" + std::to_string(file.n) + " bytes) for magic, frame, zero fill and trailer");
    PayloadParts parts = locate_payload(file);
    if (parts.problem == PayloadParts::NO_MAGIC)
        throw Error(where + "does not start with \"" + PAYLOAD_MAGIC + "\"");
    check_tail(file, where);
    check_frame(file, parts, where);
    // Finding the frame's end touched pages all through the file.
    mapped.release_before(file.p + file.n);

    EntryNameSet names;
    uint64_t count = 0;
    try {
        read_payload_entries(parts.frame, parts.frame_bytes, [&](const PayloadEntry &entry, EntryData &) {
            ++count;
            std::string problem = names.add(entry.name);
            if (!problem.empty())
                throw Error("the name of entry " + std::to_string(count) + " '" +
                            printable(utf16_to_utf8(entry.name)) + "' " + problem);
        }, [&](const unsigned char *upto) { mapped.release_before(upto); });
    } catch (const Error &e) {
        throw Error(where + e.what());
    }
    if (count == 0) throw Error(where + "the entry stream holds no entries; the first must be the application DLL");
}

}  // namespace vornak
