// SPDX-License-Identifier: MIT
// The security an elevated parent gives its extraction directory: SYSTEM and
// Administrators may change it, the user may only read and run what is in
// it, so that a process of the same user without elevation cannot replace
// the DLL or a data file between the unpack and their use. Owns the one
// descriptor (made at most once, never freed: it lives as long as the
// process). The security functions come from advapi32.dll, looked up only on
// this path so that the image imports nothing beyond what every start needs.
#include "payload/payload.h"

#include <sddl.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

typedef BOOL(WINAPI *open_token_function)(HANDLE, DWORD, HANDLE *);
typedef BOOL(WINAPI *token_information_function)(HANDLE, TOKEN_INFORMATION_CLASS, void *, DWORD, DWORD *);
typedef BOOL(WINAPI *sid_to_text_function)(PSID, wchar_t **);
typedef BOOL(WINAPI *text_to_descriptor_function)(const wchar_t *, DWORD, PSECURITY_DESCRIPTOR *, ULONG *);

enum {
    TOKEN_USER_BYTES = 256,  // TOKEN_USER and a SID of at most 68 bytes
    DESCRIPTOR_TEXT_CHARS = 512,
};

static SECURITY_ATTRIBUTES root_security;

// A protected DACL (P: nothing inherited from TEMP): full access for SYSTEM
// (SY) and the Administrators group (BA), read and execute (0x1200A9) for
// the user; OICI hands the same to everything created below.
static const wchar_t descriptor_format[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;%ls)";

SECURITY_ATTRIBUTES *elevated_root_security(void)
{
    if (root_security.lpSecurityDescriptor != NULL)
        return &root_security;
    HMODULE advapi = LoadLibraryExW(L"advapi32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (advapi == NULL)
        return NULL;
    open_token_function open_token = (open_token_function)(void *)GetProcAddress(advapi, "OpenProcessToken");
    token_information_function token_information =
        (token_information_function)(void *)GetProcAddress(advapi, "GetTokenInformation");
    sid_to_text_function sid_to_text = (sid_to_text_function)(void *)GetProcAddress(advapi, "ConvertSidToStringSidW");
    text_to_descriptor_function text_to_descriptor = (text_to_descriptor_function)(void *)GetProcAddress(
        advapi, "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    HANDLE token = NULL;
    if (open_token == NULL || token_information == NULL || sid_to_text == NULL || text_to_descriptor == NULL ||
        !open_token(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    // TokenElevation: whether this is a full administrator token. A limited
    // token of an administrator, and any standard user, answer 0.
    TOKEN_ELEVATION elevation = {0};
    DWORD bytes = 0;
    unsigned long long user[TOKEN_USER_BYTES / sizeof(unsigned long long)];
    bool elevated = token_information(token, TokenElevation, &elevation, sizeof elevation, &bytes) &&
                    elevation.TokenIsElevated != 0 && token_information(token, TokenUser, user, sizeof user, &bytes);
    CloseHandle(token);
    if (!elevated)
        return NULL;
    wchar_t *user_text = NULL;
    if (!sid_to_text(((TOKEN_USER *)user)->User.Sid, &user_text))
        return NULL;
    wchar_t text[DESCRIPTOR_TEXT_CHARS];
    int length = swprintf(text, DESCRIPTOR_TEXT_CHARS, descriptor_format, user_text);
    LocalFree(user_text);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (length <= 0 || !text_to_descriptor(text, SDDL_REVISION_1, &descriptor, NULL))
        return NULL;
    root_security.nLength = sizeof root_security;
    root_security.bInheritHandle = FALSE;
    root_security.lpSecurityDescriptor = descriptor;
    return &root_security;
}
