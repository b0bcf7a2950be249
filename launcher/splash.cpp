// SPDX-License-Identifier: MIT
// The splash of an image built with one, parent role only: a topmost layered
// window without frame or taskbar button, centred on the monitor under the
// cursor, with a thin bar of the bytes unpacked so far. It lives on a worker
// thread of its own, so the unpack on the main thread never waits for it.
// Owns that thread, its window, a stop event and the event the application
// may set; it never touches a file.
#include "launcher/launcher.h"
#include "payload/format.h"
#include "payload/payload.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum {
    // A start that has unpacked by then never flashes a window.
    SHOW_DELAY_MS = 400,
    // Redraw and look for the application's window this often.
    REFRESH_MS = 50,
    // The splash never outstays this, whatever the application does.
    MAX_SPLASH_MS = 30000,
    // close_splash waits this long for the window to go; the process ends anyway.
    CLOSE_WAIT_MS = 1000,
    BASE_DPI = 96,
    BAR_HEIGHT_PIXELS_AT_96_DPI = 4,
    SPLASH_EVENT_NAME_CHARS = 64,
};

// Premultiplied BGRA: the bar's done part and its track.
static const unsigned int BAR_DONE_PIXEL = 0xFF2D7DD2u;
static const unsigned int BAR_TRACK_PIXEL = 0x80202020u;

// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2: set for the splash thread only,
// so the image's manifest, which the application shares, stays as it is.
static const HANDLE SPLASH_DPI_CONTEXT = (HANDLE)-4;
static const wchar_t splash_window_class[] = L"vornak_launcher_splash";

typedef HDC(WINAPI *create_compatible_dc_function)(HDC);
typedef HBITMAP(WINAPI *create_dib_section_function)(HDC, const BITMAPINFO *, UINT, void **, HANDLE, DWORD);
typedef HGDIOBJ(WINAPI *select_object_function)(HDC, HGDIOBJ);
typedef BOOL(WINAPI *delete_dc_function)(HDC);
typedef BOOL(WINAPI *delete_object_function)(HGDIOBJ);
typedef HRESULT(WINAPI *get_dpi_for_monitor_function)(HMONITOR, int, UINT *, UINT *);

static const unsigned char *splash_record;  // set before the thread starts
static const wchar_t *splash_title;
static HANDLE splash_thread;
static HANDLE stop_event;         // set by close_splash
static HANDLE application_event;  // set by the application to close the splash
static volatile DWORD child_process_id;  // this process itself for a start from the cache
static HWND splash_window;

static unsigned int splash_width, splash_height;  // in the record, 96 DPI pixels
static unsigned long long unpacked_total_bytes;
static unsigned int *window_pixels;  // the DIB section's bits, top row first
static int window_width, window_height, bar_height;

static unsigned int read_u32(const unsigned char *p)
{
    return (unsigned int)p[0] | (unsigned int)p[1] << 8 | (unsigned int)p[2] << 16 |
           (unsigned int)p[3] << 24;
}

// Scales the record's pixels into window_pixels bilinearly. Premultiplied
// channels interpolate without dark fringes.
static void scale_image(const unsigned char *src)
{
    for (int y = 0; y < window_height; y++) {
        // 16.16 fixed point, sampling at pixel centres.
        long long fy = ((2LL * y + 1) * splash_height << 16) / (2LL * window_height) - 32768;
        if (fy < 0)
            fy = 0;
        unsigned int y0 = (unsigned int)(fy >> 16), wy = (unsigned int)(fy & 0xFFFF);
        unsigned int y1 = y0 + 1 < splash_height ? y0 + 1 : y0;
        for (int x = 0; x < window_width; x++) {
            long long fx = ((2LL * x + 1) * splash_width << 16) / (2LL * window_width) - 32768;
            if (fx < 0)
                fx = 0;
            unsigned int x0 = (unsigned int)(fx >> 16), wx = (unsigned int)(fx & 0xFFFF);
            unsigned int x1 = x0 + 1 < splash_width ? x0 + 1 : x0;
            const unsigned char *p00 = src + 4 * ((size_t)y0 * splash_width + x0);
            const unsigned char *p01 = src + 4 * ((size_t)y0 * splash_width + x1);
            const unsigned char *p10 = src + 4 * ((size_t)y1 * splash_width + x0);
            const unsigned char *p11 = src + 4 * ((size_t)y1 * splash_width + x1);
            unsigned int pixel = 0;
            for (int c = 0; c < 4; c++) {
                unsigned long long top = (unsigned long long)p00[c] * (65536 - wx) + (unsigned long long)p01[c] * wx;
                unsigned long long bottom = (unsigned long long)p10[c] * (65536 - wx) + (unsigned long long)p11[c] * wx;
                unsigned long long value = (top * (65536 - wy) + bottom * wy + (1ULL << 31)) >> 32;
                pixel |= (unsigned int)(value > 255 ? 255 : value) << (8 * c);
            }
            window_pixels[(size_t)y * window_width + x] = pixel;
        }
    }
}

// Draws the bar; returns its filled width in pixels, so that an unchanged
// bar costs no update of the window.
static int draw_bar(void)
{
    unsigned long long done = payload_bytes_written();
    if (done > unpacked_total_bytes)
        done = unpacked_total_bytes;
    int filled = unpacked_total_bytes == 0 ? window_width
                                           : (int)((done * (unsigned long long)window_width) / unpacked_total_bytes);
    for (int y = window_height - bar_height; y < window_height; y++)
        for (int x = 0; x < window_width; x++)
            window_pixels[(size_t)y * window_width + x] = x < filled ? BAR_DONE_PIXEL : BAR_TRACK_PIXEL;
    return filled;
}

// The session end is the hidden session window's to handle: it removes the
// directory between two chunks on the main thread, where the entry being
// written can be closed first. The splash agrees and does nothing itself;
// the system ends the process only once every window of it has answered.
static LRESULT CALLBACK splash_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        return 0;
    case WM_CLOSE:
        return 0;  // the splash goes when the launcher says so
    case WM_MOUSEACTIVATE:
        return MA_NOACTIVATE;
    default:
        return user32.def_window_proc(window, message, wparam, lparam);
    }
}

static BOOL CALLBACK find_visible_child_window(HWND window, LPARAM found)
{
    DWORD owner = 0;
    user32.get_window_thread_process_id(window, &owner);
    if (owner == child_process_id && window != splash_window && user32.is_window_visible(window)) {
        *(bool *)found = true;
        return FALSE;
    }
    return TRUE;
}

static bool application_window_shown(void)
{
    if (child_process_id == 0)
        return false;
    bool found = false;
    user32.enum_windows(find_visible_child_window, (LPARAM)&found);
    return found;
}

// The monitor's DPI when the thread could be made DPI aware, else 96: an
// unaware window is scaled by the system already.
static UINT monitor_dpi(HMONITOR monitor, bool aware)
{
    if (!aware)
        return BASE_DPI;
    HMODULE shcore = LoadLibraryExW(L"shcore.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shcore == NULL)
        return BASE_DPI;
    get_dpi_for_monitor_function get_dpi =
        (get_dpi_for_monitor_function)(void *)GetProcAddress(shcore, "GetDpiForMonitor");
    UINT dpi_x = BASE_DPI, dpi_y = BASE_DPI;
    if (get_dpi == NULL || get_dpi(monitor, 0 /* MDT_EFFECTIVE_DPI */, &dpi_x, &dpi_y) != S_OK || dpi_y == 0)
        dpi_y = BASE_DPI;
    return dpi_y;
}

// Runs the splash from its delay to its end. gdi32 is loaded here, at run
// time, so that an image without a splash imports and loads nothing new.
static DWORD WINAPI run_splash(void *)
{
    ULONGLONG started = GetTickCount64();
    HANDLE waits[2] = {stop_event, application_event};
    DWORD wait_count = application_event != NULL ? 2 : 1;
    if (WaitForMultipleObjects(wait_count, waits, FALSE, SHOW_DELAY_MS) != WAIT_TIMEOUT)
        return 0;
    if (child_process_id != 0 || payload_bytes_written() >= unpacked_total_bytes)
        return 0;

    HMODULE gdi32 = LoadLibraryExW(L"gdi32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (gdi32 == NULL)
        return 0;
    create_compatible_dc_function create_compatible_dc =
        (create_compatible_dc_function)(void *)GetProcAddress(gdi32, "CreateCompatibleDC");
    create_dib_section_function create_dib_section =
        (create_dib_section_function)(void *)GetProcAddress(gdi32, "CreateDIBSection");
    select_object_function select_object = (select_object_function)(void *)GetProcAddress(gdi32, "SelectObject");
    delete_dc_function delete_dc = (delete_dc_function)(void *)GetProcAddress(gdi32, "DeleteDC");
    delete_object_function delete_object = (delete_object_function)(void *)GetProcAddress(gdi32, "DeleteObject");
    if (!create_compatible_dc || !create_dib_section || !select_object || !delete_dc || !delete_object)
        return 0;
    bool aware = user32.set_thread_dpi_awareness_context != NULL &&
                 user32.set_thread_dpi_awareness_context(SPLASH_DPI_CONTEXT) != NULL;

    POINT cursor = {0, 0};
    user32.get_cursor_pos(&cursor);
    HMONITOR monitor = user32.monitor_from_point(cursor, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    if (!user32.get_monitor_info(monitor, &info))
        return 0;
    UINT dpi = monitor_dpi(monitor, aware);
    window_width = (int)((splash_width * dpi + BASE_DPI / 2) / BASE_DPI);
    window_height = (int)((splash_height * dpi + BASE_DPI / 2) / BASE_DPI);
    bar_height = (int)((BAR_HEIGHT_PIXELS_AT_96_DPI * dpi + BASE_DPI / 2) / BASE_DPI);
    if (bar_height < 1 || bar_height > window_height)
        bar_height = 1;
    POINT position = {info.rcWork.left + ((info.rcWork.right - info.rcWork.left) - window_width) / 2,
                      info.rcWork.top + ((info.rcWork.bottom - info.rcWork.top) - window_height) / 2};
    SIZE size = {window_width, window_height};

    if (!register_window_class(splash_window_class, splash_window_procedure,
                               user32.load_cursor(NULL, (LPCWSTR)IDC_APPSTARTING)))
        return 0;
    // WS_EX_TOOLWINDOW keeps it off the taskbar and Alt+Tab; WS_EX_NOACTIVATE
    // keeps it from taking the foreground the application is to get.
    HWND window = user32.create_window_ex(WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE,
                                          splash_window_class, splash_title, WS_POPUP, position.x, position.y,
                                          window_width, window_height, NULL, NULL, GetModuleHandleW(NULL), NULL);
    if (window == NULL)
        return 0;
    splash_window = window;

    BITMAPINFO bitmap;
    memset(&bitmap, 0, sizeof bitmap);
    bitmap.bmiHeader.biSize = sizeof bitmap.bmiHeader;
    bitmap.bmiHeader.biWidth = window_width;
    bitmap.bmiHeader.biHeight = -window_height;  // negative: top row first
    bitmap.bmiHeader.biPlanes = 1;
    bitmap.bmiHeader.biBitCount = 32;
    bitmap.bmiHeader.biCompression = BI_RGB;
    HDC screen = user32.get_dc(NULL);
    HDC memory = create_compatible_dc(screen);
    void *bits = NULL;
    HBITMAP dib = memory != NULL ? create_dib_section(memory, &bitmap, DIB_RGB_COLORS, &bits, NULL, 0) : NULL;
    if (dib != NULL && bits != NULL) {
        HGDIOBJ previous = select_object(memory, dib);
        window_pixels = (unsigned int *)bits;
        scale_image(splash_record + SPLASH_HEADER_BYTES);
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        POINT origin = {0, 0};
        int drawn = -1;  // the bar's filled width on screen; -1: not shown yet
        for (;;) {
            int filled = draw_bar();
            if (filled != drawn) {
                user32.update_layered_window(window, screen, &position, &size, memory, &origin, 0, &blend, ULW_ALPHA);
                if (drawn < 0)
                    user32.show_window(window, SW_SHOWNOACTIVATE);
                drawn = filled;
            }
            DWORD result = user32.msg_wait_for_multiple_objects_ex(wait_count, waits, REFRESH_MS, QS_ALLINPUT, 0);
            if (result < WAIT_OBJECT_0 + wait_count || result == WAIT_FAILED)
                break;
            MSG message;
            while (user32.peek_message(&message, NULL, 0, 0, PM_REMOVE))
                user32.dispatch_message(&message);
            if (application_window_shown() || GetTickCount64() - started >= MAX_SPLASH_MS)
                break;
        }
        select_object(memory, previous);
        delete_object(dib);
    }
    if (memory != NULL)
        delete_dc(memory);
    user32.release_dc(NULL, screen);
    user32.destroy_window(window);
    return 0;
}

void start_splash(const unsigned char *record, const wchar_t *title)
{
    if (splash_thread != NULL)
        return;  // already started by a start from the cache that went on per run
    splash_width = read_u32(record);
    splash_height = read_u32(record + 4);
    unsigned long long total = 0;
    memcpy(&total, record + SPLASH_TOTAL_BYTES_OFFSET, sizeof total);
    unpacked_total_bytes = total;
    if (splash_width == 0 || splash_height == 0 || !load_user32())
        return;
    splash_record = record;
    splash_title = title;
    stop_event = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (stop_event == NULL)
        return;
    // The application sets this event to close the splash itself: the name
    // holds the parent's process id, which it finds in VORNAK_ONEFILE_PARENT.
    wchar_t event_name[SPLASH_EVENT_NAME_CHARS];
    swprintf(event_name, SPLASH_EVENT_NAME_CHARS, L"Local\\vornak_onefile_splash_%lu",
             (unsigned long)GetCurrentProcessId());
    application_event = CreateEventW(NULL, TRUE, FALSE, event_name);
    splash_thread = CreateThread(NULL, 0, run_splash, NULL, 0, NULL);
}

void note_child_for_splash(DWORD process_id)
{
    if (splash_thread == NULL)
        return;
    // The launcher started from Explorer holds the foreground right; the
    // application is to get the foreground, never the splash.
    user32.allow_set_foreground_window(process_id);
    child_process_id = process_id;
}

void close_splash(void)
{
    if (splash_thread == NULL)
        return;
    SetEvent(stop_event);
    WaitForSingleObject(splash_thread, CLOSE_WAIT_MS);
}
