// SPDX-License-Identifier: MIT
// Writes the build-values object byte by byte: file header, one section
// header (two when the payload's room is reserved), the raw data, a symbol
// table and its string table. No timestamp, so the same inputs give the same
// object.
#include "tools/vornak/pe/coff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <vector>

#include "payload/format.h"
#include "tools/vornak/base/bytes.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/base/utf.h"

namespace vornak {

namespace {

constexpr uint16_t IMAGE_FILE_MACHINE_AMD64 = 0x8664;
constexpr uint8_t IMAGE_SYM_CLASS_EXTERNAL = 2;
constexpr uint8_t IMAGE_SYM_CLASS_STATIC = 3;
constexpr size_t SYMBOL_BYTES = 18;
constexpr size_t COPY_CHUNK_BYTES = 1 << 20;

// A symbol record; long names go to the string table as offsets.
void put_symbol(std::string &symbols, std::string &strings, const std::string &name, uint32_t value,
                int16_t section, uint8_t storage_class, uint8_t aux_count) {
    if (name.size() <= 8) {
        std::string short_name = name;
        short_name.resize(8, '\0');
        symbols += short_name;
    } else {
        put_le32(symbols, 0);
        put_le32(symbols, static_cast<uint32_t>(4 + strings.size()));
        strings += name;
        strings.push_back('\0');
    }
    put_le32(symbols, value);
    put_le16(symbols, static_cast<uint16_t>(section));
    put_le16(symbols, 0);  // type: not a function
    symbols.push_back(static_cast<char>(storage_class));
    symbols.push_back(static_cast<char>(aux_count));
}

void copy_payload(const std::string &path, uint64_t expected, OutputFile &out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        throw Error("cannot open payload '" + printable(path) + "': " + errno_text(err));
    }
    std::unique_ptr<int, void (*)(int *)> guard(&fd, [](int *f) { ::close(*f); });
    std::string chunk(COPY_CHUNK_BYTES, '\0');
    uint64_t copied = 0;
    for (;;) {
        ssize_t n = ::read(fd, &chunk[0], chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            throw Error("cannot read payload '" + printable(path) + "': " + errno_text(err));
        }
        if (n == 0) break;
        copied += static_cast<uint64_t>(n);
        if (copied > expected) break;
        out.write(chunk.data(), static_cast<size_t>(n));
    }
    if (copied != expected) throw Error("payload '" + printable(path) + "' changed while it was being read");
}

}  // namespace

BuildValuesLayout build_values_layout(uint64_t payload_bytes, const BuildValueStrings &strings,
                                      uint64_t splash_pixel_bytes) {
    BuildValuesLayout l;
    l.payload_offset = 0;
    l.length_offset = (payload_bytes + 7) & ~uint64_t{7};
    uint64_t at = l.length_offset + 8;
    for (size_t i = 0; i < strings.size(); ++i) {
        l.string_offsets[i] = at;
        at += 2 * (strings[i].size() + 1);
    }
    l.options_offset = (at + 7) & ~uint64_t{7};
    l.splash_offset = l.options_offset + 8;
    l.section_bytes = l.splash_offset + SPLASH_HEADER_BYTES + splash_pixel_bytes;
    return l;
}

void write_build_values_object(const std::string &payload_path, const BuildValueStrings &strings,
                               const std::string &output, ObjectPayload payload, const LauncherExtras &extras) {
    if (extras.splash_pixels.size() != uint64_t{4} * extras.splash_width * extras.splash_height)
        throw std::logic_error("write_build_values_object: splash pixels do not match its size");
    struct stat st;
    if (::stat(payload_path.c_str(), &st) != 0) {
        int err = errno;
        throw Error("payload '" + printable(payload_path) + "': " + errno_text(err));
    }
    if (!S_ISREG(st.st_mode)) throw Error("payload '" + printable(payload_path) + "' is not a regular file");
    uint64_t payload_bytes = static_cast<uint64_t>(st.st_size);
    BuildValuesLayout layout = build_values_layout(payload_bytes, strings, extras.splash_pixels.size());
    if (layout.section_bytes > 0xFFFFFFFFu)
        throw Error("payload of " + std::to_string(payload_bytes) +
                    " bytes is too large for a Windows image section (4 GiB at most)");
    bool reserved = payload == ObjectPayload::RESERVED;
    // Reserved: section 1 is the payload's room, section 2 the rest, which
    // lld places right after it (its 8-byte alignment is met at
    // length_offset), so every offset in the image stays as with one section.
    uint16_t section_count = reserved ? 2 : 1;
    int16_t tail_section = reserved ? 2 : 1;
    uint32_t tail_start = reserved ? static_cast<uint32_t>(layout.length_offset) : 0;
    uint32_t section_bytes = static_cast<uint32_t>(layout.section_bytes);
    uint32_t room_bytes = reserved ? tail_start : section_bytes;
    uint32_t tail_bytes = section_bytes - tail_start;
    uint32_t raw_offset = static_cast<uint32_t>(COFF_FILE_HEADER_BYTES + COFF_SECTION_HEADER_BYTES * section_count);
    uint32_t raw_bytes = reserved ? tail_bytes : section_bytes;

    std::string symbols, names;  // names: the symbol string table
    auto section_symbol = [&](int16_t number, uint32_t bytes) {
        put_symbol(symbols, names, ".rdata", 0, number, IMAGE_SYM_CLASS_STATIC, 1);
        put_le32(symbols, bytes);  // aux: section definition
        put_le16(symbols, 0);      // relocations
        put_le16(symbols, 0);      // line numbers
        put_le32(symbols, 0);      // checksum
        put_le16(symbols, 0);      // associated section
        symbols.append(4, '\0');   // selection, unused
    };
    section_symbol(1, room_bytes);
    if (reserved) section_symbol(2, tail_bytes);
    put_symbol(symbols, names, BUILD_VALUE_SYMBOL_PAYLOAD, static_cast<uint32_t>(layout.payload_offset), 1,
               IMAGE_SYM_CLASS_EXTERNAL, 0);
    put_symbol(symbols, names, BUILD_VALUE_SYMBOL_PAYLOAD_BYTES,
               static_cast<uint32_t>(layout.length_offset) - tail_start, tail_section, IMAGE_SYM_CLASS_EXTERNAL, 0);
    for (size_t i = 0; i < strings.size(); ++i)
        put_symbol(symbols, names, BUILD_VALUE_STRING_SYMBOLS[i],
                   static_cast<uint32_t>(layout.string_offsets[i]) - tail_start, tail_section,
                   IMAGE_SYM_CLASS_EXTERNAL, 0);
    put_symbol(symbols, names, BUILD_VALUE_SYMBOL_OPTIONS, static_cast<uint32_t>(layout.options_offset) - tail_start,
               tail_section, IMAGE_SYM_CLASS_EXTERNAL, 0);
    put_symbol(symbols, names, BUILD_VALUE_SYMBOL_SPLASH, static_cast<uint32_t>(layout.splash_offset) - tail_start,
               tail_section, IMAGE_SYM_CLASS_EXTERNAL, 0);
    uint32_t symbol_count = static_cast<uint32_t>(symbols.size() / SYMBOL_BYTES);

    std::string head;
    put_le16(head, IMAGE_FILE_MACHINE_AMD64);
    put_le16(head, section_count);
    put_le32(head, 0);                        // timestamp
    put_le32(head, raw_offset + raw_bytes);  // symbol table
    put_le32(head, symbol_count);
    put_le16(head, 0);  // optional header
    put_le16(head, 0);  // characteristics
    auto section_header = [&](uint32_t bytes, uint32_t data_offset, uint32_t flags) {
        std::string name(".rdata");
        name.resize(8, '\0');
        head += name;
        put_le32(head, 0);  // virtual size: 0 in objects
        put_le32(head, 0);  // virtual address
        put_le32(head, bytes);
        put_le32(head, data_offset);
        put_le32(head, 0);  // relocations
        put_le32(head, 0);  // line numbers
        put_le16(head, 0);
        put_le16(head, 0);
        put_le32(head, flags);
    };
    if (reserved) {
        section_header(room_bytes, 0, BUILD_VALUES_SECTION_FLAGS);
        section_header(tail_bytes, raw_offset, BUILD_VALUES_TAIL_SECTION_FLAGS);
    } else {
        section_header(section_bytes, raw_offset, BUILD_VALUES_SECTION_FLAGS);
    }
    OutputFile out(output);
    out.write(head.data(), head.size());
    std::string tail;
    if (!reserved) {
        copy_payload(payload_path, payload_bytes, out);
        tail.assign(layout.length_offset - payload_bytes, '\0');
    }
    put_le64(tail, payload_bytes);
    for (const std::u16string &value : strings) {
        tail += utf16le_bytes(value);
        tail.append(2, '\0');
    }
    // Zero up to the options; tail begins where the payload ends, or where
    // its reserved room does.
    tail.resize(layout.options_offset - (reserved ? layout.length_offset : payload_bytes), '\0');
    put_le32(tail, extras.options);
    put_le32(tail, 0);
    put_le32(tail, extras.splash_width);
    put_le32(tail, extras.splash_height);
    put_le64(tail, 0);
    put_le64(tail, extras.unpacked_total_bytes);
    tail += extras.splash_pixels;
    tail += symbols;
    put_le32(tail, static_cast<uint32_t>(4 + names.size()));
    tail += names;
    out.write(tail.data(), tail.size());
    out.commit(0666);
}

}  // namespace vornak
