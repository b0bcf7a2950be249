// SPDX-License-Identifier: MIT
// hold_desktop.exe: uses the desktop, then waits until its standard input
// ends. Wine's desktop process (explorer.exe) ends about a second after the
// last process that uses the desktop, and the next parent's hidden window
// then waits 0.2 to 0.5 s for a new one; on Windows the shell keeps the
// desktop for the whole session. A benchmark that starts launchers one by
// one keeps this running meanwhile, as the shell would.
#include <windows.h>

int test_main(int, wchar_t **)
{
    GetDesktopWindow();
    char byte;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, NULL) && got > 0) {
    }
    return 0;
}
