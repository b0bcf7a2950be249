// SPDX-License-Identifier: MIT
// direct_host.exe: the benchmarks' baseline. A windowed program on the same
// UCRT start-up as the launcher that loads the DLL named by its first
// argument in-process, the way the launcher's child does, and returns what
// its run_code returns: what starting the application costs without the
// launcher. Usage: direct_host.exe DLL_PATH [ARGS...]
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include "image/ucrt_startup.h"

typedef int(__cdecl *run_code_fn)(int, wchar_t **, const wchar_t *);

static int run_direct(int argc, wchar_t **argv)
{
    if (argc < 2) {
        puts("usage: direct_host.exe DLL_PATH [ARGS...]");
        return 2;
    }
    SetDllDirectoryW(L"");
    // The same search as the launcher's child (0xD00): the DLL's own
    // directory, added directories and System32.
    HMODULE dll = LoadLibraryExW(argv[1], NULL,
                                 LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                     LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) {
        fprintf(stderr, "direct_host: cannot load the DLL (error %lu)\n", GetLastError());
        return 2;
    }
    run_code_fn run_code = (run_code_fn)(void *)GetProcAddress(dll, "run_code");
    if (!run_code) {
        puts("direct_host: no run_code");
        return 2;
    }
    return run_code(argc - 1, argv + 1, argv[1]);
}

extern "C" void direct_host_entry(void)
{
    _set_app_type(2);  // windowed, as the launcher
    _configure_wide_argv(1);
    _initialize_wide_environment();
    exit(run_direct(*__p___argc(), *__p___wargv()));
}
