// SPDX-License-Identifier: MIT
// The unpacker: checks the payload magic, decodes the single zstd frame as a
// stream (never holding the decoded payload in memory) and writes each entry
// below the extraction directory, which it creates itself and never shares:
// it writes only into folders and files this run made, never through a link
// or into a name someone else put there. Owns the decoder, its 128 KiB
// output block, the entry buffers and the created-directory cache. A failure
// ends the process through exit_after_failure, which removes what was written.
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
// The entry's full path in the extended form of the file calls.
static wchar_t entry_path[PATH_CHARS];
// The extraction directory in that form, and the name the system gives it:
// every folder and file below it must carry that name and then its own.
static wchar_t root_path[PATH_CHARS];
static size_t root_path_length;
static wchar_t root_name[PATH_CHARS];
static size_t root_name_length;
static unsigned long long object_name_scratch[(16 + 2 * PATH_CHARS * sizeof(wchar_t)) / sizeof(unsigned long long)];
static unsigned char chunk[CHUNK_BYTES];

// The entry being written, open until its last byte is in: closed before a
// failure ends the process, so that the removal can take it.
static HANDLE entry_file = INVALID_HANDLE_VALUE;

static void (*unpack_listener)(const wchar_t *name, unsigned long long size);

static wchar_t *directory_cache[DIRECTORY_CACHE_ENTRIES];
static int directory_cache_count;

static_assert(CHUNK_BYTES <= DECODED_BUFFER_BYTES, "a chunk is served from one decoder block");
static_assert(NAME_CHARS == PAYLOAD_NAME_MAX_UNITS + 1, "the name buffer holds the longest name and its zero unit");

void close_entry_being_written(void)
{
    if (entry_file != INVALID_HANDLE_VALUE)
        CloseHandle(entry_file);
    entry_file = INVALID_HANDLE_VALUE;
}

__declspec(noreturn) static void fail_to_decode(void)
{
    close_entry_being_written();
    fail_with_message(decode_error);
}

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
            fail_to_decode();
        frame_ended = frame_ended || result == 0;
        if (input_used_up && output.pos == 0)
            fail_to_decode();
        output.size = output.pos;
        output.pos = 0;
        if (input.pos > input.size)
            fail_to_decode();
    }
}

static void forget_directories(void)
{
    for (int i = 0; i < directory_cache_count; i++)
        free(directory_cache[i]);
    directory_cache_count = 0;
}

static bool is_cached_directory(const wchar_t *path)
{
    for (int i = 0; i < directory_cache_count; i++)
        if (wcscmp(directory_cache[i], path) == 0)
            return true;
    return false;
}

// A full cache, or a copy that cannot be made, only costs system calls later.
static void cache_directory(const wchar_t *path)
{
    if (directory_cache_count < DIRECTORY_CACHE_ENTRIES) {
        wchar_t *copy = _wcsdup(path);
        if (copy != NULL)
            directory_cache[directory_cache_count++] = copy;
    }
}

// The attributes of the object behind handle. FAT and exFAT may not answer
// FileAttributeTagInfo; they answer FileBasicInfo and have no reparse points.
static bool read_handle_attributes(HANDLE handle, DWORD *attributes)
{
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        *attributes = tag.FileAttributes;
        return true;
    }
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return false;
    *attributes = basic.FileAttributes;
    return true;
}

// Whether handle, opened on path (below the extraction directory, in the
// extended form), is on that very name: the system's name for it must be
// the extraction directory's followed by the rest of path. Windows opens a
// link as itself with FILE_FLAG_OPEN_REPARSE_POINT; Wine opens a link made
// on the Linux side as its target, whose name then differs.
static bool handle_is_at(HANDLE handle, const wchar_t *path)
{
    size_t length = wcslen(path);
    if (length < root_path_length || memcmp(path, root_path, root_path_length * sizeof(wchar_t)) != 0)
        return false;
    size_t below = length - root_path_length;
    size_t opened_length = 0;
    const wchar_t *opened = read_object_name(handle, object_name_scratch, sizeof object_name_scratch, &opened_length);
    return opened != NULL && opened_length == root_name_length + below &&
           memcmp(opened, root_name, root_name_length * sizeof(wchar_t)) == 0 &&
           memcmp(opened + root_name_length, path + root_path_length, below * sizeof(wchar_t)) == 0;
}

// A folder that exists below the extraction directory counts as created
// when it is a plain folder on its own name: not a link or junction, which
// Windows shows by the reparse-point attribute (Wine shows it for a Linux
// directory link by the name only), and not a name that leads elsewhere.
static bool is_plain_directory_here(const wchar_t *path)
{
    DWORD named = GetFileAttributesW(path);
    if (named == INVALID_FILE_ATTRIBUTES ||
        (named & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
        return false;
    HANDLE directory = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    DWORD attributes = 0;
    bool plain = read_handle_attributes(directory, &attributes) &&
                 (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY &&
                 handle_is_at(directory, path);
    CloseHandle(directory);
    return plain;
}

bool ensure_directory(const wchar_t *path)
{
    if (is_cached_directory(path))
        return true;
    if (!CreateDirectoryW(path, NULL) && (GetLastError() != ERROR_ALREADY_EXISTS || !is_plain_directory_here(path)))
        return false;
    cache_directory(path);
    return true;
}

bool create_extraction_root(const wchar_t *extraction_dir, SECURITY_ATTRIBUTES *security)
{
    forget_directories();
    root_path_length = 0;
    root_name_length = 0;
    if (!make_extended_path(root_path, extraction_dir, PATH_CHARS))
        return false;
    // Fails for a name that exists, whatever it is: a directory someone made
    // in advance, or a link planted in its place, is never used.
    if (!CreateDirectoryW(root_path, security))
        return false;
    root_path_length = wcslen(root_path);
    cache_directory(root_path);
    return true;
}

// Reads the name the system gives the extraction directory just created.
static bool read_root_name(void)
{
    HANDLE root = CreateFileW(root_path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (root == INVALID_HANDLE_VALUE)
        return false;
    size_t length = 0;
    const wchar_t *name = read_object_name(root, object_name_scratch, sizeof object_name_scratch, &length);
    bool read = name != NULL && length < PATH_CHARS;
    if (read) {
        memcpy(root_name, name, length * sizeof(wchar_t));
        root_name_length = length;
    }
    CloseHandle(root);
    return read;
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

// Walks up from the parent to the first cached ancestor (the extraction
// directory at the latest), then makes sure of each level on the way back
// down, outermost first. The walk is iterative so that a path of 2048
// one-letter components costs one buffer, not one stack frame per level. The
// cut points are the NULs left in the buffer; restoring them in turn
// re-lengthens the path.
bool create_parent_directories(const wchar_t *path)
{
    wchar_t directory[PATH_CHARS];
    size_t length = wcslen(path);
    if (length >= PATH_CHARS)
        abort();
    memcpy(directory, path, (length + 1) * sizeof(wchar_t));
    size_t parent_length = last_separator(directory, length);
    if (parent_length == 0)
        return false;
    directory[parent_length] = 0;

    length = parent_length;
    while (!is_cached_directory(directory)) {
        size_t cut = last_separator(directory, length);
        if (cut == 0)
            return false;
        directory[cut] = 0;
        length = cut;
    }
    while (length < parent_length) {
        directory[length] = L'\\';
        length = wcslen(directory);
        if (!ensure_directory(directory))
            return false;
    }
    return true;
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
            fail_to_decode();
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

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1..9 and LPT1..9 (also with a
// superscript 1, 2 or 3) name devices in every directory,
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
    if (stem != 4)
        return false;
    bool numbered = false;
    for (unsigned short unit : PAYLOAD_DEVICE_NUMBER_UNITS)
        numbered = numbered || component[3] == (wchar_t)unit;
    if (!numbered)
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
// ".." (and "...", ". ") refused; not a device name nor the launcher's
// start marker; no longer than a
// file system holds.
static bool is_valid_component(const wchar_t *component, size_t length)
{
    if (length == 0 || length > PAYLOAD_COMPONENT_MAX_UNITS || component[length - 1] == L'.' ||
        component[length - 1] == L' ')
        return false;
    for (size_t i = 0; i < length; i++)
        if (is_forbidden_character(component[i]))
            return false;
    return !is_device_name(component, length) &&
           !ascii_equal_ignoring_case(component, length, PAYLOAD_START_MARKER_NAME);
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

static void (*serve_between_chunks)(void);

// Ends the start with the open message for the entry's plain path.
__declspec(noreturn) static void fail_to_open(const wchar_t *plain_path)
{
    report_path_message("Error, failed to open '%s' for writing.\n", plain_path);
    exit_after_failure(2);
}

// An entry of a name written before is written again in the same file: a
// later entry replaces the earlier one. Only a plain file on its own name
// with no other name is reopened, so that nothing planted there (a link, a
// hard link to a file elsewhere) is written through. INVALID_HANDLE_VALUE
// when the name holds anything else.
static HANDLE reopen_written_file(void)
{
    HANDLE file = CreateFileW(entry_path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    DWORD attributes = 0;
    FILE_STANDARD_INFO standard;
    bool plain = read_handle_attributes(file, &attributes) &&
                 (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                 GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
                 standard.NumberOfLinks == 1 && handle_is_at(file, entry_path) && SetEndOfFile(file);
    if (!plain) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

static void write_entry(unsigned long long size, const wchar_t *plain_path)
{
    // CREATE_NEW never follows a link at the name: it fails on any name that exists.
    entry_file = CreateFileW(entry_path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, CREATE_NEW,
                             FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (entry_file == INVALID_HANDLE_VALUE &&
        (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS))
        entry_file = reopen_written_file();
    if (entry_file == INVALID_HANDLE_VALUE)
        fail_to_open(plain_path);
    while (size > 0) {
        DWORD part = size < CHUNK_BYTES ? (DWORD)size : CHUNK_BYTES;
        read_payload(chunk, part);
        DWORD written = 0;
        SetLastError(0);
        if (!WriteFile(entry_file, chunk, part, &written, NULL)) {
            report_os_error(write_error, GetLastError());
            close_entry_being_written();
            exit_after_failure(2);
        }
        // A short write leaves a file shorter than its entry: as bad as a failed one.
        if (written != part) {
            DWORD error = GetLastError();
            report_os_error(write_error, error != 0 ? error : ERROR_WRITE_FAULT);
            close_entry_being_written();
            exit_after_failure(2);
        }
        size -= part;
        bytes_written += part;
        if (size > 0 && serve_between_chunks != NULL)
            serve_between_chunks();
    }
    close_entry_being_written();
}

static SECURITY_ATTRIBUTES *root_security;

void set_extraction_root_security(SECURITY_ATTRIBUTES *security)
{
    root_security = security;
}

void set_unpack_listener(void (*listener)(const wchar_t *name, unsigned long long size))
{
    unpack_listener = listener;
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
                    void (*root_created)(void), void (*after_each_entry)(void), void (*between_chunks)(void))
{
    static wchar_t plain_path[PATH_CHARS];
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
            fail_to_decode();
        copy_wide(plain_path, extraction_dir, PATH_CHARS);
        append_wide(plain_path, L"\\", PATH_CHARS);
        append_wide(plain_path, entry_name, PATH_CHARS);
        if (first) {
            copy_wide(first_entry_path, plain_path, PATH_CHARS);
            if (role == ROLE_CHILD)
                return true;  // the child needs the DLL's path only; its parent wrote the files
            SECURITY_ATTRIBUTES *security = root_security != NULL ? root_security : elevated_root_security();
            if (!create_extraction_root(extraction_dir, security)) {
                report_path_message("Error, failed to open '%s' for writing.\n", extraction_dir);
                exit(2);
            }
            if (root_created != NULL)
                root_created();
            if (!read_root_name())
                fail_to_open(extraction_dir);
        }
        copy_wide(entry_path, root_path, PATH_CHARS);
        append_wide(entry_path, L"\\", PATH_CHARS);
        append_wide(entry_path, entry_name, PATH_CHARS);
        unsigned long long size;
        read_payload(&size, sizeof size);
        if (!create_parent_directories(entry_path))
            fail_to_open(plain_path);
        write_entry(size, plain_path);
        if (unpack_listener != NULL)
            unpack_listener(entry_name, size);
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
