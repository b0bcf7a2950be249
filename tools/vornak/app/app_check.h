// SPDX-License-Identifier: MIT
// The application folder checked before it is packed: the application DLL
// must be a DLL the launcher can load and call (PE32+ for x64, flagged as a
// DLL, exporting an unmangled run_code), and what it and every DLL the
// folder carries import must be carried, be part of Windows, or be allowed.
#pragma once

#include <string>
#include <vector>

#include "tools/vornak/payload/payload_writer.h"
#include "tools/vornak/payload/tree.h"

namespace vornak {

// dll_lists.txt, compiled in.
extern const char DLL_LISTS_TEXT[];

struct KnownDll {
    enum Kind { UNKNOWN, SYSTEM, REDISTRIBUTABLE } kind = UNKNOWN;
    std::string origin;  // the group's text: the source, or where the DLL comes from
};
// What the compiled-in lists say about a DLL name (any letter case).
KnownDll classify_dll(const std::string &name);

// Checks entries as collect_entries returns them (the application DLL
// first). Throws Error with one line naming the file and the fault when the
// application DLL is not a loadable x64 DLL with a run_code export, or when
// a DLL the folder carries imports a known redistributable that the folder
// does not carry where the loader looks (the importing DLL's folder, the
// application DLL's folder, the top of the folder). Returns one warning per
// other imported DLL that is neither carried, nor a system DLL, nor named in
// allowed (any letter case).
std::vector<std::string> check_application(const std::vector<PackEntry> &entries,
                                           const std::vector<std::string> &allowed);

// pack_folder with check_application between the walk and the writing: nothing is
// written for a folder that is refused. Warnings are appended to warnings.
PackResult pack_application(const std::string &app_dir, const std::string &dll,
                            const std::vector<std::string> &allowed, const PackOptions &options,
                            const std::string &output, std::vector<std::string> &warnings);

}  // namespace vornak
