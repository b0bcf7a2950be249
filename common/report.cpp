// SPDX-License-Identifier: MIT
// The one place that formats the launcher's fatal lines: messages with an OS
// error and the plain one-line failures; and the one way out after them,
// which runs the routine the run sequence registered to undo a failed start.
// Owns that routine's pointer; never touches a file itself. Owns the error
// dialog's title, set only in the parent role of an image built with the
// dialog; a line that a standard handle shows never opens it.
#include "common/common.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
    LINE_BYTES = PATH_CHARS * 3 + 512,  // a UTF-8 path and the message around it
    LINE_CHARS = LINE_BYTES,            // the same line as UTF-16
};

static const wchar_t *error_dialog_title;  // NULL: never show a dialog

void show_fatal_errors_in_dialog(const wchar_t *title)
{
    error_dialog_title = title;
}

// A handle shows a line when it names a file, a pipe or a console. Started
// from Explorer, a windowed process gets NULL; a handle its creator closed
// gives FILE_TYPE_UNKNOWN.
static bool standard_handle_is_usable(DWORD which)
{
    HANDLE handle = GetStdHandle(which);
    return handle != NULL && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// Shows line (UTF-8, without its line end) in a message box when the image
// asks for it and neither standard output nor standard error can show it.
// Waits for the click: only an image built for starts by a person does this.
static void show_in_dialog(const char *line)
{
    if (error_dialog_title == NULL)
        return;
    if (standard_handle_is_usable(STD_OUTPUT_HANDLE) || standard_handle_is_usable(STD_ERROR_HANDLE))
        return;
    static wchar_t text[LINE_CHARS];
    if (MultiByteToWideChar(CP_UTF8, 0, line, -1, text, LINE_CHARS) == 0 || !load_user32())
        return;
    user32.message_box(NULL, text, error_dialog_title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
}

// Writes line to stream and, if need be, to the dialog. line ends in "\n".
static void emit_line(FILE *stream, char *line)
{
    fputs(line, stream);
    size_t end = strlen(line);
    if (end > 0 && line[end - 1] == '\n')
        line[end - 1] = 0;
    show_in_dialog(line);
}

void report_os_error(const char *message, DWORD error)
{
    static char line[LINE_BYTES];
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, error, 0x409, (LPSTR)&text, 0, NULL);
    if (length == 0 || text == NULL) {
        snprintf(line, sizeof line, "%s ([Error %ld] unknown error)\n", message, (long)error);
        emit_line(stderr, line);
        return;
    }
    // The system's texts end in "\r\n"; the line gets its own end below.
    size_t end = strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n'))
        end--;
    text[end] = 0;
    snprintf(line, sizeof line, "%s ([Error %ld] %s)\n", message, (long)error, text);
    LocalFree(text);
    emit_line(stderr, line);
}

void report_path_message(const char *format, const wchar_t *path)
{
    // The runtime's "C" locale cannot convert code units above U+00FF for
    // %ls and would cut the line at the first one; UTF-8 keeps every path.
    static char narrow_path[PATH_CHARS * 3];
    static char line[LINE_BYTES];
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, narrow_path, sizeof narrow_path, NULL, NULL) == 0)
        narrow_path[0] = 0;
    snprintf(line, sizeof line, format, narrow_path);
    emit_line(stderr, line);
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
    static char line[LINE_BYTES];
    snprintf(line, sizeof line, "%s", message);
    show_in_dialog(line);
    exit_after_failure(2);
}
