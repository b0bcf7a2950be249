// SPDX-License-Identifier: MIT
// Logoff and shutdown in the parent role. A windowed process gets no console
// control event when the session ends: the system asks its top-level windows
// instead. The parent owns one hidden top-level window for that, serves its
// message queue while it unpacks and while it waits for the child, and runs
// cleanup_launch before it answers WM_ENDSESSION. The child role never comes here.
#include "launcher/launcher.h"
#include "payload/payload.h"

#include <stdlib.h>
#include <string.h>

enum {
    // The system works through processes from level 0x4FF down to 0; every
    // process starts at 0x280, and 0x100 to 0x1FF is the range for
    // applications that go last. At 0x100 the child, and whatever else the
    // application started, is told first and has usually ended by the time
    // the parent waits for it and removes the extraction directory.
    PARENT_SHUTDOWN_LEVEL = 0x100,
    // A session that ended during unpacking leaves no application whose exit
    // code could be passed on; 1 is also what an unreadable one gives.
    SESSION_ENDED_EXIT_CODE = 1,
    // The unpack serves the queue after every chunk and entry; it looks at
    // the queue only this often, which a sender waiting for an answer does
    // not notice and the unpack does not pay for.
    SERVE_INTERVAL_MS = 20,
};

static const wchar_t session_window_class[] = L"vornak_launcher_session";
static HWND session_window;
static bool session_ended;  // written and read on the main thread only
static ULONGLONG last_served;

// WM_QUERYENDSESSION is always allowed: the launcher never holds up a logoff.
// The removal runs before WM_ENDSESSION is answered, since the system may end
// the process as soon as the answer is in; it must also be over well inside
// the few seconds the system waits, hence the short limits. Only wParam
// tells whether the session really ends; lParam says why (Wine always sends 0).
//
// Restart Manager sends the same two messages with ENDSESSION_CLOSEAPP to
// the processes that use a file an installer wants to replace: the session
// goes on. It reaches this process only because it runs the launcher image;
// the files the application really uses (its DLL, its data in the
// extraction directory) are held by the child, whose own windows get their
// own messages and whose answer is the one that matters. So the parent
// agrees (a refusal would fail the installer, or make it ask for a restart,
// on behalf of an application that may well agree itself) and does nothing
// else: it keeps the child, its files and its wait. Ending the parent here
// would orphan the extraction directory while the application still runs,
// and stopping the application would close it without the chance to save
// that Restart Manager gives it. Once the application has closed, the parent
// removes the directory and ends with its exit code, as after any run, so
// Restart Manager sees both processes go.
//
// WM_CLOSE, which a polite "taskkill" sends to every top-level window, would
// destroy the window and with it the session end: it is ignored.
//
// An end that arrives between two chunks of an entry finds that entry's
// file open: it is closed first, so that the removal can take it, and the
// unpack never goes on (serve_session_messages ends the process).
static LRESULT CALLBACK session_window_procedure(HWND window, UINT message, WPARAM wparam,
                                                 LPARAM lparam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wparam && (lparam & ENDSESSION_CLOSEAPP) == 0) {
            close_entry_being_written();
            cleanup_launch_before_deadline();
            session_ended = true;
        }
        return 0;
    case WM_CLOSE:
        return 0;
    default:
        return user32.def_window_proc(window, message, wparam, lparam);
    }
}

// Sent messages from other processes, the session messages among them, are
// delivered inside PeekMessageW.
static void dispatch_pending_messages(void)
{
    MSG message;
    while (user32.peek_message(&message, NULL, 0, 0, PM_REMOVE))
        user32.dispatch_message(&message);
}

// A message-only window would be simpler but hears no session messages, on
// Windows as under Wine; so a top-level one, created and never shown. When it
// cannot be created the application still runs: the console handler then
// remains the only way to an early cleanup.
void listen_for_session_end(void)
{
    SetProcessShutdownParameters(PARENT_SHUTDOWN_LEVEL, 0);
    if (!load_user32())
        return;
    if (!register_window_class(session_window_class, session_window_procedure, NULL))
        return;
    session_window = user32.create_window_ex(WS_EX_TOOLWINDOW, session_window_class, L"", WS_POPUP, 0, 0, 0,
                                             0, NULL, NULL, GetModuleHandleW(NULL), NULL);
}

void serve_session_messages(void)
{
    if (session_window == NULL)
        return;
    ULONGLONG now = GetTickCount64();
    if (now - last_served < SERVE_INTERVAL_MS)
        return;
    last_served = now;
    dispatch_pending_messages();
    if (session_ended)
        exit(SESSION_ENDED_EXIT_CODE);
}

// Returns once process has ended. Serving the queue meanwhile is what lets
// the session messages in; it also keeps broadcasts to top-level windows
// from waiting on this thread. Without the window, or should the combined
// wait fail, a plain one takes over, so the caller never goes on while the
// child still runs.
void wait_for_child(HANDLE process)
{
    while (session_window != NULL) {
        DWORD result = user32.msg_wait_for_multiple_objects_ex(1, &process, INFINITE, QS_ALLINPUT,
                                                               MWMO_INPUTAVAILABLE);
        if (result == WAIT_OBJECT_0 + 1) {
            dispatch_pending_messages();
            continue;
        }
        if (result == WAIT_OBJECT_0)
            return;
        break;
    }
    WaitForSingleObject(process, INFINITE);
}
