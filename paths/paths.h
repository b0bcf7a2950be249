// SPDX-License-Identifier: MIT
// Path templates with placeholders ("{TEMP}\onefile_{PID}_...") and the
// canonical form of executable paths used to compare two images.
#pragma once

#include "common/common.h"
#include <stdint.h>

enum { RANDOM_TOKEN_CHARS = 12 };  // 11 base64url characters and a NUL

// What the expansion cannot find out by itself: the values fixed when the
// launcher was linked (COMPANY, PRODUCT, VERSION, FILE_VERSION,
// PRODUCT_VERSION) and the runtime's argument vector (PROGRAM, whose
// argv[0] is read at each expansion).
struct template_values {
    const wchar_t *product_name;     // PRODUCT
    const wchar_t *product_version;  // VERSION, PRODUCT_VERSION
    const wchar_t *company_name;     // COMPANY
    const wchar_t *file_version;     // FILE_VERSION
    wchar_t *const *argv;
};

// Expands template_text into dst (capacity dst_chars). Returns false on an
// unknown or empty placeholder, a literal that does not fit, a failing
// shell-folder lookup or an unusable temporary directory; dst then holds what
// was expanded so far. A value that does not fit aborts, and so does a
// placeholder that needs values when none are given (values NULL).
bool expand_path_template(wchar_t *dst, const wchar_t *template_text, size_t dst_chars,
                          const template_values *values);

// Writes "Error, couldn't runtime expand spec '<template>'.\n" to stderr and aborts.
__declspec(noreturn) void report_expansion_failure(const wchar_t *template_text);

// Fills token (at least RANDOM_TOKEN_CHARS) with a fresh random token.
void make_random_token(wchar_t *token);

// The deterministic half of make_random_token: eight xorshift32 steps from
// seed (0 counts as 1), encoded as 11 base64url characters and a NUL.
void encode_random_token(uint32_t seed, wchar_t *token);

// Replaces path by the file's final path, without the \\?\ and \\?\UNC\ forms.
// Leaves it unchanged when the file cannot be opened.
void canonicalize_image_path(wchar_t *path, DWORD path_chars);

// Replaces the directory part of path by its short (8.3) form, keeping the file name.
void shorten_directory_part(wchar_t *path, DWORD path_chars);
