// SPDX-License-Identifier: MIT
// The attached payload: "QOZ", one zstd frame holding the entry stream, zero
// fill and a 64-bit trailer. The unpacker decodes it as a stream and writes
// each entry below the extraction directory.
#pragma once

#include "common/common.h"

enum {
    DECODED_BUFFER_BYTES = 131072,  // decoder output block
    CHUNK_BYTES = 32768,            // one WriteFile
    DIRECTORY_CACHE_ENTRIES = 1024,
};

// Checks the magic and starts the decoder on the payload_bytes at payload,
// which stay in place until unpacking ends. Ends the process with its message
// when the magic is missing or memory runs out.
void open_payload(const unsigned char *payload, unsigned long long payload_bytes);

// Decodes the opened payload. first_entry_path (PATH_CHARS units) receives
// the first entry's full path in its plain form, and stays empty when the
// stream ends before any entry. Parent role: creates the extraction
// directory (it must not exist), calls root_created once it has, then writes
// every entry below it, decodes the frame to its end (which checks its
// content checksum, when it has one) and frees the decoder; returns false
// when that end does not check out, with every file written: the caller
// removes them. Child role: returns true as soon as the first entry's path
// is known. Every other failure ends the process with its message; after
// root_created through exit_after_failure. after_each_entry, when given, is
// called after each written entry, and between_chunks between two chunks of
// one entry's data (the parent serves its message queue there, so that a
// large entry does not keep it deaf for seconds); both may end the process,
// and between_chunks may close the entry's file first
// (close_entry_being_written).
bool unpack_payload(launcher_role role, const wchar_t *extraction_dir, wchar_t *first_entry_path,
                    void (*root_created)(void), void (*after_each_entry)(void), void (*between_chunks)(void));

// Closes the file of the entry being written, if any, so that it can be
// removed; the unpack must not go on afterwards.
void close_entry_being_written(void);

// Called by unpack_payload after each entry it has written, with the entry's
// name (below the extraction directory) and size; NULL (the default): none.
// The extraction cache lists the files it trusts this way.
void set_unpack_listener(void (*listener)(const wchar_t *name, unsigned long long size));

// Bytes of entry data written so far in this process. Read from another
// thread (the splash's): an aligned 64-bit value is read whole on x64.
unsigned long long payload_bytes_written(void);

// Copies the next count bytes of the entry stream into dst, or ends the process.
void read_payload(void *dst, unsigned long long count);

// Creates the extraction directory extraction_dir (absolute, plain form)
// with the given security (NULL: inherited from its parent) and makes it
// the top of the created-directory cache. False when the name exists
// already, in whatever form, or the directory cannot be made.
bool create_extraction_root(const wchar_t *extraction_dir, SECURITY_ATTRIBUTES *security);

// The security for the extraction directory of a parent that runs with a
// full administrator token: only SYSTEM and Administrators may write, the
// user may read and run. NULL when the token is not elevated (TEMP's
// inherited permissions then hold, as for any file of the user) or the
// descriptor cannot be made.
SECURITY_ATTRIBUTES *elevated_root_security(void);

// The security the parent's unpack gives the extraction directory it
// creates: NULL (the default) means elevated_root_security's.
void set_extraction_root_security(SECURITY_ATTRIBUTES *security);

// Makes sure the folders holding path's last component (below the
// extraction directory, extended form) exist as plain folders of their own
// names. False when one cannot be made or is anything else: a file, a link,
// a junction.
bool create_parent_directories(const wchar_t *path);

// True when path (below the extraction directory) is a folder this run made
// or a plain folder of its own name afterwards.
bool ensure_directory(const wchar_t *path);
