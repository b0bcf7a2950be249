// SPDX-License-Identifier: MIT
// decide_role in-process, for what a started launcher cannot show: an
// instance whose own id is in VORNAK_ONEFILE_PARENT. The other role cases
// run on the real launcher in tests/e2e/test_roles.py.
#include "launcher/launcher.h"
#include "tests/win/check.h"

#define PSAPI_VERSION 2
#include <psapi.h>
#include <stdlib.h>

// Starts this program sleeping and returns once its module name can be read:
// until its loader has run, a new process has none.
static PROCESS_INFORMATION start_sibling(const wchar_t *self)
{
    static wchar_t command[PATH_CHARS], name[PATH_CHARS];
    swprintf(command, PATH_CHARS, L"\"%ls\" --sleep", self);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CHECK(CreateProcessW(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)))
        return process;
    for (int i = 0; i < 500 && K32GetModuleFileNameExW(process.hProcess, NULL, name, PATH_CHARS) == 0; i++)
        Sleep(10);
    return process;
}

static void stop(PROCESS_INFORMATION process)
{
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

static wchar_t value[ENV_VALUE_CHARS];
static launch_record record;  // this process's own inputs, as the run sequence reads them

static const wchar_t *variable(const wchar_t *name)
{
    DWORD n = GetEnvironmentVariableW(name, value, ENV_VALUE_CHARS);
    return n == 0 ? L"(unset)" : value;
}

// Sets VORNAK_ONEFILE_PARENT (NULL: unset) and a stale START value, decides.
static launcher_role decide_with(const wchar_t *parent)
{
    SetEnvironmentVariableW(L"VORNAK_ONEFILE_PARENT", parent);
    SetEnvironmentVariableW(L"VORNAK_ONEFILE_START", L"1");
    SetEnvironmentVariableW(L"VORNAK_ONEFILE_TIME_US", L"000001");
    SetEnvironmentVariableW(L"VORNAK_ONEFILE_RANDOM", L"AAAAAAAAAAA");
    return decide_role(&record);
}

static void check_parent_role_resets(const wchar_t *parent)
{
    static wchar_t own_id[32];
    swprintf(own_id, 32, L"%lu", GetCurrentProcessId());
    if (!CHECK(decide_with(parent) == ROLE_PARENT))
        printf("    with VORNAK_ONEFILE_PARENT=%ls\n", parent ? parent : L"(unset)");
    CHECK_WSTR(variable(L"VORNAK_ONEFILE_PARENT"), own_id);
    CHECK_WSTR(variable(L"VORNAK_ONEFILE_START"), L"(unset)");
    CHECK_WSTR(variable(L"VORNAK_ONEFILE_TIME_US"), L"(unset)");
    CHECK_WSTR(variable(L"VORNAK_ONEFILE_RANDOM"), L"(unset)");
}

int test_main(int argc, wchar_t **argv)
{
    if (argc == 2 && wcscmp(argv[1], L"--sleep") == 0) {
        Sleep(60000);
        return 0;
    }
    static wchar_t self[PATH_CHARS], id[32];
    GetModuleFileNameW(NULL, self, PATH_CHARS);
    capture_process_inputs(&record);

    // Another instance of this very file: child, environment as inherited.
    PROCESS_INFORMATION sibling = start_sibling(self);
    swprintf(id, 32, L"%lu", sibling.dwProcessId);
    CHECK(decide_with(id) == ROLE_CHILD);
    CHECK_WSTR(variable(L"VORNAK_ONEFILE_PARENT"), id);
    CHECK_WSTR(variable(L"VORNAK_ONEFILE_START"), L"1");

    // Ended, but still held open here: its id and image name stay known to
    // the system while a handle exists. A process that has ended is no parent.
    TerminateProcess(sibling.hProcess, 0);
    WaitForSingleObject(sibling.hProcess, INFINITE);
    check_parent_role_resets(id);
    stop(sibling);

    // Ended with exit code 259, which is STILL_ACTIVE's value: an exit-code
    // query cannot tell it from a running process; the process has ended
    // all the same and is no parent.
    sibling = start_sibling(self);
    swprintf(id, 32, L"%lu", sibling.dwProcessId);
    TerminateProcess(sibling.hProcess, STILL_ACTIVE);
    WaitForSingleObject(sibling.hProcess, INFINITE);
    check_parent_role_resets(id);
    stop(sibling);

    // The same comparison would call this process its own parent, had its
    // id been left in the variable (a reused id): it is not.
    swprintf(id, 32, L"%lu", GetCurrentProcessId());
    check_parent_role_resets(id);
    check_parent_role_resets(NULL);
    return test_summary();
}
