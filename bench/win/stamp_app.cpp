// SPDX-License-Identifier: MIT
// stamp.dll: the benchmarks' application. run_code appends the system time
// at its entry ("run_code_ft=<100 ns units since 1601>") to the file named by
// VORNAK_STAMP_FILE, if set, and returns 0. Nothing else, so that a run
// measures the launcher and not the application.
#include <windows.h>

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *) { return TRUE; }

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    wchar_t path[1024];
    DWORD n = GetEnvironmentVariableW(L"VORNAK_STAMP_FILE", path, 1024);
    if (n == 0 || n >= 1024)
        return 0;
    HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    unsigned long long t = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    char line[48];
    int len = 0;
    char digits[24];
    int d = 0;
    do {
        digits[d++] = (char)('0' + t % 10);
        t /= 10;
    } while (t);
    const char key[] = "run_code_ft=";
    for (int i = 0; key[i]; i++)
        line[len++] = key[i];
    while (d)
        line[len++] = digits[--d];
    line[len++] = '\n';
    DWORD written;
    WriteFile(f, line, (DWORD)len, &written, NULL);
    CloseHandle(f);
    return 0;
}
