// SPDX-License-Identifier: MIT
// The marker that tells a live start from a killed one, and the sweep of
// killed starts. The parent creates the marker in its extraction directory
// as soon as the directory exists and holds it open, without delete sharing,
// for its whole life; the handle is inheritable, so the child holds it from
// the moment it exists (no gap in which the parent is gone and the child not
// yet holding it) until it ends, and so does any process the application
// starts with inherited handles. A directory whose marker can be opened for
// delete is used by nobody any more. Calls down into the removal walk only.
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "payload/format.h"

#include <string.h>
#include <wchar.h>

// PAYLOAD_START_MARKER_NAME: the packer and the unpacker refuse it, so no
// payload entry can ever take the marker's place.
static const wchar_t marker_name[] = L"" PAYLOAD_START_MARKER_NAME;

enum {
    IDENTITY_BYTES = sizeof(unsigned long long) + OWN_IMAGE_PATH_CHARS * sizeof(wchar_t),
    SWEEP_PATH_CHARS = PATH_CHARS + 64,  // the extended prefix and the marker's name
};

// The image a marker names: the attached payload's length, then the own
// module path as GetModuleFileNameW gives it. Two builds at one path differ
// in their payload far more often than in nothing; a directory of an
// earlier build at the same path is dead all the same once its marker is free.
static unsigned long long identity[IDENTITY_BYTES / sizeof(unsigned long long)];
static unsigned long long read_back[IDENTITY_BYTES / sizeof(unsigned long long) + 1];
static wchar_t sweep_pattern[SWEEP_PATH_CHARS], candidate[SWEEP_PATH_CHARS];

static DWORD make_identity(const launch_record *record)
{
    DWORD path_units = record->module_path_length < OWN_IMAGE_PATH_CHARS ? record->module_path_length : 0;
    identity[0] = record->payload_bytes;
    memcpy(identity + 1, record->module_path, path_units * sizeof(wchar_t));
    return (DWORD)(sizeof identity[0] + path_units * sizeof(wchar_t));
}

static bool append_name(wchar_t *path, size_t length, const wchar_t *name, size_t name_length)
{
    if (length + 1 + name_length >= SWEEP_PATH_CHARS)
        return false;
    path[length] = L'\\';
    memcpy(path + length + 1, name, name_length * sizeof(wchar_t));
    path[length + 1 + name_length] = 0;
    return true;
}

void create_start_marker(const launch_record *record)
{
    size_t length = 0;
    if (!make_extended_path(candidate, record->extraction_directory, SWEEP_PATH_CHARS))
        return;
    length = wcslen(candidate);
    if (!append_name(candidate, length, marker_name, wcslen(marker_name)))
        return;
    // Without a marker the directory is only never swept: a start goes on.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE marker = CreateFileW(candidate, GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_NEW,
                                FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (marker == INVALID_HANDLE_VALUE)
        return;
    DWORD bytes = make_identity(record), written = 0;
    WriteFile(marker, identity, bytes, &written, NULL);
    keep_start_marker(marker);
}

// Whether the marker at candidate is free and names this image. The open
// asks for delete access and fails while any holder (which never shares
// delete) lives.
static bool marker_is_ours_and_free(DWORD identity_bytes)
{
    HANDLE marker = CreateFileW(candidate, GENERIC_READ | DELETE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (marker == INVALID_HANDLE_VALUE)
        return false;
    DWORD got = 0;
    bool ours = ReadFile(marker, read_back, sizeof read_back, &got, NULL) && got == identity_bytes &&
                read_back[0] == identity[0] &&
                CompareStringOrdinal((const wchar_t *)(read_back + 1), (int)((got - sizeof identity[0]) / sizeof(wchar_t)),
                                     (const wchar_t *)(identity + 1),
                                     (int)((identity_bytes - sizeof identity[0]) / sizeof(wchar_t)),
                                     TRUE) == CSTR_EQUAL;
    CloseHandle(marker);
    return ours;
}

void sweep_killed_starts(const launch_record *record)
{
    if (!make_extended_path(sweep_pattern, record->extraction_directory, SWEEP_PATH_CHARS))
        return;
    wchar_t *last = wcsrchr(sweep_pattern, L'\\');
    if (last == NULL)
        return;
    size_t temp_length = (size_t)(last - sweep_pattern);
    if (!append_name(sweep_pattern, temp_length, L"onefile_*", 9))
        return;
    DWORD identity_bytes = make_identity(record);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW(sweep_pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY)
            continue;
        memcpy(candidate, sweep_pattern, temp_length * sizeof(wchar_t));
        size_t name_length = wcslen(found.cFileName);
        if (!append_name(candidate, temp_length, found.cFileName, name_length))
            continue;
        size_t directory_length = temp_length + 1 + name_length;
        if (!append_name(candidate, directory_length, marker_name, wcslen(marker_name)) ||
            !marker_is_ours_and_free(identity_bytes))
            continue;
        candidate[directory_length] = 0;
        remove_killed_start(candidate);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}
