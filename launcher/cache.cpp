// SPDX-License-Identifier: MIT
// The extraction cache of images built with a cache template: the payload is
// unpacked once into <template>\<first 16 digits of the key> and used by
// every later start, run in this process. Owns the cache's paths, the
// completeness record and the security functions it loads from advapi32
// (only in cache mode: per-run images keep their imports).
//
// Names below the cache root, per key K (16 hex digits):
//   K                the cache directory, trusted only through its record
//   K.<pid>.tmp      a start's staging directory, renamed to K when complete
//   K.<pid>.old      a broken or older directory on its way out
// A rename decides every race: it is atomic, fails when the target exists,
// and fails while any process holds the directory open without share-delete,
// which every start that runs from it does. The named mutex only spares
// simultaneous cold starts from all unpacking.
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "payload/format.h"
#include "payload/payload.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum {
    MUTEX_WAIT_MS = 120000,
    RECORD_MAX_BYTES = 64 << 20,
    SID_STRING_CHARS = 192,
};

static const wchar_t record_name[] = L"" PAYLOAD_CACHE_RECORD_NAME;
static const wchar_t record_magic[] = L"vornak-cache 1 ";
static const wchar_t elevated_folder[] = L"elevated";
static const wchar_t staging_suffix[] = L".tmp";
static const wchar_t retired_suffix[] = L".old";

// Rights that let a holder change what a later start would load.
static const DWORD WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                  FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                  GENERIC_ALL;

typedef BOOL(WINAPI *open_process_token_function)(HANDLE, DWORD, HANDLE *);
typedef BOOL(WINAPI *get_token_information_function)(HANDLE, TOKEN_INFORMATION_CLASS, void *, DWORD, DWORD *);
typedef BOOL(WINAPI *sid_to_string_function)(PSID, wchar_t **);
typedef BOOL(WINAPI *string_to_descriptor_function)(const wchar_t *, DWORD, PSECURITY_DESCRIPTOR *, ULONG *);
typedef DWORD(WINAPI *get_security_info_function)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *, PSID *,
                                                  PACL *, PACL *, PSECURITY_DESCRIPTOR *);
typedef BOOL(WINAPI *equal_sid_function)(PSID, PSID);
typedef BOOL(WINAPI *is_well_known_sid_function)(PSID, WELL_KNOWN_SID_TYPE);
typedef BOOL(WINAPI *get_ace_function)(PACL, DWORD, void **);

static struct {
    open_process_token_function open_process_token;
    get_token_information_function get_token_information;
    sid_to_string_function sid_to_string;
    string_to_descriptor_function string_to_descriptor;
    get_security_info_function get_security_info;
    equal_sid_function equal_sid;
    is_well_known_sid_function is_well_known_sid;
    get_ace_function get_ace;
} advapi;

static bool elevated, user_trusted;
// False for an elevated start whose objects belong to administrators (the
// default on Windows): then nothing the user's non-elevated processes could
// have made or changed is trusted. Where an elevated process's objects
// belong to the user (a policy that makes the creator the owner, and Wine),
// the user's other processes could take over anything it creates through
// the owner's rights, so the user is trusted as for any start.
static unsigned long long token_user[64];   // TOKEN_USER and its SID
static unsigned long long token_owner[64];  // TOKEN_OWNER: who owns what this process creates
static SECURITY_ATTRIBUTES private_attributes;

static wchar_t cache_root[PATH_CHARS];
static wchar_t cache_directory[PATH_CHARS];
static wchar_t staging_directory[PATH_CHARS];
static wchar_t retired_directory[PATH_CHARS];
static wchar_t scratch_path[PATH_CHARS];
// The cache root's name as the system gives it (read_handle_name).
static wchar_t root_final[PATH_CHARS];
static wchar_t short_key[CACHE_KEY_SHORT_UNITS + 1];
// The cache directory, open without share-delete while the application runs
// from it: no start can rename it away or retire it meanwhile.
static HANDLE cache_directory_handle = INVALID_HANDLE_VALUE;

// The record being written: its text grows with each unpacked entry.
static wchar_t *record_text;
static size_t record_length, record_capacity;
static bool record_overflow;

static bool load_security_functions(void)
{
    HMODULE module = LoadLibraryExW(L"advapi32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == NULL)
        return false;
#define LOAD(field, name) advapi.field = (decltype(advapi.field))(void *)GetProcAddress(module, name)
    LOAD(open_process_token, "OpenProcessToken");
    LOAD(get_token_information, "GetTokenInformation");
    LOAD(sid_to_string, "ConvertSidToStringSidW");
    LOAD(string_to_descriptor, "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    LOAD(get_security_info, "GetSecurityInfo");
    LOAD(equal_sid, "EqualSid");
    LOAD(is_well_known_sid, "IsWellKnownSid");
    LOAD(get_ace, "GetAce");
#undef LOAD
    return advapi.open_process_token && advapi.get_token_information && advapi.sid_to_string &&
           advapi.string_to_descriptor && advapi.get_security_info && advapi.equal_sid &&
           advapi.is_well_known_sid && advapi.get_ace;
}

// Reads who we are and builds the descriptor every cache directory is
// created with: the user alone, or for an elevated start administrators and
// SYSTEM alone (owned by administrators), so that nothing a non-elevated
// process can do changes what an elevated start loads.
static bool prepare_security(void)
{
    if (!load_security_functions())
        return false;
    HANDLE token;
    if (!advapi.open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation = {0};
    DWORD bytes = 0;
    bool known = advapi.get_token_information(token, TokenElevation, &elevation, sizeof elevation, &bytes) &&
                 advapi.get_token_information(token, TokenUser, token_user, sizeof token_user, &bytes) &&
                 advapi.get_token_information(token, TokenOwner, token_owner, sizeof token_owner, &bytes);
    CloseHandle(token);
    if (!known)
        return false;
    elevated = elevation.TokenIsElevated != 0;
    user_trusted = !elevated ||
                   !advapi.is_well_known_sid(((TOKEN_OWNER *)token_owner)->Owner, WinBuiltinAdministratorsSid);

    wchar_t descriptor_text[SID_STRING_CHARS + 64];
    if (elevated) {
        copy_wide(descriptor_text, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SID_STRING_CHARS + 64);
    } else {
        wchar_t *sid_text = NULL;
        if (!advapi.sid_to_string(((TOKEN_USER *)token_user)->User.Sid, &sid_text))
            return false;
        bool fits = wcslen(sid_text) < SID_STRING_CHARS;
        if (fits) {
            copy_wide(descriptor_text, L"D:P(A;OICI;FA;;;", SID_STRING_CHARS + 64);
            append_wide(descriptor_text, sid_text, SID_STRING_CHARS + 64);
            append_wide(descriptor_text, L")", SID_STRING_CHARS + 64);
        }
        LocalFree(sid_text);
        if (!fits)
            return false;
    }
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!advapi.string_to_descriptor(descriptor_text, SDDL_REVISION_1, &descriptor, NULL))
        return false;
    private_attributes.nLength = sizeof private_attributes;
    private_attributes.lpSecurityDescriptor = descriptor;  // kept for the process's life
    private_attributes.bInheritHandle = FALSE;
    return true;
}

// Whether sid may own or write a cache directory of this start:
// administrators and SYSTEM, who can do anything to the user's files
// anyway, and the user unless user_trusted is false.
static bool trusted_sid(PSID sid)
{
    if (advapi.is_well_known_sid(sid, WinBuiltinAdministratorsSid) ||
        advapi.is_well_known_sid(sid, WinLocalSystemSid))
        return true;
    return user_trusted && advapi.equal_sid(sid, ((TOKEN_USER *)token_user)->User.Sid);
}

// The owner and every entry of the DACL of the open directory: nobody but a
// trusted SID may write. A missing DACL grants everyone everything.
static bool directory_is_private(HANDLE directory)
{
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (advapi.get_security_info(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 &owner, NULL, &dacl, NULL, &descriptor) != ERROR_SUCCESS)
        return false;
    bool private_ = owner != NULL && dacl != NULL && trusted_sid(owner);
    for (DWORD i = 0; private_ && i < dacl->AceCount; i++) {
        ACE_HEADER *ace = NULL;
        if (!advapi.get_ace(dacl, i, (void **)&ace)) {
            private_ = false;
            break;
        }
        if ((ace->AceFlags & INHERIT_ONLY_ACE) != 0 || ace->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            private_ = false;  // object and callback entries: not ours, not trusted
            break;
        }
        ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)ace;
        if ((allowed->Mask & WRITE_RIGHTS) != 0 && !trusted_sid((PSID)&allowed->SidStart))
            private_ = false;
    }
    LocalFree(descriptor);
    return private_;
}

// Opens path as a directory of its own (not a link) for reading, sharing
// everything but delete. The name is checked as well as the handle: Wine
// opens a link made on the Linux side as its target and shows it as a
// reparse point by its name only.
static HANDLE open_directory(const wchar_t *path)
{
    DWORD named = GetFileAttributesW(path);
    if (named == INVALID_FILE_ATTRIBUTES ||
        (named & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
        return INVALID_HANDLE_VALUE;
    HANDLE directory = CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (directory == INVALID_HANDLE_VALUE)
        return directory;
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &info, sizeof info) ||
        (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY) {
        CloseHandle(directory);
        return INVALID_HANDLE_VALUE;
    }
    return directory;
}

// Creates path with the private descriptor, or, when it exists, checks that
// it is a private directory of its own.
static bool make_private_directory(const wchar_t *path)
{
    if (!CreateDirectoryW(path, &private_attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    HANDLE directory = open_directory(path);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    bool private_ = directory_is_private(directory);
    CloseHandle(directory);
    return private_;
}

// The name the system gives the object behind handle (its NT name, as the
// removal walk checks it), into dst; false when it cannot be read or does
// not fit in dst_chars units with its terminator.
static bool read_handle_name(HANDLE handle, wchar_t *dst, size_t dst_chars)
{
    static unsigned long long scratch[(16 + 2 * PATH_CHARS * sizeof(wchar_t)) / sizeof(unsigned long long)];
    size_t length = 0;
    const wchar_t *opened = read_object_name(handle, scratch, sizeof scratch, &length);
    if (opened == NULL || length >= dst_chars)
        return false;
    memcpy(dst, opened, length * sizeof(wchar_t));
    dst[length] = 0;
    return true;
}

// The folders that hold path's last component, made as any folder of the
// user's where they are missing (the template's part of the path, in the
// user's profile by default). The cache root below them is checked on its
// own before each use.
static void create_holding_folders(const wchar_t *path)
{
    wchar_t prefix[PATH_CHARS];
    copy_wide(prefix, path, PATH_CHARS);
    for (wchar_t *c = prefix + 3; *c != 0; c++) {
        if (*c != L'\\')
            continue;
        *c = 0;
        CreateDirectoryW(prefix, NULL);
        *c = L'\\';
    }
}

// cache_root\<name><suffix> into dst; false when it does not fit.
static bool name_below_root(wchar_t *dst, const wchar_t *name, const wchar_t *suffix)
{
    size_t needed = wcslen(cache_root) + 1 + wcslen(name) + wcslen(suffix) + 1;
    if (needed > PATH_CHARS)
        return false;
    copy_wide(dst, cache_root, PATH_CHARS);
    append_wide(dst, L"\\", PATH_CHARS);
    append_wide(dst, name, PATH_CHARS);
    append_wide(dst, suffix, PATH_CHARS);
    return true;
}

// cache_root\<name>.<pid><suffix>
static bool process_name_below_root(wchar_t *dst, const wchar_t *name, DWORD process_id, const wchar_t *suffix)
{
    wchar_t middle[32];
    char number[16];
    snprintf(number, sizeof number, ".%lu", (unsigned long)process_id);
    middle[0] = 0;
    append_narrow_as_wide(middle, number, 32);
    append_wide(middle, suffix, 32);
    return name_below_root(dst, name, middle);
}

// The cache root for this start: the template's expansion, and below it a
// folder of its own for elevated starts. False when it cannot be had or made.
static bool find_cache_root(launch_record *record, const launcher_build_values *build)
{
    if (!expand_path_template(cache_root, build->cache_template, PATH_CHARS, &record->values))
        return false;
    wchar_t full_path[PATH_CHARS];
    DWORD length = GetFullPathNameW(cache_root, PATH_CHARS, full_path, NULL);
    if (length == 0 || length + 1 + CACHE_KEY_SHORT_UNITS + 32 >= PATH_CHARS)
        return false;
    copy_wide(cache_root, full_path, PATH_CHARS);
    if (elevated) {
        append_wide(cache_root, L"\\", PATH_CHARS);
        append_wide(cache_root, elevated_folder, PATH_CHARS);
    }
    for (int i = 0; i < CACHE_KEY_SHORT_UNITS; i++)
        short_key[i] = build->cache_key[i];
    short_key[CACHE_KEY_SHORT_UNITS] = 0;
    return wcslen(build->cache_key) == CACHE_KEY_UNITS && name_below_root(cache_directory, short_key, L"");
}

static void append_record(const wchar_t *text)
{
    size_t length = wcslen(text);
    if (record_length + length + 1 > record_capacity) {
        size_t capacity = record_capacity == 0 ? 65536 : 2 * record_capacity;
        while (capacity < record_length + length + 1)
            capacity *= 2;
        wchar_t *grown = (wchar_t *)realloc(record_text, capacity * sizeof(wchar_t));
        if (grown == NULL) {
            record_overflow = true;
            return;
        }
        record_text = grown;
        record_capacity = capacity;
    }
    memcpy(record_text + record_length, text, (length + 1) * sizeof(wchar_t));
    record_length += length;
}

// One line per unpacked file: its size, a blank and its name. Names hold no
// control characters, so a line feed ends every line.
static void note_unpacked_entry(const wchar_t *name, unsigned long long size)
{
    wchar_t number[32];
    char narrow[32];
    snprintf(narrow, sizeof narrow, "%llu ", size);
    number[0] = 0;
    append_narrow_as_wide(number, narrow, 32);
    append_record(number);
    append_record(name);
    append_record(L"\n");
}

// Writes the record into directory: the last file of a complete unpack.
static bool write_record(const wchar_t *directory)
{
    if (record_overflow)
        return false;
    copy_wide(scratch_path, directory, PATH_CHARS);
    append_wide(scratch_path, L"\\", PATH_CHARS);
    append_wide(scratch_path, record_name, PATH_CHARS);
    HANDLE file = CreateFileW(scratch_path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD bytes = (DWORD)(record_length * sizeof(wchar_t)), written = 0;
    bool complete = WriteFile(file, record_text, bytes, &written, NULL) && written == bytes;
    CloseHandle(file);
    return complete;
}

// Whether the file at directory\name exists as a file of size bytes.
static bool file_has_size(const wchar_t *directory, const wchar_t *name, size_t name_length,
                          unsigned long long size)
{
    size_t directory_length = wcslen(directory);
    if (directory_length + 1 + name_length >= PATH_CHARS)
        return false;
    memcpy(scratch_path, directory, directory_length * sizeof(wchar_t));
    scratch_path[directory_length] = L'\\';
    memcpy(scratch_path + directory_length + 1, name, name_length * sizeof(wchar_t));
    scratch_path[directory_length + 1 + name_length] = 0;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(scratch_path, GetFileExInfoStandard, &data))
        return false;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    return (((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow) == size;
}

// Reads directory's record and checks it: this key, and every listed file
// there with its size. Fills dll_path with the first file's path.
static bool record_confirms(const wchar_t *directory, const wchar_t *key, wchar_t *dll_path)
{
    copy_wide(scratch_path, directory, PATH_CHARS);
    append_wide(scratch_path, L"\\", PATH_CHARS);
    append_wide(scratch_path, record_name, PATH_CHARS);
    HANDLE file = CreateFileW(scratch_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    wchar_t *text = NULL;
    DWORD bytes = 0;
    bool read = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < RECORD_MAX_BYTES &&
                size.QuadPart % sizeof(wchar_t) == 0 &&
                (text = (wchar_t *)malloc((size_t)size.QuadPart + sizeof(wchar_t))) != NULL &&
                ReadFile(file, text, (DWORD)size.QuadPart, &bytes, NULL) && bytes == (DWORD)size.QuadPart;
    CloseHandle(file);
    if (!read) {
        free(text);
        return false;
    }
    size_t length = bytes / sizeof(wchar_t);
    text[length] = 0;

    size_t magic_length = wcslen(record_magic);
    bool confirmed = length > magic_length + CACHE_KEY_UNITS &&
                     memcmp(text, record_magic, magic_length * sizeof(wchar_t)) == 0 &&
                     memcmp(text + magic_length, key, CACHE_KEY_UNITS * sizeof(wchar_t)) == 0 &&
                     text[magic_length + CACHE_KEY_UNITS] == L'\n';
    dll_path[0] = 0;
    size_t files = 0;
    for (size_t at = magic_length + CACHE_KEY_UNITS + 1; confirmed && at < length;) {
        wchar_t *end = wcschr(text + at, L'\n');
        wchar_t *blank = wcschr(text + at, L' ');
        if (end == NULL || blank == NULL || blank > end) {
            confirmed = false;
            break;
        }
        unsigned long long file_size = _wcstoui64(text + at, NULL, 10);
        const wchar_t *name = blank + 1;
        size_t name_length = (size_t)(end - name);
        confirmed = name_length > 0 && file_has_size(directory, name, name_length, file_size);
        if (confirmed && files++ == 0)
            copy_wide(dll_path, scratch_path, PATH_CHARS);
        at = (size_t)(end - text) + 1;
    }
    free(text);
    return confirmed && files > 0;
}

// Whether handle is on root_final\name itself: the name the system gives
// the object behind it. Under Wine a link made on the Linux side opens as
// its target, whose name differs; on Windows it opens as itself and fails
// the directory check before this.
static bool handle_is_named(HANDLE handle, const wchar_t *name)
{
    wchar_t expected[PATH_CHARS];
    if (wcslen(root_final) + 1 + wcslen(name) + 1 > PATH_CHARS)
        return false;
    copy_wide(expected, root_final, PATH_CHARS);
    append_wide(expected, L"\\", PATH_CHARS);
    append_wide(expected, name, PATH_CHARS);
    return read_handle_name(handle, scratch_path, PATH_CHARS) && wcscmp(scratch_path, expected) == 0;
}

// Opens the cache directory and checks it for this start: a private
// directory whose record confirms this key. On success keeps it open
// (without share-delete) in cache_directory_handle.
static bool open_trusted_cache(const wchar_t *key, wchar_t *dll_path)
{
    HANDLE directory = open_directory(cache_directory);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    if (!handle_is_named(directory, short_key) || !directory_is_private(directory) ||
        !record_confirms(cache_directory, key, dll_path)) {
        CloseHandle(directory);
        return false;
    }
    cache_directory_handle = directory;
    return true;
}

// Renames the directory cache_root\name away under this process's retired
// name, then removes it. The rename goes through a handle checked to be on
// that directory itself, never through a name that could lead elsewhere.
// The handle asks for delete access, which fails while any process holds
// the directory open without share-delete: then the directory is in use
// and stays (false).
static bool retire_directory(const wchar_t *path, const wchar_t *name)
{
    if (!process_name_below_root(retired_directory, name, GetCurrentProcessId(), retired_suffix))
        return false;
    remove_unpacked_tree(retired_directory);
    DWORD named = GetFileAttributesW(path);
    if (named == INVALID_FILE_ATTRIBUTES ||
        (named & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
        return false;
    HANDLE directory = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    FILE_ATTRIBUTE_TAG_INFO info;
    size_t target_length = wcslen(retired_directory);
    unsigned long long rename_buffer[(sizeof(FILE_RENAME_INFO) + PATH_CHARS * sizeof(wchar_t)) / 8 + 1];
    FILE_RENAME_INFO *rename = (FILE_RENAME_INFO *)rename_buffer;
    memset(rename, 0, sizeof(FILE_RENAME_INFO));
    rename->FileNameLength = (DWORD)(target_length * sizeof(wchar_t));
    memcpy(rename->FileName, retired_directory, (target_length + 1) * sizeof(wchar_t));
    bool moved = GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &info, sizeof info) &&
                 (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                     FILE_ATTRIBUTE_DIRECTORY &&
                 handle_is_named(directory, name) &&
                 SetFileInformationByHandle(directory, FileRenameInfo, rename,
                                            (DWORD)(sizeof(FILE_RENAME_INFO) + target_length * sizeof(wchar_t)));
    CloseHandle(directory);
    if (moved)
        remove_unpacked_tree(retired_directory);
    return moved;
}

static bool is_hex_key(const wchar_t *name, size_t length)
{
    if (length != CACHE_KEY_SHORT_UNITS)
        return false;
    for (size_t i = 0; i < length; i++)
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f')))
            return false;
    return true;
}

static bool process_is_running(DWORD process_id)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == NULL)
        return GetLastError() == ERROR_ACCESS_DENIED;  // someone else's: alive
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

// When the directory cache_root\name was made: the write time of its
// record, which the unpack that made it wrote last and nothing rewrites. The
// directory's own times move with what happens inside it (under Wine even
// its creation time). A directory without a record counts as oldest.
static FILETIME made_at(const wchar_t *name)
{
    FILETIME made = {};
    wchar_t suffix[32] = L"\\";
    append_wide(suffix, record_name, 32);
    wchar_t path[PATH_CHARS];
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (name_below_root(path, name, suffix) && GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        made = data.ftLastWriteTime;
    return made;
}

// After an unpack: removes what killed starts left (staging and retired
// directories of processes that no longer run) and, when retire_old_keys,
// the other keys' directories that no running instance uses, all but the
// newest. That one older directory lets an upgrade be rolled back, or two
// images that share a template take turns, without unpacking at every
// start, and the cache still holds at most two keys.
static void sweep_cache_root(bool retire_old_keys)
{
    wchar_t kept[CACHE_KEY_SHORT_UNITS + 1] = L"";
    FILETIME kept_made = {};
    wchar_t pattern[PATH_CHARS];
    if (!name_below_root(pattern, L"*", L""))
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const wchar_t *name = found.cFileName;
        size_t length = wcslen(name);
        wchar_t path[PATH_CHARS];
        if (is_hex_key(name, length)) {
            if (!retire_old_keys || wcscmp(name, short_key) == 0)
                continue;
            // Of this one and the one kept so far, the older goes.
            FILETIME made = made_at(name);
            if (kept[0] == 0 || CompareFileTime(&made, &kept_made) > 0) {
                wchar_t older[CACHE_KEY_SHORT_UNITS + 1];
                copy_wide(older, kept, CACHE_KEY_SHORT_UNITS + 1);
                copy_wide(kept, name, CACHE_KEY_SHORT_UNITS + 1);
                kept_made = made;
                if (older[0] != 0 && name_below_root(path, older, L""))
                    retire_directory(path, older);
            } else if (name_below_root(path, name, L"")) {
                retire_directory(path, name);
            }
            continue;
        }
        // K.<pid>.tmp or K.<pid>.old
        if (length < CACHE_KEY_SHORT_UNITS + 6 || name[CACHE_KEY_SHORT_UNITS] != L'.' ||
            !is_hex_key(name, CACHE_KEY_SHORT_UNITS))
            continue;
        const wchar_t *suffix = name + length - 4;
        if (wcscmp(suffix, staging_suffix) != 0 && wcscmp(suffix, retired_suffix) != 0)
            continue;
        wchar_t *digits_end = NULL;
        unsigned long process_id = wcstoul(name + CACHE_KEY_SHORT_UNITS + 1, &digits_end, 10);
        if (digits_end != suffix || process_id == GetCurrentProcessId() || process_is_running(process_id))
            continue;
        if (name_below_root(path, name, L""))
            remove_unpacked_tree(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Unpacks the payload into a fresh staging directory, writes the record and
// renames it into place. True when the cache directory exists afterwards,
// ours or another start's that won the rename.
static bool unpack_into_cache(const launcher_build_values *build)
{
    if (!process_name_below_root(staging_directory, short_key, GetCurrentProcessId(), staging_suffix))
        return false;
    remove_unpacked_tree(staging_directory);  // a leftover of a killed process with our id
    if (GetFileAttributesW(staging_directory) != INVALID_FILE_ATTRIBUTES)
        return false;

    record_length = 0;
    append_record(record_magic);
    append_record(build->cache_key);
    append_record(L"\n");
    wchar_t first_entry[PATH_CHARS];
    set_unpack_listener(note_unpacked_entry);
    open_payload(build->payload, build->payload_bytes);
    // A frame that fails its checksum is not placed; the per-run start that
    // follows reports it.
    // The unpacker makes the staging directory itself, new and private, as
    // it makes a per-run extraction directory.
    set_extraction_root_security(&private_attributes);
    bool decoded = unpack_payload(ROLE_PARENT, staging_directory, first_entry, NULL, NULL, NULL);
    set_extraction_root_security(NULL);
    set_unpack_listener(NULL);

    bool placed = decoded && first_entry[0] != 0 && write_record(staging_directory) &&
                  MoveFileExW(staging_directory, cache_directory, 0);
    if (!placed)
        remove_unpacked_tree(staging_directory);
    return GetFileAttributesW(cache_directory) != INVALID_FILE_ATTRIBUTES;
}

static bool read_root_final(void)
{
    HANDLE root = open_directory(cache_root);
    if (root == INVALID_HANDLE_VALUE)
        return false;
    bool named = read_handle_name(root, root_final, PATH_CHARS);
    CloseHandle(root);
    return named;
}

// Finds or makes the cache directory; true when it is open and trusted.
static bool prepare_cache_directory(launch_record *record, const launcher_build_values *build)
{
    if (!prepare_security() || !find_cache_root(record, build))
        return false;
    // The template's folders as any folder of the user's; the cache root
    // itself private.
    create_holding_folders(cache_root);
    if (!make_private_directory(cache_root) || !read_root_final())
        return false;
    if (open_trusted_cache(build->cache_key, record->application_dll_path))
        return true;
    // This start unpacks, or waits for another's unpack: the slow one that
    // an image's splash is for.
    if (build->options & LAUNCHER_OPTION_SPLASH)
        start_splash(build->splash, build->product_name);

    // One start unpacks while the others wait for its result. An abandoned
    // mutex (its holder was killed) is ours as well; past the wait, or
    // without a mutex, the renames below still decide.
    wchar_t mutex_name[64];
    copy_wide(mutex_name, L"Local\\vornak-cache-", 64);
    append_wide(mutex_name, short_key, 64);
    if (elevated)
        append_wide(mutex_name, L"-elevated", 64);
    HANDLE mutex = CreateMutexW(NULL, FALSE, mutex_name);
    bool owned = mutex != NULL && WaitForSingleObject(mutex, MUTEX_WAIT_MS) != WAIT_TIMEOUT;

    bool ready = open_trusted_cache(build->cache_key, record->application_dll_path);
    if (!ready) {
        // Broken or incomplete: moved away unless a running instance uses it.
        bool clear = GetFileAttributesW(cache_directory) == INVALID_FILE_ATTRIBUTES ||
                     retire_directory(cache_directory, short_key);
        bool unpacked = clear && unpack_into_cache(build);
        if (unpacked) {
            ready = open_trusted_cache(build->cache_key, record->application_dll_path);
            sweep_cache_root(ready);
        }
    }
    if (owned)
        ReleaseMutex(mutex);
    if (mutex != NULL)
        CloseHandle(mutex);
    return ready;
}

// Runs the application in this process, as the child would: the hand-off
// variables set and the own module path as the first argument.
static int enter_cached_application(launch_record *record)
{
    copy_wide(record->extraction_directory, cache_directory, PATH_CHARS);
    publish_handoff_variables(record);
    record->argv[0] = (wchar_t *)own_module_path(record, PATH_CHARS);
    return enter_application(record);
}

bool run_from_cache(launch_record *record, const launcher_build_values *build, int *status)
{
    if (!prepare_cache_directory(record, build))
        return false;
    // The application's windows are this process's from here on.
    note_child_for_splash(GetCurrentProcessId());
    *status = enter_cached_application(record);
    return true;
}

bool enter_from_cache(launch_record *record, const launcher_build_values *build, int *status)
{
    if (!prepare_security() || !find_cache_root(record, build) || !read_root_final() ||
        !open_trusted_cache(build->cache_key, record->application_dll_path))
        return false;
    copy_wide(record->extraction_directory, cache_directory, PATH_CHARS);
    *status = enter_application(record);
    return true;
}
