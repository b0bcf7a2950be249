// SPDX-License-Identifier: MIT
// The run sequence from entry to exit in both roles. Owns the launch record
// (static storage, zero at start: the console handler may still read it
// while the process exits) and hands it to the parts that need it. Once the
// parent has created the extraction directory, a fatal error anywhere ends
// the process through cleanup_launch, which removes it; before that, and in
// the child, a fatal error removes nothing.
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "payload/format.h"
#include "payload/payload.h"

#include <stdlib.h>
#include <string.h>

static launch_record record;

// PID, TIME_US and RANDOM come from the environment the child inherits, so
// parent and child expand this to the same directory.
static const wchar_t extraction_directory_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

// Makes extraction_directory absolute: parent and child, and the removal,
// then name it the same way whatever the current directory. Aborts when the
// full path cannot be had or does not fit.
static void normalise_extraction_directory(wchar_t (&extraction_directory)[PATH_CHARS])
{
    wchar_t full_path[PATH_CHARS];
    DWORD length = GetFullPathNameW(extraction_directory, PATH_CHARS, full_path, NULL);
    if (length == 0 || length >= PATH_CHARS)
        abort();
    memcpy(extraction_directory, full_path, (length + 1) * sizeof(wchar_t));
}

// Called by the unpacker as soon as the extraction directory exists: from
// here on it is this run's to remove, also after a failed start.
static void extraction_directory_created(void)
{
    record.unpacking_started = 1;
    set_failure_cleanup(cleanup_launch);
    create_start_marker(&record);
}

// The four arguments of a windowed program's entry are not used: the
// arguments come from the runtime's own parse, and the child is started with
// the default show state.
int run_launcher(const launcher_build_values *build, HINSTANCE, HINSTANCE, wchar_t *, int)
{
    capture_process_inputs(&record);
    record.values.product_name = build->product_name;
    record.values.product_version = build->product_version;
    record.values.company_name = build->company_name;
    record.values.file_version = build->file_version;
    record.values.argv = record.argv;
    keep_record_for_cleanup(&record);

    // Keeps DLLs in the current directory from being loaded in place of system ones.
    SetDllDirectoryW(L"");

    launcher_role role = decide_role(&record);
    // Opt-in at build time, and never in the child: its handles are its
    // parent's, and its parent shows what there is to show.
    if (role == ROLE_PARENT && (build->options & LAUNCHER_OPTION_ERROR_DIALOG))
        show_fatal_errors_in_dialog(build->product_name);

    // An image with a cache template runs the application from its cache
    // directory when it can, and otherwise goes on as any image does.
    bool cached = build->cache_template[0] != 0;
    int status;
    if (cached && role == ROLE_PARENT && run_from_cache(&record, build, &status))
        return status;

    // A failed expansion is reported before the path is normalised: its
    // partial output may be empty, and normalising that would abort silently.
    if (!expand_path_template(record.extraction_directory, extraction_directory_template, PATH_CHARS,
                              &record.values))
        report_expansion_failure(extraction_directory_template);
    normalise_extraction_directory(record.extraction_directory);
    // A start from within an application that runs from the cache finds no
    // directory of its parent's: it runs from the cache too.
    if (cached && role == ROLE_CHILD && GetFileAttributesW(record.extraction_directory) == INVALID_FILE_ATTRIBUTES &&
        enter_from_cache(&record, build, &status))
        return status;

    if (role == ROLE_PARENT && !SetConsoleCtrlHandler(console_control_handler, TRUE))
        fail_with_message("Error, failed to register signal handler.");
    // A windowed process hears logoff and shutdown through a window, not the
    // console handler. The window exists before the first file is written,
    // so a session that ends during a long unpack is answered too.
    if (role == ROLE_PARENT)
        listen_for_session_end();

    // Leftovers of killed starts of this image go before this start adds its own.
    record.payload_bytes = build->payload_bytes;
    if (role == ROLE_PARENT)
        sweep_killed_starts(&record);

    if (role == ROLE_PARENT && (build->options & LAUNCHER_OPTION_SPLASH))
        start_splash(build->splash, build->product_name);

    open_payload(build->payload, build->payload_bytes);
    // Data that fails the frame's checksum must not run: what was written
    // from it goes before the message.
    void (*serve)(void) = role == ROLE_PARENT ? serve_session_messages : NULL;
    if (!unpack_payload(role, record.extraction_directory, record.application_dll_path, extraction_directory_created,
                        serve, serve)) {
        cleanup_launch();
        fail_with_message("Error, couldn't decode attached data.");
    }
    // A payload whose first entry is the terminator has nothing to run; the
    // child must not go on to start anything either.
    if (record.application_dll_path[0] == 0)
        fail_with_message("Error, attached data holds no application DLL.");

    if (role == ROLE_CHILD)
        return enter_application(&record);
    int exit_code = launch_child(&record);
    close_splash();
    return exit_code;
}
