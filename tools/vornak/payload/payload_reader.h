// SPDX-License-Identifier: MIT
// Reading an attached payload back: where its parts lie, and its entries
// decoded front to back as a stream, never held whole in memory. The one
// reader of payload entries in the tool, for inspect, extract and checks of
// a payload before it is carried.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/vornak/pe/pe_reader.h"

namespace vornak {

// Where the parts of a payload lie in a region that opens with it (the
// .rdata section of an image, or a whole payload file).
struct PayloadParts {
    enum Problem { NONE, NO_MAGIC, NO_FRAME } problem = NONE;
    std::string frame_error;  // for NO_FRAME: zstd's reason
    const unsigned char *frame = nullptr;
    size_t frame_bytes = 0;
    uint64_t trailer_offset = 0;  // 3 + frame + 7: where the trailer belongs, and its value
    uint64_t payload_bytes = 0;   // trailer_offset + 8
    bool tail_correct = false;    // zero fill and trailer are there and hold what they should
};

// Finds the magic and the one zstd frame at the start of region, and checks
// the zero fill and the trailer behind the frame. Reads nothing beyond
// region; decodes nothing.
PayloadParts locate_payload(ByteView region);

struct PayloadEntry {
    std::u16string name;  // as stored: "\"-separated, not checked here
    uint64_t size = 0;
};

class DecodedStream;

// The data of the entry being visited. What the visitor leaves unread is
// skipped before the next entry.
class EntryData {
public:
    // Copies up to `bytes` of the entry's next data bytes into dst, or skips
    // them when dst is null. Returns how many; 0 once the data is used up.
    // Throws Error when the stream ends inside the data.
    size_t read(void *dst, size_t bytes);
    uint64_t remaining() const { return remaining_; }

private:
    friend uint64_t read_payload_entries(const unsigned char *, size_t,
                                         const std::function<void(const PayloadEntry &, EntryData &)> &);
    EntryData(DecodedStream &stream, const PayloadEntry &entry) : stream_(stream), entry_(entry), remaining_(entry.size) {}
    DecodedStream &stream_;
    const PayloadEntry &entry_;
    uint64_t remaining_;
};

// Decodes the entry stream of frame[0..frame_bytes) and calls visit for each
// entry in order, with its name, size and data. Returns the decoded length
// of the stream. The frame is decoded to its end, so that its content
// checksum, when it has one, is verified. Throws Error when the frame does
// not decode (a checksum that does not match included) or ends early,
// a name is empty of its zero unit or longer than PAYLOAD_NAME_MAX_UNITS, the
// stream ends inside an entry, or decoded bytes follow the terminator;
// entries visited before that stay visited. Errors the visitor throws pass
// through.
uint64_t read_payload_entries(const unsigned char *frame, size_t frame_bytes,
                              const std::function<void(const PayloadEntry &, EntryData &)> &visit);

}  // namespace vornak
