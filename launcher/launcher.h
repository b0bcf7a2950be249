// SPDX-License-Identifier: MIT
// The launcher driver: run sequence, role decision, in-process entry, child
// launch and cleanup. The run sequence owns the one launch record (static
// storage, zero at start) and hands it down; nothing here keeps state of its
// own that another file reads.
#pragma once

#include "common/common.h"
#include "paths/paths.h"

// What the image's start-up hands over: the values `vornak build` fixed
// when it linked this launcher.
struct launcher_build_values {
    const unsigned char *payload;
    unsigned long long payload_bytes;
    const wchar_t *product_name;
    const wchar_t *product_version;
    const wchar_t *company_name;
    const wchar_t *file_version;
    const wchar_t *cache_template;  // empty: a fresh directory per run
    const wchar_t *cache_key;       // CACHE_KEY_UNITS hex digits when cached
    unsigned int options;        // LAUNCHER_OPTION_* bits
    const unsigned char *splash; // the splash record
};

// The state of one launch. The console handler thread and the session
// window read it through the pointer the cleanup keeps.
struct launch_record {
    wchar_t extraction_directory[PATH_CHARS];  // absolute once normalised
    wchar_t application_dll_path[PATH_CHARS];  // first entry's full path
    // 0, then 1 once this run has created the extraction directory: only then
    // is it ours to remove.
    volatile unsigned char unpacking_started;
    int argc;                                  // the runtime's own parse, read once
    wchar_t **argv;
    // The own module path as GetModuleFileNameW gives it, read once; the
    // length is its result (0: failed, OWN_IMAGE_PATH_CHARS: cut).
    wchar_t module_path[OWN_IMAGE_PATH_CHARS];
    DWORD module_path_length;
    template_values values;  // for the extraction directory's template
    unsigned long long payload_bytes;  // the attached payload's length, part of the start marker
};

// Entry of the run sequence; returns the process exit code.
int run_launcher(const launcher_build_values *build, HINSTANCE instance, HINSTANCE previous,
                 wchar_t *command_tail, int show);

// Reads the runtime's argument vector and the own module path into record.
void capture_process_inputs(launch_record *record);

// The own module path when it fits in capacity units with its NUL; aborts
// otherwise, since a cut path names another file.
const wchar_t *own_module_path(const launch_record *record, DWORD capacity);

launcher_role decide_role(const launch_record *record);
int enter_application(const launch_record *record);

int launch_child(const launch_record *record);
// Fills the child command line; returns it (static storage, writable).
wchar_t *build_child_command_line(const launch_record *record);
void append_quoted_argument(wchar_t *dst, const wchar_t *argument, size_t dst_chars);

// The record cleanup_launch and the handlers work on. Set once, before any
// handler is registered: neither the console handler nor the session window
// procedure gets an argument of ours.
void keep_record_for_cleanup(launch_record *record);

// Serialised with cleanup_launch. publish_child_process makes a started
// child visible to cleanup_launch. With caller_waits the caller keeps the
// handle for its own wait and release_child_process, after that wait, reads
// the exit status (1 when it cannot be read) and closes the handle; without,
// the cleanup closes it once it has stopped the child.
void publish_child_process(HANDLE process, bool caller_waits);
int release_child_process(void);
// The published child process handle, or NULL.
HANDLE published_child_process(void);

// Stops the child (after a grace period for it to end on its own) and
// removes the extraction directory. cleanup_launch gives the child 5 s and
// the removal about 21 attempts; cleanup_launch_before_deadline, for events
// after which the system ends the process about 5 s later (a session end, a
// closed console), gives the child 1 s and the removal at most 2 s.
void cleanup_launch(void);
void cleanup_launch_before_deadline(void);

// The start marker (sweep.cpp). create_start_marker, in the parent once the
// extraction directory exists, creates it and hands its handle to
// keep_start_marker; cleanup_launch closes it once the child has ended,
// before the removal. sweep_killed_starts, in the parent before it unpacks,
// removes every extraction directory under TEMP whose marker names this
// image and is held by nobody; remove_killed_start makes one removal
// attempt on such a directory (extended form) with the walk of
// cleanup_launch.
void create_start_marker(const launch_record *record);
void sweep_killed_starts(const launch_record *record);
void keep_start_marker(HANDLE marker);
void remove_killed_start(const wchar_t *extended_directory);

// The removal walk as on a file system that does not answer
// FileAttributeTagInfo (FAT, exFAT): with true, it reads every entry's
// attributes through FileBasicInfo from the start. The walk sets it by
// itself once the file system refuses; tests set it to walk that way on any.
void assume_attribute_tag_unavailable(bool unavailable);

// Removes the tree at directory (absolute) with the same walk and the same
// refusals as the extraction directory's removal, serialised with it.
void remove_unpacked_tree(const wchar_t *directory);

// Sets VORNAK_ONEFILE_DIRECTORY and VORNAK_ORIGINAL_ARGV0 as the child finds them.
void publish_handoff_variables(const launch_record *record);

// The extraction cache (cache.cpp), for images built with a cache template.
// Parent role: finds the cache directory for this payload, or makes it,
// and on success runs the application from it in this process (returns its
// exit code through *status). False: the cache cannot be used; nothing of
// this start is left behind and the start goes on in per-run mode.
bool run_from_cache(launch_record *record, const launcher_build_values *build, int *status);
// Child role whose parent's per-run directory does not exist: a nested start
// of an application that runs from the cache. Enters the application from
// the cache directory when it is complete; false otherwise.
bool enter_from_cache(launch_record *record, const launcher_build_values *build, int *status);
BOOL WINAPI console_control_handler(DWORD control_type);

// Logoff and shutdown (session.cpp), parent role only. listen_for_session_end
// asks to be shut down after the application and creates the hidden window
// that hears the session end. serve_session_messages, between payload
// entries and between the chunks of a large one, dispatches what has arrived
// (at most every few milliseconds, so it costs the unpack nothing) and ends
// the process once the session has ended. wait_for_child returns when the child has ended, dispatching
// messages meanwhile.
void listen_for_session_end(void);
void serve_session_messages(void);
void wait_for_child(HANDLE process);

// The splash (splash.cpp), parent role of an image built with one only.
// start_splash starts its thread, which shows the window when the unpack still
// runs after 400 ms and closes it when the application shows a window, sets
// its event, or after 30 s; a second start_splash does nothing.
// note_child_for_splash names the started child, or this process when the
// application runs from the cache; close_splash, once the child has ended,
// closes it. Without a splash in the record each of them does nothing.
void start_splash(const unsigned char *splash_record, const wchar_t *title);
void note_child_for_splash(DWORD process_id);
void close_splash(void);
