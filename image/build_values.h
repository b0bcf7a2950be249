// SPDX-License-Identifier: MIT
// Values fixed when a launcher is linked. `vornak build` writes them into an
// object of their own, whose .rdata opens with the attached payload; the
// symbol names come from the payload format header, which the tool shares.
#pragma once

#include "payload/format.h"

extern "C" {
extern const unsigned char vornak_attached_payload[] __asm__(BUILD_VALUE_SYMBOL_PAYLOAD);
extern const unsigned long long vornak_attached_payload_bytes __asm__(BUILD_VALUE_SYMBOL_PAYLOAD_BYTES);
// PRODUCT
extern const wchar_t vornak_product_name[] __asm__(BUILD_VALUE_SYMBOL_PRODUCT_NAME);
// VERSION, PRODUCT_VERSION
extern const wchar_t vornak_product_version[] __asm__(BUILD_VALUE_SYMBOL_PRODUCT_VERSION);
// COMPANY: the product name unless the build named a company
extern const wchar_t vornak_company_name[] __asm__(BUILD_VALUE_SYMBOL_COMPANY_NAME);
// FILE_VERSION: the product version unless the build named another
extern const wchar_t vornak_file_version[] __asm__(BUILD_VALUE_SYMBOL_FILE_VERSION);
// Empty for a fresh directory per run; else the cache folder's template and
// the payload's key.
extern const wchar_t vornak_cache_template[] __asm__(BUILD_VALUE_SYMBOL_CACHE_TEMPLATE);
extern const wchar_t vornak_cache_key[] __asm__(BUILD_VALUE_SYMBOL_CACHE_KEY);
// LAUNCHER_OPTION_* bits
extern const unsigned int vornak_launcher_options __asm__(BUILD_VALUE_SYMBOL_OPTIONS);
// The splash record (SPLASH_HEADER_BYTES, then the pixels)
extern const unsigned char vornak_splash[] __asm__(BUILD_VALUE_SYMBOL_SPLASH);
}
