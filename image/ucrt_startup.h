// SPDX-License-Identifier: MIT
// Start-up functions of the Universal CRT that the mingw headers do not
// declare: what a program needs that brings the runtime up itself instead of
// linking a C runtime's start-up object. __p___argc and __p___wargv come
// from <stdlib.h>.
#pragma once

#include <windows.h>
#include <stdlib.h>

extern "C" {
void __cdecl _set_app_type(int type);  // 1 console, 2 windowed
int *__cdecl __p__commode(void);
int __cdecl _initialize_wide_environment(void);
int __cdecl _configure_wide_argv(int mode);  // 1: unexpanded, "*" and "?" stay as typed
int __cdecl _set_new_mode(int mode);
wchar_t **__cdecl __p__wcmdln(void);
int __cdecl _seh_filter_exe(unsigned long code, EXCEPTION_POINTERS *pointers);
}
