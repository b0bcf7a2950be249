// SPDX-License-Identifier: MIT
// The canonical form of an executable path, so that two spellings of the same
// file (links, 8.3 names, the \\?\ forms) compare equal as plain strings:
// the file's final path without \\?\, with its directory part in short form.
// Works in the caller's buffer; owns no state; aborts rather than truncate.
#include "paths/paths.h"

#include <stdlib.h>
#include <wchar.h>

typedef DWORD(WINAPI *final_path_function)(HANDLE, LPWSTR, DWORD, DWORD);

// Looked up on every call instead of imported, so that the image still loads
// on a system whose Kernel32 lacks it; the path is then left as it is.
static final_path_function find_final_path_function(void)
{
    HMODULE kernel32 = GetModuleHandleA("Kernel32.dll");
    if (kernel32 == NULL)
        return NULL;
    return (final_path_function)(void *)GetProcAddress(kernel32, "GetFinalPathNameByHandleW");
}

// Reduces \\?\C:\... to C:\... and \\?\UNC\server\... to \\server\...;
// other \\?\ forms (volume names) stay as they are.
static void strip_long_path_prefix(wchar_t *path)
{
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != 0 && path[5] == L':') {
        size_t length = wcslen(path);
        memmove(path, path + 4, (length - 4 + 1) * sizeof(wchar_t));
    }
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        size_t length = wcslen(path);
        // "\\?\UNC\" (8 units) becomes "\\" (2 units): keep the leading pair.
        memmove(path + 2, path + 8, (length - 8 + 1) * sizeof(wchar_t));
    }
}

void canonicalize_image_path(wchar_t *path, DWORD path_chars)
{
    // Access 0: only the file's identity is needed, which also works for an
    // image that is running or locked by others.
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;

    final_path_function get_final_path = find_final_path_function();
    if (get_final_path != NULL) {
        // Flags 0: FILE_NAME_NORMALIZED with VOLUME_NAME_DOS. A result of
        // path_chars or more is the size the final path would need.
        DWORD result = get_final_path(file, path, path_chars, 0);
        CloseHandle(file);
        if (result >= path_chars)
            abort();
    } else {
        CloseHandle(file);
    }
    strip_long_path_prefix(path);
}

void shorten_directory_part(wchar_t *path, DWORD path_chars)
{
    wchar_t *file_name = NULL;
    wchar_t *last_backslash = wcsrchr(path, L'\\');
    if (last_backslash != NULL) {
        file_name = _wcsdup(last_backslash + 1);
        // Without the file name it could not be put back: better abort than
        // compare a path that has lost its last component.
        if (file_name == NULL)
            abort();
        *last_backslash = 0;
    }

    DWORD needed = GetShortPathNameW(path, NULL, 0);
    if (needed != 0) {
        wchar_t *short_form = (wchar_t *)malloc(((size_t)needed + 1) * sizeof(wchar_t));
        if (short_form == NULL)
            abort();
        DWORD written = GetShortPathNameW(path, short_form, needed);
        if (written > needed)
            abort();
        // 0 means the directory vanished between the two calls: keep the long form.
        if (written != 0)
            copy_wide(path, short_form, path_chars);
        free(short_form);
    }

    if (file_name != NULL) {
        append_wide(path, L"\\", path_chars);
        append_wide(path, file_name, path_chars);
        free(file_name);
    }
}
