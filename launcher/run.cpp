// SPDX-License-Identifier: MIT
// The run sequence from entry to exit in both roles, and the process-wide
// state it shares with the rest of the launcher (static storage, zero at
// start). A fatal error anywhere here ends the process without removing
// anything; only cleanup_launch removes the extraction directory.
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "payload/payload.h"

#include <stdlib.h>
#include <string.h>

wchar_t extraction_directory[PATH_CHARS];
wchar_t application_dll_path[PATH_CHARS];
volatile unsigned char unpacking_started;
HANDLE child_process_handle;
int captured_argc;
wchar_t **captured_argv;

// PID, TIME_US and RANDOM come from the environment the child inherits, so
// parent and child expand this to the same directory.
static const wchar_t extraction_directory_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

// Makes extraction_directory absolute, with every unit after the terminator
// zero: the removal reads the buffer as a double-NUL-terminated list of one path.
static void normalise_extraction_directory(void)
{
    wchar_t full_path[PATH_CHARS];
    DWORD length = GetFullPathNameW(extraction_directory, PATH_CHARS, full_path, NULL);
    if (length == 0 || length >= PATH_CHARS)
        abort();
    memset(extraction_directory, 0, sizeof extraction_directory);
    memcpy(extraction_directory, full_path, length * sizeof(wchar_t));
}

// The four arguments of a windowed program's entry are not used: the
// arguments come from the runtime's own parse, and the child is started with
// the default show state.
int run_launcher(HINSTANCE, HINSTANCE, wchar_t *, int)
{
    captured_argc = *__p___argc();
    captured_argv = *__p___wargv();

    // Keeps DLLs in the current directory from being loaded in place of system ones.
    SetDllDirectoryW(L"");

    launcher_role role = decide_role();

    // A failed expansion is reported before the path is normalised: its
    // partial output may be empty, and normalising that would abort silently.
    if (!expand_path_template(extraction_directory, extraction_directory_template, PATH_CHARS))
        report_expansion_failure(extraction_directory_template);
    normalise_extraction_directory();

    if (role == ROLE_PARENT && !SetConsoleCtrlHandler(console_control_handler, TRUE))
        fail_with_message("Error, failed to register signal handler.");
    // A windowed process hears logoff and shutdown through a window, not the
    // console handler. The window exists before the first file is written,
    // so a session that ends during a long unpack is answered too.
    if (role == ROLE_PARENT)
        listen_for_session_end();

    unpack_payload(role, extraction_directory, role == ROLE_PARENT ? serve_session_messages : NULL);
    // A payload whose first entry is the terminator has nothing to run; the
    // child must not go on to start anything either.
    if (application_dll_path[0] == 0)
        fail_with_message("Error, attached data holds no application DLL.");

    if (role == ROLE_CHILD)
        return enter_application();
    return launch_child();
}
