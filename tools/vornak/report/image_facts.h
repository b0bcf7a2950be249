// SPDX-License-Identifier: MIT
// What `vornak inspect` finds in a launcher image, gathered once and then
// written as text or JSON: the two reports show the same facts because they
// read the same record. The checks (layout, checksum, version resource, icons,
// payload magic, frame, entry stream, trailer, build values) are counted here.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/vornak/payload/payload_reader.h"
#include "tools/vornak/pe/pe_reader.h"

namespace vornak {

struct VersionFacts {
    bool present = false;     // a version resource (type 16, id 1) exists
    uint32_t bytes = 0;
    std::string malformed;    // why it could not be read; then the fields below are empty
    uint32_t signature = 0, struc_version = 0, flags_mask = 0, flags = 0, os = 0, type = 0, subtype = 0;
    uint32_t date_ms = 0, date_ls = 0;
    std::string file_version, product_version;  // from the fixed part, "A.B.C.D"
    // StringFileInfo tables and VarFileInfo entries, in the resource's order.
    struct Block {
        bool is_string_table = true;
        std::string key;
        std::vector<std::pair<std::string, std::string>> strings;  // string table: key, value
        std::vector<std::pair<uint16_t, uint16_t>> translations;   // var entry: language, code page
    };
    std::vector<Block> blocks;
    // The value of key in the first string table that holds it, else empty.
    std::string string_value(const std::string &key) const;
};

struct IconFacts {
    bool present = false;  // an icon group exists
    std::string group;     // its name
    uint16_t reserved = 0, type = 0, count = 0;
    struct Entry {
        uint16_t id = 0;
        unsigned width = 0, height = 0, colours = 0, reserved = 0;  // as the group entry holds them
        uint16_t planes = 0, bits = 0;
        uint32_t bytes = 0;
        bool image_missing = false;
        std::string problem;  // why the image is not a PNG the group can carry
        uint32_t png_width = 0, png_height = 0;
        bool matches = false;  // size and dimensions agree with the group entry
    };
    std::vector<Entry> entries;
};

struct SignatureFacts {
    bool present = false;
    uint32_t offset = 0, bytes = 0;
    bool after_last_section = false, ends_file = false;
    struct Entry {
        uint32_t length = 0;
        uint16_t revision = 0, type = 0;
        bool pkcs7 = false;
    };
    std::vector<Entry> entries;
    bool bad_length = false;  // the entry after the last listed one has a bad length
    uint32_t bad_length_value = 0, bad_length_offset = 0;

    // What osslsigncode's verify says of a present signature.
    struct Check {
        std::string not_done;        // why it did not run (osslsigncode missing), else empty
        bool digest_matches = false;  // the signed digest is the image's own: nothing changed since
        bool trusted = false;         // the chain leads to a certificate authority of this host
        std::string problem;          // the first error osslsigncode named, such as "self-signed certificate"
        std::string signer, issuer, signing_time;
        std::string timestamp_time, timestamp_authority;  // empty: no timestamp
    } check;
};

struct PayloadFacts {
    enum State { NO_RDATA, NO_MAGIC, NO_FRAME, FOUND } state = NO_RDATA;
    std::string frame_error;  // NO_FRAME: zstd's reason
    uint64_t frame_bytes = 0;
    // The frame header's settings (RFC 8878, 3.1.1.1).
    bool single_segment = false, content_size = false, checksum = false, dictionary = false;
    uint64_t window_bytes = 0;  // 0 for a single-segment frame
    std::vector<PayloadEntry> entries;
    std::string entry_error;  // empty when the entry stream ends with its terminator
    uint64_t stream_bytes = 0;
    bool trailer_correct = false;
    uint64_t trailer_offset = 0, payload_bytes = 0;
    bool build_values_found = false;  // where `vornak build` places them
    std::string product_name, product_version, company_name, file_version;
    std::string cache_template, cache_key;  // both empty: a fresh directory per run
    uint32_t launcher_options = 0;          // LAUNCHER_OPTION_* bits
    uint32_t splash_width = 0, splash_height = 0;  // 0 x 0: no splash
    bool agreement_checked = false;  // a readable version resource was there to compare with
    bool agrees = false;
};

struct ImageFacts {
    std::string path;
    uint64_t file_bytes = 0;
    uint16_t magic = 0, machine = 0, characteristics = 0, subsystem = 0;
    uint16_t subsystem_major = 0, subsystem_minor = 0, os_major = 0, os_minor = 0, dll_characteristics = 0;
    uint64_t image_base = 0, stack_reserve = 0, stack_commit = 0, heap_reserve = 0, heap_commit = 0;
    uint32_t section_alignment = 0, file_alignment = 0, image_size = 0, entry = 0;
    uint32_t checksum = 0, computed_checksum = 0;
    std::vector<std::string> directories;  // names of the data directories in use
    std::vector<PeSection> sections;
    std::vector<std::string> layout_problems;  // what keeps the loader from mapping the image
    std::vector<PeImport> imports;
    bool delay_imports = false;
    std::vector<PeResource> resources;
    bool manifest_present = false;
    uint32_t manifest_bytes = 0;
    std::string manifest;  // made printable
    VersionFacts version;
    // Empty folders the build left out of the payload, from the record it
    // keeps among the resources (made printable); none recorded when the
    // build dropped none or took a ready payload file.
    std::vector<std::string> dropped_folders;
    IconFacts icons;
    SignatureFacts signature;
    PayloadFacts payload;
    int failed_checks = 0;
};

// Reads the image at path and gathers its facts and checks. Throws Error
// when path is not a readable PE32+ image or one of its tables is damaged.
ImageFacts gather_image_facts(const std::string &path);

}  // namespace vornak
