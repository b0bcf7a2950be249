// SPDX-License-Identifier: MIT
// The application folder as a list of payload entries: which files, under
// which names, in which order. Only names and sizes are held here; contents
// are read later, one file at a time, while the payload is written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vornak {

struct PackEntry {
    std::u16string name;  // relative, "\"-separated, as the launcher writes it
    std::string path;     // host path to read the contents from
    uint64_t size;        // size seen while walking; rechecked when read
};

// Walks app_dir and returns its files as payload entries: first the DLL named
// by dll (a "/"-separated path relative to app_dir), then, at each directory
// level, the files in byte order of their UTF-8 names followed by the
// subdirectories in the same order. Symlinks that stay inside app_dir are
// followed. Throws Error for a missing folder or DLL, a DLL that is not a
// regular file, a symlink that leaves the folder or dangles, a directory
// cycle, anything that is neither a regular file nor a directory, a name
// that is not well-formed UTF-8, a name Windows cannot hold (reserved
// characters, a "\" inside a name, a reserved device name, a trailing dot or
// blank), two names in one directory that differ only in ASCII case, and an
// entry name over PAYLOAD_NAME_MAX_UNITS code units.
std::vector<PackEntry> collect_entries(const std::string &app_dir, const std::string &dll);

// What to leave out of an application folder.
struct FolderFilter {
    std::vector<std::string> excludes;   // --exclude patterns (see glob.h), against "/"-separated paths
    std::vector<std::string> leave_out;  // files to skip wherever they appear (by device and inode)
};

struct FolderScan {
    std::vector<PackEntry> entries;
    std::vector<std::string> empty_folders;  // outermost folders left without files, "/"-separated
    std::vector<std::string> excluded;       // what the filter left out (an excluded folder as one path)
};

// collect_entries with a filter: files and folders matching an exclude
// pattern, and the leave_out files, are skipped before any other check.
// Also throws Error for a bad pattern and for a DLL that the filter leaves out.
FolderScan scan_folder(const std::string &app_dir, const std::string &dll, const FolderFilter &filter);

// Empty when component (one path element, UTF-8) can be a Windows file name;
// otherwise why not. Also checks the UTF-8 and fills utf16 with the name.
std::string windows_name_problem(const std::string &component, std::u16string &utf16);

// Empty when name, a payload entry name as stored ("\"-separated UTF-16), is
// one that collect_entries could have written: 1 to PAYLOAD_NAME_MAX_UNITS
// units, no empty, "." or ".." component, no lone surrogate, and every
// component a Windows file name by windows_name_problem (so no drive, no
// "/"). Such a name stays below the folder it is unpacked into. Otherwise
// why not.
std::string entry_name_problem(const std::u16string &name);

// The names of one payload, checked as Windows would meet them: each by
// entry_name_problem, and each against the names added before it. Refused:
// a name equal to an earlier one, or equal but for ASCII letter case in
// itself or in one of its folders (on Windows one would replace the other),
// and a file where an earlier name needs a folder, or the other way round.
class EntryNameSet {
public:
    // Empty when name is fine, and it joins the set; otherwise why not.
    std::string add(const std::u16string &name);

private:
    struct Seen {
        std::u16string as_given;
        bool is_file;
    };
    std::map<std::u16string, Seen> seen_;  // by ASCII-lowered path of each file and folder
};

}  // namespace vornak
