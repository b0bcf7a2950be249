// SPDX-License-Identifier: MIT
// depmain.dll: an application whose run_code needs a function of deplib.dll
// (a load-time import); it prints and returns that function's answer.
#include <windows.h>
#include <stdio.h>

extern "C" __declspec(dllimport) int deplib_answer(void);

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *) { return TRUE; }

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *)
{
    int answer = deplib_answer();
    printf("depmain: deplib_answer=0x%X\n", answer);
    fflush(stdout);
    return answer;
}
