// SPDX-License-Identifier: MIT
// PE32+ reading over a read-only mapping. Loops over tables taken from the
// file are bounded, since a damaged image may hold a table without an end.
#include "tools/vornak/pe/pe_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/vornak/base/bytes.h"
#include "tools/vornak/pe/coff.h"
#include "tools/vornak/base/error.h"

namespace vornak {

namespace {

constexpr size_t MAX_IMPORT_LIBRARIES = 1024;
constexpr size_t MAX_IMPORTS_PER_LIBRARY = 65536;
constexpr size_t MAX_RESOURCES = 65536;
constexpr size_t MAX_EXPORT_NAMES = 65536;
constexpr size_t IMPORT_DESCRIPTOR_BYTES = 20, DELAY_DESCRIPTOR_BYTES = 32;
constexpr size_t DELAY_ATTRIBUTES_FIELD = 0, DELAY_NAME_FIELD = 4;
constexpr uint32_t DELAY_RVA_BASED = 1;  // else the old form: fields hold virtual addresses
constexpr size_t EXPORT_DIRECTORY_BYTES = 40;
constexpr size_t EXPORT_NAME_COUNT_FIELD = 24, EXPORT_NAMES_FIELD = 32;
constexpr size_t MAX_C_STRING_BYTES = 4096;
constexpr size_t PE32_PLUS_MIN_OPTIONAL_BYTES = 112;  // up to the count of data directories

// Fields of the headers, as offsets from the start of their header.
constexpr size_t DOS_HEADER_BYTES = 64, DOS_PE_OFFSET_FIELD = 0x3C;
constexpr size_t PE_SIGNATURE_BYTES = 4;
constexpr size_t FILE_MACHINE = 0, FILE_SECTION_COUNT = 2, FILE_OPTIONAL_SIZE = 16, FILE_CHARACTERISTICS = 18;
constexpr size_t OPT_MAGIC = 0, OPT_ENTRY = 16, OPT_IMAGE_BASE = 24, OPT_SECTION_ALIGNMENT = 32,
                 OPT_FILE_ALIGNMENT = 36, OPT_OS_MAJOR = 40, OPT_OS_MINOR = 42, OPT_SUBSYSTEM_MAJOR = 48,
                 OPT_SUBSYSTEM_MINOR = 50, OPT_IMAGE_SIZE = 56, OPT_HEADERS_SIZE = 60, OPT_CHECKSUM = 64,
                 OPT_SUBSYSTEM = 68, OPT_DLL_CHARACTERISTICS = 70, OPT_STACK_RESERVE = 72, OPT_STACK_COMMIT = 80,
                 OPT_HEAP_RESERVE = 88, OPT_HEAP_COMMIT = 96, OPT_DIRECTORY_COUNT = 108, OPT_DIRECTORIES = 112;
constexpr size_t DIRECTORY_ENTRY_BYTES = 8;
constexpr size_t SECTION_VIRTUAL_SIZE = 8, SECTION_VIRTUAL_ADDRESS = 12, SECTION_RAW_SIZE = 16,
                 SECTION_RAW_OFFSET = 20, SECTION_FLAGS = 36;
constexpr size_t IMPORT_LOOKUP_FIELD = 0, IMPORT_NAME_FIELD = 12, IMPORT_ADDRESS_FIELD = 16;
constexpr size_t THUNK_BYTES = 8, HINT_BYTES = 2;
constexpr size_t RESOURCE_DIRECTORY_BYTES = 16, RESOURCE_NAMED_COUNT = 12, RESOURCE_ID_COUNT = 14,
                 RESOURCE_ENTRY_BYTES = 8, RESOURCE_DATA_ENTRY_BYTES = 16;

// Throws, naming the header or table, when file[at..at+bytes) is not all there.
void need_in_file(const ByteView &file, size_t at, size_t bytes, const std::string &what) {
    if (at > file.n || bytes > file.n - at)
        throw Error(what + ": " + std::to_string(bytes) + " bytes at offset " + hex_text(at, 0) +
                    " lie beyond the end of the file (" + std::to_string(file.n) + " bytes)");
}

// A resource directory entry's name: a numeric id, or an offset (high bit
// set) to a counted UTF-16 string.
std::string resource_label(const PeImage &pe, uint32_t base, uint32_t entry_name, bool &is_id, uint32_t &id) {
    is_id = !(entry_name & 0x80000000u);
    if (is_id) {
        id = entry_name & 0xFFFF;
        return std::to_string(id);
    }
    size_t at = pe.offset_of(base + (entry_name & 0x7FFFFFFF), 2, "resource table");
    uint16_t units = pe.file.u16(at);
    need_in_file(pe.file, at + 2, 2 * size_t{units}, "resource table: a name");
    std::u16string s;
    for (uint16_t i = 0; i < units; ++i) s.push_back(pe.file.u16(at + 2 + 2 * i));
    return "\"" + printable(s) + "\"";
}

}  // namespace

const char *const PE_DIRECTORY_NAMES[DIRECTORY_COUNT] = {
    "export", "import", "resource", "exception", "security", "basereloc", "debug", "architecture",
    "globalptr", "tls", "loadconfig", "boundimport", "iat", "delayimport", "clr", "reserved"};

MappedFile::MappedFile(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        throw Error("cannot open '" + printable(path) + "': " + errno_text(err));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Error("'" + printable(path) + "' is not a regular file");
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
        void *p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            int err = errno;
            ::close(fd);
            throw Error("cannot map '" + printable(path) + "': " + errno_text(err));
        }
        data_ = static_cast<const unsigned char *>(p);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_) ::munmap(const_cast<unsigned char *>(data_), size_);
}

void ByteView::need(size_t at, size_t bytes) const {
    if (at > n || bytes > n - at)
        throw Error(std::to_string(bytes) + " bytes at offset " + hex_text(at, 0) + " lie beyond the end (" +
                    std::to_string(n) + " bytes)");
}

uint16_t ByteView::u16(size_t at) const {
    need(at, 2);
    return get_le16(p + at);
}

uint32_t ByteView::u32(size_t at) const {
    need(at, 4);
    return get_le32(p + at);
}

uint64_t ByteView::u64(size_t at) const {
    need(at, 8);
    return get_le64(p + at);
}

size_t PeImage::offset_of(uint32_t rva, size_t bytes, const char *table) const {
    for (const PeSection &s : sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
            uint32_t within = rva - s.virtual_address;
            if (bytes > s.raw_size - within) break;
            size_t at = size_t{s.raw_offset} + within;
            need_in_file(file, at, bytes, table);
            return at;
        }
    }
    throw Error(std::string(table) + ": RVA " + hex_text(rva, 0) + " (" + std::to_string(bytes) +
                " bytes) lies outside every section's file data");
}

std::string PeImage::c_string(uint32_t rva, const char *table) const {
    size_t at = offset_of(rva, 1, table);
    std::string s;
    while (true) {
        need_in_file(file, at, 1, std::string(table) + ": the name at RVA " + hex_text(rva, 0));
        char c = static_cast<char>(file.p[at++]);
        if (!c) return s;
        s.push_back(c);
        if (s.size() > MAX_C_STRING_BYTES)
            throw Error(std::string(table) + ": the name at RVA " + hex_text(rva, 0) + " has no end");
    }
}

const PeSection *PeImage::section(const std::string &name) const {
    const PeSection *found = nullptr;
    for (const PeSection &s : sections)
        if (s.name == name) found = &s;
    return found;
}

ByteView PeImage::section_data(const PeSection &s) const {
    need_in_file(file, s.raw_offset, s.raw_size, "section table: the data of " + printable(s.name));
    return ByteView{file.p + s.raw_offset, s.raw_size};
}

PeImage parse_pe(const unsigned char *data, size_t size) {
    PeImage pe;
    pe.file = ByteView{data, size};
    if (size < DOS_HEADER_BYTES || data[0] != 'M' || data[1] != 'Z') throw Error("not a PE image (no MZ header)");
    pe.pe_offset = pe.file.u32(DOS_PE_OFFSET_FIELD);
    need_in_file(pe.file, pe.pe_offset, PE_SIGNATURE_BYTES + COFF_FILE_HEADER_BYTES, "file header");
    if (std::memcmp(data + pe.pe_offset, "PE\0\0", PE_SIGNATURE_BYTES) != 0)
        throw Error("not a PE image (no PE signature)");
    size_t fh = pe.pe_offset + PE_SIGNATURE_BYTES;
    pe.machine = pe.file.u16(fh + FILE_MACHINE);
    pe.section_count = pe.file.u16(fh + FILE_SECTION_COUNT);
    pe.optional_size = pe.file.u16(fh + FILE_OPTIONAL_SIZE);
    pe.characteristics = pe.file.u16(fh + FILE_CHARACTERISTICS);
    size_t oh = fh + COFF_FILE_HEADER_BYTES;
    // The checksum field has the same offset in PE32 and PE32+ optional headers.
    pe.checksum_offset = oh + OPT_CHECKSUM;
    pe.section_table_offset = oh + pe.optional_size;
    need_in_file(pe.file, oh, 2, "optional header");
    pe.magic = pe.file.u16(oh + OPT_MAGIC);
    if (pe.magic != PE32_PLUS_MAGIC) return pe;
    if (pe.optional_size < PE32_PLUS_MIN_OPTIONAL_BYTES)
        throw Error("file header: SizeOfOptionalHeader " + std::to_string(pe.optional_size) + " is too small for PE32+ (" +
                    std::to_string(PE32_PLUS_MIN_OPTIONAL_BYTES) + " bytes at least)");
    need_in_file(pe.file, oh, pe.optional_size, "optional header");
    pe.entry = pe.file.u32(oh + OPT_ENTRY);
    pe.image_base = pe.file.u64(oh + OPT_IMAGE_BASE);
    pe.section_alignment = pe.file.u32(oh + OPT_SECTION_ALIGNMENT);
    pe.file_alignment = pe.file.u32(oh + OPT_FILE_ALIGNMENT);
    pe.os_major = pe.file.u16(oh + OPT_OS_MAJOR);
    pe.os_minor = pe.file.u16(oh + OPT_OS_MINOR);
    pe.subsystem_major = pe.file.u16(oh + OPT_SUBSYSTEM_MAJOR);
    pe.subsystem_minor = pe.file.u16(oh + OPT_SUBSYSTEM_MINOR);
    pe.image_size = pe.file.u32(oh + OPT_IMAGE_SIZE);
    pe.headers_size = pe.file.u32(oh + OPT_HEADERS_SIZE);
    pe.checksum = pe.file.u32(oh + OPT_CHECKSUM);
    pe.subsystem = pe.file.u16(oh + OPT_SUBSYSTEM);
    pe.dll_characteristics = pe.file.u16(oh + OPT_DLL_CHARACTERISTICS);
    pe.stack_reserve = pe.file.u64(oh + OPT_STACK_RESERVE);
    pe.stack_commit = pe.file.u64(oh + OPT_STACK_COMMIT);
    pe.heap_reserve = pe.file.u64(oh + OPT_HEAP_RESERVE);
    pe.heap_commit = pe.file.u64(oh + OPT_HEAP_COMMIT);
    uint32_t dirs = pe.file.u32(oh + OPT_DIRECTORY_COUNT);
    if (dirs > DIRECTORY_COUNT || OPT_DIRECTORIES + size_t{dirs} * DIRECTORY_ENTRY_BYTES > pe.optional_size)
        throw Error("optional header: NumberOfRvaAndSizes " + std::to_string(dirs) + " does not fit " +
                    (dirs > DIRECTORY_COUNT ? std::string("the 16 data directories")
                                            : "SizeOfOptionalHeader " + std::to_string(pe.optional_size)));
    for (uint32_t i = 0; i < dirs; ++i) {
        pe.dir_rva[i] = pe.file.u32(oh + OPT_DIRECTORIES + DIRECTORY_ENTRY_BYTES * i);
        pe.dir_size[i] = pe.file.u32(oh + OPT_DIRECTORIES + DIRECTORY_ENTRY_BYTES * i + 4);
    }
    size_t st = pe.section_table_offset;
    need_in_file(pe.file, st, COFF_SECTION_HEADER_BYTES * pe.section_count,
                 "section table (" + std::to_string(pe.section_count) + " sections)");
    for (uint16_t i = 0; i < pe.section_count; ++i) {
        size_t s = st + COFF_SECTION_HEADER_BYTES * i;
        PeSection sec;
        sec.name.assign(reinterpret_cast<const char *>(data + s), strnlen(reinterpret_cast<const char *>(data + s), 8));
        sec.virtual_size = pe.file.u32(s + SECTION_VIRTUAL_SIZE);
        sec.virtual_address = pe.file.u32(s + SECTION_VIRTUAL_ADDRESS);
        sec.raw_size = pe.file.u32(s + SECTION_RAW_SIZE);
        sec.raw_offset = pe.file.u32(s + SECTION_RAW_OFFSET);
        sec.flags = pe.file.u32(s + SECTION_FLAGS);
        pe.sections.push_back(sec);
    }
    return pe;
}

void PeChecksum::add(const unsigned char *data, size_t bytes) {
    assert(bytes_ % 2 == 0 && "only the last piece may have an odd length");
    for (size_t i = 0; i < bytes; i += 2) {
        uint64_t at = bytes_ + i;
        if (at == checksum_offset_ || at == checksum_offset_ + 2) continue;
        uint32_t word = data[i] | (i + 1 < bytes ? data[i + 1] << 8 : 0);
        sum_ += word;
        sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    }
    bytes_ += bytes;
}

uint32_t PeChecksum::finish() const {
    uint64_t sum = (sum_ & 0xFFFF) + (sum_ >> 16);
    return static_cast<uint32_t>(sum + bytes_);
}

uint32_t pe_checksum(const unsigned char *data, size_t size, size_t checksum_offset) {
    PeChecksum checksum(checksum_offset);
    checksum.add(data, size);
    return checksum.finish();
}

std::vector<PeImport> read_imports(const PeImage &pe) {
    std::vector<PeImport> libs;
    if (!pe.dir_size[DIR_IMPORT]) return libs;
    for (size_t i = 0;; ++i) {
        if (i >= MAX_IMPORT_LIBRARIES) throw Error("import table: no end after " + std::to_string(i) + " libraries");
        size_t d = pe.offset_of(pe.dir_rva[DIR_IMPORT] + static_cast<uint32_t>(IMPORT_DESCRIPTOR_BYTES * i),
                                IMPORT_DESCRIPTOR_BYTES, "import table");
        uint32_t lookup = pe.file.u32(d + IMPORT_LOOKUP_FIELD), name = pe.file.u32(d + IMPORT_NAME_FIELD),
                 iat = pe.file.u32(d + IMPORT_ADDRESS_FIELD);
        if (!lookup && !name && !iat) break;
        PeImport lib;
        lib.library = printable(pe.c_string(name, "import table"));
        uint32_t thunks = lookup ? lookup : iat;
        for (size_t k = 0;; ++k) {
            if (k >= MAX_IMPORTS_PER_LIBRARY) throw Error("import table: the functions of " + lib.library + " have no end");
            uint64_t t = pe.file.u64(pe.offset_of(thunks + static_cast<uint32_t>(THUNK_BYTES * k), THUNK_BYTES,
                                                  "import table"));
            if (!t) break;
            if (t >> 63)
                lib.functions.push_back("#" + std::to_string(t & 0xFFFF));
            else
                lib.functions.push_back(
                    printable(pe.c_string(static_cast<uint32_t>(t & 0x7FFFFFFF) + HINT_BYTES, "import table")));
        }
        libs.push_back(std::move(lib));
    }
    return libs;
}

std::vector<std::string> read_delay_import_libraries(const PeImage &pe) {
    std::vector<std::string> libs;
    if (!pe.dir_size[DIR_DELAY_IMPORT]) return libs;
    for (size_t i = 0;; ++i) {
        if (i >= MAX_IMPORT_LIBRARIES)
            throw Error("delay-import table: no end after " + std::to_string(i) + " libraries");
        size_t d = pe.offset_of(pe.dir_rva[DIR_DELAY_IMPORT] + static_cast<uint32_t>(DELAY_DESCRIPTOR_BYTES * i),
                                DELAY_DESCRIPTOR_BYTES, "delay-import table");
        uint32_t attributes = pe.file.u32(d + DELAY_ATTRIBUTES_FIELD), name = pe.file.u32(d + DELAY_NAME_FIELD);
        if (!name) break;
        if (!(attributes & DELAY_RVA_BASED)) name -= static_cast<uint32_t>(pe.image_base);
        libs.push_back(printable(pe.c_string(name, "delay-import table")));
    }
    return libs;
}

std::vector<std::string> read_export_names(const PeImage &pe) {
    std::vector<std::string> names;
    if (!pe.dir_size[DIR_EXPORT]) return names;
    size_t d = pe.offset_of(pe.dir_rva[DIR_EXPORT], EXPORT_DIRECTORY_BYTES, "export table");
    uint32_t count = pe.file.u32(d + EXPORT_NAME_COUNT_FIELD), table = pe.file.u32(d + EXPORT_NAMES_FIELD);
    if (count > MAX_EXPORT_NAMES)
        throw Error("export table: NumberOfNames " + std::to_string(count) + " is more than " +
                    std::to_string(MAX_EXPORT_NAMES));
    for (uint32_t i = 0; i < count; ++i)
        names.push_back(printable(pe.c_string(pe.file.u32(pe.offset_of(table + 4 * i, 4, "export table")), "export table")));
    return names;
}

std::vector<PeResource> read_resources(const PeImage &pe) {
    std::vector<PeResource> out;
    uint32_t base = pe.dir_rva[DIR_RESOURCE];
    if (!pe.dir_size[DIR_RESOURCE]) return out;
    // Three levels: type, name, language; then a data entry.
    struct Level {
        uint32_t offset;
        int depth;
        PeResource r;
    };
    std::vector<Level> todo = {{0, 0, PeResource()}};
    while (!todo.empty()) {
        Level l = todo.back();
        todo.pop_back();
        size_t d = pe.offset_of(base + l.offset, RESOURCE_DIRECTORY_BYTES, "resource table");
        size_t count = size_t{pe.file.u16(d + RESOURCE_NAMED_COUNT)} + pe.file.u16(d + RESOURCE_ID_COUNT);
        std::vector<Level> children;
        for (size_t i = 0; i < count; ++i) {
            size_t e = pe.offset_of(base + l.offset + RESOURCE_DIRECTORY_BYTES +
                                        static_cast<uint32_t>(RESOURCE_ENTRY_BYTES * i),
                                    RESOURCE_ENTRY_BYTES, "resource table");
            uint32_t name = pe.file.u32(e), target = pe.file.u32(e + 4);
            PeResource r = l.r;
            bool is_id = false;
            uint32_t id = 0;
            std::string label = resource_label(pe, base, name, is_id, id);
            if (l.depth == 0) r.type = label, r.type_is_id = is_id, r.type_id = id;
            else if (l.depth == 1) r.name = label, r.name_is_id = is_id, r.name_id = id;
            else r.language = static_cast<uint16_t>(id);
            bool subdirectory = target & 0x80000000u;
            if (subdirectory != (l.depth < 2))
                throw Error(std::string("resource table: ") +
                            (subdirectory ? "a directory below the language level" : "data above the language level"));
            if (subdirectory) {
                children.push_back({target & 0x7FFFFFFF, l.depth + 1, r});
            } else {
                size_t de = pe.offset_of(base + target, RESOURCE_DATA_ENTRY_BYTES, "resource table");
                r.rva = pe.file.u32(de);
                r.size = pe.file.u32(de + 4);
                out.push_back(r);
                if (out.size() > MAX_RESOURCES) throw Error("resource table: more than 65536 resources");
            }
        }
        if (todo.size() + children.size() > MAX_RESOURCES)
            throw Error("resource table: more than 65536 directories");
        todo.insert(todo.end(), children.rbegin(), children.rend());
    }
    return out;
}

const PeResource *find_resource(const std::vector<PeResource> &all, uint32_t type, uint32_t id) {
    for (const PeResource &r : all)
        if (r.type_is_id && r.type_id == type && r.name_is_id && r.name_id == id) return &r;
    return nullptr;
}

std::string resource_data(const PeImage &pe, const PeResource &r) {
    size_t at = pe.offset_of(r.rva, r.size, "resource data");
    return std::string(reinterpret_cast<const char *>(pe.file.p + at), r.size);
}

std::string hex_text(uint64_t v, int digits) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

}  // namespace vornak
