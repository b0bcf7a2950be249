// SPDX-License-Identifier: MIT
// The image's entry points, in place of a C runtime's start-up object: bring
// up the Universal CRT the way a windowed (or console) wide-character
// program's start-up does, call run_launcher with the build-time values and
// hand its result to exit. Registers no initialisers, constructors or destructors of its own.
#include "launcher/launcher.h"
#include "image/ucrt_startup.h"
#include "image/build_values.h"

#include <stdlib.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // provided by the linker: the loaded image

enum {
    APP_TYPE_CONSOLE = 1,
    APP_TYPE_WINDOWED = 2,
    ARGV_UNEXPANDED = 1,  // "*" and "?" reach the application as typed
};

// Hands unhandled exceptions to the runtime's own filter, which turns the
// ones that have a signal handler into that signal and lets the rest through.
static LONG WINAPI runtime_exception_filter(EXCEPTION_POINTERS *pointers)
{
    return _seh_filter_exe(pointers->ExceptionRecord->ExceptionCode, pointers);
}

// Invalid parameters to runtime functions are ignored; the function then
// returns its error value, which its caller checks.
static void __cdecl ignore_invalid_parameter(const wchar_t *, const wchar_t *, const wchar_t *,
                                             unsigned int, uintptr_t)
{
}

// The runtime's command line without the program name and the blanks after
// it. The name ends at the first unit at or below U+0020 outside double
// quotes; every '"' toggles quoting.
static wchar_t *command_line_tail(void)
{
    static wchar_t empty[1];
    wchar_t *c = *__p__wcmdln();
    if (c == NULL)
        return empty;
    bool quoted = false;
    for (; *c != 0 && (*c > L' ' || quoted); c++)
        if (*c == L'"')
            quoted = !quoted;
    while (*c != 0 && *c <= L' ')
        c++;
    return c;
}

static int show_window_value(void)
{
    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}

// The runtime is told which kind of program it serves: a console program's
// runtime reports its own fatal errors (abort, invalid parameters it cannot
// ignore) on the standard error stream, a windowed program's in a message box.
static __declspec(noreturn) void start_launcher(int app_type)
{
    _set_app_type(app_type);
    *__p__fmode() = 0;
    *__p__commode() = 0;
    _initialize_wide_environment();
    _configure_wide_argv(ARGV_UNEXPANDED);
    _set_new_mode(0);
    SetUnhandledExceptionFilter(runtime_exception_filter);
    _set_invalid_parameter_handler(ignore_invalid_parameter);

    // A local, not a static: filled at run time, no initialiser to register.
    const launcher_build_values build = {vornak_attached_payload, vornak_attached_payload_bytes,
                                         vornak_product_name,     vornak_product_version,
                                         vornak_company_name,     vornak_file_version,
                                         vornak_cache_template,   vornak_cache_key,
                                         vornak_launcher_options, vornak_splash};
    HINSTANCE instance = (HINSTANCE)&__ImageBase;
    exit(run_launcher(&build, instance, NULL, command_line_tail(), show_window_value()));
}

// Entry of a windowed image (subsystem 2).
extern "C" __declspec(noreturn) void vornak_entry(void)
{
    start_launcher(APP_TYPE_WINDOWED);
}

// Entry of a console image (subsystem 3): the same launcher; the system has
// attached the process to its caller's console, or made one, before this runs.
extern "C" __declspec(noreturn) void vornak_console_entry(void)
{
    start_launcher(APP_TYPE_CONSOLE);
}
