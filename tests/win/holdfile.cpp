// SPDX-License-Identifier: MIT
// holdfile.exe FILE MS [EVENT]: opens FILE (created if missing) for reading
// and writing without FILE_SHARE_DELETE, signals the named event EVENT once
// it holds the file, keeps it open for MS milliseconds and ends. Lets a test
// keep a file of an extraction directory in use after the application ended.
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

int test_main(int argc, wchar_t **argv)
{
    if (argc < 3)
        return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    if (argc > 3) {
        HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
        if (ready) {
            SetEvent(ready);
            CloseHandle(ready);
        }
    }
    Sleep((DWORD)wcstoul(argv[2], NULL, 0));
    CloseHandle(file);
    return 0;
}
