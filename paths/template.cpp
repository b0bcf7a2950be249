// SPDX-License-Identifier: MIT
// Path template expansion ("{TEMP}\onefile_{PID}_{TIME_US}_{RANDOM}") and the
// random token. Values a second process could not recompute (time, token) are
// cached in the environment at first use, so a child that inherits it expands
// the same template to the same path. Keeps no state between calls.
#include "paths/paths.h"

#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

static const wchar_t base64url_alphabet[] =
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
static_assert(sizeof(base64url_alphabet) / sizeof(wchar_t) == 65, "64 characters and a NUL");

enum { NUMBER_CHARS = 32 };  // "%lld" of any 64-bit value and its NUL

// Removes every backslash at the end of the whole output, stopping at the
// buffer's start: an output of backslashes only becomes empty.
static void trim_trailing_backslashes(wchar_t *dst)
{
    size_t length = wcslen(dst);
    while (length > 0 && dst[length - 1] == L'\\')
        dst[--length] = 0;
}

// Appends the value that variable holds; false when it holds none.
static bool append_cached_value(wchar_t *dst, size_t dst_chars, const char *variable)
{
    wchar_t *cached = read_environment_variable(variable);
    if (cached == NULL)
        return false;
    append_wide(dst, cached, dst_chars);
    free(cached);
    return true;
}

// Stores a freshly made value for later expansions (and children), then
// appends it. A failed store is not noticed; the next expansion then makes a
// new value.
static void store_and_append(wchar_t *dst, size_t dst_chars, const char *variable,
                             const wchar_t *fresh)
{
    write_environment_variable(variable, fresh);
    append_wide(dst, fresh, dst_chars);
}

// As store_and_append, for a number formatted as a narrow string.
static void store_and_append_number(wchar_t *dst, size_t dst_chars, const char *variable,
                                    const char *number)
{
    wchar_t value[NUMBER_CHARS] = {0};
    append_narrow_as_wide(value, number, NUMBER_CHARS);
    store_and_append(dst, dst_chars, variable, value);
}

static unsigned long long read_system_time(void)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

// TEMP from GetTempPathW, written straight into the remaining capacity. A
// result of 0 (failure) or of the remaining capacity or more (the size the
// path would need) leaves no usable directory: the expansion fails rather
// than build the path on an empty value, which would land in the drive root.
static bool append_temporary_directory(wchar_t *dst, size_t dst_chars)
{
    size_t used = wcslen(dst);
    size_t remaining = dst_chars - used;
    DWORD capacity = remaining > MAXDWORD ? MAXDWORD : (DWORD)remaining;
    DWORD length = GetTempPathW(capacity, dst + used);
    if (length == 0 || length >= capacity) {
        dst[used] = 0;
        return false;
    }
    return true;
}

// shell32 is loaded here, for the first placeholder that names a shell
// folder, not imported: it brings user32, gdi32 and a dozen more DLLs into
// the process, and most starts (the default template is under {TEMP}, the
// child finds its directory in the environment) never need it. A known DLL:
// it comes from the system folder whatever the search path says.
static bool append_shell_folder(wchar_t *dst, size_t dst_chars, int folder)
{
    typedef HRESULT(WINAPI * get_folder_path_function)(HWND, int, HANDLE, DWORD, wchar_t *);
    HMODULE shell32 = LoadLibraryExW(L"shell32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    get_folder_path_function get_folder_path =
        shell32 == NULL ? NULL : (get_folder_path_function)(void *)GetProcAddress(shell32, "SHGetFolderPathW");
    wchar_t value[MAX_PATH];  // SHGetFolderPathW writes at most MAX_PATH units
    if (get_folder_path == NULL || get_folder_path(NULL, folder, NULL, 0, value) != S_OK)
        return false;
    append_wide(dst, value, dst_chars);
    return true;
}

// The values a placeholder needs; a caller that gave none asked for a
// template it cannot expand.
static const template_values *needed(const template_values *values)
{
    if (values == NULL)
        abort();
    return values;
}

static void append_program(wchar_t *dst, size_t dst_chars, const template_values *values)
{
    wchar_t *const *argv = needed(values)->argv;
    if (argv == NULL || argv[0] == NULL)
        abort();
    append_wide(dst, argv[0], dst_chars);
}

static void append_process_id(wchar_t *dst, size_t dst_chars)
{
    wchar_t *parent = read_environment_variable("VORNAK_ONEFILE_PARENT");
    if (parent != NULL) {
        // The value becomes part of a path: anything but digits is refused.
        for (const wchar_t *c = parent; *c != 0; c++)
            if (!iswctype(*c, _DIGIT))
                abort();
        append_wide(dst, parent, dst_chars);
        free(parent);
        return;
    }
    char number[NUMBER_CHARS];
    snprintf(number, sizeof number, "%ld", (long)GetCurrentProcessId());
    append_narrow_as_wide(dst, number, dst_chars);
}

// PROGRAM_BASE and PROGRAM_DIR: "{PROGRAM}" expanded behind the output so far,
// then shortened in place.
static bool append_program_part(wchar_t *dst, size_t dst_chars, bool directory,
                                const template_values *values)
{
    size_t used = wcslen(dst);
    wchar_t *value = dst + used;
    if (!expand_path_template(value, L"{PROGRAM}", dst_chars - used, values))
        return false;
    size_t length = wcslen(value);
    if (directory) {
        wchar_t *separator = wcsrchr(value, L'\\');
        if (separator != NULL)
            *separator = 0;
    } else if (length >= 4 && _wcsicmp(value + length - 4, L".exe") == 0) {
        value[length - 4] = 0;
    }
    return true;
}

// Appends the value of one placeholder. False for an unknown name and for
// the failures of the individual values; a value that does not fit aborts.
static bool append_placeholder(wchar_t *dst, size_t dst_chars, const wchar_t *name,
                               const template_values *values)
{
    char number[NUMBER_CHARS];
    if (_wcsicmp(name, L"TEMP") == 0) {
        if (!append_temporary_directory(dst, dst_chars))
            return false;
        trim_trailing_backslashes(dst);
    } else if (_wcsicmp(name, L"PROGRAM") == 0) {
        append_program(dst, dst_chars, values);
    } else if (_wcsicmp(name, L"PROGRAM_BASE") == 0) {
        return append_program_part(dst, dst_chars, false, values);
    } else if (_wcsicmp(name, L"PROGRAM_DIR") == 0) {
        return append_program_part(dst, dst_chars, true, values);
    } else if (_wcsicmp(name, L"PID") == 0) {
        append_process_id(dst, dst_chars);
    } else if (_wcsicmp(name, L"HOME") == 0 || _wcsicmp(name, L"CACHE_DIR") == 0) {
        int folder = _wcsicmp(name, L"HOME") == 0 ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
        if (!append_shell_folder(dst, dst_chars, folder))
            return false;
        trim_trailing_backslashes(dst);
    } else if (_wcsicmp(name, L"COMPANY") == 0) {
        append_wide(dst, needed(values)->company_name, dst_chars);
    } else if (_wcsicmp(name, L"PRODUCT") == 0) {
        append_wide(dst, needed(values)->product_name, dst_chars);
    } else if (_wcsicmp(name, L"FILE_VERSION") == 0) {
        append_wide(dst, needed(values)->file_version, dst_chars);
    } else if (_wcsicmp(name, L"VERSION") == 0 || _wcsicmp(name, L"PRODUCT_VERSION") == 0) {
        append_wide(dst, needed(values)->product_version, dst_chars);
    } else if (_wcsicmp(name, L"RANDOM") == 0) {
        if (!append_cached_value(dst, dst_chars, "VORNAK_ONEFILE_RANDOM")) {
            wchar_t token[RANDOM_TOKEN_CHARS];
            make_random_token(token);
            store_and_append(dst, dst_chars, "VORNAK_ONEFILE_RANDOM", token);
        }
    } else if (_wcsicmp(name, L"TIME_US") == 0) {
        if (!append_cached_value(dst, dst_chars, "VORNAK_ONEFILE_TIME_US")) {
            // The microsecond within the second of the first expansion.
            long microsecond = (long)((read_system_time() / 10) % 1000000);
            snprintf(number, sizeof number, "%06ld", microsecond);
            store_and_append_number(dst, dst_chars, "VORNAK_ONEFILE_TIME_US", number);
        }
    } else if (_wcsicmp(name, L"TIME") == 0) {
        if (!append_cached_value(dst, dst_chars, "VORNAK_ONEFILE_START")) {
            snprintf(number, sizeof number, "%lld", (long long)read_system_time());
            store_and_append_number(dst, dst_chars, "VORNAK_ONEFILE_START", number);
        }
    } else {
        return false;
    }
    return true;
}

bool expand_path_template(wchar_t *dst, const wchar_t *template_text, size_t dst_chars,
                          const template_values *values)
{
    wchar_t name[NAME_CHARS];
    size_t name_length = 0;
    bool in_name = false;
    bool name_too_long = false;  // no recognised name is that long: fails at "}"
    size_t used = 0;

    if (dst_chars == 0)
        abort();
    dst[0] = 0;
    for (const wchar_t *c = template_text; *c != 0; c++) {
        if (*c == L'{') {
            // A new "{" drops a name being collected: "{A{TEMP}" is "{TEMP}".
            in_name = true;
            name_length = 0;
            name_too_long = false;
        } else if (in_name && *c == L'}') {
            in_name = false;
            if (name_too_long)
                return false;
            name[name_length] = 0;
            if (!append_placeholder(dst, dst_chars, name, values))
                return false;
            used = wcslen(dst);
        } else if (in_name) {
            if (name_length + 1 < NAME_CHARS)
                name[name_length++] = *c;
            else
                name_too_long = true;
        } else {
            // Literals, a stray "}" included. One must leave room for the NUL.
            if (used + 1 >= dst_chars)
                return false;
            dst[used++] = *c;
            dst[used] = 0;
        }
    }
    return true;
}

void report_expansion_failure(const wchar_t *template_text)
{
    report_path_message("Error, couldn't runtime expand spec '%s'.\n", template_text);
    abort();
}

void encode_random_token(uint32_t seed, wchar_t *token)
{
    unsigned char bytes[8];
    uint32_t x = seed != 0 ? seed : 1;  // xorshift stays at 0 forever
    for (int i = 0; i < 8; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = (unsigned char)x;
    }
    // Base64url, most significant bits first, no "=" fill: 3 + 3 + 2 bytes
    // give 4 + 4 + 3 characters, the last one padded with two zero bits.
    int out = 0;
    for (int i = 0; i < 6; i += 3) {
        uint32_t group = (uint32_t)bytes[i] << 16 | (uint32_t)bytes[i + 1] << 8 | bytes[i + 2];
        token[out++] = base64url_alphabet[group >> 18 & 63];
        token[out++] = base64url_alphabet[group >> 12 & 63];
        token[out++] = base64url_alphabet[group >> 6 & 63];
        token[out++] = base64url_alphabet[group & 63];
    }
    uint32_t tail = (uint32_t)bytes[6] << 8 | bytes[7];
    token[out++] = base64url_alphabet[tail >> 10 & 63];
    token[out++] = base64url_alphabet[tail >> 4 & 63];
    token[out++] = base64url_alphabet[(tail & 15) << 2];
    token[out] = 0;
}

void make_random_token(wchar_t *token)
{
    // The counter's own stack address adds the address-space layout to the
    // counter, so two processes started in the same tick still differ.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    unsigned long long mixed = (unsigned long long)counter.QuadPart ^ (uintptr_t)&counter;
    uint32_t seed = GetCurrentProcessId() ^ (uint32_t)mixed ^ (uint32_t)(mixed >> 32);
    encode_random_token(seed, token);
}
