// SPDX-License-Identifier: MIT
// What the test runners winrun and batchrun share: their one-line failure
// report, environment assignments, files of NUL-separated UTF-16LE options,
// and starting a program inside a job object that ends everything it starts
// once the runner's handle to the job closes, so no test leaves processes behind.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum { RUNNER_TEXT_CHARS = 32768, RUNNER_FILE_MAX_BYTES = 0x10000000 };

// The name in front of every failure line; each runner sets its own first.
static const char *runner_name = "runner";

// Writes "<runner>: <what>[: <detail>] (error N)" to stderr and ends the
// runner with code (one of its 0xBAD0xxxx codes).
static inline __declspec(noreturn) void runner_fail(unsigned code, const char *what, const wchar_t *detail)
{
    fprintf(stderr, "%s: %s%s%ls (error %lu)\n", runner_name, what, detail ? ": " : "", detail ? detail : L"",
            GetLastError());
    fflush(stderr);
    ExitProcess(code);
}

// Reads the whole file as UTF-16 units followed by one more NUL, so that its
// NUL-separated fields can be walked with wcslen. Sets *units to the file's
// unit count. Ends the runner with code when the file cannot be read.
static inline wchar_t *read_fields_file(const wchar_t *path, size_t *units, unsigned code)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        runner_fail(code, "cannot open", path);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(f, &size) || size.QuadPart > RUNNER_FILE_MAX_BYTES)
        runner_fail(code, "bad file size", path);
    wchar_t *text = (wchar_t *)calloc((size_t)size.QuadPart / 2 + 1, sizeof(wchar_t));
    DWORD got = 0;
    if (!text || !ReadFile(f, text, (DWORD)size.QuadPart, &got, NULL) || got != (DWORD)size.QuadPart)
        runner_fail(code, "cannot read", path);
    CloseHandle(f);
    *units = (size_t)size.QuadPart / 2;
    return text;
}

// Sets the variable that "NAME=VALUE" assigns. A name may begin with "=", as
// the per-drive "=C:" variables do. Ends the runner with code on an
// assignment without a name or "=", or when the variable cannot be set.
static inline void set_variable_assignment(const wchar_t *assignment, unsigned code)
{
    static wchar_t name[RUNNER_TEXT_CHARS];
    const wchar_t *eq = wcschr(assignment + (assignment[0] == L'=' ? 1 : 0), L'=');
    if (!eq || eq == assignment)
        runner_fail(code, "--set needs NAME=VALUE", assignment);
    size_t n = (size_t)(eq - assignment);
    if (n >= RUNNER_TEXT_CHARS)
        runner_fail(code, "variable name too long", NULL);
    wmemcpy(name, assignment, n);
    name[n] = 0;
    if (!SetEnvironmentVariableW(name, eq + 1))
        runner_fail(code, "cannot set variable", name);
}

// Returns a job that kills its processes when its last handle closes, or NULL.
static inline HANDLE create_kill_on_close_job(void)
{
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job)
        return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

// Starts the program suspended, puts it into job (when there is one) before
// it runs, so that whatever it starts ends with the job too, then lets it
// run. The thread handle is closed; pi keeps the process handle and ids.
// Returns false, with nothing started, when CreateProcessW fails.
// Wine 8 now and then refuses a start with ERROR_INTERNAL_ERROR (1359) that
// succeeds when tried again (seen about once in a few hundred starts on a
// busy machine): that is the test machine's fault, not the program's under
// test, so the runner tries a few more times before it gives up.
static inline bool start_in_job(HANDLE job, const wchar_t *application, wchar_t *command_line, BOOL inherit_handles,
                                DWORD flags, const wchar_t *cwd, STARTUPINFOW *si, PROCESS_INFORMATION *pi)
{
    enum { START_ATTEMPTS = 5, START_PAUSE_MS = 200 };
    for (int attempt = 1;; attempt++) {
        if (CreateProcessW(application, command_line, NULL, NULL, inherit_handles, flags | CREATE_SUSPENDED, NULL,
                           cwd, si, pi))
            break;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == START_ATTEMPTS)
            return false;
        Sleep(START_PAUSE_MS);
    }
    if (job)
        AssignProcessToJobObject(job, pi->hProcess);
    ResumeThread(pi->hThread);
    CloseHandle(pi->hThread);
    return true;
}
