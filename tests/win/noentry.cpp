// SPDX-License-Identifier: MIT
// noentry.dll: a loadable DLL that exports something, but not run_code.
#include <windows.h>

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *) { return TRUE; }

extern "C" __declspec(dllexport) int run_something_else(int, wchar_t **, const wchar_t *) { return 0; }
