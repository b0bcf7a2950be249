// SPDX-License-Identifier: MIT
// The payload read back on the host: zstd's streaming decoder over the frame
// in place, one 128 KiB output block, and the entry-stream grammar on top.
#include "tools/vornak/payload/payload_reader.h"

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "payload/format.h"
#include "tools/vornak/base/bytes.h"
#include "tools/vornak/base/error.h"

namespace vornak {

namespace {

constexpr size_t DECODE_BUFFER_BYTES = 1 << 17;
// The frame is handed to zstd in slices of this size, so that whoever
// mapped it can let the pages behind go (see read_payload_entries).
constexpr size_t INPUT_SLICE_BYTES = 8 << 20;

}  // namespace

// The decoded content of one frame, read front to back.
class DecodedStream {
public:
    DecodedStream(const unsigned char *frame, size_t frame_bytes, const std::function<void(const unsigned char *)> &consumed)
        : dctx_(ZSTD_createDCtx()), out_(DECODE_BUFFER_BYTES), frame_(frame), frame_bytes_(frame_bytes), consumed_(consumed) {
        if (!dctx_) throw Error("zstd: cannot allocate a decompression context");
        in_ = ZSTD_inBuffer{frame, std::min(frame_bytes, INPUT_SLICE_BYTES), 0};
    }
    ~DecodedStream() { ZSTD_freeDCtx(dctx_); }
    DecodedStream(const DecodedStream &) = delete;
    DecodedStream &operator=(const DecodedStream &) = delete;

    // Copies (dst) or skips (dst null) up to n bytes; fewer only at the end of the frame.
    uint64_t read(void *dst, uint64_t n) {
        uint64_t done = 0;
        while (done < n) {
            if (pos_ < have_) {
                size_t k = static_cast<size_t>(std::min<uint64_t>(n - done, have_ - pos_));
                if (dst) std::memcpy(static_cast<char *>(dst) + done, out_.data() + pos_, k);
                pos_ += k;
                done += k;
                continue;
            }
            if (finished_) break;
            if (in_.pos == in_.size && in_.size < frame_bytes_) {
                in_.size = std::min(frame_bytes_, in_.size + INPUT_SLICE_BYTES);
                if (consumed_) consumed_(frame_ + in_.pos);
            }
            ZSTD_outBuffer ob{out_.data(), out_.size(), 0};
            size_t rc = ZSTD_decompressStream(dctx_, &ob, &in_);
            if (ZSTD_isError(rc)) throw Error(std::string("the frame does not decode: ") + ZSTD_getErrorName(rc));
            pos_ = 0;
            have_ = ob.pos;
            decoded_ += ob.pos;
            if (rc == 0) finished_ = true;
            else if (ob.pos == 0 && in_.pos == frame_bytes_) throw Error("the frame is truncated");
        }
        return done;
    }
    uint64_t decoded() const { return decoded_; }

private:
    ZSTD_DCtx *dctx_;
    ZSTD_inBuffer in_;
    std::vector<char> out_;
    const unsigned char *frame_;
    size_t frame_bytes_;
    const std::function<void(const unsigned char *)> &consumed_;
    size_t pos_ = 0, have_ = 0;
    bool finished_ = false;
    uint64_t decoded_ = 0;
};

size_t EntryData::read(void *dst, size_t bytes) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(bytes, remaining_));
    if (stream_.read(dst, want) != want)
        throw Error("the entry stream ends inside the data of " + printable(entry_.name));
    remaining_ -= want;
    return want;
}

PayloadParts locate_payload(ByteView region) {
    PayloadParts parts;
    if (region.n < PAYLOAD_MAGIC_BYTES || std::memcmp(region.p, PAYLOAD_MAGIC, PAYLOAD_MAGIC_BYTES) != 0) {
        parts.problem = PayloadParts::NO_MAGIC;
        return parts;
    }
    const unsigned char *frame = region.p + PAYLOAD_MAGIC_BYTES;
    size_t frame_bytes = ZSTD_findFrameCompressedSize(frame, region.n - PAYLOAD_MAGIC_BYTES);
    if (ZSTD_isError(frame_bytes)) {
        parts.problem = PayloadParts::NO_FRAME;
        parts.frame_error = ZSTD_getErrorName(frame_bytes);
        return parts;
    }
    parts.frame = frame;
    parts.frame_bytes = frame_bytes;
    uint64_t fill_at = PAYLOAD_MAGIC_BYTES + uint64_t{frame_bytes};
    parts.trailer_offset = fill_at + PAYLOAD_ZERO_FILL_BYTES;
    parts.payload_bytes = parts.trailer_offset + PAYLOAD_TRAILER_BYTES;
    bool correct = parts.payload_bytes <= region.n;
    for (uint64_t i = fill_at; correct && i < parts.trailer_offset; ++i) correct = region.p[i] == 0;
    parts.tail_correct = correct && region.u64(parts.trailer_offset) == parts.trailer_offset;
    return parts;
}

uint64_t read_payload_entries(const unsigned char *frame, size_t frame_bytes,
                              const std::function<void(const PayloadEntry &, EntryData &)> &visit,
                              const std::function<void(const unsigned char *)> &consumed) {
    DecodedStream stream(frame, frame_bytes, consumed);
    for (;;) {
        PayloadEntry entry;
        for (;;) {
            unsigned char unit[2];
            if (stream.read(unit, 2) != 2) throw Error("the entry stream ends inside a name");
            char16_t u = get_le16(unit);
            if (!u) break;
            if (entry.name.size() == PAYLOAD_NAME_MAX_UNITS)
                throw Error("an entry name is longer than " + std::to_string(PAYLOAD_NAME_MAX_UNITS) + " code units");
            entry.name.push_back(u);
        }
        if (entry.name.empty()) break;
        unsigned char size_bytes[PAYLOAD_ENTRY_SIZE_BYTES];
        if (stream.read(size_bytes, sizeof size_bytes) != sizeof size_bytes)
            throw Error("the entry stream ends inside a size");
        entry.size = get_le64(size_bytes);
        EntryData data(stream, entry);
        visit(entry, data);
        while (data.remaining() > 0) data.read(nullptr, SIZE_MAX);
    }
    char extra;
    if (stream.read(&extra, 1) != 0) throw Error("decoded bytes follow the terminator");
    return stream.decoded();
}

}  // namespace vornak
