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
// the first entry's full path, and stays empty when the stream ends before
// any entry. Parent role: writes every entry, decodes the frame to its end
// (which checks its content checksum, when it has one), then frees the
// decoder; returns false when that end does not check out, with every file
// written: the caller removes them. Child role: returns true as soon as the
// first entry's path is known. Every other failure ends the process with its
// message. after_each_entry, when given, is called after each written entry,
// and between_chunks between two chunks of one entry's data (the parent
// serves its message queue there, so that a large entry does not keep it
// deaf for seconds); both may end the process, and between_chunks may close
// the entry's file first (close_entry_being_written).
bool unpack_payload(launcher_role role, const wchar_t *extraction_dir, wchar_t *first_entry_path,
                    void (*after_each_entry)(void), void (*between_chunks)(void));

// Closes the file of the entry being written, if any, so that it can be
// removed; the unpack must not go on afterwards.
void close_entry_being_written(void);

// Bytes of entry data written so far in this process. Read from another
// thread (the splash's): an aligned 64-bit value is read whole on x64.
unsigned long long payload_bytes_written(void);

// Copies the next count bytes of the entry stream into dst, or ends the process.
void read_payload(void *dst, unsigned long long count);

// Makes sure the directory holding path's last component exists.
void create_parent_directories(const wchar_t *path);

// True when path exists as a directory afterwards (or is a bare drive "C:").
bool ensure_directory(const wchar_t *path);
