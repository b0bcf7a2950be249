// SPDX-License-Identifier: MIT
// The unpacker over payloads made here in memory, without a launcher image:
// entry sizes around the 32 KiB write chunk, a name that straddles two
// decoder output blocks, the child role's early return, an empty stream and
// damaged payloads (those end the process, so they run in a second instance).
#include "payload/format.h"
#include "payload/payload.h"
#include "tests/win/check.h"
#include "tests/win/self_case.h"

#include <stdlib.h>
#include <string.h>
#include <zstd.h>

enum { SURVIVED_DAMAGED_CASE = 77, STREAM_CAPACITY = 1 << 20 };

// --- payloads ---

struct entry {
    const wchar_t *name;
    size_t size;
};

static unsigned char stream[STREAM_CAPACITY];
static size_t stream_bytes;

static unsigned char content_byte(const wchar_t *name, size_t i)
{
    return (unsigned char)(i * 31 + name[0] + wcslen(name));
}

static void put(const void *bytes, size_t count)
{
    if (stream_bytes + count > STREAM_CAPACITY)
        abort();
    memcpy(stream + stream_bytes, bytes, count);
    stream_bytes += count;
}

// The entry stream of entries and its terminator, in stream.
static void write_stream(const entry *entries, int count)
{
    stream_bytes = 0;
    for (int e = 0; e < count; e++) {
        put(entries[e].name, (wcslen(entries[e].name) + 1) * sizeof(wchar_t));
        unsigned long long size = entries[e].size;
        put(&size, sizeof size);
        for (size_t i = 0; i < entries[e].size; i++) {
            unsigned char b = content_byte(entries[e].name, i);
            put(&b, 1);
        }
    }
    put(L"", sizeof(wchar_t));
}

// Magic, one zstd frame of stream, zero fill and the trailer, as `vornak
// pack` lays them out; malloc'd, its length in *bytes.
static unsigned char *make_payload(const entry *entries, int count, size_t *bytes)
{
    write_stream(entries, count);
    size_t bound = ZSTD_compressBound(stream_bytes);
    unsigned char *payload = (unsigned char *)calloc(1, PAYLOAD_MAGIC_BYTES + bound + PAYLOAD_ZERO_FILL_BYTES +
                                                            PAYLOAD_TRAILER_BYTES);
    memcpy(payload, PAYLOAD_MAGIC, PAYLOAD_MAGIC_BYTES);
    size_t frame = ZSTD_compress(payload + PAYLOAD_MAGIC_BYTES, bound, stream, stream_bytes, 3);
    if (ZSTD_isError(frame))
        abort();
    unsigned long long trailer = PAYLOAD_MAGIC_BYTES + frame + PAYLOAD_ZERO_FILL_BYTES;
    memcpy(payload + trailer, &trailer, sizeof trailer);
    *bytes = (size_t)trailer + PAYLOAD_TRAILER_BYTES;
    return payload;
}

// --- directories ---

static int directory_number;
static wchar_t directory[PATH_CHARS], first_path[PATH_CHARS];
static int entries_written, chunk_breaks;

static void count_entry(void)
{
    entries_written++;
}

static void count_chunk_break(void)
{
    chunk_breaks++;
}

static const wchar_t *fresh_directory(void)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    swprintf(directory, PATH_CHARS, L"%lsvornak_unpack_%lu_%d", temp, GetCurrentProcessId(),
             ++directory_number);
    return directory;
}

static void remove_tree(const wchar_t *path)
{
    wchar_t pattern[PATH_CHARS], child[PATH_CHARS];
    swprintf(pattern, PATH_CHARS, L"%ls\\*", path);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
                continue;
            swprintf(child, PATH_CHARS, L"%ls\\%ls", path, found.cFileName);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(child);
            else
                DeleteFileW(child);
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(path);
}

// True when the entry's file below directory holds exactly its content.
static bool file_matches(const entry &e)
{
    wchar_t path[PATH_CHARS];
    swprintf(path, PATH_CHARS, L"%ls\\%ls", directory, e.name);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    unsigned char *data = (unsigned char *)malloc(e.size + 1);
    DWORD got = 0;
    bool same = ReadFile(file, data, (DWORD)e.size + 1, &got, NULL) && got == e.size;
    for (size_t i = 0; same && i < e.size; i++)
        same = data[i] == content_byte(e.name, i);
    free(data);
    CloseHandle(file);
    return same;
}

// Unpacks entries in the given role into a fresh directory; checks the
// first entry's path.
static void unpack(const entry *entries, int count, launcher_role role)
{
    size_t bytes = 0;
    unsigned char *payload = make_payload(entries, count, &bytes);
    fresh_directory();
    entries_written = chunk_breaks = 0;
    wmemset(first_path, L'#', PATH_CHARS);  // stale text must never show through
    open_payload(payload, bytes);
    unpack_payload(role, directory, first_path, count_entry, count_chunk_break);
    free(payload);
    wchar_t expected[PATH_CHARS] = L"";
    if (count > 0)
        swprintf(expected, PATH_CHARS, L"%ls\\%ls", directory, entries[0].name);
    CHECK_WSTR(first_path, expected);
}

// --- cases ---

static void check_sizes_around_the_chunk(void)
{
    static const entry entries[] = {
        {L"app.dll", 32769}, {L"empty", 0}, {L"sub\\exact", 32768}, {L"sub\\deeper\\one more", 32769},
        {L"sub\\small.txt", 1},
    };
    int count = sizeof entries / sizeof entries[0];
    unpack(entries, count, ROLE_PARENT);
    CHECK(entries_written == count);
    // Served between the two chunks of each 32769-byte entry only: never
    // after an entry's last chunk, which the entry's own call follows.
    CHECK(chunk_breaks == 2);
    for (const entry &e : entries)
        if (!CHECK(file_matches(e)))
            printf("    entry %ls\n", e.name);
    remove_tree(directory);
}

// The first entry's data is sized so that the second entry's name (40 bytes
// with its zero unit) or size field begins `before` bytes ahead of the end of
// the first decoder block: the name, or one of its units, is read from two
// blocks.
static void check_name_straddling_blocks(void)
{
    static const size_t befores[] = {1, 2, 3, 20, 39, 43};
    for (size_t before : befores) {
        size_t header = (wcslen(L"app.dll") + 1) * sizeof(wchar_t) + PAYLOAD_ENTRY_SIZE_BYTES;
        entry entries[] = {{L"app.dll", DECODED_BUFFER_BYTES - before - header},
                           {L"straddling name.bin", 5}};
        unpack(entries, 2, ROLE_PARENT);
        if (!CHECK(file_matches(entries[0]) && file_matches(entries[1]) && entries_written == 2))
            printf("    second name starts %zu bytes before the block's end\n", before);
        remove_tree(directory);
    }
}

// The child needs the DLL's path only: nothing is written, nothing created.
static void check_child_writes_nothing(void)
{
    static const entry entries[] = {{L"sub\\app.dll", 100}, {L"data.bin", 10}};
    unpack(entries, 2, ROLE_CHILD);
    CHECK(entries_written == 0);
    CHECK(GetFileAttributesW(directory) == INVALID_FILE_ATTRIBUTES);
}

static void check_empty_stream(void)
{
    unpack(NULL, 0, ROLE_PARENT);
    CHECK(entries_written == 0);
    CHECK(GetFileAttributesW(directory) == INVALID_FILE_ATTRIBUTES);
}

// Where the second instance unpacks a damaged payload, and the first one
// removes what it left: named after the first one's process id.
static const wchar_t *damaged_directory(void)
{
    static wchar_t path[PATH_CHARS];
    wchar_t temp[MAX_PATH], id[16];
    if (GetEnvironmentVariableW(L"VORNAK_UNPACK_TEST_ID", id, 16) == 0) {
        swprintf(id, 16, L"%lu", GetCurrentProcessId());
        SetEnvironmentVariableW(L"VORNAK_UNPACK_TEST_ID", id);
    }
    GetTempPathW(MAX_PATH, temp);
    swprintf(path, PATH_CHARS, L"%lsvornak_unpack_%ls_damaged", temp, id);
    return path;
}

// --damaged NAME: unpacks a payload damaged in the named way; returning
// means the unpacker did not end the process.
static int run_damaged_case(const wchar_t *name)
{
    static const entry entries[] = {{L"app.dll", 70000}, {L"second", 70000}};
    size_t bytes = 0;
    unsigned char *payload = make_payload(entries, 2, &bytes);
    if (wcscmp(name, L"payload_magic") == 0)
        payload[0] = 'X';
    else if (wcscmp(name, L"frame_magic") == 0)
        payload[PAYLOAD_MAGIC_BYTES] ^= 0xFF;
    else if (wcscmp(name, L"frame_cut_short") == 0)
        bytes = PAYLOAD_MAGIC_BYTES + 200;
    open_payload(payload, bytes);
    unpack_payload(ROLE_PARENT, damaged_directory(), first_path, NULL, NULL);
    return SURVIVED_DAMAGED_CASE;
}

static void check_damaged_payloads(void)
{
    static const struct {
        const wchar_t *name;
        const char *message;
    } cases[] = {
        {L"payload_magic", "Error, couldn't find attached data header."},
        {L"frame_magic", "Error, couldn't decode attached data."},
        {L"frame_cut_short", "Error, couldn't decode attached data."},
    };
    char output[512];
    damaged_directory();  // the second instances inherit its name
    for (const auto &c : cases) {
        DWORD code = run_self_case(L"--damaged", c.name, output, sizeof output, SURVIVED_DAMAGED_CASE);
        if (!CHECK(code == 2 && strncmp(output, c.message, strlen(c.message)) == 0))
            printf("    case %ls: exit %lu, output '%s'\n", c.name, code, output);
    }
    remove_tree(damaged_directory());
}

int test_main(int argc, wchar_t **argv)
{
    if (argc == 3 && wcscmp(argv[1], L"--damaged") == 0)
        return run_damaged_case(argv[2]);
    check_sizes_around_the_chunk();
    check_name_straddling_blocks();
    check_child_writes_nothing();
    check_empty_stream();
    check_damaged_payloads();
    return test_summary();
}
