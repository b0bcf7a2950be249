// SPDX-License-Identifier: MIT
// The child role's entry into the application DLL, in this process. The
// child role never changes the environment and never starts a process.
#include "launcher/launcher.h"

#include <stdlib.h>

typedef int (*run_code_function)(int argc, wchar_t **argv, const wchar_t *dll_path);

// The run sequence has made sure there is a DLL path: a payload that ends
// before its first entry never gets here.
int enter_application(const launch_record *record)
{
    // Dependencies are searched in the DLL's own directory, the extraction
    // directory and System32 only (0xD00), never the current directory.
    AddDllDirectory(record->extraction_directory);
    HMODULE dll = LoadLibraryExW(record->application_dll_path, NULL,
                                 LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                     LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll == NULL) {
        report_os_error("Error, load DLL.", GetLastError());
        exit(2);
    }
    run_code_function run_code = (run_code_function)(void *)GetProcAddress(dll, "run_code");
    if (run_code == NULL)
        fail_with_message("Error, DLL entry point not found.");
    return run_code(record->argc, record->argv, record->application_dll_path);
}
