// SPDX-License-Identifier: MIT
// batchrun: runs many programs one after the other from a single Windows
// process, so that a test or benchmark with hundreds of runs pays Wine's
// start-up once. Each run gets its own environment changes, current
// directory, standard streams (files) and time limit, and is ended with
// everything it started when the limit passes.
//
// Usage: batchrun.exe JOB_FILE RESULT_FILE
// JOB_FILE: NUL-separated UTF-16LE options (no BOM), applied in order:
//   --set NAME=VALUE | --unset NAME   change batchrun's own environment, which
//                                     every later run inherits
//   --cwd DIR          current directory of the next run (default: batchrun's)
//   --stdout FILE | --stderr FILE     created for the next run (default: NUL)
//   --timeout MS       limit of the next run (default: 60000)
//   --catch-crashes    run the next program, and what it starts, as their
//                      debugger: an unhandled exception then ends the process
//                      with its exception code, where Wine would otherwise
//                      start winedbg and leave the process waiting for it
//   --cmd TEXT         the next run's exact command line
//   --run              start the run described so far and wait for it; the
//                      options above, except --set/--unset, are then reset
// RESULT_FILE gets one line per run, written as soon as it has ended:
//   run=N exit=0xXXXXXXXX timed_out=0|1 start_ft=T0 end_ft=T1 elapsed_us=U
// T0 and T1 are system times (100 ns units, GetSystemTimePreciseAsFileTime)
// taken right before CreateProcessW and right after the wait; U is the same
// span from the performance counter. Errors of batchrun itself: a
// "batchrun: ..." line on stderr and exit 0xBAD0xxxx.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tests/win/runner.h"

enum : unsigned {
    BATCHRUN_USAGE = 0xBAD00011u,
    BATCHRUN_START_FAILED = 0xBAD00012u,
    BATCHRUN_IO_FAILED = 0xBAD00013u,
};

enum { DEFAULT_TIMEOUT_MS = 60000 };

struct run_options {
    const wchar_t *cwd;
    const wchar_t *stdout_path;
    const wchar_t *stderr_path;
    const wchar_t *command;
    DWORD timeout_ms;
    bool catch_crashes;
};

static FILE *results;

static HANDLE open_inheritable(const wchar_t *path, bool for_writing)
{
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE h = for_writing
                   ? CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, NULL)
                   : CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                                 NULL);
    if (h == INVALID_HANDLE_VALUE)
        runner_fail(BATCHRUN_IO_FAILED, "cannot open", path);
    return h;
}

// Serves debug events until the process ends or the deadline (GetTickCount64)
// passes. Every exception but a breakpoint is passed back unhandled, so the
// program's own handlers see it first and, at the second chance, the system
// ends the process with the exception code. Returns false on the deadline.
static bool debug_until_exit(DWORD process_id, ULONGLONG deadline)
{
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        DEBUG_EVENT ev;
        if (!WaitForDebugEvent(&ev, (DWORD)(deadline - now)))
            continue;
        DWORD status = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint at the start of each debugged process.
            if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (ev.u.CreateProcessInfo.hFile)
                CloseHandle(ev.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile)
                CloseHandle(ev.u.LoadDll.hFile);
            break;
        default:
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT && ev.dwProcessId == process_id)
            return true;
    }
}

static unsigned long long system_time_now(void)
{
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    return ((unsigned long long)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

static void run_one(int index, const run_options *o)
{
    static wchar_t line[RUNNER_TEXT_CHARS];
    if (!o->command || wcslen(o->command) >= RUNNER_TEXT_CHARS)
        runner_fail(BATCHRUN_USAGE, "run without a usable --cmd", NULL);
    wcscpy(line, o->command);  // CreateProcessW may write into its command line

    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = open_inheritable(L"NUL", false);
    si.hStdOutput = open_inheritable(o->stdout_path ? o->stdout_path : L"NUL", true);
    si.hStdError = open_inheritable(o->stderr_path ? o->stderr_path : L"NUL", true);

    HANDLE job = create_kill_on_close_job();
    if (!job)
        runner_fail(BATCHRUN_START_FAILED, "CreateJobObjectW", NULL);
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    unsigned long long start_ft = system_time_now();
    QueryPerformanceCounter(&t0);
    PROCESS_INFORMATION pi;
    if (!start_in_job(job, NULL, line, TRUE, o->catch_crashes ? DEBUG_PROCESS : 0, o->cwd, &si, &pi))
        runner_fail(BATCHRUN_START_FAILED, "CreateProcessW failed for", o->command);
    bool timed_out;
    if (o->catch_crashes) {
        // Debuggees left behind (the program's children) end with the job;
        // their last events are served by the next run's loop.
        timed_out = !debug_until_exit(pi.dwProcessId, GetTickCount64() + o->timeout_ms);
        if (!timed_out)
            WaitForSingleObject(pi.hProcess, 5000);  // the exit event comes just before the end
    } else {
        timed_out = WaitForSingleObject(pi.hProcess, o->timeout_ms) == WAIT_TIMEOUT;
    }
    QueryPerformanceCounter(&t1);
    unsigned long long end_ft = system_time_now();
    if (timed_out) {
        TerminateJobObject(job, 0xDEAD0001u);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    DWORD code = 0xBAD00014u;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(job);  // ends anything the run left behind
    CloseHandle(si.hStdInput);
    CloseHandle(si.hStdOutput);
    CloseHandle(si.hStdError);

    unsigned long long elapsed_us =
        (unsigned long long)((t1.QuadPart - t0.QuadPart) * 1000000.0 / (double)freq.QuadPart);
    fprintf(results, "run=%d exit=0x%08lX timed_out=%d start_ft=%llu end_ft=%llu elapsed_us=%llu\n", index, code,
            timed_out ? 1 : 0, start_ft, end_ft, elapsed_us);
    fflush(results);
}

int test_main(int argc, wchar_t **argv)
{
    runner_name = "batchrun";
    if (argc != 3)
        runner_fail(BATCHRUN_USAGE, "usage: batchrun.exe JOB_FILE RESULT_FILE", NULL);
    size_t units = 0;
    wchar_t *text = read_fields_file(argv[1], &units, BATCHRUN_USAGE);
    results = _wfopen(argv[2], L"wb");
    if (!results)
        runner_fail(BATCHRUN_IO_FAILED, "cannot write", argv[2]);
    // Wine's desktop process (explorer.exe) ends about a second after the
    // last process that uses the desktop, and the next window then waits
    // 0.2 to 0.5 s for a new one. On Windows the shell keeps the desktop for
    // the whole session: so does batchrun, by using it, for the whole batch.
    GetDesktopWindow();

    run_options o = {NULL, NULL, NULL, NULL, DEFAULT_TIMEOUT_MS, false};
    int runs = 0;
    const wchar_t *pending = NULL;  // an option waiting for its value
    for (size_t start = 0; start < units;) {
        const wchar_t *field = text + start;
        start += wcslen(field) + 1;
        if (pending) {
            if (wcscmp(pending, L"--set") == 0)
                set_variable_assignment(field, BATCHRUN_USAGE);
            else if (wcscmp(pending, L"--unset") == 0)
                SetEnvironmentVariableW(field, NULL);
            else if (wcscmp(pending, L"--cwd") == 0)
                o.cwd = field;
            else if (wcscmp(pending, L"--stdout") == 0)
                o.stdout_path = field;
            else if (wcscmp(pending, L"--stderr") == 0)
                o.stderr_path = field;
            else if (wcscmp(pending, L"--timeout") == 0)
                o.timeout_ms = (DWORD)wcstoul(field, NULL, 10);
            else if (wcscmp(pending, L"--cmd") == 0)
                o.command = field;
            else
                runner_fail(BATCHRUN_USAGE, "unknown option", pending);
            pending = NULL;
        } else if (wcscmp(field, L"--run") == 0) {
            run_one(runs++, &o);
            o = run_options{NULL, NULL, NULL, NULL, DEFAULT_TIMEOUT_MS, false};
        } else if (wcscmp(field, L"--catch-crashes") == 0) {
            o.catch_crashes = true;
        } else if (field[0] != 0) {
            pending = field;
        }
    }
    if (pending)
        runner_fail(BATCHRUN_USAGE, "option without a value", pending);
    fclose(results);
    return 0;
}
