// SPDX-License-Identifier: MIT
// The one place that formats the launcher's fatal lines: messages with an OS
// error and the plain one-line failures; and the one way out after them,
// which runs the routine the run sequence registered to undo a failed start.
// Owns that routine's pointer; never touches a file itself.
#include "common/common.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void report_os_error(const char *message, DWORD error)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, error, 0x409, (LPSTR)&text, 0, NULL);
    if (length == 0 || text == NULL) {
        fprintf(stderr, "%s ([Error %ld] unknown error)\n", message, (long)error);
        return;
    }
    // The system's texts end in "\r\n"; the line gets its own end below.
    size_t end = strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n'))
        end--;
    text[end] = 0;
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, (long)error, text);
    LocalFree(text);
}

void report_path_message(const char *format, const wchar_t *path)
{
    // The runtime's "C" locale cannot convert code units above U+00FF for
    // %ls and would cut the line at the first one; UTF-8 keeps every path.
    static char narrow_path[PATH_CHARS * 3];
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, narrow_path, sizeof narrow_path, NULL, NULL) == 0)
        narrow_path[0] = 0;
    fprintf(stderr, format, narrow_path);
}

static void (*volatile failure_cleanup)(void);

// Taken once: a routine that itself fails, or aborts, must not run again.
static void run_failure_cleanup(void)
{
    void (*routine)(void) = failure_cleanup;
    failure_cleanup = NULL;
    if (routine != NULL)
        routine();
}

// abort() raises SIGABRT on the thread that called it, before the process
// ends; a cut path or an impossible size ends the start this way.
static void on_abort(int)
{
    run_failure_cleanup();
}

void set_failure_cleanup(void (*routine)(void))
{
    failure_cleanup = routine;
    signal(SIGABRT, routine != NULL ? on_abort : SIG_DFL);
}

void exit_after_failure(int exit_code)
{
    fflush(stdout);
    fflush(stderr);
    run_failure_cleanup();
    exit(exit_code);
}

void fail_with_message(const char *message)
{
    puts(message);
    exit_after_failure(2);
}
