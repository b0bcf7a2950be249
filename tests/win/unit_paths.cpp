// SPDX-License-Identifier: MIT
// Unit checks of path template expansion and the random token, run under
// Wine. Cases that must end the process through abort run in a child copy of
// this program ("--abort-case NAME") and are judged by its exit code.
#include "paths/paths.h"
#include "tests/win/check.h"
#include "tests/win/self_case.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The build-time values and the runtime's own argument vector, as the run
// sequence hands them over: each value its own, so that a placeholder that
// takes the wrong one shows.
static template_values values(void)
{
    return {L"Tovrindale", L"1.0.0.160", L"Acme Works", L"3.2.1.0", *__p___wargv()};
}

enum { SURVIVED_ABORT_CASE = 77 };

static wchar_t out[PATH_CHARS];

static bool expand(const wchar_t *template_text, size_t dst_chars = PATH_CHARS)
{
    wmemset(out, L'#', PATH_CHARS);  // stale text must never show through
    template_values given = values();
    return expand_path_template(out, template_text, dst_chars, &given);
}

static bool is_decimal(const wchar_t *s)
{
    if (*s == 0)
        return false;
    for (; *s != 0; s++)
        if (*s < L'0' || *s > L'9')
            return false;
    return true;
}

static bool is_token(const wchar_t *s)
{
    static const wchar_t alphabet[] =
        L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    if (wcslen(s) != 11)
        return false;
    for (int i = 0; i < 11; i++)
        if (s[i] == 0 || wcschr(alphabet, s[i]) == NULL)
            return false;
    // The last character carries 4 bits and two zero bits.
    return (wcschr(alphabet, s[10]) - alphabet) % 4 == 0;
}

static void set_variable(const wchar_t *name, const wchar_t *value)
{
    SetEnvironmentVariableW(name, value);
}

static bool variable_equals(const wchar_t *name, const wchar_t *expected)
{
    wchar_t value[256];
    DWORD length = GetEnvironmentVariableW(name, value, 256);
    return length > 0 && length < 256 && wcscmp(value, expected) == 0;
}

static void test_grammar(void)
{
    CHECK(expand(L"") && out[0] == 0);
    CHECK(expand(L"plain\\text_1") && wcscmp(out, L"plain\\text_1") == 0);
    CHECK(expand(L"a}b") && wcscmp(out, L"a}b") == 0);  // a stray "}" is a literal
    // Failures keep what was expanded before the bad placeholder.
    CHECK(!expand(L"ab{NOPE}cd"));
    CHECK_WSTR(out, L"ab");
    CHECK(!expand(L"x{}y"));
    CHECK_WSTR(out, L"x");
    CHECK(!expand(L"{VERSION}_{NOPE}"));
    CHECK_WSTR(out, L"1.0.0.160_");
    // A template that ends inside a placeholder drops the unfinished name.
    CHECK(expand(L"abc{TEMP"));
    CHECK_WSTR(out, L"abc");
    // A second "{" discards the name collected so far.
    CHECK(expand(L"{A{VERSION}"));
    CHECK_WSTR(out, L"1.0.0.160");
    wchar_t temp[PATH_CHARS];
    CHECK(expand(L"{TEMP}"));
    wcscpy(temp, out);
    CHECK(expand(L"{A{TEMP}"));
    CHECK_WSTR(out, temp);
    // Names compare without regard to ASCII case.
    CHECK(expand(L"{temp}"));
    CHECK_WSTR(out, temp);
    CHECK(expand(L"{Company}-{product}-{vErSiOn}-{file_version}-{Product_Version}"));
    CHECK_WSTR(out, L"Acme Works-Tovrindale-1.0.0.160-3.2.1.0-1.0.0.160");
    CHECK(!expand(L"{TEMPX}"));
    CHECK(!expand(L"{TEM}"));
}

// Names longer than the 1023-unit name buffer are never recognised and must
// not run past it; a later "{" still starts afresh.
static void test_long_names(void)
{
    static wchar_t text[4000];
    static const size_t lengths[] = {1022, 1023, 1024, 3000};
    for (size_t length : lengths) {
        wcscpy(text, L"pre{");
        wmemset(text + 4, L'N', length);
        wcscpy(text + 4 + length, L"}post");
        CHECK(!expand(text));
        CHECK_WSTR(out, L"pre");
        wcscpy(text + 4 + length, L"{VERSION}");
        CHECK(expand(text));
        CHECK_WSTR(out, L"pre1.0.0.160");
    }
}

static void test_capacity(void)
{
    // The fourth literal would leave no room for the NUL.
    CHECK(!expand(L"abcd", 4));
    CHECK_WSTR(out, L"abc");
    CHECK(expand(L"abcd", 5));
    CHECK_WSTR(out, L"abcd");
    CHECK(expand(L"{VERSION}", 10));  // nine units and the NUL: exactly full
    CHECK_WSTR(out, L"1.0.0.160");
    CHECK(!expand(L"{VERSION}x", 10));
    CHECK_WSTR(out, L"1.0.0.160");
    CHECK(expand(L"", 1) && out[0] == 0);
}

// GetTempPathW always reports a trailing backslash; the expansion keeps none.
static void test_temp(void)
{
    set_variable(L"TMP", L"C:\\vt_unit");
    CHECK(expand(L"{TEMP}\\onefile_"));
    CHECK_WSTR(out, L"C:\\vt_unit\\onefile_");
    set_variable(L"TMP", L"C:\\vt_unit\\\\\\");
    CHECK(expand(L"{TEMP}x"));
    CHECK_WSTR(out, L"C:\\vt_unitx");

    // A temporary path of backslashes only: the removal may empty the whole
    // output but must stop at the start of the buffer (the unit before it is
    // a guard that must survive).
    set_variable(L"TMP", L"\\\\\\");
    wchar_t guarded[64];
    guarded[0] = L'\\';
    template_values given = values();
    CHECK(expand_path_template(guarded + 1, L"\\\\{TEMP}", 63, &given));
    CHECK(guarded[0] == L'\\' && guarded[1] == 0);
    CHECK(expand(L"{TEMP}_x"));
    CHECK_WSTR(out, L"_x");

    // "C:\vt_unit\" needs 11 units and its NUL behind what is already there.
    set_variable(L"TMP", L"C:\\vt_unit");
    CHECK(expand(L"ab{TEMP}", 14));
    CHECK_WSTR(out, L"abC:\\vt_unit");
    CHECK(!expand(L"ab{TEMP}", 13));  // does not fit: a failure, not the drive root
    CHECK_WSTR(out, L"ab");
    // A value GetTempPathW cannot deliver at all (it returns 0).
    static wchar_t long_value[400];
    wcscpy(long_value, L"C:\\");
    wmemset(long_value + 3, L'd', 300);
    long_value[303] = 0;
    set_variable(L"TMP", long_value);
    CHECK(!expand(L"x{TEMP}\\onefile"));
    CHECK_WSTR(out, L"x");
    set_variable(L"TMP", L"C:\\vt_unit");
}

static void test_program(void)
{
    wchar_t **argv = *__p___wargv();
    wchar_t *saved = argv[0];
    struct {
        const wchar_t *program, *base, *dir;
    } cases[] = {
        {L"C:\\dir\\App.EXE", L"C:\\dir\\App", L"C:\\dir"},
        {L"C:\\dir\\run.exe.bak", L"C:\\dir\\run.exe.bak", L"C:\\dir"},
        {L"app.exe", L"app", L"app.exe"},
        {L"exe", L"exe", L"exe"},
        {L".exe", L"", L".exe"},
        {L"C:\\a b\\c\\tool.Exe", L"C:\\a b\\c\\tool", L"C:\\a b\\c"},
    };
    for (auto &c : cases) {
        argv[0] = (wchar_t *)c.program;
        CHECK(expand(L"{PROGRAM}"));
        CHECK_WSTR(out, c.program);
        CHECK(expand(L"<{PROGRAM_BASE}>"));
        wchar_t expected[PATH_CHARS];
        wcscpy(expected, L"<");
        wcscat(expected, c.base);
        wcscat(expected, L">");
        CHECK_WSTR(out, expected);
        CHECK(expand(L"{PROGRAM_DIR}"));
        CHECK_WSTR(out, c.dir);
    }
    argv[0] = saved;
}

static void test_process_id(void)
{
    wchar_t own[32];
    swprintf(own, 32, L"%lu", GetCurrentProcessId());
    set_variable(L"VORNAK_ONEFILE_PARENT", NULL);
    CHECK(expand(L"{PID}"));
    CHECK_WSTR(out, own);
    set_variable(L"VORNAK_ONEFILE_PARENT", L"");  // empty counts as unset
    CHECK(expand(L"{PID}"));
    CHECK_WSTR(out, own);
    set_variable(L"VORNAK_ONEFILE_PARENT", L"42");
    CHECK(expand(L"p{pid}"));
    CHECK_WSTR(out, L"p42");
    set_variable(L"VORNAK_ONEFILE_PARENT", NULL);
}

static bool is_time_us(const wchar_t *s)
{
    return wcslen(s) == 6 && is_decimal(s);
}

static bool is_start_time(const wchar_t *s)
{
    return is_decimal(s) && s[0] != L'0' && wcslen(s) >= 17;
}

// Each cached placeholder: made at its first expansion, stored in its
// variable, and from then on taken from there as it stands, so that a child
// that inherits the environment expands to the same value.
static void test_cached_values(void)
{
    static const struct {
        const wchar_t *variable, *placeholder, *twice, *given;
        bool (*well_formed)(const wchar_t *);
    } cases[] = {
        {L"VORNAK_ONEFILE_TIME_US", L"{TIME_US}", L"{TIME_US}_{time_us}", L"abc", is_time_us},
        {L"VORNAK_ONEFILE_START", L"{TIME}", L"{TIME}_{time}", L"12345", is_start_time},
        {L"VORNAK_ONEFILE_RANDOM", L"{RANDOM}", L"{RANDOM}_{random}", L"given", is_token},
    };
    for (const auto &c : cases) {
        int failed_before = check_failed;
        set_variable(c.variable, NULL);
        CHECK(expand(c.placeholder));
        CHECK(c.well_formed(out));
        wchar_t first[PATH_CHARS];
        wcscpy(first, out);
        CHECK(variable_equals(c.variable, first));
        Sleep(2);  // a value made afresh now would differ
        CHECK(expand(c.placeholder));
        CHECK_WSTR(out, first);
        CHECK(expand(c.twice));
        wchar_t twice[PATH_CHARS];
        swprintf(twice, PATH_CHARS, L"%ls_%ls", first, first);
        CHECK_WSTR(out, twice);
        set_variable(c.variable, c.given);
        CHECK(expand(c.placeholder));
        CHECK_WSTR(out, c.given);
        set_variable(c.variable, NULL);
        if (check_failed != failed_before)
            printf("    in the case of %ls\n", c.placeholder);
    }
}

static void test_shell_folders(void)
{
    CHECK(expand(L"{HOME}"));
    size_t length = wcslen(out);
    CHECK(length >= 3 && out[length - 1] != L'\\');
    CHECK(expand(L"{CACHE_DIR}"));
    length = wcslen(out);
    CHECK(length >= 3 && out[length - 1] != L'\\');
}

static void test_token(void)
{
    wchar_t token[RANDOM_TOKEN_CHARS];
    encode_random_token(1, token);
    CHECK_WSTR(token, L"IQHFT9HQGrI");
    encode_random_token(0, token);  // 0 would keep xorshift at 0
    CHECK_WSTR(token, L"IQHFT9HQGrI");
    encode_random_token(0xFFFFFFFFu, token);
    CHECK(is_token(token));

    wchar_t previous[RANDOM_TOKEN_CHARS] = {0};
    int changes = 0, valid = 0;
    for (int i = 0; i < 200; i++) {
        wmemset(token, L'#', RANDOM_TOKEN_CHARS);
        make_random_token(token);
        valid += is_token(token);
        changes += wcscmp(token, previous) != 0;
        wcscpy(previous, token);
    }
    CHECK(valid == 200);
    CHECK(changes > 1);
}

// Each case must end in abort; returning means the process survived it.
static int run_abort_case(const wchar_t *name)
{
    if (wcscmp(name, L"value_too_long") == 0) {
        expand(L"{VERSION}", 9);
    } else if (wcscmp(name, L"pid_not_digits") == 0) {
        set_variable(L"VORNAK_ONEFILE_PARENT", L"4x2");
        expand(L"{PID}");
    } else if (wcscmp(name, L"program_missing") == 0) {
        (*__p___wargv())[0] = NULL;
        expand(L"{PROGRAM_DIR}");
    } else if (wcscmp(name, L"program_too_long") == 0) {
        expand(L"{PROGRAM_BASE}", 4);
    } else if (wcscmp(name, L"report_failure") == 0) {
        report_expansion_failure(L"{NO}PE}");
    }
    return SURVIVED_ABORT_CASE;
}

static void test_aborts(void)
{
    static const wchar_t *const names[] = {L"value_too_long", L"pid_not_digits",
                                           L"program_missing", L"program_too_long",
                                           L"report_failure"};
    char output[512];
    for (const wchar_t *name : names) {
        DWORD code = run_self_case(L"--abort-case", name, output, sizeof output, SURVIVED_ABORT_CASE);
        // abort ends with 3 under Wine's runtime, with a fast-fail status on Windows.
        if (!CHECK(code == 3 || code == 0xC0000409))
            printf("    case %ls ended with %lu\n", name, code);
        // The report names the template, not a partial expansion; the other
        // cases abort without a message of their own.
        if (wcscmp(name, L"report_failure") == 0)
            CHECK(strcmp(output, "Error, couldn't runtime expand spec '{NO}PE}'.\r\n") == 0);
        else
            CHECK(output[0] == 0);
    }
}

int test_main(int argc, wchar_t **argv)
{
    if (argc >= 3 && wcscmp(argv[1], L"--abort-case") == 0)
        return run_abort_case(argv[2]);
    set_variable(L"TMP", L"C:\\vt_unit");
    test_grammar();
    test_long_names();
    test_capacity();
    test_temp();
    test_program();
    test_process_id();
    test_cached_values();
    test_shell_folders();
    test_token();
    test_aborts();
    return test_summary();
}
