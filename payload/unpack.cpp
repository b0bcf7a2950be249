// SPDX-License-Identifier: MIT
// The unpacker: checks the payload magic, decodes the single zstd frame as a
// stream (never holding the decoded payload in memory) and writes each entry
// below the extraction directory. Owns the decoder, its 128 KiB output block,
// the entry buffers and the created-directory cache. Never undoes anything:
// on a failure the files written so far stay where they are.
#include "payload/payload.h"
#include "payload/format.h"
#include "paths/paths.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <zstd.h>

static const char decode_error[] = "Error, couldn't decode attached data.";
static const char write_error[] = "Error, couldn't unpack file to target path.";
static const char memory_error[] = "Error, couldn't allocate memory.";

static ZSTD_DCtx *decoder;
static ZSTD_inBuffer input;    // payload after the magic; pos advanced by the decoder only
static ZSTD_outBuffer output;  // between calls: size = bytes produced, pos = bytes handed out
static unsigned char *decoded;
static bool frame_ended;       // the decoder has returned 0: the frame, checksum included, is complete

static wchar_t entry_name[NAME_CHARS];
static wchar_t entry_path[PATH_CHARS];
static unsigned char chunk[CHUNK_BYTES];

static wchar_t *directory_cache[DIRECTORY_CACHE_ENTRIES];
static int directory_cache_count;

static_assert(CHUNK_BYTES <= DECODED_BUFFER_BYTES, "a chunk is served from one decoder block");
static_assert(NAME_CHARS == PAYLOAD_NAME_MAX_UNITS + 1, "the name buffer holds the longest name and its zero unit");

void read_payload(void *dst, unsigned long long count)
{
    unsigned char *out = (unsigned char *)dst;
    while (count > 0) {
        if (output.pos < output.size) {
            size_t available = output.size - output.pos;
            size_t taken = count < available ? (size_t)count : available;
            memcpy(out, (const unsigned char *)output.dst + output.pos, taken);
            out += taken;
            output.pos += taken;
            count -= taken;
            continue;
        }
        // With all input consumed, only data the decoder still holds from an
        // earlier full block can come. A call that then yields nothing proves
        // the owed bytes never will: a damaged frame, not a reason to wait.
        bool input_used_up = input.pos >= input.size;
        output.dst = decoded;
        output.pos = 0;
        output.size = DECODED_BUFFER_BYTES;
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result))
            fail_with_message(decode_error);
        frame_ended = frame_ended || result == 0;
        if (input_used_up && output.pos == 0)
            fail_with_message(decode_error);
        output.size = output.pos;
        output.pos = 0;
        if (input.pos > input.size)
            fail_with_message(decode_error);
    }
}

static void seed_directory_cache(void)
{
    wchar_t home[PATH_CHARS];
    if (!expand_path_template(home, L"{HOME}", PATH_CHARS, NULL))
        report_expansion_failure(L"{HOME}");
    directory_cache[0] = _wcsdup(home);
    if (directory_cache[0] == NULL)
        fail_with_message(memory_error);
    directory_cache_count = 1;
}

bool ensure_directory(const wchar_t *path)
{
    if (directory_cache_count == 0)
        seed_directory_cache();
    for (int i = 0; i < directory_cache_count; i++)
        if (wcscmp(directory_cache[i], path) == 0)
            return true;
    // "C:" names the drive's current directory, which always exists.
    if (path[0] != 0 && path[1] == L':' && path[2] == 0)
        return true;
    // ERROR_ALREADY_EXISTS also answers for a plain file of that name; the
    // open of the entry below it then reports the problem.
    if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    // A full cache, or a copy that cannot be made, only costs a system call later.
    if (directory_cache_count < DIRECTORY_CACHE_ENTRIES) {
        wchar_t *copy = _wcsdup(path);
        if (copy != NULL)
            directory_cache[directory_cache_count++] = copy;
    }
    return true;
}

// Index of the last "\" in path[0..length) at index 1 or more; 0 when none.
// Index 0 is never taken: "\dir" has no parent to create.
static size_t last_separator(const wchar_t *path, size_t length)
{
    for (size_t i = length; i-- > 1;)
        if (path[i] == L'\\')
            return i;
    return 0;
}

// Walks up from the parent to the first ancestor that exists, is cached or
// is a drive, then creates the missing levels on the way back down, outermost
// first. The walk is iterative so that a path of 2048 one-letter components
// costs one buffer, not one stack frame per level. The cut points are the
// NULs left in the buffer; restoring them in turn re-lengthens the path.
void create_parent_directories(const wchar_t *path)
{
    wchar_t directory[PATH_CHARS];
    size_t length = wcslen(path);
    if (length >= PATH_CHARS)
        abort();
    memcpy(directory, path, (length + 1) * sizeof(wchar_t));
    size_t parent_length = last_separator(directory, length);
    if (parent_length == 0)
        return;
    directory[parent_length] = 0;

    length = parent_length;
    while (!ensure_directory(directory)) {
        size_t cut = last_separator(directory, length);
        if (cut == 0) {
            ensure_directory(directory);  // the top level gets its second try here
            break;
        }
        directory[cut] = 0;
        length = cut;
    }
    while (length < parent_length) {
        directory[length] = L'\\';
        length = wcslen(directory);
        ensure_directory(directory);
    }
}

void open_payload(const unsigned char *payload, unsigned long long payload_bytes)
{
    if (payload_bytes < PAYLOAD_MAGIC_BYTES || memcmp(payload, PAYLOAD_MAGIC, PAYLOAD_MAGIC_BYTES) != 0)
        fail_with_message("Error, couldn't find attached data header.");
    decoded = (unsigned char *)malloc(DECODED_BUFFER_BYTES);
    if (decoded == NULL)
        fail_with_message(memory_error);
    decoder = ZSTD_createDCtx();
    if (decoder == NULL)
        fail_with_message(memory_error);
    // The window also covers the zero fill and the trailer behind the frame;
    // the decoder never reaches them, since reading stops at the terminator.
    input.src = payload + PAYLOAD_MAGIC_BYTES;
    input.size = (size_t)(payload_bytes - PAYLOAD_MAGIC_BYTES);
    input.pos = 0;
    frame_ended = false;
    output.dst = decoded;
    output.size = 0;
    output.pos = 0;
}

// Reads the next name into entry_name. A name that would not leave room for
// its terminator is damaged data, never a reason to write past the buffer.
static void read_entry_name(void)
{
    size_t length = 0;
    for (;;) {
        uint16_t unit;
        read_payload(&unit, sizeof unit);
        if (unit == 0)
            break;
        if (length + 1 >= NAME_CHARS)
            fail_with_message(decode_error);
        entry_name[length++] = (wchar_t)unit;
    }
    entry_name[length] = 0;
}

static bool ascii_equal_ignoring_case(const wchar_t *text, size_t length, const char *lower)
{
    for (size_t i = 0; i < length; i++) {
        wchar_t c = text[i];
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c - L'A' + L'a');
        if (lower[i] == 0 || c != (wchar_t)lower[i])
            return false;
    }
    return lower[length] == 0;
}

// CON, PRN, AUX, NUL, COM1..9 and LPT1..9 name devices in every directory,
// also with an extension ("nul.txt") and blanks before it.
static bool is_device_name(const wchar_t *component, size_t length)
{
    size_t stem = 0;
    while (stem < length && component[stem] != L'.')
        stem++;
    while (stem > 0 && component[stem - 1] == L' ')
        stem--;
    for (const char *device : PAYLOAD_DEVICE_NAMES)
        if (ascii_equal_ignoring_case(component, stem, device))
            return true;
    if (stem != 4 || component[3] < L'1' || component[3] > L'9')
        return false;
    for (const char *device : PAYLOAD_NUMBERED_DEVICE_NAMES)
        if (ascii_equal_ignoring_case(component, 3, device))
            return true;
    return false;
}

static bool is_forbidden_character(wchar_t c)
{
    return c < 0x20 ||
           (c < 0x80 && memchr(PAYLOAD_NAME_FORBIDDEN_CHARACTERS, (int)c,
                               sizeof PAYLOAD_NAME_FORBIDDEN_CHARACTERS - 1) != NULL);
}

// A component Windows keeps as it stands: not empty; no control character
// and none of < > : " / | ? * (":" would name a drive or a stream); no dot
// or blank at the end, which Windows drops, and which also makes "." and
// ".." (and "...", ". ") refused; not a device name.
static bool is_valid_component(const wchar_t *component, size_t length)
{
    if (length == 0 || component[length - 1] == L'.' || component[length - 1] == L' ')
        return false;
    for (size_t i = 0; i < length; i++)
        if (is_forbidden_character(component[i]))
            return false;
    return !is_device_name(component, length);
}

// True when every "\"-separated component of the name is valid: the entry
// then lies below the extraction directory, in a file of that very name.
static bool is_valid_entry_name(const wchar_t *name)
{
    const wchar_t *component = name;
    for (;;) {
        const wchar_t *end = component;
        while (*end != 0 && *end != L'\\')
            end++;
        if (!is_valid_component(component, (size_t)(end - component)))
            return false;
        if (*end == 0)
            return true;
        component = end + 1;
    }
}

static volatile unsigned long long bytes_written;

unsigned long long payload_bytes_written(void)
{
    return bytes_written;
}

// The entry file being written, or INVALID_HANDLE_VALUE. Static so that a
// session end served between two chunks can close it before the removal.
static HANDLE entry_file = INVALID_HANDLE_VALUE;
static void (*serve_between_chunks)(void);

void close_entry_being_written(void)
{
    if (entry_file == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(entry_file);
    entry_file = INVALID_HANDLE_VALUE;
}

static void write_entry(unsigned long long size)
{
    entry_file = CreateFileW(entry_path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, CREATE_ALWAYS, 0, NULL);
    if (entry_file == INVALID_HANDLE_VALUE) {
        report_path_message("Error, failed to open '%s' for writing.\n", entry_path);
        exit(2);
    }
    while (size > 0) {
        DWORD part = size < CHUNK_BYTES ? (DWORD)size : CHUNK_BYTES;
        read_payload(chunk, part);
        DWORD written = 0;
        SetLastError(0);
        if (!WriteFile(entry_file, chunk, part, &written, NULL)) {
            report_os_error(write_error, GetLastError());
            exit(2);
        }
        // A short write leaves a file shorter than its entry: as bad as a failed one.
        if (written != part) {
            DWORD error = GetLastError();
            report_os_error(write_error, error != 0 ? error : ERROR_WRITE_FAULT);
            exit(2);
        }
        size -= part;
        bytes_written += part;
        if (size > 0 && serve_between_chunks != NULL)
            serve_between_chunks();
    }
    close_entry_being_written();
}

// Decodes the frame's rest after the terminator: zstd checks a frame's content
// checksum only when it reaches the frame's end. Decoded bytes after the
// terminator are dropped, as they always were. False when the rest does not
// decode (a checksum that does not match) or the frame never ends.
static bool finish_frame(void)
{
    // Once the frame has ended, a further call would take the zero fill for
    // the start of a new frame.
    while (!frame_ended) {
        size_t input_before = input.pos;
        output.dst = decoded;
        output.pos = 0;
        output.size = DECODED_BUFFER_BYTES;
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result) || input.pos > input.size)
            return false;
        frame_ended = result == 0;
        // No input taken and nothing produced: the frame cannot end.
        if (!frame_ended && input.pos == input_before && output.pos == 0)
            return false;
    }
    return true;
}

bool unpack_payload(launcher_role role, const wchar_t *extraction_dir, wchar_t *first_entry_path,
                    void (*after_each_entry)(void), void (*between_chunks)(void))
{
    first_entry_path[0] = 0;
    serve_between_chunks = between_chunks;
    for (bool first = true;; first = false) {
        read_entry_name();
        if (entry_name[0] == 0)
            break;
        // A name that leaves the extraction directory ("..\x", "\x", "C:x"),
        // names a stream or a device, or that Windows would change, is
        // damaged data: refused before anything is written for it.
        if (!is_valid_entry_name(entry_name))
            fail_with_message(decode_error);
        copy_wide(entry_path, extraction_dir, PATH_CHARS);
        append_wide(entry_path, L"\\", PATH_CHARS);
        append_wide(entry_path, entry_name, PATH_CHARS);
        if (first) {
            copy_wide(first_entry_path, entry_path, PATH_CHARS);
            if (role == ROLE_CHILD)
                return true;  // the child needs the DLL's path only; its parent wrote the files
        }
        unsigned long long size;
        read_payload(&size, sizeof size);
        create_parent_directories(entry_path);
        write_entry(size);
        if (after_each_entry != NULL)
            after_each_entry();
    }
    bool intact = finish_frame();
    ZSTD_freeDCtx(decoder);
    decoder = NULL;
    free(decoded);
    decoded = NULL;
    return intact;
}
