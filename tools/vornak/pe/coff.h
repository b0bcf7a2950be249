// SPDX-License-Identifier: MIT
// The per-product object of a launcher: an AMD64 COFF object with one
// read-only data section that opens with the attached payload, followed by
// the payload length and the build values' strings as UTF-16.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <string>

#include "payload/format.h"

namespace vornak {

// Record sizes of the COFF format, the same in objects and in PE images.
constexpr size_t COFF_FILE_HEADER_BYTES = 20;
constexpr size_t COFF_SECTION_HEADER_BYTES = 40;

// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_ALIGN_16BYTES | IMAGE_SCN_MEM_READ
constexpr uint32_t BUILD_VALUES_SECTION_FLAGS = 0x00000040u | 0x00500000u | 0x40000000u;

// The strings after the payload length, in this order, each ended by a
// zero unit; BUILD_VALUE_STRING_SYMBOLS names them.
// The cache template is empty for a fresh directory per run; the cache key
// (the payload's SHA-256 in hex) is empty exactly when the template is.
enum BuildValueString {
    PRODUCT_NAME_VALUE,
    PRODUCT_VERSION_VALUE,
    COMPANY_NAME_VALUE,
    FILE_VERSION_VALUE,
    CACHE_TEMPLATE_VALUE,
    CACHE_KEY_VALUE
};
constexpr size_t BUILD_VALUE_STRING_COUNT = 6;
using BuildValueStrings = std::array<std::u16string, BUILD_VALUE_STRING_COUNT>;
constexpr const char *BUILD_VALUE_STRING_SYMBOLS[BUILD_VALUE_STRING_COUNT] = {
    BUILD_VALUE_SYMBOL_PRODUCT_NAME,    BUILD_VALUE_SYMBOL_PRODUCT_VERSION, BUILD_VALUE_SYMBOL_COMPANY_NAME,
    BUILD_VALUE_SYMBOL_FILE_VERSION,    BUILD_VALUE_SYMBOL_CACHE_TEMPLATE,  BUILD_VALUE_SYMBOL_CACHE_KEY};

// Section layout for a payload of payload_bytes and the strings.
struct BuildValuesLayout {
    uint64_t payload_offset;  // always 0: the payload opens the section
    uint64_t length_offset;   // payload_bytes rounded up to 8
    std::array<uint64_t, BUILD_VALUE_STRING_COUNT> string_offsets;
    uint64_t options_offset;  // the next multiple of 8 after the last string
    uint64_t splash_offset;   // options_offset + 8
    uint64_t section_bytes;
};
BuildValuesLayout build_values_layout(uint64_t payload_bytes, const BuildValueStrings &strings,
                                      uint64_t splash_pixel_bytes = 0);

// The opt-in launcher behaviour: LAUNCHER_OPTION_* bits of payload/format.h,
// and the splash image when LAUNCHER_OPTION_SPLASH is set.
struct LauncherExtras {
    uint32_t options = 0;
    uint32_t splash_width = 0;
    uint32_t splash_height = 0;
    uint64_t unpacked_total_bytes = 0;  // sum of the payload's entry sizes
    std::string splash_pixels;          // premultiplied BGRA, width * height * 4 bytes
};

// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_ALIGN_8BYTES | IMAGE_SCN_MEM_READ:
// the length and strings when the payload's room is a section of its own.
constexpr uint32_t BUILD_VALUES_TAIL_SECTION_FLAGS = 0x00000040u | 0x00400000u | 0x40000000u;

enum class ObjectPayload {
    // The payload's bytes are in the object, which the linker copies into
    // the image: it holds both in memory, each as large as the payload.
    COPIED,
    // The payload gets a section of its own whose size is the payload's
    // (rounded up to 8) but which has no data in the object (PointerToRawData
    // 0). lld then lays the image out exactly as for COPIED but never writes
    // that room, which write_payload_into_image fills afterwards.
    RESERVED,
};

// Writes the object to output. The payload file is copied in as it is,
// unchecked, or only its size is taken (RESERVED). The symbols are the
// BUILD_VALUE_SYMBOL_* names of payload/format.h, which image/build_values.h
// declares. Throws Error when the payload cannot be read or the section
// would not fit a 32-bit size.
void write_build_values_object(const std::string &payload_path, const BuildValueStrings &strings,
                               const std::string &output, ObjectPayload payload = ObjectPayload::COPIED,
                               const LauncherExtras &extras = LauncherExtras());

}  // namespace vornak
