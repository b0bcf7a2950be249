// SPDX-License-Identifier: MIT
// remove_tree.exe DIR: the launcher's own removal (cleanup_launch) of DIR as
// the extraction directory, timed in-process so that neither process start
// nor Wine's start-up counts. Prints "removal_s=<seconds> gone=<0|1>
// pauses=<n>", n being the pauses between attempts (0: the first attempt
// removed everything).
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "launcher/launcher.h"

extern "C" void *__imp_Sleep;

static launch_record record;

static int pauses;
static void(WINAPI *real_sleep)(DWORD);

static void WINAPI counting_sleep(DWORD ms)
{
    pauses++;
    real_sleep(ms);
}

int test_main(int argc, wchar_t **argv)
{
    if (argc != 2 || wcslen(argv[1]) >= PATH_CHARS) {
        puts("usage: remove_tree.exe DIR");
        return 2;
    }
    wcscpy(record.extraction_directory, argv[1]);
    record.unpacking_started = 1;
    keep_record_for_cleanup(&record);
    DWORD protection;
    VirtualProtect(&__imp_Sleep, sizeof __imp_Sleep, PAGE_READWRITE, &protection);
    real_sleep = (void(WINAPI *)(DWORD))__imp_Sleep;
    __imp_Sleep = (void *)counting_sleep;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    cleanup_launch();
    QueryPerformanceCounter(&end);
    bool gone = GetFileAttributesW(record.extraction_directory) == INVALID_FILE_ATTRIBUTES;
    printf("removal_s=%.4f gone=%d pauses=%d\n", (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart,
           gone ? 1 : 0, pauses);
    return gone ? 0 : 1;
}
