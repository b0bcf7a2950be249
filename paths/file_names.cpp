// SPDX-License-Identifier: MIT
// How the launcher names its own files to the system: the extended form of
// an absolute path, which every file call takes beyond MAX_PATH whatever
// LongPathsEnabled says, and the name the system gives the object behind a
// handle. Owns no state; the caller provides every buffer.
#include "paths/paths.h"

#include <string.h>
#include <wchar.h>

enum { OBJECT_NAME_INFORMATION_CLASS = 1 };

// What NtQueryObject gives for ObjectNameInformation: the name of the object
// a handle refers to, as the system resolved it (\??\Z:\... under Wine,
// \Device\HarddiskVolume3\... on Windows), followed by its text.
struct object_name_information {
    USHORT length_bytes;
    USHORT maximum_bytes;
    wchar_t *name;
};
typedef LONG(WINAPI *query_object_function)(HANDLE handle, int information_class, void *dst,
                                           ULONG dst_bytes, ULONG *result_bytes);

//   input : C:\Users\a\x            output: \\?\C:\Users\a\x
//   input : \\server\share\x        output: \\?\UNC\server\share\x
//   input : \\?\C:\x or \\.\pipe\x  output: unchanged
//   input : x, C:x, \x              refused (not absolute)
bool make_extended_path(wchar_t *dst, const wchar_t *path, size_t dst_chars)
{
    dst[0] = 0;
    const wchar_t *prefix = NULL;
    const wchar_t *rest = path;
    if (path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
        prefix = L"";
    } else if (path[0] == L'\\' && path[1] == L'\\' && path[2] != 0 && path[2] != L'\\') {
        prefix = L"\\\\?\\UNC\\";
        rest = path + 2;
    } else if (((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
               path[1] == L':' && path[2] == L'\\') {
        prefix = L"\\\\?\\";
    }
    if (prefix == NULL)
        return false;
    size_t prefix_length = wcslen(prefix), rest_length = wcslen(rest);
    if (prefix_length + rest_length >= dst_chars)
        return false;
    memcpy(dst, prefix, prefix_length * sizeof(wchar_t));
    memcpy(dst + prefix_length, rest, (rest_length + 1) * sizeof(wchar_t));
    return true;
}

// This is what GetFinalPathNameByHandleW starts from, read directly: Wine
// 8's GetFinalPathNameByHandleW fails for names of more than about 270 units.
const wchar_t *read_object_name(HANDLE handle, void *scratch, unsigned long scratch_bytes, size_t *length)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    query_object_function query_object =
        ntdll == NULL ? NULL : (query_object_function)(void *)GetProcAddress(ntdll, "NtQueryObject");
    ULONG result_bytes = 0;
    if (query_object == NULL || scratch_bytes < sizeof(object_name_information) ||
        query_object(handle, OBJECT_NAME_INFORMATION_CLASS, scratch, scratch_bytes, &result_bytes) != 0)
        return NULL;
    const object_name_information *found = (const object_name_information *)scratch;
    *length = found->length_bytes / sizeof(wchar_t);
    return found->name;
}
