// SPDX-License-Identifier: MIT
// The JSON form of the inspect report, built with nlohmann::json. It holds
// the facts of the text report under stable keys; numbers stay numbers
// (addresses and flags too), and a part the image lacks is null.
#include "tools/vornak/report/image_report.h"
#include "payload/format.h"

#include <ostream>

#include <nlohmann/json.hpp>

#include "tools/vornak/base/error.h"

namespace vornak {

namespace {

using json = nlohmann::ordered_json;  // keys in the order of the text report

json header_json(const ImageFacts &f) {
    json sections = json::array();
    for (const PeSection &s : f.sections)
        sections.push_back({{"name", s.name}, {"virtual_address", s.virtual_address}, {"virtual_size", s.virtual_size},
                            {"file_offset", s.raw_offset}, {"file_size", s.raw_size}, {"flags", s.flags}});
    json imports = json::array();
    for (const PeImport &lib : f.imports) imports.push_back({{"library", lib.library}, {"functions", lib.functions}});
    return {
        {"image", {{"path", f.path}, {"bytes", f.file_bytes}}},
        {"magic", f.magic},
        {"machine", f.machine},
        {"characteristics", f.characteristics},
        {"subsystem", {{"value", f.subsystem}, {"major", f.subsystem_major}, {"minor", f.subsystem_minor}}},
        {"os_version", {{"major", f.os_major}, {"minor", f.os_minor}}},
        {"image_base", f.image_base},
        {"dll_characteristics", f.dll_characteristics},
        {"stack", {{"reserve", f.stack_reserve}, {"commit", f.stack_commit}}},
        {"heap", {{"reserve", f.heap_reserve}, {"commit", f.heap_commit}}},
        {"alignment", {{"section", f.section_alignment}, {"file", f.file_alignment}}},
        {"image_size", f.image_size},
        {"entry_point", f.entry},
        {"checksum", {{"stored", f.checksum}, {"computed", f.computed_checksum}, {"correct", f.checksum == f.computed_checksum}}},
        {"directories", f.directories},
        {"sections", sections},
        {"layout_problems", f.layout_problems},
        {"imports", imports},
        {"delay_imports", f.delay_imports},
    };
}

json version_json(const VersionFacts &v) {
    if (!v.present) return nullptr;
    if (!v.malformed.empty()) return {{"bytes", v.bytes}, {"malformed", v.malformed}};
    json string_tables = json::array(), translations = json::array();
    for (const VersionFacts::Block &b : v.blocks) {
        if (b.is_string_table) {
            json strings = json::array();
            for (const auto &kv : b.strings) strings.push_back({{"key", kv.first}, {"value", kv.second}});
            string_tables.push_back({{"key", b.key}, {"strings", strings}});
        } else {
            for (const auto &t : b.translations)
                translations.push_back({{"key", b.key}, {"language", t.first}, {"code_page", t.second}});
        }
    }
    return {
        {"bytes", v.bytes},
        {"malformed", nullptr},
        {"signature", v.signature},
        {"struc_version", v.struc_version},
        {"file_version", v.file_version},
        {"product_version", v.product_version},
        {"flags_mask", v.flags_mask},
        {"flags", v.flags},
        {"os", v.os},
        {"type", v.type},
        {"subtype", v.subtype},
        {"date", {v.date_ms, v.date_ls}},
        {"string_tables", string_tables},
        {"translations", translations},
    };
}

json icons_json(const IconFacts &icons) {
    if (!icons.present) return nullptr;
    json images = json::array();
    for (const IconFacts::Entry &e : icons.entries) {
        json png = nullptr;
        if (!e.image_missing && e.problem.empty()) png = {{"width", e.png_width}, {"height", e.png_height}};
        images.push_back({{"id", e.id}, {"width", e.width}, {"height", e.height}, {"colours", e.colours},
                          {"reserved", e.reserved}, {"planes", e.planes}, {"bits", e.bits}, {"bytes", e.bytes},
                          {"image_missing", e.image_missing},
                          {"problem", e.problem.empty() ? json(nullptr) : json(e.problem)}, {"png", png},
                          {"matches", e.matches}});
    }
    return {{"group", icons.group}, {"reserved", icons.reserved}, {"type", icons.type}, {"count", icons.count},
            {"images", images}};
}

json signature_json(const SignatureFacts &s) {
    if (!s.present) return nullptr;
    json entries = json::array();
    for (const SignatureFacts::Entry &e : s.entries)
        entries.push_back({{"bytes", e.length}, {"revision", e.revision}, {"type", e.type}, {"pkcs7_signed_data", e.pkcs7}});
    return {{"offset", s.offset}, {"bytes", s.bytes}, {"after_last_section", s.after_last_section},
            {"ends_file", s.ends_file}, {"entries", entries},
            {"bad_entry_length", s.bad_length ? json(s.bad_length_value) : json(nullptr)}};
}

json signature_check_json(const SignatureFacts &s) {
    if (!s.present || s.bad_length) return nullptr;
    const SignatureFacts::Check &c = s.check;
    if (!c.not_done.empty()) return {{"done", false}, {"why_not", c.not_done}};
    auto text = [](const std::string &v) { return v.empty() ? json(nullptr) : json(v); };
    return {{"done", true},
            {"digest_matches", c.digest_matches},
            {"trusted", c.trusted},
            {"problem", c.trusted ? json(nullptr) : text(c.problem)},
            {"signer", text(c.signer)},
            {"issuer", text(c.issuer)},
            {"signing_time", text(c.signing_time)},
            {"timestamp", c.timestamp_time.empty() ? json(nullptr)
                                                    : json({{"time", c.timestamp_time},
                                                            {"authority", text(c.timestamp_authority)}})}};
}

json payload_json(const PayloadFacts &p) {
    static const char *const STATES[] = {"no .rdata section", "no magic", "no zstd frame", "found"};
    json payload = {{"state", STATES[p.state]},
                    {"frame_error", p.frame_error.empty() ? json(nullptr) : json(p.frame_error)}};
    if (p.state != PayloadFacts::FOUND) return payload;
    json entries = json::array();
    for (const PayloadEntry &e : p.entries) entries.push_back({{"name", printable(e.name)}, {"size", e.size}});
    payload["frame"] = {{"bytes", p.frame_bytes},
                        {"single_segment", p.single_segment},
                        {"window_bytes", p.single_segment ? json(nullptr) : json(p.window_bytes)},
                        {"content_size", p.content_size},
                        {"checksum", p.checksum},
                        {"dictionary", p.dictionary}};
    payload["entries"] = entries;
    payload["entry_error"] = p.entry_error.empty() ? json(nullptr) : json(p.entry_error);
    payload["stream_bytes"] = p.entry_error.empty() ? json(p.stream_bytes) : json(nullptr);
    payload["trailer"] = {{"correct", p.trailer_correct}, {"offset", p.trailer_offset}};
    payload["bytes"] = p.payload_bytes;
    return payload;
}

json build_values_json(const PayloadFacts &p) {
    if (!p.build_values_found) return nullptr;
    return {{"payload_bytes", p.payload_bytes},
            {"product_name", p.product_name},
            {"version", p.product_version},
            {"company_name", p.company_name},
            {"file_version", p.file_version},
            {"extraction", p.cache_template.empty()
                               ? json{{"mode", "per-run"}}
                               : json{{"mode", "cache"},
                                      {"template", p.cache_template},
                                      {"key", p.cache_key},
                                      {"directory", p.cache_template + "\\" +
                                                        p.cache_key.substr(0, CACHE_KEY_SHORT_UNITS)}}},
            {"error_dialog", (p.launcher_options & LAUNCHER_OPTION_ERROR_DIALOG) != 0},
            {"splash", p.launcher_options & LAUNCHER_OPTION_SPLASH
                           ? json{{"width", p.splash_width}, {"height", p.splash_height}}
                           : json(nullptr)},
            {"agrees_with_version_resource", p.agreement_checked ? json(p.agrees) : json(nullptr)}};
}

}  // namespace

void write_json_report(const ImageFacts &f, std::ostream &out) {
    json report = header_json(f);
    json resources = json::array();
    for (const PeResource &r : f.resources)
        resources.push_back({{"type", r.type}, {"name", r.name}, {"language", r.language}, {"bytes", r.size}});
    report["resources"] = resources;
    report["manifest"] = f.manifest_present ? json{{"bytes", f.manifest_bytes}, {"text", f.manifest}} : json(nullptr);
    report["dropped_empty_folders"] = f.dropped_folders;
    report["version"] = version_json(f.version);
    report["icons"] = icons_json(f.icons);
    report["signature"] = signature_json(f.signature);
    report["signature_check"] = signature_check_json(f.signature);
    report["payload"] = payload_json(f.payload);
    report["build_values"] = build_values_json(f.payload);
    report["checks"] = {{"failed", f.failed_checks}, {"passed", f.failed_checks == 0}};
    // printable() gave every string valid UTF-8 already; replace rather than
    // throw should anything slip through.
    out << report.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

}  // namespace vornak
