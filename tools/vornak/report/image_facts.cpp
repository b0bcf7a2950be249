// SPDX-License-Identifier: MIT
// Gathering the facts of an image for inspect: the headers from the PE
// reader, the version resource's tree, the icon group against its PNG
// images, the certificate table, and the payload with the build values that
// `vornak build` places behind it.
#include "tools/vornak/report/image_facts.h"

#include <algorithm>
#include <cstring>

#include "payload/format.h"
#include "tools/vornak/base/bytes.h"
#include "tools/vornak/pe/coff.h"
#include "tools/vornak/pe/layout.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/process.h"
#include "tools/vornak/pe/resources.h"

namespace vornak {

namespace {

constexpr uint32_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2;
constexpr size_t VERSION_FIXED_BYTES = 52;
// VS_FIXEDFILEINFO's fields.
constexpr size_t FIXED_SIGNATURE = 0, FIXED_STRUC_VERSION = 4, FIXED_FILE_VERSION_MS = 8, FIXED_FILE_VERSION_LS = 12,
                 FIXED_PRODUCT_VERSION_MS = 16, FIXED_PRODUCT_VERSION_LS = 20, FIXED_FLAGS_MASK = 24, FIXED_FLAGS = 28,
                 FIXED_OS = 32, FIXED_TYPE = 36, FIXED_SUBTYPE = 40, FIXED_DATE_MS = 44, FIXED_DATE_LS = 48;
constexpr int VERSION_MAX_DEPTH = 4;
constexpr size_t ICON_GROUP_HEADER_BYTES = 6, ICON_GROUP_ENTRY_BYTES = 14;

// DER prefix of a ContentInfo whose type is PKCS #7 signedData (1.2.840.113549.1.7.2),
// after the outer SEQUENCE header.
constexpr unsigned char SIGNED_DATA_OID[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

ByteView view_of(const std::string &b) { return ByteView{reinterpret_cast<const unsigned char *>(b.data()), b.size()}; }

// ---- version resource ----

struct VersionNode {
    std::u16string key;
    uint16_t type = 0, value_length = 0;
    std::string value;
    std::vector<VersionNode> children;
};

// The node at b[at..end): wLength, wValueLength, wType, the key with its
// NUL, padding to 4, the value, then each child at a 4-byte boundary.
// Offsets are relative to the resource's start, which is where the
// alignment counts from.
VersionNode parse_version_node(const std::string &b, size_t at, size_t end, int depth) {
    ByteView v{reinterpret_cast<const unsigned char *>(b.data()), end};
    if (depth > VERSION_MAX_DEPTH) throw Error("version resource: nested too deeply");
    VersionNode node;
    uint16_t length = v.u16(at);
    node.value_length = v.u16(at + 2);
    node.type = v.u16(at + 4);
    if (length < 6 || length > end - at) throw Error("version resource: a node length runs past its parent");
    size_t node_end = at + length;
    size_t p = at + 6;
    while (true) {
        if (p + 2 > node_end) throw Error("version resource: a key has no end");
        char16_t u = v.u16(p);
        p += 2;
        if (!u) break;
        node.key.push_back(u);
    }
    p = (p + 3) & ~size_t{3};
    size_t value_bytes = node.type == 1 ? size_t{node.value_length} * 2 : node.value_length;
    if (value_bytes > 0) {
        if (p > node_end || value_bytes > node_end - p) throw Error("version resource: a value runs past its node");
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

// A String node's value: UTF-16 up to its NUL.
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

// Fills facts from the resource's bytes; throws Error when they are malformed.
void read_version(const std::string &data, VersionFacts &facts) {
    VersionNode root = parse_version_node(data, 0, data.size(), 0);
    if (printable(root.key) != "VS_VERSION_INFO" || root.value.size() < VERSION_FIXED_BYTES)
        throw Error("version resource: does not start with VS_VERSION_INFO and its fixed part");
    ByteView f = view_of(root.value);
    facts.signature = f.u32(FIXED_SIGNATURE);
    facts.struc_version = f.u32(FIXED_STRUC_VERSION);
    facts.file_version = four_part(f.u32(FIXED_FILE_VERSION_MS), f.u32(FIXED_FILE_VERSION_LS));
    facts.product_version = four_part(f.u32(FIXED_PRODUCT_VERSION_MS), f.u32(FIXED_PRODUCT_VERSION_LS));
    facts.flags_mask = f.u32(FIXED_FLAGS_MASK);
    facts.flags = f.u32(FIXED_FLAGS);
    facts.os = f.u32(FIXED_OS);
    facts.type = f.u32(FIXED_TYPE);
    facts.subtype = f.u32(FIXED_SUBTYPE);
    facts.date_ms = f.u32(FIXED_DATE_MS);
    facts.date_ls = f.u32(FIXED_DATE_LS);
    for (const VersionNode &info : root.children) {
        std::string kind = printable(info.key);
        for (const VersionNode &table : info.children) {
            VersionFacts::Block block;
            block.key = printable(table.key);
            if (kind == "StringFileInfo") {
                for (const VersionNode &s : table.children)
                    block.strings.emplace_back(printable(s.key), printable(text_of(s.value)));
            } else if (kind == "VarFileInfo") {
                block.is_string_table = false;
                ByteView t = view_of(table.value);
                for (size_t i = 0; i + 3 < table.value.size(); i += 4) block.translations.emplace_back(t.u16(i), t.u16(i + 2));
            } else {
                continue;
            }
            facts.blocks.push_back(std::move(block));
        }
    }
}

// ---- icons ----

int read_icons(const PeImage &pe, const std::vector<PeResource> &all, IconFacts &facts) {
    const PeResource *group = nullptr;
    for (const PeResource &r : all)
        if (r.type_is_id && r.type_id == RT_GROUP_ICON_ID) {
            group = &r;
            break;
        }
    if (!group) return 0;
    std::string dir = resource_data(pe, *group);
    ByteView g = view_of(dir);
    facts.present = true;
    facts.group = group->name;
    facts.reserved = g.u16(0);
    facts.type = g.u16(2);
    facts.count = g.u16(4);
    int failed = 0;
    for (uint16_t i = 0; i < facts.count; ++i) {
        size_t e = ICON_GROUP_HEADER_BYTES + ICON_GROUP_ENTRY_BYTES * size_t{i};
        if (e + ICON_GROUP_ENTRY_BYTES > g.n)
            throw Error("icon group: entry " + std::to_string(i + 1) + " of " + std::to_string(facts.count) +
                        " lies beyond its " + std::to_string(g.n) + " bytes");
        IconFacts::Entry entry;
        entry.width = g.p[e];
        entry.height = g.p[e + 1];
        entry.colours = g.p[e + 2];
        entry.reserved = g.p[e + 3];
        entry.planes = g.u16(e + 4);
        entry.bits = g.u16(e + 6);
        entry.bytes = g.u32(e + 8);
        entry.id = g.u16(e + 12);
        const PeResource *image = find_resource(all, RT_ICON_ID, entry.id);
        if (!image) {
            entry.image_missing = true;
        } else {
            entry.problem = icon_png_problem(resource_data(pe, *image), entry.png_width, entry.png_height);
            // A group entry holds 256 as 0, hence the comparison of the low bytes.
            entry.matches = entry.problem.empty() && image->size == entry.bytes &&
                            (entry.png_width & 0xFF) == entry.width && (entry.png_height & 0xFF) == entry.height;
        }
        if (!entry.matches) ++failed;
        facts.entries.push_back(std::move(entry));
    }
    return failed;
}

// ---- signature ----

void read_signature(const PeImage &pe, SignatureFacts &facts) {
    uint32_t offset = pe.dir_rva[DIR_SECURITY], size = pe.dir_size[DIR_SECURITY];
    if (!size) return;
    // The security directory holds a file offset, not an RVA.
    if (offset > pe.file.n || size > pe.file.n - offset)
        throw Error("certificate table: " + std::to_string(size) + " bytes at offset " + hex_text(offset, 0) +
                    " lie beyond the end of the file (" + std::to_string(pe.file.n) + " bytes)");
    uint64_t last_section_end = 0;
    for (const PeSection &s : pe.sections)
        last_section_end = std::max<uint64_t>(last_section_end, uint64_t{s.raw_offset} + s.raw_size);
    facts.present = true;
    facts.offset = offset;
    facts.bytes = size;
    facts.after_last_section = offset >= last_section_end;
    facts.ends_file = uint64_t{offset} + size == pe.file.n;
    for (uint32_t at = offset; at < offset + size;) {
        SignatureFacts::Entry entry;
        entry.length = pe.file.u32(at);
        if (entry.length < 8 || entry.length > offset + size - at) {
            facts.bad_length = true;
            facts.bad_length_value = entry.length;
            facts.bad_length_offset = at;
            return;
        }
        entry.revision = pe.file.u16(at + 4);
        entry.type = pe.file.u16(at + 6);
        entry.pkcs7 = entry.type == WIN_CERT_TYPE_PKCS_SIGNED_DATA && entry.length > 8 + 4 + sizeof SIGNED_DATA_OID &&
                      pe.file.p[at + 8] == 0x30 &&
                      (std::memcmp(pe.file.p + at + 12, SIGNED_DATA_OID, sizeof SIGNED_DATA_OID) == 0 ||
                       std::memcmp(pe.file.p + at + 10, SIGNED_DATA_OID, sizeof SIGNED_DATA_OID) == 0);
        facts.entries.push_back(entry);
        at += (entry.length + 7) & ~uint32_t{7};
    }
}

// The text after "label" on the first line at or after from that holds it,
// blanks trimmed; empty when there is none.
std::string field_after(const std::string &text, const std::string &label, size_t from = 0) {
    size_t at = text.find(label, from);
    if (at == std::string::npos) return std::string();
    at += label.size();
    size_t end = text.find('\n', at);
    std::string value = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    size_t first = value.find_first_not_of(" \t"), last = value.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

// Asks osslsigncode to verify the signature against the host's certificate
// authorities and reads its report (the layout of osslsigncode 2.x).
void check_signature(const std::string &path, SignatureFacts &facts) {
    std::string output;
    int rc;
    try {
        rc = run_program("osslsigncode", {"verify", "-in", path}, &output, true);
    } catch (const Error &) {
        facts.check.not_done = "osslsigncode is not installed";
        return;
    }
    SignatureFacts::Check &c = facts.check;
    // glibc's posix_spawnp may start a child that fails to exec.
    if (rc == 127 && output.find("digest") == std::string::npos) {
        c.not_done = "osslsigncode is not installed";
        return;
    }
    std::string current = field_after(output, "Current message digest"),
                calculated = field_after(output, "Calculated message digest");
    c.digest_matches = !current.empty() && current == calculated;
    size_t signer_at = output.find("Signer's certificate:");
    if (signer_at != std::string::npos) {
        c.signer = field_after(output, "Subject:", signer_at);
        c.issuer = field_after(output, "Issuer :", signer_at);
    }
    c.signing_time = field_after(output, "Signing time:");
    size_t counter_at = output.find("Countersignatures:");
    if (counter_at != std::string::npos) {
        c.timestamp_time = field_after(output, "Timestamp time:", counter_at);
        c.timestamp_authority = field_after(output, "Issuer:", counter_at);
    }
    c.trusted = rc == 0 && output.find("Signature verification: ok") != std::string::npos;
    c.problem = field_after(output, "Error:");
    if (c.problem.empty() && !c.trusted) c.problem = "osslsigncode verify failed (exit code " + std::to_string(rc) + ")";
    for (std::string *s : {&c.signer, &c.issuer, &c.signing_time, &c.timestamp_time, &c.timestamp_authority, &c.problem})
        *s = printable(*s);
}

// ---- payload ----

// The frame header's descriptor and window byte; the frame has been measured
// already, so its header bytes are there.
void read_frame_header(const unsigned char *frame, PayloadFacts &facts) {
    unsigned char descriptor = frame[4];
    facts.single_segment = descriptor & 0x20;
    facts.content_size = (descriptor >> 6) != 0 || facts.single_segment;
    facts.checksum = descriptor & 4;
    facts.dictionary = (descriptor & 3) != 0;
    if (!facts.single_segment) {
        unsigned wd = frame[5];
        uint64_t base = uint64_t{1} << (10 + (wd >> 3));
        facts.window_bytes = base + base / 8 * (wd & 7);
    }
}

// The product name or version string at `at`, when a terminated one of at
// most BUILD_VALUE_MAX_UNITS units is there; advances at past it.
bool read_build_value(ByteView rdata, size_t &at, std::string &value) {
    std::u16string s;
    for (;; at += 2) {
        if (at + 2 > rdata.n || s.size() > BUILD_VALUE_MAX_UNITS) return false;
        char16_t u = rdata.u16(at);
        if (!u) break;
        s.push_back(u);
    }
    at += 2;
    value = printable(s);
    return true;
}

int read_payload(const PeImage &pe, const VersionFacts &version, PayloadFacts &facts) {
    const PeSection *section = pe.section(".rdata");
    if (!section) return 1;
    ByteView rdata = pe.section_data(*section);
    PayloadParts parts = locate_payload(rdata);
    if (parts.problem == PayloadParts::NO_MAGIC) {
        facts.state = PayloadFacts::NO_MAGIC;
        return 1;
    }
    if (parts.problem == PayloadParts::NO_FRAME) {
        facts.state = PayloadFacts::NO_FRAME;
        facts.frame_error = parts.frame_error;
        return 1;
    }
    facts.state = PayloadFacts::FOUND;
    facts.frame_bytes = parts.frame_bytes;
    read_frame_header(parts.frame, facts);
    int failed = 0;
    try {
        facts.stream_bytes = read_payload_entries(parts.frame, parts.frame_bytes,
                                                  [&](const PayloadEntry &e, EntryData &) { facts.entries.push_back(e); });
    } catch (const Error &e) {
        facts.entry_error = e.what();
        ++failed;
    }
    facts.trailer_offset = parts.trailer_offset;
    facts.payload_bytes = parts.payload_bytes;
    facts.trailer_correct = parts.tail_correct;
    if (!parts.tail_correct) return failed + 1;

    BuildValuesLayout layout = build_values_layout(parts.payload_bytes, BuildValueStrings());
    size_t at = layout.string_offsets[0];
    facts.build_values_found = layout.length_offset + 8 <= rdata.n && rdata.u64(layout.length_offset) == parts.payload_bytes &&
                               read_build_value(rdata, at, facts.product_name) &&
                               read_build_value(rdata, at, facts.product_version) &&
                               read_build_value(rdata, at, facts.company_name) &&
                               read_build_value(rdata, at, facts.file_version) &&
                               read_build_value(rdata, at, facts.cache_template) &&
                               read_build_value(rdata, at, facts.cache_key);
    // The options and the splash record's size follow the strings at the next multiple of 8.
    size_t options_at = (at + 7) & ~size_t{7};
    facts.build_values_found = facts.build_values_found && options_at + 8 + SPLASH_HEADER_BYTES <= rdata.n;
    if (facts.build_values_found) {
        facts.launcher_options = rdata.u32(options_at);
        facts.splash_width = rdata.u32(options_at + 8);
        facts.splash_height = rdata.u32(options_at + 12);
    }
    if (!facts.build_values_found || !version.present || !version.malformed.empty()) return failed;
    facts.agreement_checked = true;
    bool agree = version.file_version == facts.file_version && version.product_version == facts.product_version &&
                 version.string_value("CompanyName") == facts.company_name &&
                 version.string_value("ProductName") == facts.product_name &&
                 version.string_value("FileVersion") == facts.file_version &&
                 version.string_value("ProductVersion") == facts.product_version;
    facts.agrees = agree;
    return agree ? failed : failed + 1;
}

}  // namespace

// Everything inspect reads, from the mapped file; errors name their table only.
static ImageFacts gather_facts(const std::string &path, const MappedFile &f);

std::string VersionFacts::string_value(const std::string &key) const {
    for (const Block &b : blocks)
        for (const auto &kv : b.strings)
            if (kv.first == key) return kv.second;
    return std::string();
}

static ImageFacts gather_facts(const std::string &path, const MappedFile &f) {
    PeImage pe = parse_pe(f.data(), f.size());
    if (pe.magic != PE32_PLUS_MAGIC)
        throw Error("not a PE32+ image (magic " + hex_text(pe.magic, 4) + ")");
    ImageFacts facts;
    facts.path = printable(path);
    facts.file_bytes = f.size();
    facts.magic = pe.magic;
    facts.machine = pe.machine;
    facts.characteristics = pe.characteristics;
    facts.subsystem = pe.subsystem;
    facts.subsystem_major = pe.subsystem_major;
    facts.subsystem_minor = pe.subsystem_minor;
    facts.os_major = pe.os_major;
    facts.os_minor = pe.os_minor;
    facts.image_base = pe.image_base;
    facts.dll_characteristics = pe.dll_characteristics;
    facts.stack_reserve = pe.stack_reserve;
    facts.stack_commit = pe.stack_commit;
    facts.heap_reserve = pe.heap_reserve;
    facts.heap_commit = pe.heap_commit;
    facts.section_alignment = pe.section_alignment;
    facts.file_alignment = pe.file_alignment;
    facts.image_size = pe.image_size;
    facts.entry = pe.entry;
    facts.checksum = pe.checksum;
    pe.file.need(pe.checksum_offset, 4);
    facts.computed_checksum = pe_checksum(f.data(), f.size(), pe.checksum_offset);
    if (facts.checksum != facts.computed_checksum) ++facts.failed_checks;
    for (int i = 0; i < DIRECTORY_COUNT; ++i)
        if (pe.dir_size[i] || pe.dir_rva[i]) facts.directories.push_back(PE_DIRECTORY_NAMES[i]);
    facts.sections = pe.sections;
    for (PeSection &s : facts.sections) s.name = printable(s.name);
    facts.layout_problems = image_layout_problems(pe);
    facts.failed_checks += static_cast<int>(facts.layout_problems.size());
    facts.imports = read_imports(pe);
    facts.delay_imports = pe.dir_size[DIR_DELAY_IMPORT] != 0;
    facts.resources = read_resources(pe);
    if (const PeResource *m = find_resource(facts.resources, RT_MANIFEST_ID, 1)) {
        facts.manifest_present = true;
        facts.manifest_bytes = m->size;
        facts.manifest = printable(resource_data(pe, *m));
    }
    if (const PeResource *v = find_resource(facts.resources, RT_VERSION_ID, 1)) {
        facts.version.present = true;
        facts.version.bytes = v->size;
        try {
            read_version(resource_data(pe, *v), facts.version);
        } catch (const Error &e) {
            facts.version = VersionFacts();
            facts.version.present = true;
            facts.version.bytes = v->size;
            // Reads through a view of the resource's bytes say nothing of where they were.
            std::string what = e.what();
            const std::string table = "version resource: ";
            facts.version.malformed = what.rfind(table, 0) == 0 ? what : table + what;
            ++facts.failed_checks;
        }
    }
    for (const PeResource &r : facts.resources) {
        if (!(r.type_is_id && r.type_id == RT_RCDATA_ID && r.name == DROPPED_FOLDERS_NAME_TEXT)) continue;
        std::string text = resource_data(pe, r);
        for (size_t at = 0; at < text.size();) {
            size_t end = std::min(text.find('\n', at), text.size());
            facts.dropped_folders.push_back(printable(text.substr(at, end - at)));
            at = end + 1;
        }
        break;
    }
    try {
        facts.failed_checks += read_icons(pe, facts.resources, facts.icons);
    } catch (const Error &e) {
        std::string what = e.what();
        throw Error(what.rfind("icon group: ", 0) == 0 || what.rfind("resource data: ", 0) == 0 ? what
                                                                                                : "icon group: " + what);
    }
    read_signature(pe, facts.signature);
    if (facts.signature.bad_length) {
        ++facts.failed_checks;
    } else if (facts.signature.present) {
        check_signature(path, facts.signature);
        // An untrusted chain is the normal case for a test certificate; a
        // digest that does not match means the image changed after signing.
        if (facts.signature.check.not_done.empty() && !facts.signature.check.digest_matches) ++facts.failed_checks;
    }
    facts.failed_checks += read_payload(pe, facts.version, facts.payload);
    return facts;
}

ImageFacts gather_image_facts(const std::string &path) {
    MappedFile f(path);
    try {
        return gather_facts(path, f);
    } catch (const Error &e) {
        throw Error(printable(path) + ": " + e.what());
    }
}

}  // namespace vornak
