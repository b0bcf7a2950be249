// SPDX-License-Identifier: MIT
// PE32+ reading over a read-only mapping. Loops over tables taken from the
// file are bounded, since a damaged image may hold a table without an end.
#include "tools/vornak/pe/pe_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A resource directory entry's name: a numeric id, or an offset (high bit
// set) to a counted UTF-16 string.
std::string resource_label(const PeImage &pe, uint32_t base, uint32_t entry_name, bool &is_id, uint32_t &id) {
    is_id = !(entry_name & 0x80000000u);
    if (is_id) {
        id = entry_name & 0xFFFF;
        return std::to_string(id);
    }
    size_t at = pe.offset_of(base + (entry_name & 0x7FFFFFFF), 2);
    uint16_t units = pe.file.u16(at);
    pe.file.need(at + 2, 2 * size_t{units});
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
        throw Error("truncated image: " + std::to_string(bytes) + " bytes at offset " + std::to_string(at) +
                    " lie beyond its end");
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

size_t PeImage::offset_of(uint32_t rva, size_t bytes) const {
    for (const PeSection &s : sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
            uint32_t within = rva - s.virtual_address;
            if (bytes > s.raw_size - within) break;
            size_t at = size_t{s.raw_offset} + within;
            file.need(at, bytes);
            return at;
        }
    }
    throw Error("RVA " + hex_text(rva, 0) + " (" + std::to_string(bytes) + " bytes) is not in the file's section data");
}

std::string PeImage::c_string(uint32_t rva) const {
    size_t at = offset_of(rva, 1);
    std::string s;
    while (true) {
        file.need(at, 1);
        char c = static_cast<char>(file.p[at++]);
        if (!c) return s;
        s.push_back(c);
        if (s.size() > MAX_C_STRING_BYTES) throw Error("unterminated name in the image");
    }
}

const PeSection *PeImage::section(const std::string &name) const {
    const PeSection *found = nullptr;
    for (const PeSection &s : sections)
        if (s.name == name) found = &s;
    return found;
}

ByteView PeImage::section_data(const PeSection &s) const {
    file.need(s.raw_offset, s.raw_size);
    return ByteView{file.p + s.raw_offset, s.raw_size};
}

PeImage parse_pe(const unsigned char *data, size_t size) {
    PeImage pe;
    pe.file = ByteView{data, size};
    if (size < 64 || data[0] != 'M' || data[1] != 'Z') throw Error("not a PE image (no MZ header)");
    pe.pe_offset = pe.file.u32(60);
    pe.file.need(pe.pe_offset, 4 + COFF_FILE_HEADER_BYTES);
    if (std::memcmp(data + pe.pe_offset, "PE\0\0", 4) != 0) throw Error("not a PE image (no PE signature)");
    size_t fh = pe.pe_offset + 4;
    pe.machine = pe.file.u16(fh);
    pe.section_count = pe.file.u16(fh + 2);
    pe.optional_size = pe.file.u16(fh + 16);
    pe.characteristics = pe.file.u16(fh + 18);
    size_t oh = fh + COFF_FILE_HEADER_BYTES;
    // The checksum field has the same offset in PE32 and PE32+ optional headers.
    pe.checksum_offset = oh + 64;
    pe.section_table_offset = oh + pe.optional_size;
    pe.magic = pe.file.u16(oh);
    if (pe.magic != PE32_PLUS_MAGIC) return pe;
    if (pe.optional_size < PE32_PLUS_MIN_OPTIONAL_BYTES) throw Error("optional header too short for PE32+");
    pe.entry = pe.file.u32(oh + 16);
    pe.image_base = pe.file.u64(oh + 24);
    pe.section_alignment = pe.file.u32(oh + 32);
    pe.file_alignment = pe.file.u32(oh + 36);
    pe.os_major = pe.file.u16(oh + 40);
    pe.os_minor = pe.file.u16(oh + 42);
    pe.subsystem_major = pe.file.u16(oh + 48);
    pe.subsystem_minor = pe.file.u16(oh + 50);
    pe.image_size = pe.file.u32(oh + 56);
    pe.headers_size = pe.file.u32(oh + 60);
    pe.checksum = pe.file.u32(oh + 64);
    pe.subsystem = pe.file.u16(oh + 68);
    pe.dll_characteristics = pe.file.u16(oh + 70);
    pe.stack_reserve = pe.file.u64(oh + 72);
    pe.stack_commit = pe.file.u64(oh + 80);
    pe.heap_reserve = pe.file.u64(oh + 88);
    pe.heap_commit = pe.file.u64(oh + 96);
    uint32_t dirs = pe.file.u32(oh + 108);
    if (dirs > DIRECTORY_COUNT || PE32_PLUS_MIN_OPTIONAL_BYTES + size_t{dirs} * 8 > pe.optional_size)
        throw Error("bad count of data directories: " + std::to_string(dirs));
    for (uint32_t i = 0; i < dirs; ++i) {
        pe.dir_rva[i] = pe.file.u32(oh + 112 + 8 * i);
        pe.dir_size[i] = pe.file.u32(oh + 116 + 8 * i);
    }
    size_t st = pe.section_table_offset;
    pe.file.need(st, COFF_SECTION_HEADER_BYTES * pe.section_count);
    for (uint16_t i = 0; i < pe.section_count; ++i) {
        size_t s = st + COFF_SECTION_HEADER_BYTES * i;
        PeSection sec;
        sec.name.assign(reinterpret_cast<const char *>(data + s), strnlen(reinterpret_cast<const char *>(data + s), 8));
        sec.virtual_size = pe.file.u32(s + 8);
        sec.virtual_address = pe.file.u32(s + 12);
        sec.raw_size = pe.file.u32(s + 16);
        sec.raw_offset = pe.file.u32(s + 20);
        sec.flags = pe.file.u32(s + 36);
        pe.sections.push_back(sec);
    }
    return pe;
}

uint32_t pe_checksum(const unsigned char *data, size_t size, size_t checksum_offset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < size; i += 2) {
        if (i == checksum_offset || i == checksum_offset + 2) continue;
        uint32_t word = data[i] | (i + 1 < size ? data[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

std::vector<PeImport> read_imports(const PeImage &pe) {
    std::vector<PeImport> libs;
    if (!pe.dir_size[DIR_IMPORT]) return libs;
    for (size_t i = 0;; ++i) {
        if (i >= MAX_IMPORT_LIBRARIES) throw Error("import directory without end");
        size_t d = pe.offset_of(pe.dir_rva[DIR_IMPORT] + static_cast<uint32_t>(20 * i), 20);
        uint32_t lookup = pe.file.u32(d), name = pe.file.u32(d + 12), iat = pe.file.u32(d + 16);
        if (!lookup && !name && !iat) break;
        PeImport lib;
        lib.library = printable(pe.c_string(name));
        uint32_t thunks = lookup ? lookup : iat;
        for (size_t k = 0;; ++k) {
            if (k >= MAX_IMPORTS_PER_LIBRARY) throw Error("import table of " + lib.library + " without end");
            uint64_t t = pe.file.u64(pe.offset_of(thunks + static_cast<uint32_t>(8 * k), 8));
            if (!t) break;
            if (t >> 63)
                lib.functions.push_back("#" + std::to_string(t & 0xFFFF));
            else
                lib.functions.push_back(printable(pe.c_string(static_cast<uint32_t>(t & 0x7FFFFFFF) + 2)));
        }
        libs.push_back(std::move(lib));
    }
    return libs;
}

std::vector<std::string> read_delay_import_libraries(const PeImage &pe) {
    std::vector<std::string> libs;
    if (!pe.dir_size[DIR_DELAY_IMPORT]) return libs;
    for (size_t i = 0;; ++i) {
        if (i >= MAX_IMPORT_LIBRARIES) throw Error("delay-import directory without end");
        size_t d = pe.offset_of(pe.dir_rva[DIR_DELAY_IMPORT] + static_cast<uint32_t>(DELAY_DESCRIPTOR_BYTES * i),
                                DELAY_DESCRIPTOR_BYTES);
        uint32_t attributes = pe.file.u32(d + DELAY_ATTRIBUTES_FIELD), name = pe.file.u32(d + DELAY_NAME_FIELD);
        if (!name) break;
        if (!(attributes & DELAY_RVA_BASED)) name -= static_cast<uint32_t>(pe.image_base);
        libs.push_back(printable(pe.c_string(name)));
    }
    return libs;
}

std::vector<std::string> read_export_names(const PeImage &pe) {
    std::vector<std::string> names;
    if (!pe.dir_size[DIR_EXPORT]) return names;
    size_t d = pe.offset_of(pe.dir_rva[DIR_EXPORT], EXPORT_DIRECTORY_BYTES);
    uint32_t count = pe.file.u32(d + EXPORT_NAME_COUNT_FIELD), table = pe.file.u32(d + EXPORT_NAMES_FIELD);
    if (count > MAX_EXPORT_NAMES) throw Error("export table: " + std::to_string(count) + " names");
    for (uint32_t i = 0; i < count; ++i)
        names.push_back(printable(pe.c_string(pe.file.u32(pe.offset_of(table + 4 * i, 4)))));
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
        size_t d = pe.offset_of(base + l.offset, 16);
        size_t count = size_t{pe.file.u16(d + 12)} + pe.file.u16(d + 14);
        std::vector<Level> children;
        for (size_t i = 0; i < count; ++i) {
            size_t e = pe.offset_of(base + l.offset + 16 + static_cast<uint32_t>(8 * i), 8);
            uint32_t name = pe.file.u32(e), target = pe.file.u32(e + 4);
            PeResource r = l.r;
            bool is_id = false;
            uint32_t id = 0;
            std::string label = resource_label(pe, base, name, is_id, id);
            if (l.depth == 0) r.type = label, r.type_is_id = is_id, r.type_id = id;
            else if (l.depth == 1) r.name = label, r.name_is_id = is_id, r.name_id = id;
            else r.language = static_cast<uint16_t>(id);
            bool subdirectory = target & 0x80000000u;
            if (subdirectory != (l.depth < 2)) throw Error("malformed resource directory");
            if (subdirectory) {
                children.push_back({target & 0x7FFFFFFF, l.depth + 1, r});
            } else {
                size_t de = pe.offset_of(base + target, 16);
                r.rva = pe.file.u32(de);
                r.size = pe.file.u32(de + 4);
                out.push_back(r);
                if (out.size() > MAX_RESOURCES) throw Error("too many resources");
            }
        }
        if (todo.size() + children.size() > MAX_RESOURCES) throw Error("too many resource directories");
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
    size_t at = pe.offset_of(r.rva, r.size);
    return std::string(reinterpret_cast<const char *>(pe.file.p + at), r.size);
}

std::string hex_text(uint64_t v, int digits) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

}  // namespace vornak
