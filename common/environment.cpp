// SPDX-License-Identifier: MIT
// Environment access by narrow variable name. Values come back as heap
// copies owned by the caller; an empty value counts as unset everywhere, so
// a variable can be cleared by writing an empty string as well as by deleting it.
#include "common/common.h"

#include <stdlib.h>
#include <wchar.h>

static void widen_name(wchar_t *dst, const char *name)
{
    dst[0] = 0;
    append_narrow_as_wide(dst, name, ENV_NAME_CHARS);
}

wchar_t *read_environment_variable(const char *name)
{
    wchar_t wide_name[ENV_NAME_CHARS];
    wchar_t value[ENV_VALUE_CHARS];
    widen_name(wide_name, name);
    // 0 means unset or empty; a result of the capacity or more is the size a
    // longer value would need, and such a value is treated as unset.
    DWORD length = GetEnvironmentVariableW(wide_name, value, ENV_VALUE_CHARS);
    if (length == 0 || length >= ENV_VALUE_CHARS)
        return NULL;
    return _wcsdup(value);
}

void write_environment_variable(const char *name, const wchar_t *value)
{
    wchar_t wide_name[ENV_NAME_CHARS];
    widen_name(wide_name, name);
    SetEnvironmentVariableW(wide_name, value);
}
