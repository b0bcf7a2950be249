// SPDX-License-Identifier: MIT
// Stopping the child and removing the extraction directory, after the child
// has ended and on console control events (the handler runs on a thread of
// its own). Owns the running child's handle, the lock that serialises every
// use of it and every removal, and the removal walk's buffers; the lock is
// never held across an unbounded wait. The walk never acts on anything outside the
// extraction directory: it never follows a link and deletes only through a
// handle it has checked, whatever fails.
#include "launcher/launcher.h"

#include <string.h>
#include <wchar.h>

enum {
    CHILD_GRACE_MS = 5000,
    DELETE_PAUSE_MS = 100,
    DELETE_RETRIES = 20,  // after the first attempt, 21 in all
    // About 5 s after it asked a process to end (WM_ENDSESSION, or a console
    // handler's close, logoff or shutdown event) the system ends it. The whole
    // path, wait, termination and removal, must be over well before that, or
    // the removal is cut off and the directory stays: 1 s for the child, no
    // removal attempt begun more than 2 s after the first.
    DEADLINE_CHILD_GRACE_MS = 1000,
    DEADLINE_REMOVAL_MS = 2000,
    // Paths below the extraction directory: its own path of up to
    // PATH_CHARS - 1 units and whatever the application made below it.
    WALK_PATH_CHARS = 2 * PATH_CHARS,
    // Every level below the extraction directory adds at least two units.
    WALK_DEPTH_MAX = PATH_CHARS / 2,
    // One batch of directory entries: at least one of the longest name. Wine
    // spends much time in every listing call, so the upper levels, where the
    // wide directories are, get room for a few hundred entries per call.
    LISTING_BYTES = 1024,
    WIDE_LISTING_BYTES = 65536,
    WIDE_LISTING_LEVELS = 8,
    LISTING_ARENA_BYTES =
        WIDE_LISTING_LEVELS * WIDE_LISTING_BYTES + (WALK_DEPTH_MAX - WIDE_LISTING_LEVELS) * LISTING_BYTES,
    OBJECT_NAME_INFORMATION_CLASS = 1,
};
static_assert(LISTING_BYTES >= sizeof(FILE_ID_BOTH_DIR_INFO) + 255 * sizeof(wchar_t),
              "a listing batch holds an entry of the longest name");

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

// FileDispositionInfoEx and its flags, which mingw's headers offer only to
// builds for Windows 10 1607 and later. POSIX semantics take the name away
// when the handle closes, even while others still have the file open with
// FILE_SHARE_DELETE, so that the directory holding it can go in the same
// attempt.
enum {
    FILE_DISPOSITION_INFO_EX_CLASS = 21,
    DISPOSITION_DELETE = 0x1,
    DISPOSITION_POSIX_SEMANTICS = 0x2,
    DISPOSITION_IGNORE_READONLY_ATTRIBUTE = 0x10,
};
struct disposition_info_ex {
    DWORD flags;
};

// Static initialisation: usable before any thread exists, so before the
// console handler can be registered.
static SRWLOCK cleanup_lock = SRWLOCK_INIT;

// True while launch_child's main thread owns child_process_handle for its
// wait. cleanup_launch may then wait on the child and terminate it, but
// leaves the closing to release_child_process, so that the main thread never
// waits on a handle that is closed, or worse reused for another object.
static bool child_wait_pending;

// The running child, or NULL. Only this file sees it.
static HANDLE child_process_handle;

// The run sequence's launch record, set once before any handler exists.
static launch_record *record;

// The entry the walk is at: the extraction directory, then the names below
// it. The open handles on the way down are known to be the directories these
// names denote.
static wchar_t walk_path[WALK_PATH_CHARS];
// The extraction directory's own object name, the prefix of every object
// name below it.
static wchar_t root_name[WALK_PATH_CHARS];
static size_t root_name_length, root_path_length;
// The object name of a handle just opened.
static unsigned long long opened_name[(sizeof(object_name_information) + WALK_PATH_CHARS * sizeof(wchar_t)) /
                                      sizeof(unsigned long long)];
static query_object_function query_object;
// Room for one listing batch per level, so that the walk's stack use does
// not grow with the depth of the tree, whichever thread runs it.
static unsigned long long listing_arena[LISTING_ARENA_BYTES / sizeof(unsigned long long)];
// Set once FileDispositionInfoEx proves unknown (Wine 8, Windows before 10).
static bool posix_delete_unavailable;

static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FILE_FLAG_OPEN_REPARSE_POINT: a link is opened as itself, not as its
// target (Windows; Wine 8 ignores it). FILE_FLAG_BACKUP_SEMANTICS: needed
// to open a directory at all.
static const DWORD OPEN_ITSELF = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
static const DWORD ENTRY_ACCESS = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

static bool is_plain_directory(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
}

static const wchar_t *last_component(const wchar_t *path, size_t length)
{
    const wchar_t *name = path + length;
    while (name > path && name[-1] != L'\\')
        name--;
    return name;
}

// The name of the object behind handle, as the system knows it now: where
// a link opened as its target really is, where a name that was exchanged
// since it was listed now leads. NULL when it cannot be read or is too long.
// This is what GetFinalPathNameByHandleW starts from, read directly: Wine 8's
// GetFinalPathNameByHandleW fails for names of more than about 270 units.
static const object_name_information *read_object_name(HANDLE handle)
{
    if (query_object == NULL) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        if (ntdll != NULL)
            query_object = (query_object_function)(void *)GetProcAddress(ntdll, "NtQueryObject");
        if (query_object == NULL)
            return NULL;
    }
    ULONG result_bytes = 0;
    if (query_object(handle, OBJECT_NAME_INFORMATION_CLASS, opened_name, sizeof opened_name, &result_bytes) != 0)
        return NULL;
    return (const object_name_information *)opened_name;
}

// Whether the object behind handle is the entry at walk_path[0..length)
// itself: its name must be the extraction directory's object name followed
// by the same names the walk followed below it. Anything else (a link that
// was followed, a name that leads elsewhere by now) is not the entry.
static bool handle_is_at_walk_path(HANDLE handle, size_t length)
{
    const object_name_information *opened = read_object_name(handle);
    if (opened == NULL)
        return false;
    size_t below = length - root_path_length;
    return opened->length_bytes == (root_name_length + below) * sizeof(wchar_t) &&
           memcmp(opened->name, root_name, root_name_length * sizeof(wchar_t)) == 0 &&
           memcmp(opened->name + root_name_length, walk_path + root_path_length, below * sizeof(wchar_t)) == 0;
}

// The attributes of the object behind handle. Not GetFileInformationByHandle:
// under Wine it also asks for the volume's serial number, which takes about
// 3 ms, more than all the rest of an entry's removal together.
static bool read_attributes(HANDLE handle, DWORD *attributes)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info))
        return false;
    *attributes = info.FileAttributes;
    return true;
}

// A read-only file cannot be deleted by the plain disposition, and under
// Wine a read-only directory keeps its entries. attributes may be those the
// listing showed: a file made read-only since then stays for the next
// attempt. Zero times are left as they are.
static void make_writable(HANDLE handle, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return;
    FILE_BASIC_INFO basic;
    memset(&basic, 0, sizeof basic);
    basic.FileAttributes = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

// Marks the object behind handle for deletion when the handle closes. The
// handle is the checked one: nothing can be put in the entry's place
// between the check and the delete. A directory that is not empty stays.
static void delete_through(HANDLE handle)
{
    if (!posix_delete_unavailable) {
        disposition_info_ex posix = {DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                                     DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
        if (SetFileInformationByHandle(handle, (FILE_INFO_BY_HANDLE_CLASS)FILE_DISPOSITION_INFO_EX_CLASS,
                                       &posix, sizeof posix))
            return;
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION)
            posix_delete_unavailable = true;
    }
    FILE_DISPOSITION_INFO classic = {TRUE};
    SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic);
}

static void remove_directory_contents(HANDLE directory, size_t length, int depth);

// walk_path holds an entry of length units that the listing of its
// directory showed with listed_attributes. Removes it, and for a directory
// first what can be removed below it. Left alone: an entry that cannot be
// opened (in use without share-delete, gone, a link Wine will not open),
// and one whose handle is not on the entry itself. Wine opens a link made on
// the Linux side as its target, even with FILE_FLAG_OPEN_REPARSE_POINT, and
// a delete through that handle removes the target; the handle's object name
// is the target's, which is how it is told apart. A handle that is on the
// entry itself deletes that entry and nothing else, whatever it has become
// since it was listed: a link that Windows opens as itself goes as itself. It
// is descended into only when the listing and the handle both show a
// directory that is not a link.
static void remove_entry(DWORD listed_attributes, size_t length, int depth)
{
    bool listed_as_directory = is_plain_directory(listed_attributes);
    HANDLE entry = CreateFileW(walk_path, ENTRY_ACCESS | (listed_as_directory ? FILE_LIST_DIRECTORY : 0),
                               SHARE_ALL, NULL, OPEN_EXISTING, OPEN_ITSELF, NULL);
    if (entry == INVALID_HANDLE_VALUE)
        return;
    if (!handle_is_at_walk_path(entry, length)) {
        CloseHandle(entry);
        return;
    }
    make_writable(entry, listed_attributes);
    DWORD attributes;
    if (listed_as_directory && read_attributes(entry, &attributes) && is_plain_directory(attributes))
        remove_directory_contents(entry, length, depth + 1);
    delete_through(entry);
    CloseHandle(entry);
}

// directory is open on walk_path[0..length), checked. Removes what can be
// removed below it; depth counts the levels below the extraction directory.
// Entries deleted while the listing goes on do not disturb it.
static void remove_directory_contents(HANDLE directory, size_t length, int depth)
{
    if (depth >= WALK_DEPTH_MAX)
        return;
    bool wide = depth < WIDE_LISTING_LEVELS;
    size_t offset_bytes = wide ? (size_t)depth * WIDE_LISTING_BYTES
                               : (size_t)WIDE_LISTING_LEVELS * WIDE_LISTING_BYTES +
                                     (size_t)(depth - WIDE_LISTING_LEVELS) * LISTING_BYTES;
    unsigned char *listing = (unsigned char *)listing_arena + offset_bytes;
    DWORD listing_bytes = wide ? WIDE_LISTING_BYTES : LISTING_BYTES;
    while (GetFileInformationByHandleEx(directory, FileIdBothDirectoryInfo, listing, listing_bytes)) {
        for (size_t offset = 0;;) {
            const FILE_ID_BOTH_DIR_INFO *found = (const FILE_ID_BOTH_DIR_INFO *)(listing + offset);
            size_t name_length = found->FileNameLength / sizeof(wchar_t);
            const wchar_t *name = found->FileName;
            bool dots = (name_length == 1 && name[0] == L'.') ||
                        (name_length == 2 && name[0] == L'.' && name[1] == L'.');
            if (!dots && length + 1 + name_length < WALK_PATH_CHARS) {
                walk_path[length] = L'\\';
                memcpy(walk_path + length + 1, name, name_length * sizeof(wchar_t));
                walk_path[length + 1 + name_length] = 0;
                remove_entry(found->FileAttributes, length + 1 + name_length, depth);
                walk_path[length] = 0;
            }
            if (found->NextEntryOffset == 0)
                break;
            offset += found->NextEntryOffset;
        }
    }
}

// One removal attempt. The extraction directory is opened by its name, the
// one place where a name is trusted, and only when it is still a directory
// of its own and not a link in its place: Wine shows a link to a directory
// as a reparse point by its name only and opens it as its target, whose last
// name then differs from ours. Its object name is the root of every check
// below.
static void request_delete(const wchar_t *extraction_directory)
{
    HANDLE root = CreateFileW(extraction_directory, ENTRY_ACCESS | FILE_LIST_DIRECTORY, SHARE_ALL, NULL,
                              OPEN_EXISTING, OPEN_ITSELF, NULL);
    if (root == INVALID_HANDLE_VALUE)
        return;
    DWORD attributes;
    const object_name_information *opened = read_object_name(root);
    size_t path_length = wcslen(extraction_directory);
    bool ours = opened != NULL && read_attributes(root, &attributes) && is_plain_directory(attributes) &&
                is_plain_directory(GetFileAttributesW(extraction_directory)) && path_length < WALK_PATH_CHARS;
    if (ours) {
        root_name_length = opened->length_bytes / sizeof(wchar_t);
        memcpy(root_name, opened->name, root_name_length * sizeof(wchar_t));
        const wchar_t *own = last_component(extraction_directory, path_length);
        size_t own_length = path_length - (size_t)(own - extraction_directory);
        const wchar_t *named = last_component(root_name, root_name_length);
        ours = own_length > 0 && (size_t)(root_name + root_name_length - named) == own_length &&
               memcmp(named, own, own_length * sizeof(wchar_t)) == 0;
    }
    if (ours) {
        root_path_length = path_length;
        memcpy(walk_path, extraction_directory, (path_length + 1) * sizeof(wchar_t));
        make_writable(root, attributes);
        remove_directory_contents(root, path_length, 0);
        delete_through(root);
    }
    CloseHandle(root);
}

static bool extraction_directory_exists(const wchar_t *extraction_directory)
{
    DWORD attributes = GetFileAttributesW(extraction_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Caller holds cleanup_lock.
static void stop_child_locked(DWORD grace_ms)
{
    if (child_process_handle == NULL)
        return;
    if (WaitForSingleObject(child_process_handle, grace_ms) != WAIT_OBJECT_0)
        TerminateProcess(child_process_handle, 0);
    if (!child_wait_pending) {
        CloseHandle(child_process_handle);
        child_process_handle = NULL;
    }
}

// Caller holds cleanup_lock. A file still in use (the image of a child that
// is just ending, a file another process holds open) stays in an attempt;
// retry for about two seconds, then leave the rest in place. With a time
// limit (removal_ms not 0) no attempt begins later than that after the first.
static void remove_extraction_directory_locked(DWORD removal_ms)
{
    if (record == NULL || record->unpacking_started != 1)
        return;
    const wchar_t *extraction_directory = record->extraction_directory;
    ULONGLONG first_attempt = GetTickCount64();
    request_delete(extraction_directory);
    for (int retry = 0; retry < DELETE_RETRIES; retry++) {
        if (!extraction_directory_exists(extraction_directory))
            return;
        if (removal_ms != 0 && GetTickCount64() - first_attempt + DELETE_PAUSE_MS > removal_ms)
            return;
        Sleep(DELETE_PAUSE_MS);
        request_delete(extraction_directory);
    }
}

void keep_record_for_cleanup(launch_record *launch)
{
    record = launch;
}

void publish_child_process(HANDLE process, bool caller_waits)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    child_process_handle = process;
    child_wait_pending = caller_waits;
    ReleaseSRWLockExclusive(&cleanup_lock);
}

HANDLE published_child_process(void)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    HANDLE process = child_process_handle;
    ReleaseSRWLockExclusive(&cleanup_lock);
    return process;
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
static void cleanup_within(DWORD grace_ms, DWORD removal_ms)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    stop_child_locked(grace_ms);
    remove_extraction_directory_locked(removal_ms);
    ReleaseSRWLockExclusive(&cleanup_lock);
}

void cleanup_launch(void)
{
    cleanup_within(CHILD_GRACE_MS, 0);
}

void cleanup_launch_before_deadline(void)
{
    cleanup_within(DEADLINE_CHILD_GRACE_MS, DEADLINE_REMOVAL_MS);
}

// Interrupt, break, console close, logoff and shutdown clean up; other types
// (3, 4, above 6) do nothing. Ctrl+C and Ctrl+Break leave the application
// its full grace period; after close, logoff and shutdown the system ends
// this process a few seconds later whatever the handler does, so those take
// the short path. FALSE hands the event on to the next handler, which is the
// system's default: it ends the parent.
BOOL WINAPI console_control_handler(DWORD control_type)
{
    switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        cleanup_launch();
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanup_launch_before_deadline();
        break;
    default:
        break;
    }
    return FALSE;
}
