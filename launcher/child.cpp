// SPDX-License-Identifier: MIT
// The parent role's launch of its own executable as the child: hand-off
// variables, the re-quoted command line, inherited standard handles, the wait
// and the exit status. Owns the hand-off directory value and the child
// command line (static). Never holds the cleanup lock while it waits for the
// child.
#include "launcher/launcher.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static wchar_t directory_value[OWN_IMAGE_PATH_CHARS];
// Writable: CreateProcessW may modify the command line it is given.
static wchar_t child_command_line[COMMAND_LINE_CHARS];

static bool needs_quotes(const wchar_t *argument)
{
    if (argument[0] == 0)
        return true;
    for (const wchar_t *p = argument; *p != 0; p++)
        if (*p == L' ' || *p == L'\t' || *p == L'\n' || *p == L'\v' || *p == L'"')
            return true;
    return false;
}

// A cursor over a NUL-terminated buffer, so that a long quoted argument is
// written in one pass instead of rescanning the line for every character.
struct line_cursor {
    wchar_t *dst;
    size_t used;
    size_t dst_chars;
};

static void put_char(line_cursor *line, wchar_t c)
{
    if (line->used + 1 >= line->dst_chars)
        abort();
    line->dst[line->used++] = c;
    line->dst[line->used] = 0;
}

static void put_backslashes(line_cursor *line, size_t count)
{
    for (size_t i = 0; i < count; i++)
        put_char(line, L'\\');
}

// Appends argument so that CommandLineToArgvW and the runtime's parser give it
// back unchanged. Quotes only when it holds a space, tab, LF, VT or a quote,
// or is empty (unquoted, an empty argument would vanish). Inside quotes a run
// of n backslashes becomes 2n+1 before a quote and 2n at the end:
//   input : hello"world      output: "hello\"world"
//   input : C:\a b\          output: "C:\a b\\"
//   input : a\\b c           output: "a\\b c"
void append_quoted_argument(wchar_t *dst, const wchar_t *argument, size_t dst_chars)
{
    if (!needs_quotes(argument)) {
        append_wide(dst, argument, dst_chars);
        return;
    }
    line_cursor line = {dst, wcslen(dst), dst_chars};
    put_char(&line, L'"');
    const wchar_t *p = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == 0) {
            put_backslashes(&line, 2 * backslashes);
            break;
        }
        put_backslashes(&line, *p == L'"' ? 2 * backslashes + 1 : backslashes);
        put_char(&line, *p);
        p++;
    }
    put_char(&line, L'"');
}

// The runtime's own split of this process's command line (the captured
// vector), its first element replaced by the launcher module path, each
// element re-quoted. Not a fresh split with CommandLineToArgvW: its rules for
// quote runs inside quotes and for text glued to a quoted program name differ
// from the runtime's, and the application must see the arguments exactly as
// a program started directly by the user would.
wchar_t *build_child_command_line(const launch_record *record)
{
    child_command_line[0] = 0;
    append_quoted_argument(child_command_line, own_module_path(record, PATH_CHARS), COMMAND_LINE_CHARS);
    for (int i = 1; i < record->argc; i++) {
        append_wide(child_command_line, L" ", COMMAND_LINE_CHARS);
        append_quoted_argument(child_command_line, record->argv[i], COMMAND_LINE_CHARS);
    }
    return child_command_line;
}

// The launcher's directory as the user's file system spells it (no
// canonical form, no short names), without a trailing backslash. A module
// path cut to the buffer is taken as it stands here; the child's own start
// refuses it.
void publish_handoff_variables(const launch_record *record)
{
    memcpy(directory_value, record->module_path, sizeof directory_value);
    wchar_t *last_backslash = wcsrchr(directory_value, L'\\');
    if (last_backslash != NULL)
        *last_backslash = 0;
    write_environment_variable("VORNAK_ONEFILE_DIRECTORY", directory_value);
    write_environment_variable("VORNAK_ORIGINAL_ARGV0", record->argv[0]);
}

// Starts the child, waits for it, removes the extraction directory and
// returns the child's exit status (1 when it cannot be read). Does not return
// when the child cannot be started; the extraction directory is then removed
// on the way out.
int launch_child(const launch_record *record)
{
    publish_handoff_variables(record);
    const wchar_t *module_path = own_module_path(record, PATH_CHARS);

    // Only the standard handles: the parent's show-window request is not
    // handed on.
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    wchar_t *command_line = build_child_command_line(record);

    // No environment block and no directory: the child inherits the
    // hand-off variables and the current directory.
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessW(module_path, command_line, NULL, NULL, TRUE,
                        NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, &process)) {
        report_os_error("Error, couldn't launch child", GetLastError());
        exit_after_failure(2);
    }
    CloseHandle(process.hThread);

    // From here on the console handler and the session end may stop the
    // child. Neither closes the handle while this thread owns the wait, so the
    // wait below is always on an open handle, and no lock is held while the
    // child runs.
    publish_child_process(process.hProcess, true);
    note_child_for_splash(process.dwProcessId);
    wait_for_child(process.hProcess);
    int status = release_child_process();

    cleanup_launch();
    return status;
}
