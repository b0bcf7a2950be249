// SPDX-License-Identifier: MIT
// The example application: a DLL exporting run_code that shows what it was
// given (arguments, the launcher's hand-off variables, its own path, the
// current directory), reads a data file shipped beside it, and returns the
// exit code named by "--exit N" (0 otherwise).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *) { return TRUE; }

static void show_variable(const wchar_t *name)
{
    static wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    if (n == 0 || n >= 32768)
        printf("%ls is not set\n", name);
    else
        printf("%ls=%ls\n", name, value);
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path)
{
    int exit_code = 0;
    printf("hello from the packaged application\n");
    printf("argc=%d\n", argc);
    for (int i = 0; i < argc; i++) {
        printf("argv[%d]=[%ls]\n", i, argv[i]);
        if (wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc)
            exit_code = (int)wcstol(argv[i + 1], NULL, 0);
    }
    show_variable(L"VORNAK_ONEFILE_DIRECTORY");
    show_variable(L"VORNAK_ORIGINAL_ARGV0");
    printf("dll=%ls\n", dll_path);
    static wchar_t cwd[4096];
    if (GetCurrentDirectoryW(4096, cwd))
        printf("cwd=%ls\n", cwd);

    // The data file travels in the payload next to the DLL.
    static wchar_t data_path[4096];
    wcscpy(data_path, dll_path);
    wchar_t *slash = wcsrchr(data_path, L'\\');
    if (slash)
        slash[1] = 0;
    wcscat(data_path, L"data\\greeting.txt");
    FILE *f = _wfopen(data_path, L"rb");
    if (f) {
        char line[256];
        if (fgets(line, sizeof line, f))
            printf("data: %s", line);
        fclose(f);
    } else {
        printf("data file missing: %ls\n", data_path);
    }
    printf("exit code %d\n", exit_code);
    fflush(stdout);
    return exit_code;
}
