// SPDX-License-Identifier: MIT
// Walks an application folder into payload entries, refusing everything
// that the launcher could not recreate faithfully on Windows. The walk holds
// the names and sizes only, never file contents.
#include "tools/vornak/payload/tree.h"

#include <dirent.h>
#include <locale.h>
#include <wctype.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "payload/format.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/utf.h"
#include "tools/vornak/payload/glob.h"

namespace vornak {

namespace {

template <typename Text>
Text ascii_lower(const Text &s) {
    Text out = s;
    for (auto &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<typename Text::value_type>(c - 'A' + 'a');
    return out;
}

// Windows folds letter case in file names; Linux does not.
std::string case_clash(const std::string &first, const std::string &second) {
    return "names '" + first + "' and '" + second + "' differ only in letter case; on Windows one would replace the other";
}

bool is_reserved_device_name(const std::u16string &component) {
    // Windows maps these names to devices in every directory, with any
    // extension ("nul.txt") and with trailing blanks before it.
    std::u16string stem = ascii_lower(component.substr(0, component.find(u'.')));
    while (!stem.empty() && stem.back() == u' ') stem.pop_back();
    auto stem_is = [&stem](const char *name, size_t units) {
        if (std::strlen(name) != units || stem.size() < units) return false;
        for (size_t i = 0; i < units; ++i)
            if (stem[i] != static_cast<char16_t>(name[i])) return false;
        return true;
    };
    for (const char *name : PAYLOAD_DEVICE_NAMES)
        if (stem.size() == std::strlen(name) && stem_is(name, stem.size())) return true;
    if (stem.size() != 4) return false;
    bool numbered = false;
    for (unsigned short unit : PAYLOAD_DEVICE_NUMBER_UNITS) numbered = numbered || stem[3] == unit;
    if (!numbered) return false;
    for (const char *name : PAYLOAD_NUMBERED_DEVICE_NAMES)
        if (stem_is(name, 3)) return true;
    return false;
}

// The key under which Windows finds a name: NTFS compares names unit by
// unit after its upper-case table, which follows Unicode's simple upper-case
// mapping for the basic plane; surrogates stay as they are. C.UTF-8's
// towupper gives that mapping on the host whatever the user's locale.
std::u16string windows_case_key(const std::u16string &name) {
    static locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::u16string out = name;
    for (auto &u : out) {
        if (u >= 0xD800 && u <= 0xDFFF) continue;
        wint_t upper = utf8 ? ::towupper_l(u, utf8) : (u >= 'a' && u <= 'z' ? u - 'a' + 'A' : u);
        if (upper <= 0xFFFF && (upper < 0xD800 || upper > 0xDFFF)) u = static_cast<char16_t>(upper);
    }
    return out;
}

std::string real_path(const std::string &path, int &err) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) {
        err = errno;
        return std::string();
    }
    err = 0;
    return resolved.get();
}

struct DirCloser {
    void operator()(DIR *d) const { ::closedir(d); }
};

struct Child {
    std::string name;       // UTF-8 as read from the directory
    std::u16string name16;
    std::string path;       // host path
    struct stat st;         // of the target, symlinks followed
};

class Walker {
public:
    Walker(std::string root_real, const FolderFilter &filter) : root_(std::move(root_real)), filter_(filter) {
        for (const std::string &path : filter.leave_out) {
            struct stat st;
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) leave_out_.emplace_back(st.st_dev, st.st_ino);
        }
    }

    // Walks dir and returns how many files it adds from there down.
    size_t walk(const std::string &dir, const std::string &rel, const std::u16string &rel16,
                const struct stat &dir_st) {
        active_.emplace_back(dir_st.st_dev, dir_st.st_ino);
        size_t empty_before = empty_folders_.size();
        size_t added = files_.size();
        std::vector<Child> files, dirs;
        read_children(dir, rel, files, dirs);
        for (const Child &f : files) {
            std::u16string name = join(rel16, f.name16);
            if (name.size() > PAYLOAD_NAME_MAX_UNITS)
                throw Error("name '" + printable(join(rel, f.name)) + "' is " +
                            std::to_string(name.size()) + " UTF-16 code units long; at most " +
                            std::to_string(PAYLOAD_NAME_MAX_UNITS) + " fit");
            entries_.push_back(PackEntry{name, f.path, static_cast<uint64_t>(f.st.st_size)});
            files_.push_back(join(rel, f.name));
        }
        for (const Child &d : dirs) {
            for (const auto &a : active_)
                if (a.first == d.st.st_dev && a.second == d.st.st_ino)
                    throw Error("directory cycle: '" + printable(join(rel, d.name)) +
                                "' leads back to a directory that contains it");
            walk(d.path, join(rel, d.name), join(rel16, d.name16), d.st);
        }
        active_.pop_back();
        added = files_.size() - added;
        // A folder without files has no place in a payload; name the
        // outermost one only, its empty subfolders go with it.
        if (added == 0 && !rel.empty()) {
            empty_folders_.resize(empty_before);
            empty_folders_.push_back(rel);
        }
        return added;
    }

    std::vector<PackEntry> take() { return std::move(entries_); }
    const std::vector<std::string> &files() const { return files_; }
    const std::vector<std::string> &empty_folders() const { return empty_folders_; }
    const std::vector<std::string> &excluded() const { return excluded_; }

private:
    static std::string join(const std::string &rel, const std::string &name) {
        return rel.empty() ? name : rel + "/" + name;
    }
    static std::u16string join(const std::u16string &rel, const std::u16string &name) {
        return rel.empty() ? name : rel + u"\\" + name;
    }

    bool inside_root(const std::string &real) const {
        return real == root_ || (real.size() > root_.size() && real.compare(0, root_.size(), root_) == 0 &&
                                 (root_ == "/" || real[root_.size()] == '/'));
    }

    void read_children(const std::string &dir, const std::string &rel, std::vector<Child> &files,
                       std::vector<Child> &dirs) {
        std::unique_ptr<DIR, DirCloser> handle(::opendir(dir.c_str()));
        if (!handle) {
            int err = errno;
            throw Error("cannot read directory '" + printable(dir) + "': " + errno_text(err));
        }
        std::map<std::u16string, std::string> folded;  // windows_case_key of the name -> name
        for (;;) {
            errno = 0;
            struct dirent *de = ::readdir(handle.get());
            if (!de) {
                if (errno != 0) {
                    int err = errno;
                    throw Error("cannot read directory '" + printable(dir) + "': " + errno_text(err));
                }
                break;
            }
            std::string name = de->d_name;
            if (name == "." || name == "..") continue;
            // Left out before any check: an excluded name need not be one
            // that Windows can hold.
            std::string rel_name = join(rel, name);
            if (first_match(filter_.excludes, rel_name)) {
                excluded_.push_back(rel_name);
                continue;
            }
            Child c;
            c.name = name;
            c.path = dir + "/" + name;
            std::string shown = printable(join(rel, name));
            std::string problem = windows_name_problem(name, c.name16);
            if (!problem.empty()) throw Error("name '" + shown + "' " + problem);
            auto [it, fresh] = folded.emplace(windows_case_key(c.name16), name);
            if (!fresh) throw Error(case_clash(printable(join(rel, it->second)), shown));
            if (::lstat(c.path.c_str(), &c.st) != 0) {
                int err = errno;
                throw Error("cannot read '" + shown + "': " + errno_text(err));
            }
            if (S_ISLNK(c.st.st_mode)) {
                int err;
                std::string target = real_path(c.path, err);
                if (target.empty()) {
                    throw Error("symlink '" + shown + "' cannot be followed: " + errno_text(err));
                }
                if (!inside_root(target))
                    throw Error("symlink '" + shown + "' leads outside the application folder (to '" +
                                printable(target) + "')");
                if (::stat(c.path.c_str(), &c.st) != 0) {
                    err = errno;
                    throw Error("symlink '" + shown + "' cannot be followed: " + errno_text(err));
                }
            }
            if (S_ISREG(c.st.st_mode)) {
                if (std::find(leave_out_.begin(), leave_out_.end(), std::make_pair(c.st.st_dev, c.st.st_ino)) !=
                    leave_out_.end()) {
                    excluded_.push_back(rel_name);
                    continue;
                }
                files.push_back(std::move(c));
            } else if (S_ISDIR(c.st.st_mode)) {
                dirs.push_back(std::move(c));
            } else {
                const char *kind = S_ISFIFO(c.st.st_mode)   ? "a fifo"
                                   : S_ISSOCK(c.st.st_mode) ? "a socket"
                                   : S_ISCHR(c.st.st_mode)  ? "a character device"
                                   : S_ISBLK(c.st.st_mode)  ? "a block device"
                                                            : "of an unknown kind";
                throw Error("'" + shown + "' is " + kind + "; only regular files and directories can be packed");
            }
        }
        auto by_name = [](const Child &a, const Child &b) { return a.name < b.name; };
        std::sort(files.begin(), files.end(), by_name);
        std::sort(dirs.begin(), dirs.end(), by_name);
    }

    std::string root_;
    const FolderFilter &filter_;
    std::vector<std::pair<dev_t, ino_t>> leave_out_;
    std::vector<std::pair<dev_t, ino_t>> active_;  // directories on the current walk path
    std::vector<PackEntry> entries_;
    std::vector<std::string> files_;  // the entries' paths, "/"-separated
    std::vector<std::string> empty_folders_, excluded_;
};

// Splits the --dll argument into components, dropping "." ones.
std::vector<std::string> dll_components(const std::string &dll) {
    if (dll.empty()) throw Error("--dll names no file");
    if (dll[0] == '/') throw Error("--dll '" + printable(dll) + "' must be relative to the application folder");
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= dll.size()) {
        size_t slash = dll.find('/', start);
        if (slash == std::string::npos) slash = dll.size();
        std::string part = dll.substr(start, slash - start);
        if (part == "..")
            throw Error("--dll '" + printable(dll) + "' must stay inside the application folder");
        if (!part.empty() && part != ".") parts.push_back(part);
        start = slash + 1;
    }
    if (parts.empty() || dll.back() == '/') throw Error("--dll '" + printable(dll) + "' names no file");
    return parts;
}

}  // namespace

std::string windows_name_problem(const std::string &component, std::u16string &utf16) {
    utf16.clear();
    if (!utf8_to_utf16(component, utf16)) return "is not valid UTF-8 and has no UTF-16 form";
    for (char16_t u : utf16) {
        if (u < 0x20) return "holds a control character, which Windows does not allow in file names";
        if (u == '\\') return "holds '\\', which is the path separator on Windows";
        if (u == '/') return "holds '/', which Windows takes for a path separator";
        if (u < 0x80 && std::strchr(PAYLOAD_NAME_FORBIDDEN_CHARACTERS, static_cast<char>(u)))
            return std::string("holds '") + static_cast<char>(u) + "', which Windows does not allow in file names";
    }
    char last = component.back();
    if (last == '.' || last == ' ')
        return "ends with a dot or a blank, which Windows drops from file names";
    if (is_reserved_device_name(utf16)) return "is a reserved device name on Windows";
    if (ascii_lower(component) == PAYLOAD_START_MARKER_NAME)
        return "is the name the launcher keeps its start marker under";
    if (ascii_lower(component) == PAYLOAD_CACHE_RECORD_NAME)
        return "is the name the launcher keeps its cache record under";
    if (utf16.size() > PAYLOAD_COMPONENT_MAX_UNITS)
        return "is " + std::to_string(utf16.size()) + " UTF-16 code units long; a file name holds at most " +
               std::to_string(PAYLOAD_COMPONENT_MAX_UNITS);
    return std::string();
}

std::string entry_name_problem(const std::u16string &name) {
    if (name.empty()) return "is empty";
    if (name.size() > PAYLOAD_NAME_MAX_UNITS)
        return "is " + std::to_string(name.size()) + " UTF-16 code units long; at most " +
               std::to_string(PAYLOAD_NAME_MAX_UNITS) + " fit";
    for (size_t start = 0; start <= name.size();) {
        size_t end = std::min(name.find(u'\\', start), name.size());
        std::u16string component = name.substr(start, end - start);
        if (component.empty()) return "has an empty component (a leading, doubled or trailing '\\')";
        if (component == u"." || component == u"..") return "has a '.' or '..' component, which leads out of its folder";
        std::string utf8 = utf16_to_utf8(component);
        std::u16string units;
        if (utf8_to_utf16(utf8, units) && units != component) return "holds a lone surrogate, which has no UTF-8 form";
        std::string problem = windows_name_problem(utf8, units);
        if (!problem.empty()) return problem;
        start = end + 1;
    }
    return std::string();
}

std::string EntryNameSet::add(const std::u16string &name) {
    std::string problem = entry_name_problem(name);
    if (!problem.empty()) return problem;
    for (size_t end = 0; end < name.size(); ++end) {
        end = std::min(name.find(u'\\', end), name.size());
        std::u16string path = name.substr(0, end);
        bool is_file = end == name.size();
        auto [it, fresh] = seen_.emplace(windows_case_key(path), Seen{path, is_file});
        if (fresh) continue;
        if (it->second.as_given != path) return case_clash(printable(it->second.as_given), printable(path));
        if (is_file && it->second.is_file) return "appears twice";
        if (is_file || it->second.is_file) return "names both a file and a folder";
    }
    return std::string();
}

std::vector<PackEntry> collect_entries(const std::string &app_dir, const std::string &dll) {
    return scan_folder(app_dir, dll, FolderFilter()).entries;
}

FolderScan scan_folder(const std::string &app_dir, const std::string &dll, const FolderFilter &filter) {
    for (const std::string &pattern : filter.excludes) {
        std::string problem = glob_problem(pattern);
        if (!problem.empty()) throw Error("--exclude '" + printable(pattern) + "' " + problem);
    }
    if (app_dir.empty()) throw Error("no application folder given");
    struct stat root_st;
    if (::stat(app_dir.c_str(), &root_st) != 0) {
        int err = errno;
        throw Error("application folder '" + printable(app_dir) + "': " + errno_text(err));
    }
    if (!S_ISDIR(root_st.st_mode))
        throw Error("application folder '" + printable(app_dir) + "' is not a directory");
    int err;
    std::string root = real_path(app_dir, err);
    if (root.empty())
        throw Error("application folder '" + printable(app_dir) + "': " + errno_text(err));

    std::vector<std::string> parts = dll_components(dll);
    std::string dll_path = root;
    std::string dll_rel;
    std::u16string dll_name;
    for (const std::string &p : parts) {
        dll_path += "/" + p;
        dll_rel += (dll_rel.empty() ? "" : "/") + p;
        std::u16string unit;
        std::string problem = windows_name_problem(p, unit);
        if (!problem.empty()) throw Error("--dll name '" + printable(dll) + "' " + problem);
        dll_name += (dll_name.empty() ? u"" : u"\\") + unit;
    }
    struct stat dll_st;
    if (::stat(dll_path.c_str(), &dll_st) != 0) {
        err = errno;
        throw Error("DLL '" + printable(dll_rel) + "' not found in '" + printable(app_dir) + "': " +
                    errno_text(err));
    }
    if (!S_ISREG(dll_st.st_mode))
        throw Error("DLL '" + printable(dll_rel) + "' is not a regular file");

    Walker walker(root, filter);
    walker.walk(root, std::string(), std::u16string(), root_st);
    FolderScan scan;
    scan.entries = walker.take();
    auto it = std::find_if(scan.entries.begin(), scan.entries.end(),
                           [&](const PackEntry &e) { return e.name == dll_name; });
    if (it == scan.entries.end()) {
        for (const std::string &pattern : filter.excludes)
            if (glob_matches(pattern, dll_rel))
                throw Error("DLL '" + printable(dll_rel) + "' is left out by --exclude '" + printable(pattern) + "'");
        throw Error("DLL '" + printable(dll_rel) + "' is not among the folder's files");
    }
    std::rotate(scan.entries.begin(), it, it + 1);
    scan.empty_folders = walker.empty_folders();
    scan.excluded = walker.excluded();
    return scan;
}

}  // namespace vornak
