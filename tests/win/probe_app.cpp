// SPDX-License-Identifier: MIT
// probe.dll: a test application. run_code reports what it received as
// "key=value" lines (strings as UTF-16 code units in hex, four digits each,
// so that nothing is lost) and then performs the actions named by arguments
// of the form "probe:NAME[=VALUE]". The report goes to the file named by
// VORNAK_PROBE_REPORT (written whole, then renamed into place), else to stdout.
//
// Actions, in the order they take effect:
//   probe:out=TEXT, probe:err=TEXT  write TEXT (UTF-8) and "\n" to stdout / stderr
//   probe:stdin                     read standard input to its end: stdin_data=HEX bytes
//   probe:snapshot=DIR              copy the DLL's directory tree to DIR
//   probe:list-temp                 temp_entries=HEX,HEX,... the names in %TEMP%
//   probe:list-windows              windows=, parent_windows= the top-level windows of this
//                                   process and of its parent, each CLASS:VISIBLE (0|1),
//                                   comma-separated; shutdown_level=0xN of this process
//   probe:window                    create a top-level window of its own (shown); the
//                                   sleep then serves its messages, as an application must
//   probe:close-splash              set the launcher's splash event, as an application
//                                   does once its own window is up: splash_event=1|0
//   probe:setenv=NAME=VALUE         set a variable (for a nested run); "{}" in VALUE
//                                   stands for the variable's current value
//   probe:nested=TEXT               start the launcher's own executable again with the
//                                   command line "<exe>" TEXT; its report lines appear
//                                   prefixed "nested.", its exit code as nested.exit
//   probe:nested-exe=PATH           later probe:nested actions start PATH instead (the
//                                   same file under another spelling, say)
//   probe:hold=NAME                 have holdfile.exe (path in VORNAK_PROBE_HOLDER) open
//                                   NAME in the DLL's directory without share-delete
//                                   and keep it for probe:hold-ms=N ms (default 5000)
//   (the report is written here)
//   probe:ignore-ctrl               console control events are ignored from now on;
//                                   each one writes "<report>.ctrl" (event=N)
//   probe:wait-for=FILE             wait (at most 60 s) until FILE exists, so that a
//                                   test can change things while the application runs
//   probe:sleep=MS                  sleep (serving the window's messages, if any)
//   probe:crash                     access violation
//   probe:exit=N                    run_code returns N (any 32-bit value; default 0)
//   probe:done=FILE                 create FILE just before run_code returns (after
//                                   the sleep), so a test can tell an application
//                                   that ended by itself from one that was stopped
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum {
    PATH_UNITS = 32768,
    STDIN_LIMIT_BYTES = 1 << 20,
};

static HINSTANCE probe_module;
static HWND own_window;
static char *report;
static size_t report_len, report_cap;
static wchar_t report_path[PATH_UNITS];
static bool have_report_path;

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason, void *)
{
    if (reason == DLL_PROCESS_ATTACH)
        probe_module = instance;
    return TRUE;
}

static void append_bytes(const char *text, size_t n)
{
    if (report_len + n + 1 > report_cap) {
        size_t cap = report_cap ? report_cap : 4096;
        while (report_len + n + 1 > cap)
            cap *= 2;
        char *grown = (char *)realloc(report, cap);
        if (!grown)
            abort();
        report = grown;
        report_cap = cap;
    }
    memcpy(report + report_len, text, n);
    report_len += n;
    report[report_len] = 0;
}

static void append_text(const char *text) { append_bytes(text, strlen(text)); }

static void put_line(const char *key, const char *value)
{
    append_text(key);
    append_text("=");
    append_text(value);
    append_text("\n");
}

static void put_number(const char *key, unsigned long long value, bool hex)
{
    char digits[32];
    snprintf(digits, sizeof digits, hex ? "0x%08llX" : "%llu", value);
    put_line(key, digits);
}

static void put_hex_units(const char *key, const wchar_t *text, size_t units)
{
    static const char digits[] = "0123456789abcdef";
    append_text(key);
    append_text("=");
    for (size_t i = 0; i < units; i++) {
        unsigned u = (unsigned)text[i];
        char four[4] = {digits[(u >> 12) & 15], digits[(u >> 8) & 15], digits[(u >> 4) & 15], digits[u & 15]};
        append_bytes(four, 4);
    }
    append_text("\n");
}

static void put_wide(const char *key, const wchar_t *text) { put_hex_units(key, text, wcslen(text)); }

static void put_hex_bytes(const char *key, const unsigned char *data, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    append_text(key);
    append_text("=");
    for (size_t i = 0; i < n; i++) {
        char two[2] = {digits[data[i] >> 4], digits[data[i] & 15]};
        append_bytes(two, 2);
    }
    append_text("\n");
}

// Unset and empty are both "not there" to GetEnvironmentVariableW; the last
// error tells them apart.
static void put_variable(const wchar_t *name)
{
    static wchar_t value[PATH_UNITS];
    char key[160];
    snprintf(key, sizeof key, "env.%ls", name);
    SetLastError(0);
    DWORD n = GetEnvironmentVariableW(name, value, PATH_UNITS);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        put_line(key, "!unset");
    else if (n >= PATH_UNITS)
        put_line(key, "!too-long");
    else
        put_hex_units(key, value, n);
}

static const char *handle_kind(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    if (h == NULL)
        return "null";
    if (h == INVALID_HANDLE_VALUE)
        return "invalid";
    switch (GetFileType(h)) {
    case FILE_TYPE_DISK:
        return "disk";
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_CHAR:
        return "char";
    default:
        return GetLastError() == NO_ERROR ? "unknown" : "bad";
    }
}

static DWORD parent_process_id(void)
{
    DWORD own = GetCurrentProcessId(), parent = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
        if (entry.th32ProcessID == own) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snap);
    return parent;
}

static void report_basics(int argc, wchar_t **argv, const wchar_t *dll_path)
{
    static wchar_t buffer[PATH_UNITS];
    put_number("pid", GetCurrentProcessId(), false);
    put_number("ppid", parent_process_id(), false);
    put_number("argc", (unsigned long long)(long long)argc, false);
    for (int i = 0; i < argc; i++) {
        char key[32];
        snprintf(key, sizeof key, "argv.%d", i);
        put_wide(key, argv[i]);
    }
    put_wide("command_line", GetCommandLineW());
    put_wide("dll_path", dll_path ? dll_path : L"");
    DWORD n = GetModuleFileNameW(probe_module, buffer, PATH_UNITS);
    put_hex_units("module_path", buffer, n < PATH_UNITS ? n : 0);
    n = GetModuleFileNameW(NULL, buffer, PATH_UNITS);
    put_hex_units("exe_path", buffer, n < PATH_UNITS ? n : 0);
    static wchar_t short_form[PATH_UNITS];
    DWORD s = n < PATH_UNITS ? GetShortPathNameW(buffer, short_form, PATH_UNITS) : 0;
    put_hex_units("exe_short_path", short_form, s < PATH_UNITS ? s : 0);
    n = GetCurrentDirectoryW(PATH_UNITS, buffer);
    put_hex_units("cwd", buffer, n < PATH_UNITS ? n : 0);
    static const wchar_t *const names[] = {
        L"VORNAK_ONEFILE_DIRECTORY", L"VORNAK_ORIGINAL_ARGV0", L"VORNAK_ONEFILE_PARENT",
        L"VORNAK_ONEFILE_START",     L"VORNAK_ONEFILE_TIME_US", L"VORNAK_ONEFILE_RANDOM",
        L"TMP",                      L"TEMP",
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        put_variable(names[i]);
    // Further names chosen by the test, separated by ';'.
    n = GetEnvironmentVariableW(L"VORNAK_PROBE_ENV", buffer, PATH_UNITS);
    if (n > 0 && n < PATH_UNITS) {
        for (wchar_t *name = buffer; *name;) {
            wchar_t *end = wcschr(name, L';');
            if (end)
                *end = 0;
            if (*name)
                put_variable(name);
            if (!end)
                break;
            name = end + 1;
        }
    }
    put_line("stdin", handle_kind(STD_INPUT_HANDLE));
    put_line("stdout", handle_kind(STD_OUTPUT_HANDLE));
    put_line("stderr", handle_kind(STD_ERROR_HANDLE));
    put_number("console", GetConsoleWindow() != NULL || GetConsoleCP() != 0, false);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    put_number("startup_flags", startup.dwFlags, true);
    put_number("show_window", startup.wShowWindow, false);
}

static void write_utf8_line(DWORD which, const wchar_t *text)
{
    static char utf8[PATH_UNITS * 3];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, (int)sizeof utf8 - 2, NULL, NULL);
    if (n <= 0)
        return;
    utf8[n - 1] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(which), utf8, (DWORD)n, &written, NULL);
}

static void read_stdin(void)
{
    unsigned char *data = (unsigned char *)malloc(STDIN_LIMIT_BYTES);
    size_t total = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD got = 0;
    while (data && total < STDIN_LIMIT_BYTES &&
           ReadFile(in, data + total, (DWORD)(STDIN_LIMIT_BYTES - total), &got, NULL) && got > 0)
        total += got;
    put_hex_bytes("stdin_data", data, total);
    free(data);
}

static wchar_t *directory_of(const wchar_t *path)
{
    wchar_t *dir = _wcsdup(path);
    wchar_t *slash = dir ? wcsrchr(dir, L'\\') : NULL;
    if (slash)
        *slash = 0;
    return dir;
}

// Copies the tree below src to dst (created). Both buffers have PATH_UNITS
// units and are restored before returning. Returns the number of failures.
static int copy_tree(wchar_t *src, wchar_t *dst)
{
    int failures = CreateDirectoryW(dst, NULL) || GetLastError() == ERROR_ALREADY_EXISTS ? 0 : 1;
    size_t src_len = wcslen(src), dst_len = wcslen(dst);
    if (src_len + 3 >= PATH_UNITS)
        return failures + 1;
    wcscpy(src + src_len, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(src, &found);
    src[src_len] = 0;
    if (search == INVALID_HANDLE_VALUE)
        return failures + 1;
    do {
        // The launcher's start marker is not part of the payload.
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0 ||
            wcscmp(found.cFileName, L"onefile-start.marker") == 0)
            continue;
        size_t name_len = wcslen(found.cFileName);
        if (src_len + name_len + 2 >= PATH_UNITS || dst_len + name_len + 2 >= PATH_UNITS) {
            failures++;
            continue;
        }
        src[src_len] = L'\\';
        wcscpy(src + src_len + 1, found.cFileName);
        dst[dst_len] = L'\\';
        wcscpy(dst + dst_len + 1, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            failures += copy_tree(src, dst);
        else if (!CopyFileW(src, dst, FALSE))
            failures++;
        src[src_len] = 0;
        dst[dst_len] = 0;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return failures;
}

static void snapshot(const wchar_t *dll_path, const wchar_t *target)
{
    static wchar_t src[PATH_UNITS], dst[PATH_UNITS];
    wchar_t *dir = directory_of(dll_path);
    if (!dir || wcslen(dir) >= PATH_UNITS || wcslen(target) >= PATH_UNITS) {
        put_line("snapshot", "failed");
        free(dir);
        return;
    }
    wcscpy(src, dir);
    wcscpy(dst, target);
    free(dir);
    put_number("snapshot_failures", (unsigned long long)copy_tree(src, dst), false);
}

// Appends the lines of a nested run's report, each prefixed "nested.".
static void append_nested_report(const wchar_t *path)
{
    FILE *f = _wfopen(path, L"rb");
    if (!f) {
        put_line("nested.report", "missing");
        return;
    }
    static char line[1 << 16];
    while (fgets(line, sizeof line, f)) {
        append_text("nested.");
        append_text(line);
        if (line[0] && line[strlen(line) - 1] != '\n')
            append_text("\n");
    }
    fclose(f);
    DeleteFileW(path);
}

// The executable that probe:nested starts; NULL means our own.
static const wchar_t *nested_exe;

static void run_nested(const wchar_t *tail)
{
    static wchar_t exe[PATH_UNITS], line[PATH_UNITS], nested_report[PATH_UNITS];
    DWORD n = nested_exe ? (DWORD)wcslen(nested_exe) : GetModuleFileNameW(NULL, exe, PATH_UNITS);
    if (nested_exe && n < PATH_UNITS)
        wcscpy(exe, nested_exe);
    if (n == 0 || n >= PATH_UNITS || n + wcslen(tail) + 4 >= PATH_UNITS) {
        put_line("nested.exit", "!not-started");
        return;
    }
    swprintf(line, PATH_UNITS, L"\"%ls\" %ls", exe, tail);
    if (have_report_path) {
        swprintf(nested_report, PATH_UNITS, L"%ls.nested", report_path);
        SetEnvironmentVariableW(L"VORNAK_PROBE_REPORT", nested_report);
    }
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    BOOL started = CreateProcessW(exe, line, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
    if (have_report_path)
        SetEnvironmentVariableW(L"VORNAK_PROBE_REPORT", report_path);
    if (!started) {
        put_number("nested.start_error", GetLastError(), false);
        return;
    }
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (have_report_path)
        append_nested_report(nested_report);
    put_number("nested.exit", code, true);
}

// Starts holdfile.exe on NAME in the DLL's directory and waits until it has
// the file open. The holder gets no handles of ours, so it keeps no pipe of
// the test open.
static void hold_file(const wchar_t *dll_path, const wchar_t *name, unsigned long hold_ms)
{
    static wchar_t holder[PATH_UNITS], line[PATH_UNITS], event_name[64];
    DWORD n = GetEnvironmentVariableW(L"VORNAK_PROBE_HOLDER", holder, PATH_UNITS);
    wchar_t *dir = directory_of(dll_path);
    if (n == 0 || n >= PATH_UNITS || !dir) {
        put_line("hold", "!no-holder");
        free(dir);
        return;
    }
    swprintf(event_name, 64, L"vornak_probe_hold_%lu", GetCurrentProcessId());
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, event_name);
    swprintf(line, PATH_UNITS, L"\"%ls\" \"%ls\\%ls\" %lu %ls", holder, dir, name, hold_ms, event_name);
    free(dir);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION pi;
    if (!ready || !CreateProcessW(holder, line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi)) {
        put_number("hold_start_error", GetLastError(), false);
        return;
    }
    HANDLE waits[2] = {ready, pi.hProcess};
    DWORD w = WaitForMultipleObjects(2, waits, FALSE, 10000);
    put_line("hold", w == WAIT_OBJECT_0 ? "1" : "0");
    put_number("holder_pid", pi.dwProcessId, false);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(ready);
}

// Reports the top-level names in %TEMP% (as GetTempPathW gives it), each as
// hex code units, separated by commas.
static void list_temp(void)
{
    static wchar_t pattern[PATH_UNITS];
    static const char digits[] = "0123456789abcdef";
    DWORD n = GetTempPathW(PATH_UNITS - 2, pattern);
    if (n == 0 || n >= PATH_UNITS - 2) {
        put_line("temp_entries", "!failed");
        return;
    }
    wcscat(pattern, L"*");
    append_text("temp_entries=");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    bool first = true;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
                continue;
            if (!first)
                append_text(",");
            first = false;
            for (const wchar_t *c = found.cFileName; *c; c++) {
                unsigned u = (unsigned)*c;
                char four[4] = {digits[(u >> 12) & 15], digits[(u >> 8) & 15], digits[(u >> 4) & 15],
                                digits[u & 15]};
                append_bytes(four, 4);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    append_text("\n");
}

// NAME=VALUE, "{}" in VALUE replaced by the variable's current value.
static void set_variable(const wchar_t *assignment)
{
    static wchar_t name[PATH_UNITS], current[PATH_UNITS], value[PATH_UNITS];
    const wchar_t *eq = wcschr(assignment, L'=');
    if (!eq || (size_t)(eq - assignment) >= PATH_UNITS)
        return;
    wmemcpy(name, assignment, (size_t)(eq - assignment));
    name[eq - assignment] = 0;
    DWORD n = GetEnvironmentVariableW(name, current, PATH_UNITS);
    if (n >= PATH_UNITS)
        n = 0;
    current[n] = 0;
    size_t used = 0;
    for (const wchar_t *p = eq + 1; *p && used + 1 < PATH_UNITS;) {
        if (p[0] == L'{' && p[1] == L'}') {
            for (const wchar_t *c = current; *c && used + 1 < PATH_UNITS; c++)
                value[used++] = *c;
            p += 2;
        } else {
            value[used++] = *p++;
        }
    }
    value[used] = 0;
    SetEnvironmentVariableW(name, value);
}

static void create_marker(const wchar_t *path)
{
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
}

static BOOL WINAPI record_control_event(DWORD type)
{
    static wchar_t marker[PATH_UNITS + 8];
    if (have_report_path) {
        swprintf(marker, PATH_UNITS + 8, L"%ls.ctrl", report_path);
        FILE *f = _wfopen(marker, L"ab");
        if (f) {
            fprintf(f, "event=%lu\n", type);
            fclose(f);
        }
    }
    return TRUE;
}

static void wait_for_file(const wchar_t *path)
{
    for (int waited_ms = 0; waited_ms < 60000; waited_ms += 20) {
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
            return;
        Sleep(20);
    }
}

static LONG WINAPI end_with_exception_code(EXCEPTION_POINTERS *) { return EXCEPTION_EXECUTE_HANDLER; }

static void write_report(void)
{
    if (!have_report_path) {
        fwrite(report, 1, report_len, stdout);
        fflush(stdout);
        return;
    }
    static wchar_t part[PATH_UNITS + 8];
    swprintf(part, PATH_UNITS + 8, L"%ls.part", report_path);
    FILE *f = _wfopen(part, L"wb");
    if (!f)
        return;
    fwrite(report, 1, report_len, f);
    fclose(f);
    // Whole or not at all: a test may be polling for the report file.
    MoveFileExW(part, report_path, MOVEFILE_REPLACE_EXISTING);
}

// Marks NAME (relative to the DLL's directory) read-only, as an application
// may do with files in its extraction directory.
static void make_read_only(const wchar_t *dll_path, const wchar_t *name)
{
    static wchar_t path[PATH_UNITS];
    wcscpy(path, dll_path);
    wchar_t *slash = wcsrchr(path, L'\\');
    if (slash == NULL || wcslen(path) + wcslen(name) + 1 >= PATH_UNITS)
        return;
    wcscpy(slash + 1, name);
    SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY);
}

struct window_list {
    DWORD process_id;
    bool first;
};

static BOOL CALLBACK add_window(HWND window, LPARAM param)
{
    window_list *list = (window_list *)param;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != list->process_id)
        return TRUE;
    char class_name[256];
    if (GetClassNameA(window, class_name, sizeof class_name) == 0)
        strcpy(class_name, "?");
    if (!list->first)
        append_text(",");
    list->first = false;
    append_text(class_name);
    append_text(IsWindowVisible(window) ? ":1" : ":0");
    return TRUE;
}

// Top-level windows only: EnumWindows does not list message-only ones.
static void list_windows(void)
{
    window_list own = {GetCurrentProcessId(), true}, parent = {parent_process_id(), true};
    append_text("windows=");
    EnumWindows(add_window, (LPARAM)&own);
    append_text("\nparent_windows=");
    EnumWindows(add_window, (LPARAM)&parent);
    append_text("\n");
    DWORD level = 0, flags = 0;
    GetProcessShutdownParameters(&level, &flags);
    put_number("shutdown_level", level, true);
}

static void create_own_window(void)
{
    WNDCLASSW window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = probe_module;
    window_class.lpszClassName = L"probe_app_window";
    RegisterClassW(&window_class);
    own_window = CreateWindowExW(0, L"probe_app_window", L"probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 0, 0, 200, 100, NULL, NULL, probe_module, NULL);
    put_number("own_window", own_window != NULL, false);
}

// The documented way to close the splash: the event named after the
// launcher's first process, whose id the hand-off variable holds.
static void close_splash(void)
{
    wchar_t parent[32], name[96];
    bool set = false;
    if (GetEnvironmentVariableW(L"VORNAK_ONEFILE_PARENT", parent, 32) - 1u < 31u) {
        swprintf(name, 96, L"Local\\vornak_onefile_splash_%ls", parent);
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
        if (event != NULL) {
            set = SetEvent(event) != 0;
            CloseHandle(event);
        }
    }
    put_number("splash_event", set, false);
}

// Sleeps, serving the window's messages when there is one: a top-level
// window whose thread never looks at its queue would hold up the session end.
static void sleep_serving_messages(unsigned long ms)
{
    if (own_window == NULL) {
        Sleep(ms);
        return;
    }
    ULONGLONG deadline = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        MsgWaitForMultipleObjectsEx(0, NULL, (DWORD)(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
}

// The value after "probe:NAME=", or NULL when arg is not that action.
static const wchar_t *action_value(const wchar_t *arg, const wchar_t *name)
{
    size_t n = wcslen(name);
    if (wcsncmp(arg, L"probe:", 6) != 0 || wcsncmp(arg + 6, name, n) != 0)
        return NULL;
    if (arg[6 + n] == L'=')
        return arg + 7 + n;
    return arg[6 + n] == 0 ? L"" : NULL;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path)
{
    DWORD n = GetEnvironmentVariableW(L"VORNAK_PROBE_REPORT", report_path, PATH_UNITS);
    have_report_path = n > 0 && n < PATH_UNITS;
    report_basics(argc, argv, dll_path);

    unsigned long exit_code = 0, sleep_ms = 0, hold_ms = 5000;
    bool crash = false, ignore_ctrl = false;
    const wchar_t *v, *done_file = NULL, *wait_file = NULL;
    for (int i = 1; i < argc; i++) {
        if ((v = action_value(argv[i], L"hold-ms")) != NULL)
            hold_ms = wcstoul(v, NULL, 0);
    }
    for (int i = 1; i < argc; i++) {
        const wchar_t *a = argv[i];
        if ((v = action_value(a, L"out")) != NULL)
            write_utf8_line(STD_OUTPUT_HANDLE, v);
        else if ((v = action_value(a, L"err")) != NULL)
            write_utf8_line(STD_ERROR_HANDLE, v);
        else if (action_value(a, L"stdin"))
            read_stdin();
        else if ((v = action_value(a, L"snapshot")) != NULL)
            snapshot(dll_path, v);
        else if (action_value(a, L"list-temp"))
            list_temp();
        else if (action_value(a, L"list-windows"))
            list_windows();
        else if (action_value(a, L"window"))
            create_own_window();
        else if (action_value(a, L"close-splash"))
            close_splash();
        else if ((v = action_value(a, L"setenv")) != NULL)
            set_variable(v);
        else if ((v = action_value(a, L"done")) != NULL)
            done_file = v;
        else if ((v = action_value(a, L"wait-for")) != NULL)
            wait_file = v;
        else if ((v = action_value(a, L"nested-exe")) != NULL)
            nested_exe = v;
        else if ((v = action_value(a, L"nested")) != NULL)
            run_nested(v);
        else if ((v = action_value(a, L"readonly")) != NULL)
            make_read_only(dll_path, v);
        else if ((v = action_value(a, L"hold")) != NULL)
            hold_file(dll_path, v, hold_ms);
        else if ((v = action_value(a, L"exit")) != NULL)
            exit_code = wcstoul(v, NULL, 0);
        else if ((v = action_value(a, L"sleep")) != NULL)
            sleep_ms = wcstoul(v, NULL, 0);
        else if (action_value(a, L"crash"))
            crash = true;
        else if (action_value(a, L"ignore-ctrl"))
            ignore_ctrl = true;
    }
    // The handler is in place before the report exists, since a test may take
    // the report as the signal to send the event.
    if (ignore_ctrl)
        SetConsoleCtrlHandler(record_control_event, TRUE);
    put_number("returning", exit_code, true);
    write_report();
    if (wait_file)
        wait_for_file(wait_file);
    if (sleep_ms)
        sleep_serving_messages(sleep_ms);
    if (crash) {
        // A top-level filter that lets the process end with the exception
        // code at once: no crash dialog and no debugger (Wine would start
        // winedbg and print its dump on our streams).
        SetUnhandledExceptionFilter(end_with_exception_code);
        *(volatile int *)(uintptr_t)8 = 1;
    }
    if (done_file)
        create_marker(done_file);
    return (int)exit_code;
}
