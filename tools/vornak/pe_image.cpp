// SPDX-License-Identifier: MIT
// PE32+ reading for the post-link steps and `vornak inspect`. The image is
// mapped read-only and every offset taken from it is bounds-checked: inspect
// must give a clear answer for any file, also a damaged one.
#include "tools/vornak/pe_image.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <vector>

#include "payload/format.h"
#include "tools/vornak/bytes.h"
#include "tools/vornak/coff.h"
#include "tools/vornak/error.h"
#include "tools/vornak/payload_writer.h"
#include "tools/vornak/resources.h"
#include "tools/vornak/tree.h"
#include "tools/vornak/utf.h"

extern char **environ;

namespace vornak {

namespace {

constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr size_t CHECKSUM_FIELD = 64;  // offset in the optional header, PE32 and PE32+ alike
constexpr size_t MAX_IMPORT_LIBRARIES = 1024;
constexpr size_t MAX_IMPORTS_PER_LIBRARY = 65536;
constexpr size_t MAX_RESOURCES = 65536;
constexpr uint32_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2;
constexpr size_t DECODE_BUFFER_BYTES = 1 << 17;

enum Directory {
    DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_SECURITY, DIR_BASERELOC, DIR_DEBUG,
    DIR_ARCHITECTURE, DIR_GLOBALPTR, DIR_TLS, DIR_LOAD_CONFIG, DIR_BOUND_IMPORT, DIR_IAT,
    DIR_DELAY_IMPORT, DIR_CLR, DIR_RESERVED, DIRECTORY_COUNT
};
const char *const DIRECTORY_NAMES[DIRECTORY_COUNT] = {
    "export", "import", "resource", "exception", "security", "basereloc", "debug", "architecture",
    "globalptr", "tls", "loadconfig", "boundimport", "iat", "delayimport", "clr", "reserved"};

// DER prefix of a ContentInfo whose type is PKCS #7 signedData (1.2.840.113549.1.7.2),
// after the outer SEQUENCE header.
constexpr unsigned char SIGNED_DATA_OID[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// A whole file mapped read-only.
class MappedFile {
public:
    explicit MappedFile(const std::string &path) {
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
    ~MappedFile() {
        if (data_) ::munmap(const_cast<unsigned char *>(data_), size_);
    }
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    const unsigned char *data_ = nullptr;
    size_t size_ = 0;
};

struct Bytes {
    const unsigned char *p;
    size_t n;
    void need(size_t at, size_t bytes) const {
        if (at > n || bytes > n - at) throw Error("truncated image: " + std::to_string(bytes) +
                                                  " bytes at offset " + std::to_string(at) + " lie beyond its end");
    }
    uint16_t u16(size_t at) const {
        need(at, 2);
        return get_le16(p + at);
    }
    uint32_t u32(size_t at) const {
        need(at, 4);
        return get_le32(p + at);
    }
    uint64_t u64(size_t at) const { return u32(at) | (static_cast<uint64_t>(u32(at + 4)) << 32); }
};

std::string hex_of(uint64_t v, int digits) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

struct Section {
    std::string name;
    uint32_t virtual_address, virtual_size, raw_offset, raw_size, flags;
};

struct Pe {
    Bytes file;
    uint32_t pe_offset = 0;
    uint16_t machine = 0, section_count = 0, optional_size = 0, characteristics = 0;
    uint16_t magic = 0, subsystem = 0, dll_characteristics = 0;
    uint16_t os_major = 0, os_minor = 0, subsystem_major = 0, subsystem_minor = 0;
    uint64_t image_base = 0, stack_reserve = 0, stack_commit = 0, heap_reserve = 0, heap_commit = 0;
    uint32_t entry = 0, section_alignment = 0, file_alignment = 0, image_size = 0, headers_size = 0;
    uint32_t checksum = 0;
    size_t checksum_offset = 0;
    uint32_t dir_rva[DIRECTORY_COUNT] = {}, dir_size[DIRECTORY_COUNT] = {};
    std::vector<Section> sections;

    // File offset of bytes at rva, all inside one section's file data.
    size_t offset_of(uint32_t rva, size_t bytes) const {
        for (const Section &s : sections) {
            if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
                uint32_t within = rva - s.virtual_address;
                if (bytes > s.raw_size - within) break;
                size_t at = size_t{s.raw_offset} + within;
                file.need(at, bytes);
                return at;
            }
        }
        throw Error("RVA " + hex_of(rva, 0) + " (" + std::to_string(bytes) + " bytes) is not in the file's section data");
    }
    std::string c_string(uint32_t rva) const {
        size_t at = offset_of(rva, 1);
        std::string s;
        while (true) {
            file.need(at, 1);
            char c = static_cast<char>(file.p[at++]);
            if (!c) return s;
            s.push_back(c);
            if (s.size() > 4096) throw Error("unterminated name in the image");
        }
    }
};

Pe parse_pe(const unsigned char *data, size_t size) {
    Pe pe;
    pe.file = Bytes{data, size};
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
    pe.checksum_offset = oh + CHECKSUM_FIELD;
    pe.magic = pe.file.u16(oh);
    if (pe.magic != PE32_PLUS_MAGIC) return pe;  // the checksum works on it; inspect refuses it
    if (pe.optional_size < 112) throw Error("optional header too short for PE32+");
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
    if (dirs > DIRECTORY_COUNT || 112 + size_t{dirs} * 8 > pe.optional_size)
        throw Error("bad count of data directories: " + std::to_string(dirs));
    for (uint32_t i = 0; i < dirs; ++i) {
        pe.dir_rva[i] = pe.file.u32(oh + 112 + 8 * i);
        pe.dir_size[i] = pe.file.u32(oh + 116 + 8 * i);
    }
    size_t st = oh + pe.optional_size;
    pe.file.need(st, COFF_SECTION_HEADER_BYTES * pe.section_count);
    for (uint16_t i = 0; i < pe.section_count; ++i) {
        size_t s = st + COFF_SECTION_HEADER_BYTES * i;
        Section sec;
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

uint32_t checksum_of(const unsigned char *data, size_t size, size_t field) {
    uint64_t sum = 0;
    for (size_t i = 0; i < size; i += 2) {
        if (i == field || i == field + 2) continue;
        uint32_t word = data[i] | (i + 1 < size ? data[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

// Runs program with args, its standard output discarded and its standard
// error collected; returns the exit status.
int run_collecting(const std::string &program, const std::vector<std::string> &args, std::string &output) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        int err = errno;
        throw Error("cannot create a pipe: " + errno_text(err));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        throw Error("cannot start " + program + ": " + errno_text(rc) + " (install osslsigncode)");
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) output.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    ::close(fds[0]);
    int status;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) throw Error("cannot wait for " + program);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string first_line(const std::string &text) {
    size_t start = text.find_first_not_of("\r\n");
    if (start == std::string::npos) return "no message";
    return text.substr(start, text.find_first_of("\r\n", start) - start);
}

// UTF-16 text of the image made safe for a one-line report.
std::string utf8_of(const std::u16string &s) { return printable(utf16_to_utf8(s)); }

// ---- imports ----

struct ImportLibrary {
    std::string name;
    std::vector<std::string> functions;  // "#N" for an import by ordinal
};

std::vector<ImportLibrary> read_imports(const Pe &pe) {
    std::vector<ImportLibrary> libs;
    if (!pe.dir_size[DIR_IMPORT]) return libs;
    for (size_t i = 0;; ++i) {
        if (i >= MAX_IMPORT_LIBRARIES) throw Error("import directory without end");
        size_t d = pe.offset_of(pe.dir_rva[DIR_IMPORT] + static_cast<uint32_t>(20 * i), 20);
        uint32_t lookup = pe.file.u32(d), name = pe.file.u32(d + 12), iat = pe.file.u32(d + 16);
        if (!lookup && !name && !iat) break;
        ImportLibrary lib;
        lib.name = printable(pe.c_string(name));
        uint32_t thunks = lookup ? lookup : iat;
        for (size_t k = 0;; ++k) {
            if (k >= MAX_IMPORTS_PER_LIBRARY) throw Error("import table of " + lib.name + " without end");
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

// ---- resources ----

struct Resource {
    std::string type, name;  // "24" for an id, "\"NAME\"" for a string
    uint32_t type_id = 0, name_id = 0;
    bool type_is_id = false, name_is_id = false;
    uint16_t language = 0;
    uint32_t rva = 0, size = 0;
};

std::string resource_label(const Pe &pe, uint32_t base, uint32_t entry_name, bool &is_id, uint32_t &id) {
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
    return "\"" + utf8_of(s) + "\"";
}

std::vector<Resource> read_resources(const Pe &pe) {
    std::vector<Resource> out;
    uint32_t base = pe.dir_rva[DIR_RESOURCE];
    if (!pe.dir_size[DIR_RESOURCE]) return out;
    // Three levels: type, name, language; then a data entry.
    struct Level { uint32_t offset; int depth; Resource r; };
    std::vector<Level> todo = {{0, 0, Resource()}};
    while (!todo.empty()) {
        Level l = todo.back();
        todo.pop_back();
        size_t d = pe.offset_of(base + l.offset, 16);
        size_t count = size_t{pe.file.u16(d + 12)} + pe.file.u16(d + 14);
        std::vector<Level> children;
        for (size_t i = 0; i < count; ++i) {
            size_t e = pe.offset_of(base + l.offset + 16 + static_cast<uint32_t>(8 * i), 8);
            uint32_t name = pe.file.u32(e), target = pe.file.u32(e + 4);
            Resource r = l.r;
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

const Resource *find_resource(const std::vector<Resource> &all, uint32_t type, uint32_t id) {
    for (const Resource &r : all)
        if (r.type_is_id && r.type_id == type && r.name_is_id && r.name_id == id) return &r;
    return nullptr;
}

std::string resource_data(const Pe &pe, const Resource &r) {
    size_t at = pe.offset_of(r.rva, r.size);
    return std::string(reinterpret_cast<const char *>(pe.file.p + at), r.size);
}

// ---- version resource ----

struct VersionNode {
    std::u16string key;
    uint16_t type = 0, value_length = 0;
    std::string value;
    std::vector<VersionNode> children;
};

// The node at b[at..]; offsets are relative to the resource's start, which
// is where the 4-byte alignment counts from.
VersionNode parse_version_node(const std::string &b, size_t at, size_t end, int depth) {
    Bytes v{reinterpret_cast<const unsigned char *>(b.data()), end};
    if (depth > 4) throw Error("version resource nested too deeply");
    VersionNode node;
    uint16_t length = v.u16(at);
    node.value_length = v.u16(at + 2);
    node.type = v.u16(at + 4);
    if (length < 6 || length > end - at) throw Error("bad node length in the version resource");
    size_t node_end = at + length;
    size_t p = at + 6;
    while (true) {
        if (p + 2 > node_end) throw Error("unterminated key in the version resource");
        char16_t u = v.u16(p);
        p += 2;
        if (!u) break;
        node.key.push_back(u);
    }
    p = (p + 3) & ~size_t{3};
    size_t value_bytes = node.type == 1 ? size_t{node.value_length} * 2 : node.value_length;
    if (value_bytes > 0) {
        if (p > node_end || value_bytes > node_end - p) throw Error("value runs past its node in the version resource");
        node.value = b.substr(p, value_bytes);
        p += value_bytes;
    }
    while (true) {
        p = (p + 3) & ~size_t{3};
        if (p >= node_end) break;
        node.children.push_back(parse_version_node(b, p, node_end, depth + 1));
        p += v.u16(p);
    }
    return node;
}

std::u16string text_of(const std::string &value) {
    std::u16string s;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
        char16_t u = get_le16(reinterpret_cast<const unsigned char *>(value.data()) + i);
        if (!u) break;
        s.push_back(u);
    }
    return s;
}

std::string four_part(uint32_t ms, uint32_t ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
           std::to_string(ls & 0xFFFF);
}

struct VersionFacts {
    bool present = false;
    std::string file_version, product_version;  // from the fixed part
    std::vector<std::pair<std::string, std::string>> strings;
    std::string string_value(const std::string &key) const {
        for (const auto &kv : strings)
            if (kv.first == key) return kv.second;
        return std::string();
    }
};

VersionFacts report_version(const std::string &data, std::ostream &out) {
    VersionFacts facts;
    VersionNode root = parse_version_node(data, 0, data.size(), 0);
    if (utf8_of(root.key) != "VS_VERSION_INFO" || root.value.size() < 52)
        throw Error("the version resource does not start with VS_VERSION_INFO and its fixed part");
    Bytes f{reinterpret_cast<const unsigned char *>(root.value.data()), root.value.size()};
    facts.present = true;
    facts.file_version = four_part(f.u32(8), f.u32(12));
    facts.product_version = four_part(f.u32(16), f.u32(20));
    out << "  fixed: signature " << hex_of(f.u32(0), 8) << ", struc version " << hex_of(f.u32(4), 0) << "\n"
        << "  file version " << facts.file_version << ", product version " << facts.product_version << "\n"
        << "  flags mask " << hex_of(f.u32(24), 0) << ", flags " << hex_of(f.u32(28), 0) << ", os "
        << hex_of(f.u32(32), 0) << ", type " << hex_of(f.u32(36), 0) << ", subtype " << hex_of(f.u32(40), 0)
        << ", date " << hex_of(f.u32(44), 0) << " " << hex_of(f.u32(48), 0) << "\n";
    for (const VersionNode &info : root.children) {
        std::string kind = utf8_of(info.key);
        for (const VersionNode &table : info.children) {
            if (kind == "StringFileInfo") {
                out << "  string table " << utf8_of(table.key) << ":\n";
                for (const VersionNode &s : table.children) {
                    std::string key = utf8_of(s.key), value = utf8_of(text_of(s.value));
                    out << "    " << key << ": " << value << "\n";
                    facts.strings.emplace_back(key, value);
                }
            } else if (kind == "VarFileInfo") {
                out << "  " << utf8_of(table.key) << ":";
                for (size_t i = 0; i + 3 < table.value.size(); i += 4) {
                    Bytes t{reinterpret_cast<const unsigned char *>(table.value.data()), table.value.size()};
                    out << " " << hex_of(t.u16(i), 4) << "/" << hex_of(t.u16(i + 2), 4);
                }
                out << "\n";
            }
        }
    }
    return facts;
}

// ---- icons ----

int report_icons(const Pe &pe, const std::vector<Resource> &all, std::ostream &out) {
    const Resource *group = nullptr;
    for (const Resource &r : all)
        if (r.type_is_id && r.type_id == RT_GROUP_ICON_ID) {
            group = &r;
            break;
        }
    if (!group) {
        out << "icons: none\n";
        return 0;
    }
    std::string dir = resource_data(pe, *group);
    Bytes g{reinterpret_cast<const unsigned char *>(dir.data()), dir.size()};
    uint16_t count = g.u16(4);
    out << "icons: group " << group->name << ", reserved " << g.u16(0) << ", type " << g.u16(2) << ", "
        << count << " images\n";
    int failed = 0;
    for (uint16_t i = 0; i < count; ++i) {
        size_t e = 6 + 14 * size_t{i};
        g.need(e, 14);
        unsigned w = g.p[e], h = g.p[e + 1];
        uint32_t bytes = g.u32(e + 8);
        uint16_t id = g.u16(e + 12);
        out << "  " << id << ": entry " << w << "x" << h << ", colours " << unsigned{g.p[e + 2]} << ", reserved "
            << unsigned{g.p[e + 3]} << ", planes " << g.u16(e + 4) << ", bits " << g.u16(e + 6) << ", " << bytes
            << " bytes";
        const Resource *image = find_resource(all, RT_ICON_ID, id);
        if (!image) {
            out << "; image missing\n";
            ++failed;
            continue;
        }
        uint32_t pw = 0, ph = 0;
        std::string png = resource_data(pe, *image);
        std::string problem = icon_png_problem(png, pw, ph);
        if (!problem.empty()) {
            out << "; image: " << problem << "\n";
            ++failed;
            continue;
        }
        out << "; PNG " << pw << "x" << ph << " RGBA 8-bit";
        if (image->size != bytes || (pw & 0xFF) != w || (ph & 0xFF) != h) {
            out << "; does not match its entry";
            ++failed;
        }
        out << "\n";
    }
    return failed;
}

// ---- signature ----

void report_signature(const Pe &pe, std::ostream &out) {
    uint32_t offset = pe.dir_rva[DIR_SECURITY], size = pe.dir_size[DIR_SECURITY];
    if (!size) {
        out << "signature: none\n";
        return;
    }
    pe.file.need(offset, size);
    uint64_t last_section_end = 0;
    for (const Section &s : pe.sections)
        last_section_end = std::max<uint64_t>(last_section_end, uint64_t{s.raw_offset} + s.raw_size);
    size_t entries = 0;
    out << "signature: certificate table of " << size << " bytes at offset " << offset
        << (offset >= last_section_end ? ", after the last section" : ", overlapping the sections")
        << (uint64_t{offset} + size == pe.file.n ? ", ends the file" : ", does not end the file") << "\n";
    for (uint32_t at = offset; at < offset + size; ++entries) {
        uint32_t length = pe.file.u32(at);
        if (length < 8 || length > offset + size - at) {
            out << "  entry with bad length " << length << "\n";
            return;
        }
        uint16_t revision = pe.file.u16(at + 4), type = pe.file.u16(at + 6);
        bool pkcs7 = type == WIN_CERT_TYPE_PKCS_SIGNED_DATA && length > 8 + 4 + sizeof SIGNED_DATA_OID &&
                     pe.file.p[at + 8] == 0x30 &&
                     (std::memcmp(pe.file.p + at + 12, SIGNED_DATA_OID, sizeof SIGNED_DATA_OID) == 0 ||
                      std::memcmp(pe.file.p + at + 10, SIGNED_DATA_OID, sizeof SIGNED_DATA_OID) == 0);
        out << "  entry " << entries << ": " << length << " bytes, revision " << hex_of(revision, 4) << ", type "
            << type << (pkcs7 ? ", PKCS #7 signed data" : ", not PKCS #7 signed data") << "\n";
        at += (length + 7) & ~uint32_t{7};
    }
}

// ---- payload ----

// The decoded entry stream of the payload's frame, read front to back.
class EntryStream {
public:
    EntryStream(const unsigned char *frame, size_t frame_bytes)
        : dctx_(ZSTD_createDCtx()), out_(DECODE_BUFFER_BYTES) {
        if (!dctx_) throw Error("zstd: cannot allocate a decompression context");
        in_ = ZSTD_inBuffer{frame, frame_bytes, 0};
    }
    ~EntryStream() { ZSTD_freeDCtx(dctx_); }
    EntryStream(const EntryStream &) = delete;
    EntryStream &operator=(const EntryStream &) = delete;

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
            ZSTD_outBuffer ob{out_.data(), out_.size(), 0};
            size_t rc = ZSTD_decompressStream(dctx_, &ob, &in_);
            if (ZSTD_isError(rc)) throw Error(std::string("the frame does not decode: ") + ZSTD_getErrorName(rc));
            pos_ = 0;
            have_ = ob.pos;
            decoded_ += ob.pos;
            if (rc == 0) finished_ = true;
            else if (ob.pos == 0 && in_.pos == in_.size) throw Error("the frame is truncated");
        }
        return done;
    }
    uint64_t decoded() const { return decoded_; }

private:
    ZSTD_DCtx *dctx_;
    ZSTD_inBuffer in_;
    std::vector<char> out_;
    size_t pos_ = 0, have_ = 0;
    bool finished_ = false;
    uint64_t decoded_ = 0;
};

// Reports the entries; returns the number of failed checks.
int report_entries(const unsigned char *frame, size_t frame_bytes, std::ostream &out) {
    EntryStream stream(frame, frame_bytes);
    std::vector<std::pair<std::u16string, uint64_t>> entries;
    try {
        for (;;) {
            std::u16string name;
            for (;;) {
                unsigned char unit[2];
                if (stream.read(unit, 2) != 2) throw Error("the entry stream ends inside a name");
                char16_t u = get_le16(unit);
                if (!u) break;
                if (name.size() == PAYLOAD_NAME_MAX_UNITS)
                    throw Error("an entry name is longer than " + std::to_string(PAYLOAD_NAME_MAX_UNITS) + " code units");
                name.push_back(u);
            }
            if (name.empty()) break;
            unsigned char size_bytes[8];
            if (stream.read(size_bytes, 8) != 8) throw Error("the entry stream ends inside a size");
            uint64_t size = get_le64(size_bytes);
            if (stream.read(nullptr, size) != size) throw Error("the entry stream ends inside the data of " + utf8_of(name));
            entries.emplace_back(std::move(name), size);
        }
        char extra;
        if (stream.read(&extra, 1) != 0) throw Error("decoded bytes follow the terminator");
    } catch (const Error &e) {
        out << "  entries: " << entries.size() << " read, then: " << e.what() << "\n";
        return 1;
    }
    out << "  entries: " << entries.size() << ", entry stream " << stream.decoded() << " bytes, ends with the terminator\n";
    for (const auto &e : entries) out << "    " << e.second << " " << utf8_of(e.first) << "\n";
    return 0;
}

// The values `vornak build` places after the payload (its length at the next
// multiple of 8, then product name and version as UTF-16 strings), when they
// are there. Returns false for an image laid out otherwise.
bool read_build_values(const Bytes &rdata, uint64_t payload_bytes, std::string &name, std::string &version) {
    BuildValuesLayout l = build_values_layout(payload_bytes, 0, 0);
    if (l.length_offset + 8 > rdata.n || rdata.u64(l.length_offset) != payload_bytes) return false;
    std::string *fields[2] = {&name, &version};
    size_t at = l.name_offset;
    for (std::string *field : fields) {
        std::u16string s;
        for (;; at += 2) {
            if (at + 2 > rdata.n || s.size() > BUILD_VALUE_MAX_UNITS) return false;
            char16_t u = rdata.u16(at);
            if (!u) break;
            s.push_back(u);
        }
        at += 2;
        *field = utf8_of(s);
    }
    return true;
}

// The frame header's settings (RFC 8878, 3.1.1.1); the frame has been
// measured already, so its header bytes are there.
std::string frame_header_text(const unsigned char *frame) {
    unsigned char descriptor = frame[4];
    bool single_segment = descriptor & 0x20;
    unsigned content_size_flag = descriptor >> 6;
    unsigned dictionary_flag = descriptor & 3;
    std::string text;
    if (single_segment) {
        text = "single segment";
    } else {
        unsigned wd = frame[5];
        uint64_t base = uint64_t{1} << (10 + (wd >> 3));
        text = "window " + std::to_string(base + base / 8 * (wd & 7)) + " bytes";
    }
    text += content_size_flag || single_segment ? ", content size" : ", no content size";
    text += descriptor & 4 ? ", checksum" : ", no checksum";
    text += dictionary_flag ? ", dictionary" : ", no dictionary";
    return text;
}

int report_payload(const Pe &pe, const VersionFacts &version, std::ostream &out) {
    const Section *rdata = nullptr;
    for (const Section &s : pe.sections)
        if (s.name == ".rdata") rdata = &s;
    if (!rdata) {
        out << "payload: no .rdata section\n";
        return 1;
    }
    pe.file.need(rdata->raw_offset, rdata->raw_size);
    Bytes r{pe.file.p + rdata->raw_offset, rdata->raw_size};
    if (r.n < PAYLOAD_MAGIC_BYTES || std::memcmp(r.p, PAYLOAD_MAGIC, PAYLOAD_MAGIC_BYTES) != 0) {
        out << "payload: .rdata does not open with the magic \"QOZ\"\n";
        return 1;
    }
    size_t frame_bytes = ZSTD_findFrameCompressedSize(r.p + PAYLOAD_MAGIC_BYTES, r.n - PAYLOAD_MAGIC_BYTES);
    if (ZSTD_isError(frame_bytes)) {
        out << "payload: magic at .rdata offset 0, but no zstd frame follows: " << ZSTD_getErrorName(frame_bytes) << "\n";
        return 1;
    }
    uint64_t trailer_at = PAYLOAD_MAGIC_BYTES + uint64_t{frame_bytes} + PAYLOAD_ZERO_FILL_BYTES;
    uint64_t payload_bytes = trailer_at + 8;
    out << "payload: magic at .rdata offset 0\n";
    out << "  frame: " << frame_bytes << " bytes, " << frame_header_text(r.p + PAYLOAD_MAGIC_BYTES) << "\n";
    int failed = report_entries(r.p + PAYLOAD_MAGIC_BYTES, frame_bytes, out);
    bool zero_fill = payload_bytes <= r.n;
    for (uint64_t i = PAYLOAD_MAGIC_BYTES + frame_bytes; zero_fill && i < trailer_at; ++i) zero_fill = r.p[i] == 0;
    if (!zero_fill || r.u64(trailer_at) != trailer_at) {
        out << "  trailer: wrong (expected " << PAYLOAD_ZERO_FILL_BYTES << " zero bytes and the value " << trailer_at
            << " after the frame)\n";
        return failed + 1;
    }
    out << "  trailer: " << trailer_at << " at offset " << trailer_at << ", correct; payload " << payload_bytes
        << " bytes\n";
    std::string name, version_text;
    if (!read_build_values(r, payload_bytes, name, version_text)) {
        out << "build values: not where vornak build places them\n";
        return failed;
    }
    out << "build values: payload length " << payload_bytes << ", product name \"" << name << "\", version \""
        << version_text << "\"\n";
    if (version.present) {
        bool agree = version.file_version == version_text && version.product_version == version_text;
        for (const char *key : {"CompanyName", "ProductName", "FileDescription"})
            agree = agree && version.string_value(key) == name;
        for (const char *key : {"FileVersion", "ProductVersion"})
            agree = agree && version.string_value(key) == version_text;
        out << "  " << (agree ? "agree" : "disagree") << " with the version resource\n";
        if (!agree) ++failed;
    }
    return failed;
}

}  // namespace

uint32_t pe_checksum(const std::string &image) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(image.data());
    Pe pe = parse_pe(p, image.size());
    pe.file.need(pe.checksum_offset, 4);
    return checksum_of(p, image.size(), pe.checksum_offset);
}

void align_payload_section(const std::string &path) {
    constexpr uint32_t PAGE_BYTES = 4096;
    constexpr size_t DEBUG_ENTRY_BYTES = 28, DEBUG_ENTRY_FILE_OFFSET = 24;
    std::vector<size_t> fields;  // file offsets of u32 fields that hold file offsets to move
    uint32_t start = 0;
    uint64_t file_bytes = 0;
    {
        MappedFile f(path);
        Pe pe = parse_pe(f.data(), f.size());
        if (pe.magic != PE32_PLUS_MAGIC) throw Error("the linked image is not PE32+");
        if (pe.dir_size[DIR_SECURITY] != 0) throw Error("the image is signed already; align it before signing");
        const Section *rdata = nullptr;
        for (const Section &sec : pe.sections)
            if (sec.name == ".rdata") rdata = &sec;
        if (!rdata) throw Error("the linked image has no .rdata section");
        start = rdata->raw_offset;
        if (start % PAGE_BYTES == 0) return;
        file_bytes = f.size();
        size_t table = pe.pe_offset + 4 + COFF_FILE_HEADER_BYTES + pe.optional_size;
        for (size_t i = 0; i < pe.sections.size(); ++i)
            if (pe.sections[i].raw_size != 0 && pe.sections[i].raw_offset >= start)
                fields.push_back(table + COFF_SECTION_HEADER_BYTES * i + 20);
        size_t symbols = pe.pe_offset + 4 + 8;
        if (pe.file.u32(symbols) >= start) fields.push_back(symbols);
        if (pe.dir_size[DIR_DEBUG] != 0) {
            size_t dir = pe.offset_of(pe.dir_rva[DIR_DEBUG], pe.dir_size[DIR_DEBUG]);
            for (size_t e = 0; e + DEBUG_ENTRY_BYTES <= pe.dir_size[DIR_DEBUG]; e += DEBUG_ENTRY_BYTES) {
                size_t field = dir + e + DEBUG_ENTRY_FILE_OFFSET;
                if (pe.file.u32(field) >= start) fields.push_back(field);
            }
        }
    }
    uint32_t pad = PAGE_BYTES - start % PAGE_BYTES;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        throw Error("cannot open '" + printable(path) + "' to align its sections: " + errno_text(err));
    }
    auto fail = [&](const char *what) {
        int err = errno;
        ::close(fd);
        throw Error(std::string("cannot ") + what + " '" + printable(path) + "': " + errno_text(err));
    };
    // Shift everything from start on by pad, last chunk first, then zero the gap.
    std::vector<char> chunk(1 << 20);
    for (uint64_t end = file_bytes; end > start;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), end - start));
        end -= n;
        if (::pread(fd, chunk.data(), n, static_cast<off_t>(end)) != static_cast<ssize_t>(n) ||
            ::pwrite(fd, chunk.data(), n, static_cast<off_t>(end + pad)) != static_cast<ssize_t>(n))
            fail("move the sections of");
    }
    std::fill(chunk.begin(), chunk.begin() + pad, '\0');
    if (::pwrite(fd, chunk.data(), pad, start) != static_cast<ssize_t>(pad)) fail("write the gap into");
    for (size_t field : fields) {
        // A field that itself lay behind start has moved with its section.
        off_t at = static_cast<off_t>(field >= start ? field + pad : field);
        unsigned char v[4];
        if (::pread(fd, v, 4, at) != 4) fail("read a file offset of");
        std::string le;
        put_le32(le, get_le32(v) + pad);
        if (::pwrite(fd, le.data(), 4, at) != 4) fail("write a file offset into");
    }
    if (::close(fd) != 0) {
        int err = errno;
        throw Error("cannot write '" + printable(path) + "': " + errno_text(err));
    }
}

void write_pe_checksum(const std::string &path) {
    uint32_t sum;
    size_t field;
    {
        MappedFile f(path);
        Pe pe = parse_pe(f.data(), f.size());
        field = pe.checksum_offset;
        pe.file.need(field, 4);
        sum = checksum_of(f.data(), f.size(), field);
    }
    std::string le;
    put_le32(le, sum);
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::pwrite(fd, le.data(), 4, static_cast<off_t>(field)) == 4;
    int err = errno;
    if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, err = errno;
    if (!ok) throw Error("cannot write the checksum into '" + printable(path) + "': " + errno_text(err));
}

void sign_image(const std::string &path, const std::string &certificate, const std::string &password_file,
                const std::string &product_name) {
    for (const std::string *f : {&certificate, &password_file})
        if (::access(f->c_str(), R_OK) != 0) {
            int err = errno;
            throw Error("cannot read '" + printable(*f) + "': " + errno_text(err));
        }
    std::string signed_path = path + ".signed";
    std::string output;
    int rc = run_collecting("osslsigncode",
                            {"sign", "-pkcs12", certificate, "-readpass", password_file, "-h", "sha256", "-n",
                             product_name, "-in", path, "-out", signed_path},
                            output);
    if (rc != 0) {
        ::unlink(signed_path.c_str());
        throw Error("signing with osslsigncode failed (exit code " + std::to_string(rc) + "): " +
                    printable(first_line(output)));
    }
    if (::rename(signed_path.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(signed_path.c_str());
        throw Error("cannot replace '" + printable(path) + "' with its signed form: " + errno_text(err));
    }
}

void finish_image(const BrandOptions &brand, const std::string &path) {
    if (!brand.sign_certificate.empty()) sign_image(path, brand.sign_certificate, brand.password_file, brand.name);
    write_pe_checksum(path);
}

int inspect_image(const std::string &path, std::ostream &out) {
    MappedFile f(path);
    Pe pe = parse_pe(f.data(), f.size());
    if (pe.magic != PE32_PLUS_MAGIC) throw Error("'" + printable(path) + "' is not a PE32+ image (magic " + hex_of(pe.magic, 4) + ")");
    int failed = 0;
    out << "image: " << printable(path) << ", " << f.size() << " bytes\n"
        << "format: PE32+ (magic " << hex_of(pe.magic, 3) << "), machine " << hex_of(pe.machine, 4)
        << (pe.machine == 0x8664 ? " (x86-64)" : "") << "\n"
        << "characteristics: " << hex_of(pe.characteristics, 4) << "\n"
        << "subsystem: " << pe.subsystem << (pe.subsystem == 2 ? " (Windows GUI)" : pe.subsystem == 3 ? " (console)" : "")
        << ", version " << pe.subsystem_major << "." << pe.subsystem_minor << "\n"
        << "os version: " << pe.os_major << "." << pe.os_minor << "\n"
        << "image base: " << hex_of(pe.image_base, 0) << "\n"
        << "dll characteristics: " << hex_of(pe.dll_characteristics, 4) << "\n"
        << "stack: reserve " << pe.stack_reserve << ", commit " << pe.stack_commit << "\n"
        << "heap: reserve " << pe.heap_reserve << ", commit " << pe.heap_commit << "\n"
        << "alignment: section " << pe.section_alignment << ", file " << pe.file_alignment << "\n"
        << "image size: " << pe.image_size << "\n"
        << "entry point: " << hex_of(pe.entry, 8) << "\n";
    pe.file.need(pe.checksum_offset, 4);
    uint32_t computed = checksum_of(f.data(), f.size(), pe.checksum_offset);
    out << "checksum: " << hex_of(pe.checksum, 8);
    if (pe.checksum == computed) {
        out << ", correct\n";
    } else {
        out << (pe.checksum ? ", wrong" : ", not set") << " (computed " << hex_of(computed, 8) << ")\n";
        ++failed;
    }
    out << "directories:";
    for (int i = 0; i < DIRECTORY_COUNT; ++i)
        if (pe.dir_size[i] || pe.dir_rva[i]) out << " " << DIRECTORY_NAMES[i];
    out << "\nsections:\n";
    for (const Section &s : pe.sections)
        out << "  " << printable(s.name) << ": va " << hex_of(s.virtual_address, 8) << ", virtual size "
            << s.virtual_size << ", file offset " << hex_of(s.raw_offset, 8) << ", file size " << s.raw_size
            << ", flags " << hex_of(s.flags, 8) << "\n";

    out << "imports:\n";
    for (const ImportLibrary &lib : read_imports(pe)) {
        out << "  " << lib.name << ":";
        for (const std::string &fn : lib.functions) out << " " << fn;
        out << "\n";
    }
    out << "delay imports: " << (pe.dir_size[DIR_DELAY_IMPORT] ? "present" : "none") << "\n";

    std::vector<Resource> resources = read_resources(pe);
    out << "resources:\n";
    for (const Resource &r : resources)
        out << "  type " << r.type << ", name " << r.name << ", language " << hex_of(r.language, 4) << ": " << r.size
            << " bytes\n";
    if (const Resource *m = find_resource(resources, RT_MANIFEST_ID, 1)) {
        std::string text = resource_data(pe, *m);
        out << "manifest: " << text.size() << " bytes\n  " << printable(text) << "\n";
    } else {
        out << "manifest: none\n";
    }
    VersionFacts version;
    if (const Resource *v = find_resource(resources, RT_VERSION_ID, 1)) {
        out << "version: " << v->size << " bytes\n";
        try {
            version = report_version(resource_data(pe, *v), out);
        } catch (const Error &e) {
            out << "  malformed: " << e.what() << "\n";
            ++failed;
        }
    } else {
        out << "version: none\n";
    }
    failed += report_icons(pe, resources, out);
    report_signature(pe, out);
    failed += report_payload(pe, version, out);
    out << "checks: " << (failed ? std::to_string(failed) + " failed" : std::string("passed")) << "\n";
    return failed;
}

}  // namespace vornak
