// SPDX-License-Identifier: MIT
// The application of the outside project: prints its arguments and two files
// that travel with it (found next to the DLL), calls the plugin packed in
// plugins\, and returns 40 + argc.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static void print_file(const wchar_t *folder, const wchar_t *name)
{
    wchar_t path[4096];
    swprintf(path, 4096, L"%ls\\%ls", folder, name);
    FILE *f = _wfopen(path, L"rb");
    if (!f) {
        printf("%ls: missing\n", name);
        return;
    }
    char line[256];
    if (fgets(line, sizeof line, f))
        printf("%ls: %s", name, line);
    fclose(f);
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path)
{
    for (int i = 1; i < argc; i++)
        printf("arg %d: %ls\n", i, argv[i]);

    // The application's files lie in the DLL's own folder.
    wchar_t folder[4096];
    wcsncpy(folder, dll_path, 4095);
    folder[4095] = 0;
    wchar_t *slash = wcsrchr(folder, L'\\');
    if (slash)
        *slash = 0;
    print_file(folder, L"data\\greeting.txt");
    print_file(folder, L"notes.txt");

    wchar_t plugin_path[4096];
    swprintf(plugin_path, 4096, L"%ls\\plugins\\plugin.dll", folder);
    HMODULE plugin = LoadLibraryW(plugin_path);
    const char *(*greeting)(void) = plugin ? (const char *(*)(void))GetProcAddress(plugin, "plugin_greeting") : NULL;
    printf("plugin: %s\n", greeting ? greeting() : "missing");

    // Everything written is out before the exit code is.
    fflush(stdout);
    return 40 + argc;
}
