// SPDX-License-Identifier: MIT
// Which role this instance takes. Owns the canonical launcher image path
// (computed at most once) and the scratch buffer for the other process's
// image path.
#include "launcher/launcher.h"
#include "paths/paths.h"

// Version 2 names the Kernel32 entry points (K32...), so no psapi.dll import.
#define PSAPI_VERSION 2
#include <psapi.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

// Both image paths are read with the same capacity: a parent whose module path
// fitted when it started its child (launch_child reads it with PATH_CHARS)
// then always fits here too, so a deeply nested install still recognises its
// parent instead of taking the parent role and starting a chain of parents.
enum { IMAGE_PATH_CHARS = OWN_IMAGE_PATH_CHARS };
static_assert(IMAGE_PATH_CHARS > PATH_CHARS, "a launchable module path must fit the comparison buffers");

static wchar_t canonical_launcher_image_path[IMAGE_PATH_CHARS];
static wchar_t other_image_path[IMAGE_PATH_CHARS];

// Parses the whole value as a base-10 process id, in the one form a parent
// writes: digits without a leading zero. {PID} expands this same text into the
// extraction directory, so a value that only wcstoul would accept (white
// space, a sign: {PID} aborts on them) or a padded one (another directory
// than the parent's) must not make this instance a child.
static bool parse_process_id(const wchar_t *text, DWORD *process_id)
{
    if (text[0] == L'0')
        return false;
    for (const wchar_t *c = text; *c != 0; c++)
        if (!iswctype(*c, _DIGIT))
            return false;
    wchar_t *end = NULL;
    errno = 0;
    unsigned long value = wcstoul(text, &end, 10);
    if (errno != 0 || end == NULL || *end != 0)
        return false;
    *process_id = (DWORD)value;
    return true;
}

static void fill_canonical_launcher_image_path(const launch_record *record)
{
    if (canonical_launcher_image_path[0] != 0)
        return;
    copy_wide(canonical_launcher_image_path, own_module_path(record, IMAGE_PATH_CHARS), IMAGE_PATH_CHARS);
    canonicalize_image_path(canonical_launcher_image_path, IMAGE_PATH_CHARS);
    shorten_directory_part(canonical_launcher_image_path, IMAGE_PATH_CHARS);
}

// True only when the process is alive, its whole image path could be read and
// its canonical form equals ours. A path that filled the buffer may have been
// cut and proves nothing; it cannot be a launcher parent anyway, since a
// parent's own module path is at most PATH_CHARS - 1 units.
//
// K32GetModuleFileNameExW reads the name from the other process's memory,
// which fails for a process that is being debugged or traced, or that we may
// query but not read. An unread name would make our own parent look like a
// stranger: this instance would take the parent role, start its own child,
// which would fail the same way, and so on without end. So the name the
// system keeps for the process (QueryFullProcessImageNameW, which needs only
// limited query access) serves when the first way fails.
static bool process_runs_our_image(const launch_record *record, DWORD process_id)
{
    // SYNCHRONIZE for the liveness test below.
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, process_id);
    if (process == NULL && GetLastError() == ERROR_ACCESS_DENIED)
        process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id);
    if (process == NULL)
        return false;
    // An ended process can still be opened while anything holds a handle to
    // it, and the system still knows its image name: it is no parent of ours.
    // Its handle is signalled then. (Its exit code cannot tell: a process
    // that ended with 259 reports the same value as one still running.)
    if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
        CloseHandle(process);
        return false;
    }
    other_image_path[0] = 0;
    DWORD length = K32GetModuleFileNameExW(process, NULL, other_image_path, IMAGE_PATH_CHARS);
    if (length == 0) {
        DWORD chars = IMAGE_PATH_CHARS;
        other_image_path[0] = 0;
        length = QueryFullProcessImageNameW(process, 0, other_image_path, &chars) ? chars : 0;
    }
    bool complete = length != 0 && length < IMAGE_PATH_CHARS - 1;
    if (complete) {
        canonicalize_image_path(other_image_path, IMAGE_PATH_CHARS);
        shorten_directory_part(other_image_path, IMAGE_PATH_CHARS);
    }
    fill_canonical_launcher_image_path(record);
    bool same = complete && wcscmp(other_image_path, canonical_launcher_image_path) == 0;
    CloseHandle(process);
    return same;
}

// Fresh TIME, TIME_US and RANDOM values for this run, and the own process id
// for the child to find and for {PID} to expand to.
static void take_parent_role(void)
{
    write_environment_variable("VORNAK_ONEFILE_START", NULL);
    write_environment_variable("VORNAK_ONEFILE_TIME_US", NULL);
    write_environment_variable("VORNAK_ONEFILE_RANDOM", NULL);

    char narrow_id[128];
    snprintf(narrow_id, sizeof narrow_id, "%ld", (long)GetCurrentProcessId());
    wchar_t wide_id[128];
    wide_id[0] = 0;
    append_narrow_as_wide(wide_id, narrow_id, 128);
    write_environment_variable("VORNAK_ONEFILE_PARENT", wide_id);
}

launcher_role decide_role(const launch_record *record)
{
    wchar_t *value = read_environment_variable("VORNAK_ONEFILE_PARENT");
    bool child = false;
    DWORD process_id = 0;
    // A process is never its own parent: a reused process id that happens to
    // be ours would otherwise make this instance look for a directory that no
    // parent ever unpacked.
    if (value != NULL && parse_process_id(value, &process_id) && process_id != GetCurrentProcessId())
        child = process_runs_our_image(record, process_id);
    free(value);

    if (child)
        return ROLE_CHILD;
    take_parent_role();
    return ROLE_PARENT;
}
