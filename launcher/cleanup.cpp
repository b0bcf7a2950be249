// SPDX-License-Identifier: MIT
// Stopping the child and removing the extraction directory, after the child
// has ended and on console control events (the handler runs on a thread of
// its own). Owns the lock that serialises every use of child_process_handle
// and every delete; the lock is never held across an unbounded wait.
#include "launcher/launcher.h"

#include <shellapi.h>

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

static void request_delete(void)
{
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
