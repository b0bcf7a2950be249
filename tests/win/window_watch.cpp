// SPDX-License-Identifier: MIT
// window_watch: watches the desktop for the launcher's windows as a person
// would see them, for the end-to-end tests. Prints "ready" once it watches,
// then one line per event, each with the milliseconds since it started.
//
// Usage: window_watch.exe splash CLASS APP_CLASS MS
//   Polls every 10 ms for MS milliseconds, or until a window of CLASS was
//   seen and is gone again. Prints "shown t=.. width=.. height=.. exstyle=0x..
//   visible=0|1" when a top-level window of CLASS appears, "app t=.." when a
//   visible window of APP_CLASS first appears and "gone t=.." when the CLASS
//   window is destroyed or hidden.
// Usage: window_watch.exe dialog TITLE MS
//   Waits up to MS milliseconds for a dialog box (class "#32770") titled
//   TITLE, prints "text=..." (its longest static text, UTF-8) and dismisses it
//   with IDOK; prints "none" when no such dialog appeared.
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

enum {
    POLL_MS = 10,
    TEXT_CHARS = 4096,
};

static ULONGLONG started;

static unsigned long long elapsed_ms(void)
{
    return GetTickCount64() - started;
}

static HWND visible_window_of_class(const wchar_t *window_class)
{
    HWND window = FindWindowW(window_class, NULL);
    return window != NULL && IsWindowVisible(window) ? window : NULL;
}

static int watch_splash(const wchar_t *splash_class, const wchar_t *app_class, unsigned long ms)
{
    bool seen = false, app_seen = false;
    while (elapsed_ms() < ms) {
        HWND splash = visible_window_of_class(splash_class);
        if (!seen && splash != NULL) {
            RECT rect;
            GetWindowRect(splash, &rect);
            printf("shown t=%llu width=%ld height=%ld exstyle=0x%08lx visible=%d\n", elapsed_ms(),
                   rect.right - rect.left, rect.bottom - rect.top,
                   (unsigned long)GetWindowLongW(splash, GWL_EXSTYLE), IsWindowVisible(splash) ? 1 : 0);
            seen = true;
        }
        if (!app_seen && visible_window_of_class(app_class) != NULL) {
            printf("app t=%llu\n", elapsed_ms());
            app_seen = true;
        }
        if (seen && splash == NULL) {
            printf("gone t=%llu\n", elapsed_ms());
            return 0;
        }
        fflush(stdout);
        Sleep(POLL_MS);
    }
    return 0;
}

struct static_text {
    wchar_t text[TEXT_CHARS];
};

static BOOL CALLBACK keep_longest_static(HWND window, LPARAM param)
{
    static_text *longest = (static_text *)param;
    wchar_t class_name[64];
    wchar_t text[TEXT_CHARS];
    if (GetClassNameW(window, class_name, 64) == 0 || _wcsicmp(class_name, L"Static") != 0)
        return TRUE;
    if (GetWindowTextW(window, text, TEXT_CHARS) > (int)wcslen(longest->text))
        wcscpy(longest->text, text);
    return TRUE;
}

static int watch_dialog(const wchar_t *title, unsigned long ms)
{
    while (elapsed_ms() < ms) {
        HWND dialog = FindWindowW(L"#32770", title);
        if (dialog != NULL) {
            static static_text longest;
            EnumChildWindows(dialog, keep_longest_static, (LPARAM)&longest);
            static char narrow[TEXT_CHARS * 3];
            WideCharToMultiByte(CP_UTF8, 0, longest.text, -1, narrow, sizeof narrow, NULL, NULL);
            printf("text=%s\n", narrow);
            fflush(stdout);
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(POLL_MS);
    }
    printf("none\n");
    return 0;
}

int test_main(int argc, wchar_t **argv)
{
    started = GetTickCount64();
    printf("ready\n");
    fflush(stdout);
    if (argc == 5 && wcscmp(argv[1], L"splash") == 0)
        return watch_splash(argv[2], argv[3], wcstoul(argv[4], NULL, 10));
    if (argc == 4 && wcscmp(argv[1], L"dialog") == 0)
        return watch_dialog(argv[2], wcstoul(argv[3], NULL, 10));
    fprintf(stderr, "usage: window_watch.exe splash CLASS APP_CLASS MS | dialog TITLE MS\n");
    return 2;
}
