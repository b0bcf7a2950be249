// SPDX-License-Identifier: MIT
// deplib.dll: the dependency of depmain.dll, found only when the loader
// searches the extraction directory.
#include <windows.h>

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *) { return TRUE; }

extern "C" __declspec(dllexport) int deplib_answer(void) { return 0x1DE9; }
