// SPDX-License-Identifier: MIT
// The per-product object of a launcher: an AMD64 COFF object with one
// read-only data section that opens with the attached payload, followed by
// the payload length, the product name and version, the cache template and
// the cache key as UTF-16 strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vornak {

// Record sizes of the COFF format, the same in objects and in PE images.
constexpr size_t COFF_FILE_HEADER_BYTES = 20;
constexpr size_t COFF_SECTION_HEADER_BYTES = 40;

// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_ALIGN_16BYTES | IMAGE_SCN_MEM_READ
constexpr uint32_t BUILD_VALUES_SECTION_FLAGS = 0x00000040u | 0x00500000u | 0x40000000u;

// Section layout for a payload of payload_bytes and the strings (code units
// without terminator).
struct BuildValuesLayout {
    uint64_t payload_offset;  // always 0: the payload opens the section
    uint64_t length_offset;   // payload_bytes rounded up to 8
    uint64_t name_offset;
    uint64_t version_offset;
    uint64_t cache_template_offset;
    uint64_t cache_key_offset;
    uint64_t section_bytes;
};
BuildValuesLayout build_values_layout(uint64_t payload_bytes, size_t name_units, size_t version_units,
                                      size_t cache_template_units = 0, size_t cache_key_units = 0);

// The strings of the build values besides the payload.
struct BuildValueStrings {
    std::u16string product_name;
    std::u16string product_version;
    std::u16string cache_template;  // empty: a fresh directory per run
    std::u16string cache_key;       // empty exactly when cache_template is
};

// Writes the object to output. The payload file is copied in as it is,
// unchecked. The symbols are the BUILD_VALUE_SYMBOL_* names of
// payload/format.h, which image/build_values.h declares. Throws Error when the
// payload cannot be read or the section would not fit a 32-bit size.
void write_build_values_object(const std::string &payload_path, const BuildValueStrings &values,
                               const std::string &output);

}  // namespace vornak
