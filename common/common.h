// SPDX-License-Identifier: MIT
// Shared operations of the launcher: capacities, bounded wide-string appends,
// environment access and the single place that formats OS error lines.
// Every append checks its capacity and aborts rather than truncate.
#pragma once

#include <windows.h>
#include <stddef.h>

// Capacities in UTF-16 code units, terminating NUL included.
enum {
    PATH_CHARS = 4096,              // extraction directory, DLL path, entry paths, expansions
    OWN_IMAGE_PATH_CHARS = 4097,    // own path for the role comparison, hand-off directory
    OTHER_IMAGE_PATH_CHARS = 2048,  // the other process's image path as the OS reports it
    NAME_CHARS = 1024,              // payload entry name, placeholder name
    COMMAND_LINE_CHARS = 32768,     // child command line
    ENV_VALUE_CHARS = 32768,        // one environment value
    ENV_NAME_CHARS = 40,            // one environment variable name
};

enum launcher_role { ROLE_PARENT = 0, ROLE_CHILD = 1 };

// Appends src after the NUL-terminated string in dst. Aborts when src is
// missing or the result with its NUL would not fit in dst_chars.
void append_wide(wchar_t *dst, const wchar_t *src, size_t dst_chars);

// Appends an 8-bit string, widening each byte by itself (mbtowc of a
// one-byte string). Aborts on a byte that does not give exactly one code
// unit, or when the result does not fit. For variable names and "%ld" numbers.
void append_narrow_as_wide(wchar_t *dst, const char *src, size_t dst_chars);

// Empties dst, then append_wide.
void copy_wide(wchar_t *dst, const wchar_t *src, size_t dst_chars);

// Returns a malloc'd copy of the variable's value (caller frees), or NULL
// when it is unset, empty, longer than ENV_VALUE_CHARS or cannot be copied.
wchar_t *read_environment_variable(const char *name);

// Sets the variable, or deletes it when value is NULL. Result ignored by callers.
void write_environment_variable(const char *name, const wchar_t *value);

// user32's functions, filled by load_user32 (the image does not import it).
struct user32_functions {
    decltype(&AllowSetForegroundWindow) allow_set_foreground_window;
    decltype(&CreateWindowExW) create_window_ex;
    decltype(&DefWindowProcW) def_window_proc;
    decltype(&DestroyWindow) destroy_window;
    decltype(&DispatchMessageW) dispatch_message;
    decltype(&EnumWindows) enum_windows;
    decltype(&GetCursorPos) get_cursor_pos;
    decltype(&GetDC) get_dc;
    decltype(&GetMonitorInfoW) get_monitor_info;
    decltype(&GetWindowThreadProcessId) get_window_thread_process_id;
    decltype(&IsWindowVisible) is_window_visible;
    decltype(&LoadCursorW) load_cursor;
    decltype(&MessageBoxW) message_box;
    decltype(&MonitorFromPoint) monitor_from_point;
    decltype(&MsgWaitForMultipleObjectsEx) msg_wait_for_multiple_objects_ex;
    decltype(&PeekMessageW) peek_message;
    decltype(&RegisterClassExW) register_class_ex;
    decltype(&ReleaseDC) release_dc;
    decltype(&ShowWindow) show_window;
    decltype(&UpdateLayeredWindow) update_layered_window;
    // NULL before Windows 10 1607. Takes and gives a DPI_AWARENESS_CONTEXT.
    HANDLE(WINAPI *set_thread_dpi_awareness_context)(HANDLE);
};
extern user32_functions user32;

// Loads user32 once per process, from any thread. True when every function
// above but set_thread_dpi_awareness_context is there; false leaves them all
// NULL, and the caller goes on without its window.
bool load_user32(void);

// Registers a window class of this module's; after load_user32. False when
// it could not be registered.
bool register_window_class(const wchar_t *name, WNDPROC procedure, HCURSOR cursor);

// Writes "<message> ([Error <code>] <system text>)\n" to stderr. Returns;
// the caller then ends the process with exit code 2.
void report_os_error(const char *message, DWORD error);

// Writes format to stderr with path, as UTF-8, in place of its one "%s".
void report_path_message(const char *format, const wchar_t *path);

// From now on every fatal line is also shown in a message box with title
// as its caption, when neither standard output nor standard error is usable.
// The parent role of an image built with the error dialog only: the child's
// handles are its parent's, and an unattended start must never wait for a click.
void show_fatal_errors_in_dialog(const wchar_t *title);

// puts(message), then exit_after_failure(2). For the fatal lines without
// placeholder or OS error.
__declspec(noreturn) void fail_with_message(const char *message);

// Sets what undoes a failed start (the parent's removal of what it
// unpacked), run once by exit_after_failure and by abort before the process
// ends. NULL: nothing to undo (the child role, and before the first write).
void set_failure_cleanup(void (*routine)(void));

// Runs the failure cleanup, if any, then exit(exit_code). Every fatal error
// after the report line ends here, so that the message and the exit code
// stay what they are while nothing is left behind.
__declspec(noreturn) void exit_after_failure(int exit_code);
