// SPDX-License-Identifier: MIT
// Minimal checks for the Windows unit-test programs: each failed check prints
// where and what; test_summary() prints "N passed, N failed" and gives the
// exit code (0 only when nothing failed).
#pragma once

#include <stdio.h>
#include <wchar.h>

static int check_passed, check_failed;

static inline bool check_record(bool ok, const char *file, int line, const char *text)
{
    if (ok) {
        check_passed++;
    } else {
        check_failed++;
        printf("FAILED %s:%d: %s\n", file, line, text);
        fflush(stdout);
    }
    return ok;
}

#define CHECK(cond) check_record((cond), __FILE__, __LINE__, #cond)
// Compares two wide strings and shows both on a mismatch.
#define CHECK_WSTR(actual, expected)                                                        \
    do {                                                                                    \
        const wchar_t *a_ = (actual), *e_ = (expected);                                     \
        if (!check_record(a_ && e_ && wcscmp(a_, e_) == 0, __FILE__, __LINE__,              \
                          #actual " == " #expected))                                        \
            printf("    actual:   '%ls'\n    expected: '%ls'\n", a_ ? a_ : L"(null)",       \
                   e_ ? e_ : L"(null)");                                                    \
    } while (0)

static inline int test_summary(void)
{
    printf("%d passed, %d failed\n", check_passed, check_failed);
    fflush(stdout);
    return check_failed == 0 ? 0 : 1;
}
