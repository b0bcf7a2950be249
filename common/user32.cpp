// SPDX-License-Identifier: MIT
// user32, loaded the first time a window is wanted rather than imported.
// Only the parent of a per-run start makes a window (the one that hears
// logoff and shutdown), and only some images show a splash or an error
// dialog. A child and a start from the cache make none, and a process that
// loads user32 pays for it at start-up whether it makes a window or not (a
// connection to the window station and desktop; under Wine about 30 ms, more
// than the rest of a cached start). user32 is a known DLL: it comes from the
// system folder whatever the search path says.
#include "common/common.h"

#include <string.h>

user32_functions user32;

static BOOL CALLBACK load_functions(INIT_ONCE *, void *, void **)
{
    HMODULE module = LoadLibraryExW(L"user32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == NULL)
        return TRUE;
    user32_functions found;
#define LOAD(field, name) found.field = (decltype(found.field))(void *)GetProcAddress(module, name)
    LOAD(allow_set_foreground_window, "AllowSetForegroundWindow");
    LOAD(create_window_ex, "CreateWindowExW");
    LOAD(def_window_proc, "DefWindowProcW");
    LOAD(destroy_window, "DestroyWindow");
    LOAD(dispatch_message, "DispatchMessageW");
    LOAD(enum_windows, "EnumWindows");
    LOAD(get_cursor_pos, "GetCursorPos");
    LOAD(get_dc, "GetDC");
    LOAD(get_monitor_info, "GetMonitorInfoW");
    LOAD(get_window_thread_process_id, "GetWindowThreadProcessId");
    LOAD(is_window_visible, "IsWindowVisible");
    LOAD(load_cursor, "LoadCursorW");
    LOAD(message_box, "MessageBoxW");
    LOAD(monitor_from_point, "MonitorFromPoint");
    LOAD(msg_wait_for_multiple_objects_ex, "MsgWaitForMultipleObjectsEx");
    LOAD(peek_message, "PeekMessageW");
    LOAD(register_class_ex, "RegisterClassExW");
    LOAD(release_dc, "ReleaseDC");
    LOAD(show_window, "ShowWindow");
    LOAD(update_layered_window, "UpdateLayeredWindow");
    LOAD(set_thread_dpi_awareness_context, "SetThreadDpiAwarenessContext");
#undef LOAD
    // Every one but the last (Windows 10 1607 and later) is in every
    // supported Windows; all or nothing, so that a caller checks once.
    void *const required[] = {
        (void *)found.allow_set_foreground_window, (void *)found.create_window_ex, (void *)found.def_window_proc,
        (void *)found.destroy_window, (void *)found.dispatch_message, (void *)found.enum_windows,
        (void *)found.get_cursor_pos, (void *)found.get_dc, (void *)found.get_monitor_info,
        (void *)found.get_window_thread_process_id, (void *)found.is_window_visible, (void *)found.load_cursor,
        (void *)found.message_box, (void *)found.monitor_from_point,
        (void *)found.msg_wait_for_multiple_objects_ex, (void *)found.peek_message, (void *)found.register_class_ex,
        (void *)found.release_dc, (void *)found.show_window, (void *)found.update_layered_window};
    for (void *function : required)
        if (function == NULL)
            return TRUE;
    user32 = found;
    return TRUE;
}

bool load_user32(void)
{
    // Once per process, whichever thread asks first (the splash has its own).
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, load_functions, NULL, NULL);
    return user32.create_window_ex != NULL;
}

bool register_window_class(const wchar_t *name, WNDPROC procedure, HCURSOR cursor)
{
    WNDCLASSEXW window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = GetModuleHandleW(NULL);
    window_class.hCursor = cursor;
    window_class.lpszClassName = name;
    return user32.register_class_ex(&window_class) != 0;
}
