// SPDX-License-Identifier: MIT
// Stopping the child and removing the extraction directory, after the child
// has ended and on console control events (the handler runs on a thread of
// its own). Owns the lock that serialises every use of child_process_handle
// and every delete; the lock is never held across an unbounded wait.
#include "launcher/launcher.h"

#include <shellapi.h>
#include <string.h>
#include <wchar.h>

enum {
    CHILD_GRACE_MS = 5000,
    DELETE_PAUSE_MS = 100,
    DELETE_RETRIES = 20,  // after the first attempt, 21 in all
};

// Static initialisation: usable before any thread exists, so before the
// console handler can be registered.
static SRWLOCK cleanup_lock = SRWLOCK_INIT;

// True while launch_child's main thread owns child_process_handle for its
// wait. cleanup_launch may then wait on the child and terminate it, but
// leaves the closing to release_child_process, so that the main thread never
// waits on a handle that is closed, or worse reused for another object.
static bool child_wait_pending;

// Copied before every call: SHFileOperationW may change the record it gets.
// pFrom is the extraction directory, double-NUL terminated by construction.
// 0x414 = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI; without
// FOF_ALLOWUNDO the tree is deleted for good, not moved to the recycle bin.
static const SHFILEOPSTRUCTW delete_request = {
    NULL, FO_DELETE, extraction_directory, L"", FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI,
    FALSE, NULL, L"",
};
static_assert((FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI) == 0x414, "delete flags");

// The shell's delete handles paths of up to MAX_PATH units only (less the
// 12 that directory names keep free). Beyond that it fails on Windows, and
// under Wine it may even turn the request into one for the current directory
// and empty that: the user's folder, which the parent runs in. The unpacker
// writes paths of up to 4095 units, so whatever lies beyond the limit is
// removed entry by entry first, and the shell only ever sees short paths.
enum { SHELL_DELETE_PATH_CHARS = MAX_PATH - 12, WALK_PATH_CHARS = 2 * PATH_CHARS };
static wchar_t walk_path[WALK_PATH_CHARS];

// walk_path holds a directory of length units. Deletes every entry below it
// whose full path is too long for the shell, or every entry when remove_all.
// Links are removed, never followed. What cannot be deleted stays; the next
// attempt tries again. One frame per level, about 700 bytes.
static void remove_beyond_shell_limit(size_t length, bool remove_all)
{
    if (length + 2 >= WALK_PATH_CHARS)
        return;
    walk_path[length] = L'\\';
    walk_path[length + 1] = L'*';
    walk_path[length + 2] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(walk_path, FindExInfoBasic, &found, FindExSearchNameMatch,
                                     NULL, 0);
    walk_path[length] = 0;
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const wchar_t *name = found.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
            continue;
        size_t name_length = wcslen(name);
        if (length + 1 + name_length >= WALK_PATH_CHARS)
            continue;
        walk_path[length] = L'\\';
        memcpy(walk_path + length + 1, name, (name_length + 1) * sizeof(wchar_t));
        size_t entry_length = length + 1 + name_length;
        bool too_long = remove_all || entry_length >= SHELL_DELETE_PATH_CHARS;
        DWORD attributes = found.dwFileAttributes;
        bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (directory && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            remove_beyond_shell_limit(entry_length, too_long);
        if (too_long) {
            if (attributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(walk_path, attributes & ~FILE_ATTRIBUTE_READONLY);
            if (directory)
                RemoveDirectoryW(walk_path);
            else
                DeleteFileW(walk_path);
        }
        walk_path[length] = 0;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// One delete attempt on the extraction directory.
static void request_delete(void)
{
    size_t length = wcslen(extraction_directory);
    bool root_too_long = length >= SHELL_DELETE_PATH_CHARS;
    memcpy(walk_path, extraction_directory, (length + 1) * sizeof(wchar_t));
    remove_beyond_shell_limit(length, root_too_long);
    if (root_too_long) {
        RemoveDirectoryW(extraction_directory);
        return;
    }
    SHFILEOPSTRUCTW request = delete_request;
    SHFileOperationW(&request);
}

static bool extraction_directory_exists(void)
{
    DWORD attributes = GetFileAttributesW(extraction_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Caller holds cleanup_lock.
static void stop_child_locked(void)
{
    if (child_process_handle == NULL)
        return;
    if (WaitForSingleObject(child_process_handle, CHILD_GRACE_MS) != WAIT_OBJECT_0)
        TerminateProcess(child_process_handle, 0);
    if (!child_wait_pending) {
        CloseHandle(child_process_handle);
        child_process_handle = NULL;
    }
}

// Caller holds cleanup_lock. A file still in use (the image of a child that
// is just ending, a file another process holds open) makes a delete stop part
// way; retry for about two seconds, then leave the rest in place.
static void remove_extraction_directory_locked(void)
{
    if (unpacking_started != 1)
        return;
    request_delete();
    for (int retry = 0; retry < DELETE_RETRIES; retry++) {
        if (!extraction_directory_exists())
            return;
        Sleep(DELETE_PAUSE_MS);
        request_delete();
    }
}

void publish_child_process(HANDLE process)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    child_process_handle = process;
    child_wait_pending = true;
    ReleaseSRWLockExclusive(&cleanup_lock);
}

int release_child_process(void)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    DWORD exit_code = 0;
    int status = GetExitCodeProcess(child_process_handle, &exit_code) ? (int)exit_code : 1;
    CloseHandle(child_process_handle);
    child_process_handle = NULL;
    child_wait_pending = false;
    ReleaseSRWLockExclusive(&cleanup_lock);
    return status;
}

// Every error is ignored: nothing here reports or changes the exit code. The
// lock is held for at most the grace period plus the delete attempts, and
// nothing done under it waits for the other thread, so a handler running
// while the main thread waits for the child cannot deadlock with it.
void cleanup_launch(void)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    stop_child_locked();
    remove_extraction_directory_locked();
    ReleaseSRWLockExclusive(&cleanup_lock);
}

// Interrupt, break, console close, logoff and shutdown clean up; other types
// (3, 4, above 6) do nothing. FALSE hands the event on to the next handler,
// which is the system's default: it ends the parent.
BOOL WINAPI console_control_handler(DWORD control_type)
{
    switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanup_launch();
        break;
    default:
        break;
    }
    return FALSE;
}
