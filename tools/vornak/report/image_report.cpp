// SPDX-License-Identifier: MIT
// The text form of the inspect report. Tests and people read it line by
// line, so each fact keeps its key and its place.
#include "tools/vornak/report/image_report.h"

#include <ostream>
#include <string>

#include "payload/format.h"
#include "tools/vornak/base/error.h"

namespace vornak {

namespace {

void write_header(const ImageFacts &f, std::ostream &out) {
    out << "image: " << f.path << ", " << f.file_bytes << " bytes\n"
        << "format: PE32+ (magic " << hex_text(f.magic, 3) << "), machine " << hex_text(f.machine, 4)
        << (f.machine == 0x8664 ? " (x86-64)" : "") << "\n"
        << "characteristics: " << hex_text(f.characteristics, 4) << "\n"
        << "subsystem: " << f.subsystem << (f.subsystem == 2 ? " (Windows GUI)" : f.subsystem == 3 ? " (console)" : "")
        << ", version " << f.subsystem_major << "." << f.subsystem_minor << "\n"
        << "os version: " << f.os_major << "." << f.os_minor << "\n"
        << "image base: " << hex_text(f.image_base, 0) << "\n"
        << "dll characteristics: " << hex_text(f.dll_characteristics, 4) << "\n"
        << "stack: reserve " << f.stack_reserve << ", commit " << f.stack_commit << "\n"
        << "heap: reserve " << f.heap_reserve << ", commit " << f.heap_commit << "\n"
        << "alignment: section " << f.section_alignment << ", file " << f.file_alignment << "\n"
        << "image size: " << f.image_size << "\n"
        << "entry point: " << hex_text(f.entry, 8) << "\n";
    out << "checksum: " << hex_text(f.checksum, 8);
    if (f.checksum == f.computed_checksum)
        out << ", correct\n";
    else
        out << (f.checksum ? ", wrong" : ", not set") << " (computed " << hex_text(f.computed_checksum, 8) << ")\n";
    out << "directories:";
    for (const std::string &d : f.directories) out << " " << d;
    out << "\nsections:\n";
    for (const PeSection &s : f.sections)
        out << "  " << s.name << ": va " << hex_text(s.virtual_address, 8) << ", virtual size " << s.virtual_size
            << ", file offset " << hex_text(s.raw_offset, 8) << ", file size " << s.raw_size << ", flags "
            << hex_text(s.flags, 8) << "\n";
    out << "layout: " << (f.layout_problems.empty() ? "loadable" : "not loadable") << "\n";
    for (const std::string &p : f.layout_problems) out << "  " << p << "\n";
    out << "imports:\n";
    for (const PeImport &lib : f.imports) {
        out << "  " << lib.library << ":";
        for (const std::string &fn : lib.functions) out << " " << fn;
        out << "\n";
    }
    out << "delay imports: " << (f.delay_imports ? "present" : "none") << "\n";
}

void write_resources(const ImageFacts &f, std::ostream &out) {
    out << "resources:\n";
    for (const PeResource &r : f.resources)
        out << "  type " << r.type << ", name " << r.name << ", language " << hex_text(r.language, 4) << ": " << r.size
            << " bytes\n";
    if (f.manifest_present)
        out << "manifest: " << f.manifest_bytes << " bytes\n  " << f.manifest << "\n";
    else
        out << "manifest: none\n";
    if (f.dropped_folders.empty()) {
        out << "dropped empty folders: none recorded (none was dropped, or the build took a ready payload file)\n";
    } else {
        out << "dropped empty folders: " << f.dropped_folders.size() << " (a payload holds files only)\n";
        for (const std::string &d : f.dropped_folders) out << "  " << d << "\n";
    }
    const VersionFacts &v = f.version;
    if (!v.present) {
        out << "version: none\n";
    } else if (!v.malformed.empty()) {
        out << "version: " << v.bytes << " bytes\n  malformed: " << v.malformed << "\n";
    } else {
        out << "version: " << v.bytes << " bytes\n"
            << "  fixed: signature " << hex_text(v.signature, 8) << ", struc version " << hex_text(v.struc_version, 0) << "\n"
            << "  file version " << v.file_version << ", product version " << v.product_version << "\n"
            << "  flags mask " << hex_text(v.flags_mask, 0) << ", flags " << hex_text(v.flags, 0) << ", os "
            << hex_text(v.os, 0) << ", type " << hex_text(v.type, 0) << ", subtype " << hex_text(v.subtype, 0)
            << ", date " << hex_text(v.date_ms, 0) << " " << hex_text(v.date_ls, 0) << "\n";
        for (const VersionFacts::Block &b : v.blocks) {
            if (b.is_string_table) {
                out << "  string table " << b.key << ":\n";
                for (const auto &kv : b.strings) out << "    " << kv.first << ": " << kv.second << "\n";
            } else {
                out << "  " << b.key << ":";
                for (const auto &t : b.translations) out << " " << hex_text(t.first, 4) << "/" << hex_text(t.second, 4);
                out << "\n";
            }
        }
    }
    const IconFacts &icons = f.icons;
    if (!icons.present) {
        out << "icons: none\n";
        return;
    }
    out << "icons: group " << icons.group << ", reserved " << icons.reserved << ", type " << icons.type << ", "
        << icons.count << " images\n";
    for (const IconFacts::Entry &e : icons.entries) {
        out << "  " << e.id << ": entry " << e.width << "x" << e.height << ", colours " << e.colours << ", reserved "
            << e.reserved << ", planes " << e.planes << ", bits " << e.bits << ", " << e.bytes << " bytes";
        if (e.image_missing)
            out << "; image missing";
        else if (!e.problem.empty())
            out << "; image: " << e.problem;
        else
            out << "; PNG " << e.png_width << "x" << e.png_height << " RGBA 8-bit" << (e.matches ? "" : "; does not match its entry");
        out << "\n";
    }
}

void write_signature(const SignatureFacts &s, std::ostream &out) {
    if (!s.present) {
        out << "signature: none\n";
        return;
    }
    out << "signature: certificate table of " << s.bytes << " bytes at offset " << s.offset
        << (s.after_last_section ? ", after the last section" : ", overlapping the sections")
        << (s.ends_file ? ", ends the file" : ", does not end the file") << "\n";
    for (size_t i = 0; i < s.entries.size(); ++i)
        out << "  entry " << i << ": " << s.entries[i].length << " bytes, revision " << hex_text(s.entries[i].revision, 4)
            << ", type " << s.entries[i].type
            << (s.entries[i].pkcs7 ? ", PKCS #7 signed data" : ", not PKCS #7 signed data") << "\n";
    if (s.bad_length)
        out << "  certificate table: the entry at offset " << hex_text(s.bad_length_offset, 0) << " has a bad length ("
            << s.bad_length_value << " bytes)\n";
    if (s.bad_length) return;
    const SignatureFacts::Check &c = s.check;
    if (!c.not_done.empty()) {
        out << "signature check: not done (" << c.not_done << ")\n";
        return;
    }
    out << "signature check: " << (c.digest_matches ? "digest matches the image" : "digest does not match the image")
        << (c.trusted ? ", chain trusted" : ", chain not trusted (" + c.problem + ")") << "\n";
    out << "  signer: " << c.signer << " (issued by " << c.issuer << ")\n";
    if (!c.signing_time.empty()) out << "  signing time: " << c.signing_time << "\n";
    if (c.timestamp_time.empty())
        out << "  timestamp: none (the signature stops validating when the certificate expires)\n";
    else
        out << "  timestamp: " << c.timestamp_time << " by " << c.timestamp_authority << "\n";
}

void write_payload(const PayloadFacts &p, std::ostream &out) {
    switch (p.state) {
    case PayloadFacts::NO_RDATA:
        out << "payload: no .rdata section\n";
        return;
    case PayloadFacts::NO_MAGIC:
        out << "payload: .rdata does not open with the magic \"" << PAYLOAD_MAGIC << "\"\n";
        return;
    case PayloadFacts::NO_FRAME:
        out << "payload: magic at .rdata offset 0, but no zstd frame follows: " << p.frame_error << "\n";
        return;
    case PayloadFacts::FOUND:
        break;
    }
    out << "payload: magic at .rdata offset 0\n";
    out << "  frame: " << p.frame_bytes << " bytes, "
        << (p.single_segment ? std::string("single segment") : "window " + std::to_string(p.window_bytes) + " bytes")
        << (p.content_size ? ", content size" : ", no content size") << (p.checksum ? ", checksum" : ", no checksum")
        << (p.dictionary ? ", dictionary" : ", no dictionary") << "\n";
    if (!p.entry_error.empty()) {
        out << "  entries: " << p.entries.size() << " read, then: " << p.entry_error << "\n";
    } else {
        out << "  entries: " << p.entries.size() << ", entry stream " << p.stream_bytes << " bytes, ends with the terminator\n";
        for (const PayloadEntry &e : p.entries) out << "    " << e.size << " " << printable(e.name) << "\n";
    }
    if (!p.trailer_correct) {
        out << "  trailer: wrong (expected " << PAYLOAD_ZERO_FILL_BYTES << " zero bytes and the value " << p.trailer_offset
            << " after the frame)\n";
        return;
    }
    out << "  trailer: " << p.trailer_offset << " at offset " << p.trailer_offset << ", correct; payload " << p.payload_bytes
        << " bytes\n";
    if (!p.build_values_found) {
        out << "build values: not where vornak build places them\n";
        return;
    }
    out << "build values: payload length " << p.payload_bytes << ", product name \"" << p.product_name << "\", version \""
        << p.product_version << "\"\n";
    out << "  company \"" << p.company_name << "\", file version \"" << p.file_version << "\"\n";
    if (p.cache_template.empty())
        out << "  extraction: a fresh directory per start, removed at the end\n";
    else
        out << "  extraction: cached in \"" << p.cache_template << "\\" << p.cache_key.substr(0, CACHE_KEY_SHORT_UNITS)
            << "\", key " << p.cache_key << "\n";
    if (p.launcher_options & LAUNCHER_OPTION_SPLASH)
        out << "  splash: " << p.splash_width << " x " << p.splash_height
            << " pixels, shown while a start still unpacks after 400 ms\n";
    else
        out << "  splash: none\n";
    out << "  error dialog: " << (p.launcher_options & LAUNCHER_OPTION_ERROR_DIALOG ? "yes" : "no") << "\n";
    if (p.agreement_checked) out << "  " << (p.agrees ? "agree" : "disagree") << " with the version resource\n";
}

}  // namespace

void write_text_report(const ImageFacts &facts, std::ostream &out) {
    write_header(facts, out);
    write_resources(facts, out);
    write_signature(facts.signature, out);
    write_payload(facts.payload, out);
    out << "checks: " << (facts.failed_checks ? std::to_string(facts.failed_checks) + " failed" : std::string("passed"))
        << "\n";
}

}  // namespace vornak
