// SPDX-License-Identifier: MIT
// The console control handler, the session-end window and cleanup_launch,
// driven in-process against a real child (this program started with --sleep)
// and real directories: Wine delivers no console control event to a process
// without a console, never sends WM_ENDSESSION with wParam 0, and ends a
// process as soon as it has answered WM_ENDSESSION. The process's own import
// slots are redirected to count the calls the cleanup makes (delete attempts,
// each of which opens the extraction directory first; pauses, waits,
// terminations, closes) and pass them on.
#include "launcher/launcher.h"
#include "tests/win/check.h"

#include <stdlib.h>

extern "C" {
extern void *__imp_CreateFileW, *__imp_Sleep, *__imp_WaitForSingleObject,
    *__imp_TerminateProcess, *__imp_CloseHandle;
}

enum { CHILD_EXIT_CODE = 42 };

// The launch record the cleanup works on, as the run sequence would own it.
static launch_record record;

static decltype(&CreateFileW) real_create;
static decltype(&Sleep) real_sleep;
static decltype(&WaitForSingleObject) real_wait;
static decltype(&TerminateProcess) real_terminate;
static decltype(&CloseHandle) real_close;

static HANDLE watched;  // the child handle whose uses are counted
static DWORD watched_id;
static volatile LONG deletes, pauses, waits, terminations, closes;
static DWORD last_wait_ms;
static UINT last_terminate_code = 0xFFFF;

static HANDLE WINAPI counting_create(const wchar_t *path, DWORD access, DWORD share,
                                     SECURITY_ATTRIBUTES *security, DWORD disposition, DWORD flags,
                                     HANDLE template_file)
{
    if (wcscmp(path, record.extraction_directory) == 0)
        InterlockedIncrement(&deletes);
    return real_create(path, access, share, security, disposition, flags, template_file);
}

static void WINAPI counting_sleep(DWORD ms)
{
    if (ms == 100)
        InterlockedIncrement(&pauses);
    real_sleep(ms);
}

static DWORD WINAPI counting_wait(HANDLE handle, DWORD ms)
{
    if (handle == watched && ms != INFINITE) {
        InterlockedIncrement(&waits);
        last_wait_ms = ms;
    }
    return real_wait(handle, ms);
}

static BOOL WINAPI counting_terminate(HANDLE handle, UINT code)
{
    if (handle == watched) {
        InterlockedIncrement(&terminations);
        last_terminate_code = code;
    }
    return real_terminate(handle, code);
}

static BOOL WINAPI counting_close(HANDLE handle)
{
    // Once the child handle is closed, a file handle of the removal may get
    // the same value: only a close of the child process itself counts.
    if (handle == watched && GetProcessId(handle) == watched_id)
        InterlockedIncrement(&closes);
    return real_close(handle);
}

static void *redirect(void **slot, void *replacement)
{
    DWORD protection;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    void *previous = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return previous;
}

static void install_counters(void)
{
    real_create = (decltype(real_create))redirect(&__imp_CreateFileW, (void *)counting_create);
    real_sleep = (decltype(real_sleep))redirect(&__imp_Sleep, (void *)counting_sleep);
    real_wait = (decltype(real_wait))redirect(&__imp_WaitForSingleObject, (void *)counting_wait);
    real_terminate = (decltype(real_terminate))redirect(&__imp_TerminateProcess, (void *)counting_terminate);
    real_close = (decltype(real_close))redirect(&__imp_CloseHandle, (void *)counting_close);
}

static void reset_counters(void)
{
    deletes = pauses = waits = terminations = closes = 0;
    last_wait_ms = 0;
    last_terminate_code = 0xFFFF;
}

// --- fixtures: a directory with content as the extraction directory, a child ---

static int fixture_number;

// Fills record.extraction_directory with a fresh directory holding a file in a
// subdirectory, every unit after the path zero; returns the file's path.
static const wchar_t *make_extraction_directory(void)
{
    static wchar_t temp[MAX_PATH], file[PATH_CHARS];
    GetTempPathW(MAX_PATH, temp);
    memset(record.extraction_directory, 0, sizeof record.extraction_directory);
    swprintf(record.extraction_directory, PATH_CHARS, L"%lsvornak_cleanup_%lu_%d", temp,
             GetCurrentProcessId(), ++fixture_number);
    swprintf(file, PATH_CHARS, L"%ls\\sub", record.extraction_directory);
    CreateDirectoryW(record.extraction_directory, NULL);
    CreateDirectoryW(file, NULL);
    append_wide(file, L"\\app.dll", PATH_CHARS);
    HANDLE f = CreateFileW(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    WriteFile(f, "x", 1, NULL, NULL);
    CloseHandle(f);
    record.unpacking_started = 1;
    return file;
}

static bool directory_exists(void)
{
    DWORD attributes = GetFileAttributesW(record.extraction_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static void remove_leftovers(const wchar_t *file)
{
    static wchar_t sub[PATH_CHARS];
    DeleteFileW(file);
    copy_wide(sub, file, PATH_CHARS);
    *wcsrchr(sub, L'\\') = 0;
    RemoveDirectoryW(sub);
    RemoveDirectoryW(record.extraction_directory);
}

// Starts this program sleeping for ms and publishes it as the running child,
// the way launch_child does when it waits (wait_pending) or as a bare handle.
// Returns a second handle of the test's own for watching the child.
static HANDLE start_child(DWORD ms)
{
    static wchar_t self[PATH_CHARS], command[PATH_CHARS];
    GetModuleFileNameW(NULL, self, PATH_CHARS);
    swprintf(command, PATH_CHARS, L"\"%ls\" --sleep %lu", self, ms);
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (!CreateProcessW(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return NULL;
    CloseHandle(process.hThread);
    HANDLE own = NULL;
    DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &own, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    watched = process.hProcess;
    watched_id = process.dwProcessId;
    publish_child_process(process.hProcess, false);  // the cleanup closes it
    return own;
}

static DWORD exit_code_of(HANDLE process)
{
    DWORD code = 0xFFFFFFFF;
    real_wait(process, 10000);
    GetExitCodeProcess(process, &code);
    return code;
}

// --- cases ---

static void check_ignored_types(void)
{
    const wchar_t *file = make_extraction_directory();
    HANDLE child = start_child(60000);
    reset_counters();
    static const DWORD ignored[] = {3, 4, 7, 0xFFFFFFFF};
    for (DWORD type : ignored)
        CHECK(console_control_handler(type) == FALSE);
    CHECK(deletes == 0 && waits == 0 && terminations == 0 && closes == 0);
    CHECK(published_child_process() == watched);
    CHECK(real_wait(child, 0) == WAIT_TIMEOUT);
    CHECK(directory_exists());

    real_terminate(child, 1);
    CloseHandle(child);
    CloseHandle(published_child_process());
    publish_child_process(NULL, false);
    remove_leftovers(file);
}

static void check_cleaning_types(void)
{
    // No child: only the removal, which succeeds at once (one call, no pause).
    static const DWORD cleaning[] = {0, 1, 2, 5, 6};
    for (DWORD type : cleaning) {
        const wchar_t *file = make_extraction_directory();
        reset_counters();
        CHECK(console_control_handler(type) == FALSE);
        if (!CHECK(!directory_exists() && deletes == 1 && pauses == 0))
            printf("    type %lu: %ld deletes, %ld pauses\n", type, deletes, pauses);
        remove_leftovers(file);
    }
}

static void check_child_terminated_after_grace(void)
{
    const wchar_t *file = make_extraction_directory();
    HANDLE child = start_child(60000);
    reset_counters();
    CHECK(console_control_handler(CTRL_C_EVENT) == FALSE);
    CHECK(waits == 1 && last_wait_ms == 5000);
    CHECK(terminations == 1 && last_terminate_code == 0);
    CHECK(exit_code_of(child) == 0);
    CHECK(closes == 1 && published_child_process() == NULL);
    CHECK(!directory_exists());

    // A second event finds no child and repeats only the removal.
    reset_counters();
    console_control_handler(CTRL_BREAK_EVENT);
    CHECK(waits == 0 && closes == 0 && deletes == 1);
    CloseHandle(child);
    remove_leftovers(file);
}

// Ctrl+C and Ctrl+Break give the child 5 s; after close, logoff and shutdown
// the system ends the parent about 5 s later, so the child gets 1 s. The
// child has ended already: the wait shows its limit without taking it.
static void check_grace_by_event(void)
{
    static const struct {
        DWORD type;
        DWORD grace_ms;
    } rows[] = {{CTRL_C_EVENT, 5000}, {CTRL_BREAK_EVENT, 5000}, {CTRL_CLOSE_EVENT, 1000},
                {CTRL_LOGOFF_EVENT, 1000}, {CTRL_SHUTDOWN_EVENT, 1000}};
    for (const auto &row : rows) {
        const wchar_t *file = make_extraction_directory();
        HANDLE child = start_child(0);
        real_wait(child, 10000);
        reset_counters();
        console_control_handler(row.type);
        if (!CHECK(waits == 1 && last_wait_ms == row.grace_ms && terminations == 0 && !directory_exists()))
            printf("    type %lu: %ld waits of %lu ms\n", row.type, waits, last_wait_ms);
        CloseHandle(child);
        remove_leftovers(file);
    }
}

// launch_child's side, on a thread of its own: wait without the lock, then
// release and clean up as the main thread does.
static volatile int released_status = -1;
static DWORD WINAPI waiting_main_thread(void *process)
{
    real_wait((HANDLE)process, INFINITE);
    released_status = release_child_process();
    cleanup_launch();
    return 0;
}

static void check_child_ending_within_grace_while_main_waits(void)
{
    const wchar_t *file = make_extraction_directory();
    HANDLE child = start_child(1000);
    publish_child_process(watched, true);
    reset_counters();
    HANDLE waiter = CreateThread(NULL, 0, waiting_main_thread, watched, 0, NULL);
    CHECK(console_control_handler(CTRL_BREAK_EVENT) == FALSE);
    CHECK(real_wait(waiter, 20000) == WAIT_OBJECT_0);
    CHECK(terminations == 0);
    CHECK(exit_code_of(child) == CHILD_EXIT_CODE && released_status == CHILD_EXIT_CODE);
    // Closed once, by the thread that owned the wait, after the handler's use.
    CHECK(closes == 1 && published_child_process() == NULL);
    CHECK(!directory_exists());
    CloseHandle(waiter);
    CloseHandle(child);
    remove_leftovers(file);
}

static void check_nothing_before_unpacking(void)
{
    const wchar_t *file = make_extraction_directory();
    record.unpacking_started = 0;
    reset_counters();
    CHECK(console_control_handler(CTRL_C_EVENT) == FALSE);
    CHECK(deletes == 0 && directory_exists());
    remove_leftovers(file);
}

// --- the session end, through the parent's hidden window ---

static const wchar_t session_class[] = L"vornak_launcher_session";

struct session_message {
    HWND window;
    WPARAM ending;
    LRESULT answer;
    bool directory_gone_at_answer;
    LPARAM reason;
    DWORD answer_ms;
};

// Another process's SendMessage, as the system's session end makes it: it
// reaches the window only when the main thread serves its queue.
static DWORD WINAPI send_end_session(void *param)
{
    session_message *m = (session_message *)param;
    ULONGLONG sent = GetTickCount64();
    m->answer = SendMessageW(m->window, WM_ENDSESSION, m->ending, m->reason ? m->reason : (LPARAM)ENDSESSION_LOGOFF);
    m->answer_ms = (DWORD)(GetTickCount64() - sent);
    m->directory_gone_at_answer = !directory_exists();
    return 0;
}

static void check_session_end_window(void)
{
    listen_for_session_end();
    HWND window = FindWindowW(session_class, NULL);  // top-level windows only, not message-only ones
    CHECK(window != NULL && !IsWindowVisible(window) && GetParent(window) == NULL);
    DWORD level = 0, flags = 0xFFFF;
    CHECK(GetProcessShutdownParameters(&level, &flags) && level == 0x100 && flags == 0);

    const wchar_t *file = make_extraction_directory();
    HANDLE child = start_child(60000);
    reset_counters();
    // Asking is always allowed and changes nothing; a session end that is
    // called off (wParam 0) changes nothing either.
    CHECK(SendMessageW(window, WM_QUERYENDSESSION, 0, (LPARAM)ENDSESSION_LOGOFF) == TRUE);
    CHECK(SendMessageW(window, WM_ENDSESSION, FALSE, 0) == 0);
    SendMessageW(window, WM_CLOSE, 0, 0);  // a polite taskkill does not take the window away
    CHECK(IsWindow(window));
    // Restart Manager closing applications is no session end: agreed to,
    // and nothing stopped or removed, whether or not other reasons come along.
    static const LPARAM closing[] = {ENDSESSION_CLOSEAPP, ENDSESSION_CLOSEAPP | ENDSESSION_CRITICAL,
                                     ENDSESSION_CLOSEAPP | (LPARAM)ENDSESSION_LOGOFF};
    for (LPARAM reason : closing) {
        CHECK(SendMessageW(window, WM_QUERYENDSESSION, 0, reason) == TRUE);
        CHECK(SendMessageW(window, WM_ENDSESSION, TRUE, reason) == 0);
    }
    CHECK(deletes == 0 && waits == 0 && terminations == 0);
    CHECK(real_wait(child, 0) == WAIT_TIMEOUT && directory_exists());

    // The real end arrives while launch_child waits: served by the wait, the
    // child stopped after the grace period, the directory gone before the
    // answer, and the handle left to the waiting thread to close.
    publish_child_process(watched, true);
    session_message m = {window, TRUE, -1, false, 0, 0};
    HANDLE sender = CreateThread(NULL, 0, send_end_session, &m, 0, NULL);
    wait_for_child(watched);
    CHECK(real_wait(sender, 10000) == WAIT_OBJECT_0);
    CHECK(m.answer == 0 && m.directory_gone_at_answer);
    // A second for the child, then the removal: well inside the system's 5 s.
    CHECK(waits == 1 && last_wait_ms == 1000 && terminations == 1 && last_terminate_code == 0);
    if (!CHECK(m.answer_ms >= 950 && m.answer_ms < 3000))
        printf("    answered after %lu ms\n", m.answer_ms);
    CHECK(closes == 0 && published_child_process() == watched);
    CHECK(release_child_process() == 0 && closes == 1 && published_child_process() == NULL);
    CloseHandle(sender);
    CloseHandle(child);
    remove_leftovers(file);
}

// --session-during-unpack DIR: the parent between two payload entries, with
// DIR as its extraction directory, when the session ends.
static int session_end_between_entries(const wchar_t *directory)
{
    memset(record.extraction_directory, 0, sizeof record.extraction_directory);
    copy_wide(record.extraction_directory, directory, PATH_CHARS);
    record.unpacking_started = 1;
    listen_for_session_end();
    session_message m = {FindWindowW(session_class, NULL), TRUE, -1, false, 0, 0};
    CloseHandle(CreateThread(NULL, 0, send_end_session, &m, 0, NULL));
    for (int i = 0; i < 1000; i++) {
        serve_session_messages();  // ends the process once the session has ended
        Sleep(10);
    }
    return 99;
}

static void check_session_end_stops_the_unpack(void)
{
    const wchar_t *file = make_extraction_directory();
    static wchar_t self[PATH_CHARS], command[PATH_CHARS];
    GetModuleFileNameW(NULL, self, PATH_CHARS);
    swprintf(command, PATH_CHARS, L"\"%ls\" --session-during-unpack \"%ls\"", self, record.extraction_directory);
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    CHECK(CreateProcessW(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
    CloseHandle(process.hThread);
    // Nothing more is unpacked and no child is started: the process ends
    // with no application exit code to pass on, its directory removed.
    CHECK(exit_code_of(process.hProcess) == 1);
    CHECK(!directory_exists());
    CloseHandle(process.hProcess);
    remove_leftovers(file);
}

static void check_held_file_gives_up_after_21_attempts(void)
{
    const wchar_t *file = make_extraction_directory();
    // Open without FILE_SHARE_DELETE: every delete stops at this file.
    HANDLE held = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    CHECK(held != INVALID_HANDLE_VALUE);
    reset_counters();
    CHECK(console_control_handler(CTRL_C_EVENT) == FALSE);
    if (!CHECK(deletes == 21 && pauses == 20))
        printf("    %ld deletes, %ld pauses\n", deletes, pauses);
    CHECK(directory_exists());

    // With the system's deadline ahead, no attempt begins more than 2 s
    // after the first: fewer pauses than the 20 above, and done in time.
    reset_counters();
    ULONGLONG start = GetTickCount64();
    console_control_handler(CTRL_LOGOFF_EVENT);
    ULONGLONG spent = GetTickCount64() - start;
    if (!CHECK(pauses >= 15 && pauses < 20 && deletes == pauses + 1 && spent >= 1500 && spent < 2500))
        printf("    %ld deletes, %ld pauses, %llu ms\n", deletes, pauses, spent);
    CHECK(directory_exists());
    CloseHandle(held);
    remove_leftovers(file);
}

// The holder shares delete access: the file is marked for deletion but stays
// until the holder lets go; a later attempt then finds the directory empty.
static DWORD WINAPI close_after_350_ms(void *file)
{
    real_sleep(350);
    CloseHandle((HANDLE)file);
    return 0;
}

static void check_file_released_during_retries_is_removed(void)
{
    const wchar_t *file = make_extraction_directory();
    HANDLE held = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    CHECK(held != INVALID_HANDLE_VALUE);
    reset_counters();
    HANDLE closer = CreateThread(NULL, 0, close_after_350_ms, held, 0, NULL);
    CHECK(console_control_handler(CTRL_C_EVENT) == FALSE);
    if (!CHECK(!directory_exists() && deletes >= 2 && deletes < 21 && pauses == deletes - 1))
        printf("    %ld deletes, %ld pauses\n", deletes, pauses);
    real_wait(closer, 10000);
    CloseHandle(closer);
    remove_leftovers(file);
}

static void check_file_path_stops_retries(void)
{
    // The path names a file held open, so the delete fails and leaves it: a
    // file is not a directory, and the retries end at once.
    const wchar_t *file = make_extraction_directory();
    static wchar_t directory[PATH_CHARS];
    copy_wide(directory, record.extraction_directory, PATH_CHARS);
    memset(record.extraction_directory, 0, sizeof record.extraction_directory);
    copy_wide(record.extraction_directory, file, PATH_CHARS);
    HANDLE held = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    reset_counters();
    console_control_handler(CTRL_C_EVENT);
    CHECK(deletes == 1 && pauses == 0);
    CloseHandle(held);
    memset(record.extraction_directory, 0, sizeof record.extraction_directory);
    copy_wide(record.extraction_directory, directory, PATH_CHARS);
    remove_leftovers(file);
}

int test_main(int argc, wchar_t **argv)
{
    keep_record_for_cleanup(&record);
    if (argc == 3 && wcscmp(argv[1], L"--sleep") == 0) {
        Sleep(wcstoul(argv[2], NULL, 10));
        return CHILD_EXIT_CODE;
    }
    if (argc == 3 && wcscmp(argv[1], L"--session-during-unpack") == 0)
        return session_end_between_entries(argv[2]);
    install_counters();
    check_ignored_types();
    check_cleaning_types();
    check_nothing_before_unpacking();
    check_held_file_gives_up_after_21_attempts();
    check_file_released_during_retries_is_removed();
    check_file_path_stops_retries();
    check_child_ending_within_grace_while_main_waits();
    check_child_terminated_after_grace();
    check_grace_by_event();
    check_session_end_window();
    check_session_end_stops_the_unpack();
    return test_summary();
}
