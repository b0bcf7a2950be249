// SPDX-License-Identifier: MIT
// The application folder's DLLs read before packing: the application DLL's
// headers and exports, and the import and delay-import tables of every DLL
// the folder carries, against the compiled-in lists of dll_lists.txt. Reads
// files only; writes nothing.
#include "tools/vornak/app/app_check.h"

#include <cstring>
#include <set>
#include <sstream>

#include "tools/vornak/base/error.h"
#include "tools/vornak/base/utf.h"
#include "tools/vornak/pe/pe_reader.h"

namespace vornak {

namespace {

constexpr uint16_t MACHINE_AMD64 = 0x8664, MACHINE_I386 = 0x14C, MACHINE_ARMNT = 0x1C4, MACHINE_ARM64 = 0xAA64;
constexpr uint16_t IMAGE_FILE_DLL = 0x2000;
constexpr const char ENTRY_POINT[] = "run_code";
constexpr const char C_LINKAGE[] = "extern \"C\" __declspec(dllexport)";

struct Group {
    KnownDll::Kind kind;
    std::string origin;
    std::vector<std::string> patterns;  // lower case; at most one '*'
};

std::string ascii_lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string trimmed(const std::string &s) {
    size_t start = s.find_first_not_of(" \t"), end = s.find_last_not_of(" \t\r");
    return start == std::string::npos ? std::string() : s.substr(start, end - start + 1);
}

std::vector<Group> parse_lists(const char *text) {
    static const std::pair<const char *, KnownDll::Kind> tags[] = {{"[system]", KnownDll::SYSTEM},
                                                                   {"[redistributable]", KnownDll::REDISTRIBUTABLE}};
    std::vector<Group> groups;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (trimmed(line).empty() || line[0] == '#') continue;
        bool opened = false;
        for (const auto &tag : tags)
            if (line.rfind(tag.first, 0) == 0) {
                groups.push_back({tag.second, trimmed(line.substr(std::strlen(tag.first))), {}});
                opened = true;
            }
        if (opened) continue;
        if (groups.empty()) throw std::logic_error("dll_lists.txt: a name before the first group");
        std::istringstream words(line);
        for (std::string w; words >> w;) groups.back().patterns.push_back(ascii_lower(w));
    }
    return groups;
}

bool matches(const std::string &pattern, const std::string &name) {
    size_t star = pattern.find('*');
    if (star == std::string::npos) return pattern == name;
    size_t tail = pattern.size() - star - 1;
    return name.size() >= star + tail && name.compare(0, star, pattern, 0, star) == 0 &&
           name.compare(name.size() - tail, tail, pattern, star + 1, tail) == 0;
}

// The entry's name as the user sees it in the folder: "/"-separated UTF-8.
std::string label_of(const PackEntry &entry) {
    std::string label = utf16_to_utf8(entry.name);
    for (char &c : label)
        if (c == '\\') c = '/';
    return printable(label);
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string machine_name(uint16_t machine) {
    switch (machine) {
    case MACHINE_I386: return "32-bit x86";
    case MACHINE_ARMNT: return "32-bit ARM";
    case MACHINE_ARM64: return "ARM64";
    default: return "another processor";
    }
}

bool is_mangled(const std::string &name) {
    return name.find(ENTRY_POINT) != std::string::npos && (name[0] == '?' || name.rfind("_Z", 0) == 0);
}

// The application DLL as the launcher's child will meet it: LoadLibraryExW
// refuses anything but an x64 DLL, and GetProcAddress looks up the plain name.
void check_application_dll(const PeImage &pe) {
    if (pe.machine != MACHINE_AMD64)
        throw Error("built for " + machine_name(pe.machine) + " (machine " + hex_text(pe.machine, 4) +
                    "); the launcher is x64 and loads only x64 DLLs (machine 0x8664)");
    if (pe.magic != PE32_PLUS_MAGIC)
        throw Error("optional header magic " + hex_text(pe.magic, 3) + ", not PE32+ (0x20b)");
    if (!(pe.characteristics & IMAGE_FILE_DLL))
        throw Error("an executable, not a DLL (IMAGE_FILE_DLL is not set); build it as a DLL (-shared, "
                            "or link /DLL)");
    std::vector<std::string> exports = read_export_names(pe);
    for (const std::string &name : exports)
        if (name == ENTRY_POINT) return;
    for (const std::string &name : exports)
        if (is_mangled(name))
            throw Error("exports run_code only under its C++ name '" + name + "'; declare it " + C_LINKAGE +
                        " so that it is exported as run_code");
    throw Error(std::string("does not export run_code; export it with C linkage: ") + C_LINKAGE +
                " int run_code(int argc, wchar_t **argv, const wchar_t *dll_path)");
}

PeImage parse_dll(const MappedFile &file) {
    if (file.size() >= 4 && std::memcmp(file.data(), "\x7f" "ELF", 4) == 0)
        throw Error("an ELF file (a Linux shared object), not a Windows DLL; build it for Windows x64, "
                            "e.g. with x86_64-w64-mingw32-gcc -shared");
    if (file.size() < 2 || file.data()[0] != 'M' || file.data()[1] != 'Z')
        throw Error("not a Windows DLL (no MZ header)");
    try {
        return parse_pe(file.data(), file.size());
    } catch (const Error &e) {
        throw Error(std::string("not a Windows DLL: ") + e.what());
    }
}

std::vector<std::string> imported_libraries(const PeImage &pe) {
    std::vector<std::string> libs;
    for (const PeImport &lib : read_imports(pe)) libs.push_back(lib.library);
    for (const std::string &lib : read_delay_import_libraries(pe)) libs.push_back(lib);
    return libs;
}

}  // namespace

KnownDll classify_dll(const std::string &name) {
    static const std::vector<Group> groups = parse_lists(DLL_LISTS_TEXT);
    std::string key = ascii_lower(name);
    for (const Group &g : groups)
        for (const std::string &pattern : g.patterns)
            if (matches(pattern, key)) return KnownDll{g.kind, g.origin};
    return KnownDll();
}

std::vector<std::string> check_application(const std::vector<PackEntry> &entries,
                                           const std::vector<std::string> &allowed) {
    if (entries.empty()) throw std::logic_error("check_application: no application DLL");
    std::set<std::string> carried, allowed_names;
    for (const PackEntry &e : entries) carried.insert(ascii_lower(label_of(e)));
    for (const std::string &name : allowed) allowed_names.insert(ascii_lower(name));
    std::string app_folder = folder_of(ascii_lower(label_of(entries[0])));

    std::vector<std::string> warnings;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string label = label_of(entries[i]);
        std::string lower = ascii_lower(label);
        bool application = i == 0;
        if (!application && (lower.size() < 4 || lower.compare(lower.size() - 4, 4, ".dll") != 0)) continue;
        MappedFile file(entries[i].path);
        std::vector<std::string> libs;
        try {
            PeImage pe = parse_dll(file);
            if (application) check_application_dll(pe);
            // A DLL for another processor belongs to some other program.
            if (pe.machine != MACHINE_AMD64 || pe.magic != PE32_PLUS_MAGIC) continue;
            libs = imported_libraries(pe);
        } catch (const Error &e) {
            if (application) throw Error(label + ": " + e.what());
            warnings.push_back(label + ": " + e.what() + "; what it imports is not checked");
            continue;
        }
        std::set<std::string> seen;
        for (const std::string &lib : libs) {
            std::string key = ascii_lower(lib);
            if (!seen.insert(key).second) continue;
            // Where the child's loader looks: the importing DLL's folder, the
            // application DLL's folder and the extraction directory itself.
            if (carried.count(folder_of(lower) + key) || carried.count(app_folder + key) || carried.count(key) ||
                allowed_names.count(key))
                continue;
            KnownDll known = classify_dll(key);
            if (known.kind == KnownDll::SYSTEM) continue;
            if (known.kind == KnownDll::REDISTRIBUTABLE)
                throw Error(label + ": imports " + lib + ", which the folder does not carry and a clean Windows "
                            "lacks; " + known.origin + " (or pass --allow-dll " + lib +
                            " when every target machine has it)");
            warnings.push_back(label + ": imports " + lib + ", which the folder does not carry and which is not a "
                               "DLL every Windows has; the application does not load where it is missing (pass "
                               "--allow-dll " + lib + " when every target machine has it)");
        }
    }
    return warnings;
}

PackResult pack_application(const std::string &app_dir, const std::string &dll,
                            const std::vector<std::string> &allowed, const PackOptions &options,
                            const std::string &output, std::vector<std::string> &warnings) {
    return pack_folder(app_dir, dll, options, output, [&](const std::vector<PackEntry> &entries) {
        std::vector<std::string> found = check_application(entries, allowed);
        warnings.insert(warnings.end(), found.begin(), found.end());
    });
}

}  // namespace vornak
