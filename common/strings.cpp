// SPDX-License-Identifier: MIT
// Bounded wide-string appends. Every write checks the destination's capacity
// first and aborts instead of truncating: a path cut short would name another
// file, so an overflow is treated as an impossible state.
#include "common/common.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Length of the string in dst, which must be terminated within dst_chars
// (wcsnlen has no call thunk in the import library, hence this loop).
static size_t terminated_length(const wchar_t *dst, size_t dst_chars)
{
    for (size_t i = 0; i < dst_chars; i++)
        if (dst[i] == 0)
            return i;
    abort();
}

void append_wide(wchar_t *dst, const wchar_t *src, size_t dst_chars)
{
    if (src == NULL)
        abort();
    size_t used = terminated_length(dst, dst_chars);
    size_t added = wcslen(src);
    if (added >= dst_chars - used)
        abort();
    memcpy(dst + used, src, (added + 1) * sizeof(wchar_t));
}

void append_narrow_as_wide(wchar_t *dst, const char *src, size_t dst_chars)
{
    if (src == NULL)
        abort();
    size_t used = terminated_length(dst, dst_chars);
    for (; *src != 0; src++) {
        // Each byte on its own: a byte that is not a whole character in the
        // current code page is refused rather than joined with its neighbour.
        char one[2] = {*src, 0};
        wchar_t wide[2];
        if (mbstowcs(wide, one, 2) != 1)
            abort();
        if (used + 1 >= dst_chars)
            abort();
        dst[used++] = wide[0];
    }
    dst[used] = 0;
}

void copy_wide(wchar_t *dst, const wchar_t *src, size_t dst_chars)
{
    if (dst_chars == 0)
        abort();
    dst[0] = 0;
    append_wide(dst, src, dst_chars);
}
