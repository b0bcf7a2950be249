// SPDX-License-Identifier: MIT
// The launcher driver: run sequence, role decision, in-process entry, child
// launch and cleanup. The process-wide state below is static storage, zero at
// start, defined in run.cpp.
#pragma once

#include "common/common.h"

extern wchar_t extraction_directory[PATH_CHARS];   // double-NUL terminated after phase 5
extern wchar_t application_dll_path[PATH_CHARS];   // first entry's full path
extern volatile unsigned char unpacking_started;   // 0, then 1 before the first entry is read
extern HANDLE child_process_handle;                // running child, or NULL
extern int captured_argc;                          // the runtime's own parse
extern wchar_t **captured_argv;

// Entry of the run sequence; returns the process exit code.
int run_launcher(HINSTANCE instance, HINSTANCE previous, wchar_t *command_tail, int show);

launcher_role decide_role(void);
int enter_application(void);

int launch_child(void);
void build_child_command_line(void);
void append_quoted_argument(wchar_t *dst, const wchar_t *argument, size_t dst_chars);

// Serialised with cleanup_launch. publish_child_process makes a started
// child visible to cleanup_launch while the caller keeps the handle for its
// own wait; release_child_process, after that wait, reads the exit status
// (1 when it cannot be read) and closes the handle.
void publish_child_process(HANDLE process);
int release_child_process(void);

void cleanup_launch(void);
BOOL WINAPI console_control_handler(DWORD control_type);

// Logoff and shutdown (session.cpp), parent role only. listen_for_session_end
// asks to be shut down after the application and creates the hidden window
// that hears the session end. serve_session_messages, between payload
// entries, dispatches what has arrived and ends the process once the session
// has ended. wait_for_child returns when the child has ended, dispatching
// messages meanwhile.
void listen_for_session_end(void);
void serve_session_messages(void);
void wait_for_child(HANDLE process);
