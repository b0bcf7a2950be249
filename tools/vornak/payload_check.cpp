// SPDX-License-Identifier: MIT
// Checks a payload file given to `vornak build --payload` the way the
// launcher reads it, with the packer's own rules for names. Decodes the
// frame as a stream through a decoder with default parameters, as the
// launcher's is; reads the file in chunks.
#include "tools/vornak/payload_check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include "tools/vornak/bytes.h"
#include "tools/vornak/error.h"
#include "tools/vornak/payload_writer.h"
#include "tools/vornak/tree.h"
#include "tools/vornak/utf.h"

namespace vornak {

namespace {

constexpr size_t MAGIC_BYTES = sizeof PAYLOAD_MAGIC;
constexpr size_t TRAILER_BYTES = 8;
constexpr size_t TAIL_BYTES = PAYLOAD_ZERO_FILL_BYTES + TRAILER_BYTES;
constexpr size_t READ_CHUNK_BYTES = 1 << 20;

// The decoded entry stream of the frame that lies in file at [offset,
// offset + frame_bytes), handed out as it is decoded. Throws Error when the
// frame cannot be decoded, is cut short, or is followed by more data before
// the zero fill.
class EntryStream {
public:
    EntryStream(std::ifstream &file, uint64_t frame_bytes, std::string where)
        : file_(file), left_(frame_bytes), where_(std::move(where)), dctx_(ZSTD_createDCtx(), &ZSTD_freeDCtx),
          input_(READ_CHUNK_BYTES), output_(ZSTD_DStreamOutSize()) {
        if (!dctx_) throw Error(where_ + "cannot allocate a zstd decoder");
    }

    // Copies the next n bytes to dst; false when the content ends first.
    bool read(void *dst, size_t n) {
        unsigned char *out = static_cast<unsigned char *>(dst);
        while (n > 0) {
            if (out_pos_ == out_size_ && !refill()) return false;
            size_t k = std::min(n, out_size_ - out_pos_);
            std::copy(output_.data() + out_pos_, output_.data() + out_pos_ + k, out);
            out += k;
            out_pos_ += k;
            n -= k;
        }
        return true;
    }

    // Passes over the next n bytes; false when the content ends first.
    bool skip(uint64_t n) {
        while (n > 0) {
            if (out_pos_ == out_size_ && !refill()) return false;
            size_t k = static_cast<size_t>(std::min<uint64_t>(n, out_size_ - out_pos_));
            out_pos_ += k;
            n -= k;
        }
        return true;
    }

    // True when the frame's content has nothing left.
    bool at_end() { return out_pos_ == out_size_ && !refill(); }

private:
    // Decodes the next piece of content; false at the frame's end.
    bool refill() {
        out_pos_ = out_size_ = 0;
        while (out_size_ == 0) {
            if (done_) return false;
            if (in_.pos == in_.size) {
                // With all input read, only what the decoder held back
                // behind a full output block can still come.
                if (left_ == 0 && !held_back_) throw Error(where_ + "the zstd frame is cut short");
                if (left_ > 0) read_input();
            }
            ZSTD_outBuffer out = {output_.data(), output_.size(), 0};
            size_t rc = ZSTD_decompressStream(dctx_.get(), &out, &in_);
            if (ZSTD_isError(rc))
                throw Error(where_ + "the zstd frame cannot be decoded (" + ZSTD_getErrorName(rc) + ")");
            held_back_ = out.pos == out.size;
            out_size_ = out.pos;
            if (rc == 0) {
                done_ = true;
                if (in_.pos < in_.size || left_ > 0)
                    throw Error(where_ + "more than one zstd frame lies before the zero fill");
            }
        }
        return true;
    }

    void read_input() {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left_, input_.size()));
        file_.read(reinterpret_cast<char *>(input_.data()), static_cast<std::streamsize>(n));
        if (static_cast<size_t>(file_.gcount()) != n) throw Error(where_ + "cannot be read to its end");
        left_ -= n;
        in_ = {input_.data(), n, 0};
    }

    std::ifstream &file_;
    uint64_t left_;  // frame bytes not yet read from the file
    std::string where_;
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> dctx_;
    std::vector<unsigned char> input_, output_;
    ZSTD_inBuffer in_ = {nullptr, 0, 0};
    size_t out_pos_ = 0, out_size_ = 0;
    bool held_back_ = false, done_ = false;
};

// Why name cannot be an entry's name, or empty.
std::string entry_name_problem(const std::u16string &name) {
    size_t start = 0;
    for (;;) {
        size_t end = name.find(u'\\', start);
        if (end == std::u16string::npos) end = name.size();
        std::u16string component = name.substr(start, end - start);
        if (component.empty()) return "has an empty component (a leading, doubled or trailing '\\')";
        if (component == u"." || component == u"..")
            return "has a '" + utf16_to_utf8(component) + "' component, which does not name a file of its own";
        std::string problem = windows_name_problem(component);
        if (!problem.empty()) return "has a component '" + printable(utf16_to_utf8(component)) + "' that " + problem;
        if (end == name.size()) return std::string();
        start = end + 1;
    }
}

void check_entries(EntryStream &stream, const std::string &where) {
    for (uint64_t number = 1;; ++number) {
        std::u16string name;
        for (;;) {
            unsigned char unit[2];
            if (!stream.read(unit, sizeof unit))
                throw Error(where + "the entry stream ends before its terminator, in the name of entry " +
                            std::to_string(number));
            char16_t u = static_cast<char16_t>(get_le16(unit));
            if (u == 0) break;
            if (name.size() == MAX_ENTRY_NAME_UNITS)
                throw Error(where + "the name of entry " + std::to_string(number) + " is longer than " +
                            std::to_string(MAX_ENTRY_NAME_UNITS) + " UTF-16 code units");
            name.push_back(u);
        }
        if (name.empty()) {
            if (number == 1) throw Error(where + "the entry stream holds no entries; the first must be the application DLL");
            if (!stream.at_end()) throw Error(where + "the zstd frame holds data after the entry stream's terminator");
            return;
        }
        std::string shown = "entry " + std::to_string(number) + " '" + printable(utf16_to_utf8(name)) + "'";
        std::string problem = entry_name_problem(name);
        if (!problem.empty()) throw Error(where + "the name of " + shown + " " + problem);
        unsigned char size[8];
        if (!stream.read(size, sizeof size))
            throw Error(where + "the entry stream ends before its terminator, in the size of " + shown);
        if (!stream.skip(get_le64(size)))
            throw Error(where + "the entry stream ends before its terminator, in the data of " + shown);
    }
}

}  // namespace

void check_payload_file(const std::string &path) {
    std::string where = "payload '" + printable(path) + "': ";
    std::ifstream file(path, std::ios::binary);
    if (!file) throw Error(where + "cannot be opened");
    file.seekg(0, std::ios::end);
    uint64_t length = static_cast<uint64_t>(file.tellg());
    if (length < MAGIC_BYTES + TAIL_BYTES + 1)
        throw Error(where + "too short (" + std::to_string(length) +
                    " bytes) for magic, frame, zero fill and trailer");
    uint64_t frame_bytes = length - MAGIC_BYTES - TAIL_BYTES;

    unsigned char head[MAGIC_BYTES + ZSTD_FRAMEHEADERSIZE_MAX] = {};
    file.seekg(0);
    file.read(reinterpret_cast<char *>(head), static_cast<std::streamsize>(std::min<uint64_t>(sizeof head, length)));
    if (std::memcmp(head, PAYLOAD_MAGIC, MAGIC_BYTES) != 0) throw Error(where + "does not start with \"QOZ\"");
    unsigned char tail[TAIL_BYTES];
    file.seekg(static_cast<std::streamoff>(length - TAIL_BYTES));
    file.read(reinterpret_cast<char *>(tail), TAIL_BYTES);
    if (!file) throw Error(where + "cannot be read to its end");
    uint64_t trailer = get_le64(tail + PAYLOAD_ZERO_FILL_BYTES);
    if (trailer != length - TRAILER_BYTES)
        throw Error(where + "the trailer holds " + std::to_string(trailer) + ", not its own offset " +
                    std::to_string(length - TRAILER_BYTES));
    for (size_t i = 0; i < PAYLOAD_ZERO_FILL_BYTES; ++i)
        if (tail[i] != 0) throw Error(where + "the seven bytes before the trailer are not all zero");

    ZSTD_frameHeader header;
    size_t header_bytes = static_cast<size_t>(std::min<uint64_t>(frame_bytes, ZSTD_FRAMEHEADERSIZE_MAX));
    size_t rc = ZSTD_getFrameHeader(&header, head + MAGIC_BYTES, header_bytes);
    if (ZSTD_isError(rc) || rc != 0 || header.frameType != ZSTD_frame)
        throw Error(where + "what follows \"QOZ\" is not a zstd frame");
    if (header.windowSize > (uint64_t{1} << MAX_WINDOW_LOG))
        throw Error(where + "the zstd frame needs a window of " + std::to_string(header.windowSize) +
                    " bytes; the launcher decodes at most " + std::to_string(uint64_t{1} << MAX_WINDOW_LOG));

    file.seekg(static_cast<std::streamoff>(MAGIC_BYTES));
    EntryStream stream(file, frame_bytes, where);
    check_entries(stream, where);
}

}  // namespace vornak
