// SPDX-License-Identifier: MIT
// Start-up for the Windows test programs: a console program on the Universal
// CRT without mingw's start-up objects, handing the runtime's own argument
// vector to test_main and its result to exit.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include "image/ucrt_startup.h"

int test_main(int argc, wchar_t **argv);

extern "C" void test_entry(void)
{
    _set_app_type(1);  // console application
    _configure_wide_argv(1);
    _initialize_wide_environment();
    exit(test_main(*__p___argc(), *__p___wargv()));
}
