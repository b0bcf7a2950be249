// SPDX-License-Identifier: MIT
// For the Windows unit-test programs: a case that must end the process runs
// in a second instance of the test program, whose exit code and output the
// first one checks.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <wchar.h>

// Runs this program again with "<option> <case_name>"; returns its exit code
// (failure_code when it cannot be started or read) and what it wrote to its
// standard streams, NUL-terminated.
static inline DWORD run_self_case(const wchar_t *option, const wchar_t *case_name, char *output,
                                  DWORD output_bytes, DWORD failure_code)
{
    wchar_t self[MAX_PATH], command[2 * MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    swprintf(command, 2 * MAX_PATH, L"\"%ls\" %ls %ls", self, option, case_name);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE read_end, write_end;
    output[0] = 0;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return failure_code;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessW(self, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return failure_code;
    }
    DWORD total = 0, got;
    while (total + 1 < output_bytes &&
           ReadFile(read_end, output + total, output_bytes - 1 - total, &got, NULL) && got > 0)
        total += got;
    output[total] = 0;
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = failure_code;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(read_end);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}
