// SPDX-License-Identifier: MIT
// The child's command line and the canonical image path, on the real APIs:
// every quoted argument must split back to itself with CommandLineToArgvW,
// and two spellings of one file must give one canonical path.
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "tests/win/check.h"

#include <shellapi.h>
#include <stdlib.h>


static const wchar_t *const argument_table[] = {
    L"plain", L"", L"two words", L"tab\there", L"line\nfeed", L"vertical\vtab", L" ",
    L"say \"hi\"", L"\"", L"\"\"", L"ends with quote\"", L"back\\slash", L"trailing\\",
    L"trailing space\\", L"two trailing \\\\", L"a\\\"b", L"a\\\\\\\"b c", L"\\\\\"",
    L"\\\\server\\share dir\\", L"C:\\Program Files\\x", L"*", L"*.txt", L"a?b",
    L"\u00e9t\u00e9 \u65e5\u672c \U0001F600", L"--flag=\"x y\"",
};
enum { ARGUMENT_COUNT = sizeof argument_table / sizeof argument_table[0] };

static wchar_t line[COMMAND_LINE_CHARS];

static void check_round_trip(void)
{
    // One argument at a time, then all of them on one line.
    for (int i = 0; i < ARGUMENT_COUNT; i++) {
        copy_wide(line, L"prog.exe ", COMMAND_LINE_CHARS);
        append_quoted_argument(line, argument_table[i], COMMAND_LINE_CHARS);
        int count = 0;
        wchar_t **split = CommandLineToArgvW(line, &count);
        if (!CHECK(split != NULL && count == 2)) {
            printf("    argument %d gave %d elements from [%ls]\n", i, count, line);
        } else {
            CHECK_WSTR(split[1], argument_table[i]);
        }
        LocalFree(split);
    }
    copy_wide(line, L"prog.exe", COMMAND_LINE_CHARS);
    for (int i = 0; i < ARGUMENT_COUNT; i++) {
        append_wide(line, L" ", COMMAND_LINE_CHARS);
        append_quoted_argument(line, argument_table[i], COMMAND_LINE_CHARS);
    }
    int count = 0;
    wchar_t **split = CommandLineToArgvW(line, &count);
    if (CHECK(split != NULL && count == ARGUMENT_COUNT + 1))
        for (int i = 0; i < ARGUMENT_COUNT; i++)
            CHECK_WSTR(split[i + 1], argument_table[i]);
    LocalFree(split);
}

static void check_quoting_is_minimal(void)
{
    static const wchar_t *const cases[][2] = {
        {L"C:\\dir\\file", L"C:\\dir\\file"},  // backslashes alone need no quotes
        {L"", L"\"\""},
        {L"hello\"world", L"\"hello\\\"world\""},
        {L"a b\\", L"\"a b\\\\\""},
        {L"a\\b c", L"\"a\\b c\""},
    };
    for (auto &c : cases) {
        line[0] = 0;
        append_quoted_argument(line, c[0], COMMAND_LINE_CHARS);
        CHECK_WSTR(line, c[1]);
    }
}

// --- canonical image paths, on files in a fresh folder under TEMP ---

static wchar_t root[PATH_CHARS], long_dir[PATH_CHARS], long_file[PATH_CHARS];

static void canonical(wchar_t *dst, const wchar_t *path)
{
    copy_wide(dst, path, PATH_CHARS);
    canonicalize_image_path(dst, PATH_CHARS);
    shorten_directory_part(dst, PATH_CHARS);
}

static void make_files(void)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    swprintf(root, PATH_CHARS, L"%lsvornak_canonical_%lu", temp, GetCurrentProcessId());
    swprintf(long_dir, PATH_CHARS, L"%ls\\Long Directory With Spaces", root);
    swprintf(long_file, PATH_CHARS, L"%ls\\long file name.exe", long_dir);
    CreateDirectoryW(root, NULL);
    CreateDirectoryW(long_dir, NULL);
    HANDLE f = CreateFileW(long_file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    CHECK(f != INVALID_HANDLE_VALUE);
    CloseHandle(f);
}

static void check_canonical_paths(void)
{
    static wchar_t expected[PATH_CHARS], result[PATH_CHARS], input[PATH_CHARS];
    make_files();
    canonical(expected, long_file);

    // The file name stays long, the directory part is short and prefix-free.
    CHECK(wcsncmp(expected, L"\\\\?\\", 4) != 0 && expected[1] == L':');
    const wchar_t *name = wcsrchr(expected, L'\\');
    CHECK_WSTR(name, L"\\long file name.exe");
    CHECK(wcsstr(expected, L"Long Directory With Spaces") == NULL);

    // Other spellings of the same file: \\?\ form, fully short form, short
    // directory with long name. And the canonical form is a fixed point.
    swprintf(input, PATH_CHARS, L"\\\\?\\%ls", long_file);
    canonical(result, input);
    CHECK_WSTR(result, expected);
    CHECK(GetShortPathNameW(long_file, input, PATH_CHARS) != 0);
    CHECK(wcscmp(input, long_file) != 0);
    canonical(result, input);
    CHECK_WSTR(result, expected);
    CHECK(GetShortPathNameW(long_dir, input, PATH_CHARS) != 0);
    append_wide(input, L"\\long file name.exe", PATH_CHARS);
    canonical(result, input);
    CHECK_WSTR(result, expected);
    canonical(result, expected);
    CHECK_WSTR(result, expected);

    // A path without a backslash is shortened as a whole (relative to the
    // current directory); one that names nothing stays as it is.
    SetCurrentDirectoryW(long_dir);
    copy_wide(result, L"long file name.exe", PATH_CHARS);
    shorten_directory_part(result, PATH_CHARS);
    CHECK(GetShortPathNameW(L"long file name.exe", input, PATH_CHARS) != 0);
    CHECK_WSTR(result, input);
    CHECK(wcschr(result, L' ') == NULL);
    static const wchar_t *const unchanged[] = {
        L"no such file.exe", L"C:\\no\\such dir\\app.exe", L"\\\\?\\C:\\no\\such\\app.exe", L"\\app.exe",
    };
    for (const wchar_t *path : unchanged) {
        canonical(result, path);
        CHECK_WSTR(result, path);
    }
    SetCurrentDirectoryW(root);

    DeleteFileW(long_file);
    RemoveDirectoryW(long_dir);
    SetCurrentDirectoryW(L"C:\\");
    RemoveDirectoryW(root);
}

// --- overflows end the process through abort, checked in a second process ---

static void overflow_mode(const wchar_t *which)
{
    static wchar_t small[40] = L"prog.exe";
    if (wcscmp(which, L"quote") == 0)
        append_quoted_argument(small, L"a quoted argument that is too long \\\\\"", 40);
    if (wcscmp(which, L"final") == 0) {
        // The final path gains "\\?\" and so cannot fit a buffer sized for the input.
        wchar_t *exact = _wcsdup(L"C:\\windows\\system32\\kernel32.dll");
        canonicalize_image_path(exact, (DWORD)wcslen(exact) + 1);
    }
    printf("survived %ls\n", which);
}

static DWORD run_self(const wchar_t *arguments)
{
    static wchar_t self[PATH_CHARS], command[PATH_CHARS];
    GetModuleFileNameW(NULL, self, PATH_CHARS);
    swprintf(command, PATH_CHARS, L"\"%ls\" %ls", self, arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    DWORD code = 0xFFFFFFFF;
    if (!CreateProcessW(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return code;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

static void check_overflows_abort(void)
{
    // The runtime's abort ends with 3, or with the fail-fast status.
    static const wchar_t *const modes[] = {L"quote", L"final"};
    for (const wchar_t *which : modes) {
        static wchar_t arguments[64];
        swprintf(arguments, 64, L"--overflow %ls", which);
        DWORD code = run_self(arguments);
        if (!CHECK(code == 3 || code == 0xC0000409))
            printf("    overflow %ls ended with 0x%lx\n", which, code);
    }
}

int test_main(int argc, wchar_t **argv)
{
    if (argc == 3 && wcscmp(argv[1], L"--overflow") == 0) {
        overflow_mode(argv[2]);
        return 0;
    }
    check_round_trip();
    check_quoting_is_minimal();
    check_canonical_paths();
    check_overflows_abort();
    return test_summary();
}
