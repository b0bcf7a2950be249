// SPDX-License-Identifier: MIT
// winrun: the Windows-side test runner. Sets and removes environment
// variables, starts one program with an exact command line and inherited
// standard handles, waits for it and reports its full 32-bit exit code, which
// the Linux status of wine64 cannot carry. Optionally it delivers a console
// control event to the program; for that it needs a console, which Wine gives
// only to a process started with CREATE_NO_WINDOW, so it re-starts itself so.
//
// Usage: winrun.exe [options] [--] [COMMAND_LINE]
//   --cmd TEXT | --cmd-hex HEX | --cmd-file FILE    the target's command line,
//                          exactly (FILE: UTF-16LE, no BOM). A bare last
//                          argument after the options is taken as --cmd.
//   --app PATH | --app-hex HEX   application name for CreateProcessW (default:
//                          none, the system takes it from the command line)
//   --args-file FILE       more options, NUL-separated UTF-16LE (no length limit)
//   --set NAME=VALUE | --set-hex HEX(NAME=VALUE)   set a variable
//   --unset NAME | --unset-hex HEX                  remove a variable
//   --set-own-pid NAME     set a variable to winrun's own process id (decimal):
//                          a live process that runs another executable
//   --cwd DIR | --cwd-hex HEX    current directory of the target
//   --exit-file FILE       write "exit=0xXXXXXXXX", "timed_out=0|1" and
//                          "ctrl_sent=0|1" lines there when the target ends
//   --no-std-handles       the target gets no standard handles and inherits
//                          no handle
//   --show N               start it with STARTF_USESHOWWINDOW and wShowWindow N
//   --timeout MS           end the target and everything it started after MS
//   --ctrl-after MS        deliver a console control event MS after the start
//   --ctrl-when FILE       deliver it once FILE exists (polled every 10 ms)
//   --ctrl-event N         0 = CTRL_C_EVENT (default), 1 = CTRL_BREAK_EVENT
//   --ctrl-group           start the target with CREATE_NEW_PROCESS_GROUP and
//                          send the event to its group only (default: to every
//                          process of the console; winrun ignores it itself)
//   --ctrl-delay MS        wait MS more after the marker file appeared
//   --end-session-when FILE  once FILE exists, send WM_QUERYENDSESSION and then
//                          WM_ENDSESSION (wParam 1) to the target's top-level
//                          window of class "vornak_launcher_session", as the
//                          system does at a session end (from another process,
//                          waiting for each answer), and go on waiting for the
//                          target; the exit file gets "session_query=N" (the
//                          first answer, -1: no window) and "session_answer_ms=N"
//                          (how long the WM_ENDSESSION answer took)
//   --end-session-lparam N  lParam of both messages (default ENDSESSION_LOGOFF;
//                          1 = ENDSESSION_CLOSEAPP, as Restart Manager sends)
// HEX is UTF-16 code units, four hex digits each, high byte first. The target's
// processes run in a job object that is closed, ending them all, when winrun
// ends. winrun's own errors: a "winrun: ..." line on stderr and exit 0xBAD0xxxx.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tests/win/runner.h"

enum {
    TEXT_CHARS = RUNNER_TEXT_CHARS,
    POLL_MS = 10,
};

// Exit codes of winrun's own failures.
enum : unsigned {
    WINRUN_USAGE = 0xBAD00001u,
    WINRUN_START_FAILED = 0xBAD00002u,
    WINRUN_CONSOLE_FAILED = 0xBAD00003u,
    WINRUN_WAIT_FAILED = 0xBAD00004u,
};

static wchar_t command_line[TEXT_CHARS];
static wchar_t application_name[TEXT_CHARS];
static wchar_t current_dir[TEXT_CHARS];
static const wchar_t *exit_file;
static const wchar_t *ctrl_marker;
static bool have_command, have_app, have_cwd;
static bool no_std_handles, ctrl_group;
static int ctrl_event = CTRL_C_EVENT;
static long show_window = -1;
static long ctrl_after_ms = -1, ctrl_delay_ms, timeout_ms = -1;
static const wchar_t *session_marker;
static LPARAM session_lparam = (LPARAM)ENDSESSION_LOGOFF;
static long session_query = -1, session_answer_ms = -1;
static bool console_inner;  // this instance is the re-start that owns the console

static int hex_digit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Decodes four hex digits per UTF-16 code unit into dst; exits on bad input.
static void decode_hex(wchar_t *dst, size_t dst_chars, const wchar_t *hex)
{
    size_t n = wcslen(hex);
    if (n % 4 != 0 || n / 4 >= dst_chars)
        runner_fail(WINRUN_USAGE, "bad hex text", hex);
    for (size_t i = 0; i < n / 4; i++) {
        unsigned unit = 0;
        for (int k = 0; k < 4; k++) {
            int d = hex_digit(hex[i * 4 + k]);
            if (d < 0)
                runner_fail(WINRUN_USAGE, "bad hex text", hex);
            unit = unit * 16 + (unsigned)d;
        }
        dst[i] = (wchar_t)unit;
    }
    dst[n / 4] = 0;
}

static void copy_text(wchar_t *dst, size_t dst_chars, const wchar_t *src)
{
    if (wcslen(src) >= dst_chars)
        runner_fail(WINRUN_USAGE, "text too long", NULL);
    wcscpy(dst, src);
}

// Reads a UTF-16LE file without BOM as the command line.
static void read_command_file(const wchar_t *path)
{
    FILE *f = _wfopen(path, L"rb");
    if (!f)
        runner_fail(WINRUN_USAGE, "cannot open command file", path);
    size_t units = fread(command_line, sizeof(wchar_t), TEXT_CHARS, f);
    fclose(f);
    if (units >= TEXT_CHARS)
        runner_fail(WINRUN_USAGE, "command file too long", path);
    command_line[units] = 0;
}

static void unset_variable(const wchar_t *name)
{
    // Removing a variable that is not set is not an error for a test.
    SetEnvironmentVariableW(name, NULL);
}

static long parse_ms(const wchar_t *text)
{
    wchar_t *end = NULL;
    long v = wcstol(text, &end, 0);
    if (!end || *end || v < 0)
        runner_fail(WINRUN_USAGE, "bad number", text);
    return v;
}

static void parse_options(int argc, wchar_t **argv, int first);

// Reads NUL-separated UTF-16LE options from a file and applies them as if
// they stood on the command line: no length limit of the command line, no
// quoting, any code unit.
static void parse_options_file(const wchar_t *path)
{
    enum { FILE_ARGS_MAX = 4096 };
    static wchar_t *file_argv[FILE_ARGS_MAX];
    size_t units = 0;
    wchar_t *text = read_fields_file(path, &units, WINRUN_USAGE);
    int count = 0;
    for (size_t start = 0; start < units; start += wcslen(text + start) + 1) {
        if (count == FILE_ARGS_MAX)
            runner_fail(WINRUN_USAGE, "too many options in", path);
        file_argv[count++] = text + start;
    }
    parse_options(count, file_argv, 0);
}

// Applies the options in order, so that --set and --unset of one name act as
// written. A command line may follow the options as the last argument.
static void parse_options(int argc, wchar_t **argv, int first)
{
    static wchar_t scratch[TEXT_CHARS];
    int i = first;
    for (; i < argc; i++) {
        const wchar_t *a = argv[i];
        const wchar_t *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (wcscmp(a, L"--") == 0) {
            i++;
            break;
        }
        if (wcsncmp(a, L"--", 2) != 0)
            break;
        if (wcscmp(a, L"--no-std-handles") == 0) {
            no_std_handles = true;
            continue;
        }
        if (wcscmp(a, L"--ctrl-group") == 0) {
            ctrl_group = true;
            continue;
        }
        if (wcscmp(a, L"--console-inner") == 0) {
            console_inner = true;
            continue;
        }
        if (!v)
            runner_fail(WINRUN_USAGE, "option needs a value", a);
        i++;
        if (wcscmp(a, L"--args-file") == 0) {
            parse_options_file(v);
        } else if (wcscmp(a, L"--cmd") == 0) {
            copy_text(command_line, TEXT_CHARS, v);
            have_command = true;
        } else if (wcscmp(a, L"--cmd-hex") == 0) {
            decode_hex(command_line, TEXT_CHARS, v);
            have_command = true;
        } else if (wcscmp(a, L"--cmd-file") == 0) {
            read_command_file(v);
            have_command = true;
        } else if (wcscmp(a, L"--app") == 0) {
            copy_text(application_name, TEXT_CHARS, v);
            have_app = true;
        } else if (wcscmp(a, L"--app-hex") == 0) {
            decode_hex(application_name, TEXT_CHARS, v);
            have_app = true;
        } else if (wcscmp(a, L"--set") == 0) {
            set_variable_assignment(v, WINRUN_USAGE);
        } else if (wcscmp(a, L"--set-hex") == 0) {
            decode_hex(scratch, TEXT_CHARS, v);
            set_variable_assignment(scratch, WINRUN_USAGE);
        } else if (wcscmp(a, L"--set-own-pid") == 0) {
            swprintf(scratch, TEXT_CHARS, L"%ls=%lu", v, GetCurrentProcessId());
            set_variable_assignment(scratch, WINRUN_USAGE);
        } else if (wcscmp(a, L"--unset") == 0) {
            unset_variable(v);
        } else if (wcscmp(a, L"--unset-hex") == 0) {
            decode_hex(scratch, TEXT_CHARS, v);
            unset_variable(scratch);
        } else if (wcscmp(a, L"--cwd") == 0) {
            copy_text(current_dir, TEXT_CHARS, v);
            have_cwd = true;
        } else if (wcscmp(a, L"--cwd-hex") == 0) {
            decode_hex(current_dir, TEXT_CHARS, v);
            have_cwd = true;
        } else if (wcscmp(a, L"--exit-file") == 0) {
            exit_file = v;
        } else if (wcscmp(a, L"--show") == 0) {
            show_window = parse_ms(v);
        } else if (wcscmp(a, L"--timeout") == 0) {
            timeout_ms = parse_ms(v);
        } else if (wcscmp(a, L"--ctrl-after") == 0) {
            ctrl_after_ms = parse_ms(v);
        } else if (wcscmp(a, L"--ctrl-when") == 0) {
            ctrl_marker = v;
        } else if (wcscmp(a, L"--ctrl-delay") == 0) {
            ctrl_delay_ms = parse_ms(v);
        } else if (wcscmp(a, L"--end-session-when") == 0) {
            session_marker = v;
        } else if (wcscmp(a, L"--end-session-lparam") == 0) {
            session_lparam = (LPARAM)wcstoul(v, NULL, 0);
        } else if (wcscmp(a, L"--ctrl-event") == 0) {
            ctrl_event = (int)parse_ms(v);
        } else {
            runner_fail(WINRUN_USAGE, "unknown option", a);
        }
    }
    if (i == argc - 1 && !have_command) {
        copy_text(command_line, TEXT_CHARS, argv[i]);
        have_command = true;
    } else if (i != argc) {
        runner_fail(WINRUN_USAGE, "unexpected argument", argv[i]);
    }
}

static void write_exit_file(DWORD code, bool timed_out, bool ctrl_sent)
{
    if (!exit_file)
        return;
    FILE *f = _wfopen(exit_file, L"wb");
    if (!f)
        runner_fail(WINRUN_WAIT_FAILED, "cannot write exit file", exit_file);
    fprintf(f, "exit=0x%08lX\ntimed_out=%d\nctrl_sent=%d\n", code, timed_out ? 1 : 0, ctrl_sent ? 1 : 0);
    if (session_marker)
        fprintf(f, "session_query=%ld\nsession_answer_ms=%ld\n", session_query, session_answer_ms);
    fclose(f);
}

static bool wants_ctrl_event(void) { return ctrl_after_ms >= 0 || ctrl_marker != NULL; }

// Wine gives a process a console only when it is started with CREATE_NO_WINDOW
// (headless console) or under a pty. Re-start ourselves that way, pass our
// standard handles on explicitly, and hand the inner exit code through.
static __declspec(noreturn) void run_in_new_console(void)
{
    static wchar_t own_line[TEXT_CHARS];
    const wchar_t *line = GetCommandLineW();
    if (wcslen(line) + 20 >= TEXT_CHARS)
        runner_fail(WINRUN_USAGE, "command line too long to re-start", NULL);
    // The marker goes first so that the rest of the line parses as before.
    const wchar_t *rest = line;
    if (*rest == L'"') {
        rest = wcschr(rest + 1, L'"');
        rest = rest ? rest + 1 : line + wcslen(line);
    } else {
        while (*rest && *rest != L' ' && *rest != L'\t')
            rest++;
    }
    size_t head = (size_t)(rest - line);
    wmemcpy(own_line, line, head);
    own_line[head] = 0;
    wcscat(own_line, L" --console-inner");
    wcscat(own_line, rest);

    static wchar_t own_path[MAX_PATH * 8];
    if (!GetModuleFileNameW(NULL, own_path, MAX_PATH * 8))
        runner_fail(WINRUN_CONSOLE_FAILED, "own module path", NULL);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(own_path, own_line, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi))
        runner_fail(WINRUN_CONSOLE_FAILED, "re-start with a console", own_path);
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = WINRUN_WAIT_FAILED;
    GetExitCodeProcess(pi.hProcess, &code);
    ExitProcess(code);
}

// Keeps winrun alive when the event goes to every process of the console.
static BOOL WINAPI ignore_control_event(DWORD) { return TRUE; }

// Waits until the target ends, the event is due, or the timeout passes.
// Returns WAIT_OBJECT_0 when the target ended, WAIT_TIMEOUT when the event is due.
static DWORD wait_for_event_trigger(HANDLE process, ULONGLONG start)
{
    for (;;) {
        if (WaitForSingleObject(process, POLL_MS) == WAIT_OBJECT_0)
            return WAIT_OBJECT_0;
        ULONGLONG now = GetTickCount64();
        if (timeout_ms >= 0 && now - start >= (ULONGLONG)timeout_ms)
            return WAIT_ABANDONED;
        if (ctrl_after_ms >= 0 && now - start >= (ULONGLONG)ctrl_after_ms)
            return WAIT_TIMEOUT;
        if (ctrl_marker && GetFileAttributesW(ctrl_marker) != INVALID_FILE_ATTRIBUTES) {
            if (ctrl_delay_ms > 0)
                Sleep((DWORD)ctrl_delay_ms);
            return WAIT_TIMEOUT;
        }
    }
}

struct window_search {
    DWORD process_id;
    HWND found;
};

static BOOL CALLBACK match_session_window(HWND window, LPARAM param)
{
    window_search *search = (window_search *)param;
    wchar_t name[64];
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->process_id && GetClassNameW(window, name, 64) > 0 &&
        wcscmp(name, L"vornak_launcher_session") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Waits for the marker (while the target runs), then asks the target's
// session window as the system would. SendMessageTimeoutW waits for each
// answer, which a window gives only when its thread serves its queue.
static void end_session_when_marked(HANDLE process, DWORD process_id, ULONGLONG start)
{
    for (;;) {
        if (WaitForSingleObject(process, POLL_MS) == WAIT_OBJECT_0)
            return;
        if (timeout_ms >= 0 && GetTickCount64() - start >= (ULONGLONG)timeout_ms)
            return;
        if (GetFileAttributesW(session_marker) != INVALID_FILE_ATTRIBUTES)
            break;
    }
    window_search search = {process_id, NULL};
    EnumWindows(match_session_window, (LPARAM)&search);
    if (search.found == NULL)
        return;
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(search.found, WM_QUERYENDSESSION, 0, session_lparam, SMTO_NORMAL, 60000, &answer);
    session_query = (long)answer;
    ULONGLONG sent = GetTickCount64();
    SendMessageTimeoutW(search.found, WM_ENDSESSION, TRUE, session_lparam, SMTO_NORMAL, 60000, &answer);
    session_answer_ms = (long)(GetTickCount64() - sent);
}

int test_main(int argc, wchar_t **argv)
{
    runner_name = "winrun";
    parse_options(argc, argv, 1);
    if (!have_command)
        runner_fail(WINRUN_USAGE, "no command line given", NULL);
    if (wants_ctrl_event() && !console_inner)
        run_in_new_console();
    if (wants_ctrl_event() && !ctrl_group)
        SetConsoleCtrlHandler(ignore_control_event, TRUE);

    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    if (!no_std_handles) {
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    if (show_window >= 0) {
        si.dwFlags |= STARTF_USESHOWWINDOW;
        si.wShowWindow = (WORD)show_window;
    }
    DWORD flags = 0;
    if (wants_ctrl_event() && ctrl_group)
        flags |= CREATE_NEW_PROCESS_GROUP;
    PROCESS_INFORMATION pi;
    HANDLE job = create_kill_on_close_job();
    if (!start_in_job(job, have_app ? application_name : NULL, command_line, no_std_handles ? FALSE : TRUE, flags,
                      have_cwd ? current_dir : NULL, &si, &pi))
        runner_fail(WINRUN_START_FAILED, "CreateProcessW failed for", command_line);

    ULONGLONG start = GetTickCount64();
    bool timed_out = false, ctrl_sent = false;
    DWORD state = WAIT_TIMEOUT;
    if (wants_ctrl_event()) {
        state = wait_for_event_trigger(pi.hProcess, start);
        if (state == WAIT_TIMEOUT) {
            ctrl_sent = GenerateConsoleCtrlEvent((DWORD)ctrl_event, ctrl_group ? pi.dwProcessId : 0) != 0;
            if (!ctrl_sent)
                fprintf(stderr, "winrun: GenerateConsoleCtrlEvent failed (error %lu)\n", GetLastError());
        } else if (state == WAIT_ABANDONED) {
            timed_out = true;
        }
    }
    if (session_marker && !wants_ctrl_event())
        end_session_when_marked(pi.hProcess, pi.dwProcessId, start);
    if (!timed_out && state != WAIT_OBJECT_0) {
        DWORD wait_ms = INFINITE;
        if (timeout_ms >= 0) {
            ULONGLONG spent = GetTickCount64() - start;
            wait_ms = spent >= (ULONGLONG)timeout_ms ? 0 : (DWORD)((ULONGLONG)timeout_ms - spent);
        }
        DWORD w = WaitForSingleObject(pi.hProcess, wait_ms);
        if (w == WAIT_TIMEOUT)
            timed_out = true;
        else if (w != WAIT_OBJECT_0)
            runner_fail(WINRUN_WAIT_FAILED, "wait failed", NULL);
    }
    DWORD code = WINRUN_WAIT_FAILED;
    if (timed_out) {
        if (job)
            TerminateJobObject(job, 0xDEAD0001u);
        TerminateProcess(pi.hProcess, 0xDEAD0001u);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    if (!GetExitCodeProcess(pi.hProcess, &code))
        runner_fail(WINRUN_WAIT_FAILED, "GetExitCodeProcess failed", NULL);
    write_exit_file(code, timed_out, ctrl_sent);
    fflush(stdout);
    fflush(stderr);
    // Closing the job (at exit) ends whatever the target left running.
    ExitProcess(code);
}
