// SPDX-License-Identifier: MIT
// The tool's one reader of PE images: a file mapped read-only, its headers
// and section table, and the import and resource tables inside. The post-link
// steps, inspect and extract all read images through it. Every offset taken
// from a file is bounds-checked: a damaged image gives an Error, never a read
// past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vornak {

constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;

// A whole regular file mapped read-only (an empty file maps to no bytes).
// Throws Error when it cannot be opened, is not a regular file or cannot be
// mapped.
class MappedFile {
public:
    explicit MappedFile(const std::string &path);
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    const unsigned char *data_ = nullptr;
    size_t size_ = 0;
};

// Bytes that someone else owns, read as little-endian values. Every read
// checks its range and throws Error for bytes beyond the end.
struct ByteView {
    const unsigned char *p = nullptr;
    size_t n = 0;
    void need(size_t at, size_t bytes) const;
    uint16_t u16(size_t at) const;
    uint32_t u32(size_t at) const;
    uint64_t u64(size_t at) const;
};

enum PeDirectory {
    DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_SECURITY, DIR_BASERELOC, DIR_DEBUG,
    DIR_ARCHITECTURE, DIR_GLOBALPTR, DIR_TLS, DIR_LOAD_CONFIG, DIR_BOUND_IMPORT, DIR_IAT,
    DIR_DELAY_IMPORT, DIR_CLR, DIR_RESERVED, DIRECTORY_COUNT
};
extern const char *const PE_DIRECTORY_NAMES[DIRECTORY_COUNT];

struct PeSection {
    std::string name;
    uint32_t virtual_address, virtual_size, raw_offset, raw_size, flags;
};

struct PeImage {
    ByteView file;
    uint32_t pe_offset = 0;
    uint16_t machine = 0, section_count = 0, optional_size = 0, characteristics = 0;
    uint16_t magic = 0, subsystem = 0, dll_characteristics = 0;
    uint16_t os_major = 0, os_minor = 0, subsystem_major = 0, subsystem_minor = 0;
    uint64_t image_base = 0, stack_reserve = 0, stack_commit = 0, heap_reserve = 0, heap_commit = 0;
    uint32_t entry = 0, section_alignment = 0, file_alignment = 0, image_size = 0, headers_size = 0;
    uint32_t checksum = 0;
    size_t checksum_offset = 0;       // file offset of the checksum field
    size_t section_table_offset = 0;  // file offset of the first section header
    uint32_t dir_rva[DIRECTORY_COUNT] = {}, dir_size[DIRECTORY_COUNT] = {};
    std::vector<PeSection> sections;

    // File offset of `bytes` bytes at rva, all inside one section's file data.
    // Throws Error naming table (as "import table") when they are not.
    size_t offset_of(uint32_t rva, size_t bytes, const char *table) const;
    // The NUL-terminated narrow string at rva (at most 4096 bytes) in table.
    std::string c_string(uint32_t rva, const char *table) const;
    // The last section of that name, or null.
    const PeSection *section(const std::string &name) const;
    // The section's data as it lies in the file.
    ByteView section_data(const PeSection &section) const;
};

// Parses the headers and the section table of the image in data[0..size).
// For an image that is not PE32+ only the file header, the magic and the
// checksum offset are filled; callers that need more refuse it. Throws Error
// when the bytes are not a PE image or a header lies beyond their end.
PeImage parse_pe(const unsigned char *data, size_t size);

// The PE checksum of data[0..size): the 16-bit one's-complement sum of the
// file taken as little-endian words (an odd last byte padded with zero),
// with the 4-byte field at checksum_offset counted as zero, folded to 16
// bits, plus the file length.
uint32_t pe_checksum(const unsigned char *data, size_t size, size_t checksum_offset);

// pe_checksum over a file read in pieces, so that no more than one piece is
// in memory: add() the pieces in order, each but the last of even length.
class PeChecksum {
public:
    explicit PeChecksum(size_t checksum_offset) : checksum_offset_(checksum_offset) {}
    void add(const unsigned char *data, size_t bytes);
    uint32_t finish() const;

private:
    size_t checksum_offset_;
    uint64_t sum_ = 0, bytes_ = 0;
};

struct PeImport {
    std::string library;
    std::vector<std::string> functions;  // "#N" for an import by ordinal
};
// The import directory, names made printable. Throws Error on a table that
// leaves the file or has no end.
std::vector<PeImport> read_imports(const PeImage &pe);

// The libraries of the delay-import directory, names made printable, in
// table order. Throws Error on a table that leaves the file or has no end.
std::vector<std::string> read_delay_import_libraries(const PeImage &pe);

// The names the export directory exports, in table order (no ordinals).
// Throws Error on a table that leaves the file.
std::vector<std::string> read_export_names(const PeImage &pe);

struct PeResource {
    std::string type, name;  // "24" for an id, "\"NAME\"" for a string
    uint32_t type_id = 0, name_id = 0;
    bool type_is_id = false, name_is_id = false;
    uint16_t language = 0;
    uint32_t rva = 0, size = 0;
};
// Every resource of the three-level resource tree (type, name, language),
// in directory order. Throws Error on a malformed tree.
std::vector<PeResource> read_resources(const PeImage &pe);
// The first resource with numeric type and id, or null.
const PeResource *find_resource(const std::vector<PeResource> &all, uint32_t type, uint32_t id);
// The resource's bytes. Throws Error when they lie outside the file.
std::string resource_data(const PeImage &pe, const PeResource &resource);

// "0x" and v in lower-case hex, at least `digits` digits.
std::string hex_text(uint64_t v, int digits);

}  // namespace vornak
