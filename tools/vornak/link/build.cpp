// SPDX-License-Identifier: MIT
// The build command. Intermediates live in a private scratch directory that
// is removed afterwards; the image is linked to a temporary next to the
// output and renamed only when every step succeeded.
#include "tools/vornak/link/build.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "payload/format.h"
#include "tools/vornak/app/app_check.h"
#include "tools/vornak/brand/splash_image.h"
#include "tools/vornak/pe/coff.h"
#include "tools/vornak/payload/payload_reader.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/payload/payload_check.h"
#include "tools/vornak/pe/layout.h"
#include "tools/vornak/pe/pe_edit.h"
#include "tools/vornak/pe/pe_reader.h"
#include "tools/vornak/base/process.h"
#include "tools/vornak/base/sha256.h"
#include "tools/vornak/base/utf.h"
#include "tools/vornak/pe/resources.h"

namespace vornak {

namespace {

bool is_executable(const std::string &path) {
    return is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

std::string search_path(const std::string &program) {
    const char *path = std::getenv("PATH");
    if (!path) return std::string();
    std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
        size_t colon = list.find(':', start);
        if (colon == std::string::npos) colon = list.size();
        std::string dir = list.substr(start, colon - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        if (is_executable(candidate)) return candidate;
        start = colon + 1;
    }
    return std::string();
}

// Placeholders that name the same folder at every start. {PID}, {TIME},
// {TIME_US} and {RANDOM} would give every start a cache of its own.
constexpr const char *CACHE_PLACEHOLDERS[] = {"TEMP",    "HOME",         "CACHE_DIR",       "PROGRAM",
                                              "PROGRAM_BASE", "PROGRAM_DIR", "COMPANY",   "PRODUCT",
                                              "VERSION", "FILE_VERSION", "PRODUCT_VERSION"};
// The ones whose value is an absolute folder, so may open the template.
constexpr const char *ABSOLUTE_PLACEHOLDERS[] = {"TEMP", "HOME", "CACHE_DIR", "PROGRAM_DIR"};

bool equal_ignoring_ascii_case(const std::string &a, const char *b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == 0;
}

bool is_one_of(const std::string &name, const char *const *first, const char *const *last) {
    for (; first != last; ++first)
        if (equal_ignoring_ascii_case(name, *first)) return true;
    return false;
}

// The sum of the entry sizes: what the launcher's progress runs up to.
uint64_t unpacked_total_bytes(const std::string &payload_path) {
    MappedFile file(payload_path);
    PayloadParts parts = locate_payload(ByteView{file.data(), file.size()});
    if (parts.problem != PayloadParts::NONE)
        throw Error("payload '" + printable(payload_path) + "' holds no entry stream to show progress for");
    uint64_t total = 0;
    read_payload_entries(parts.frame, parts.frame_bytes,
                         [&](const PayloadEntry &entry, EntryData &) { total += entry.size; });
    return total;
}

uint64_t file_size(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        throw Error("cannot read payload '" + printable(path) + "': " + errno_text(err));
    }
    return static_cast<uint64_t>(st.st_size);
}

// what: "payload 'p.bin'", as the message names it.
void check_payload_size(const std::string &what, uint64_t bytes) {
    if (bytes > PAYLOAD_LIMIT_BYTES)
        throw Error(what + " holds " + std::to_string(bytes) + " bytes; a launcher carries at most " +
                    std::to_string(PAYLOAD_LIMIT_BYTES) + " (its image must stay below 2 GiB, the most Windows loads)");
}

// What the loader would refuse, found before the image gets its name.
void check_linked_layout(const std::string &path) {
    MappedFile f(path);
    std::vector<std::string> problems = image_layout_problems(parse_pe(f.data(), f.size()));
    if (!problems.empty()) throw Error("the linked image would not load: " + problems.front());
}

}  // namespace

std::u16string cache_template_units(const std::string &cache_template) {
    const std::string where = "--cache-dir '" + printable(cache_template) + "'";
    std::u16string units;
    if (cache_template.empty()) throw Error("--cache-dir must not be empty");
    if (!utf8_to_utf16(cache_template, units)) throw Error(where + " is not valid UTF-8");
    if (units.size() > BUILD_VALUE_MAX_UNITS)
        throw Error("--cache-dir is longer than " + std::to_string(BUILD_VALUE_MAX_UNITS) + " UTF-16 code units");
    for (char16_t u : units)
        if (u < 0x20 || u == 0x7F || u == u'/') throw Error(where + " holds a control character or '/'");
    std::string first_placeholder;
    for (size_t pos = 0; pos < cache_template.size();) {
        size_t open = cache_template.find_first_of("{}", pos);
        if (open == std::string::npos) break;
        size_t close = cache_template.find('}', open + 1);
        if (cache_template[open] == '}' || close == std::string::npos)
            throw Error(where + " has an unmatched brace");
        std::string name = cache_template.substr(open + 1, close - open - 1);
        if (!is_one_of(name, std::begin(CACHE_PLACEHOLDERS), std::end(CACHE_PLACEHOLDERS)))
            throw Error(where + " uses {" + printable(name) +
                        "}, which is unknown or changes from start to start");
        if (open == 0) first_placeholder = name;
        pos = close + 1;
    }
    bool drive = units.size() >= 3 && units[1] == u':' && units[2] == u'\\' &&
                 ((units[0] >= u'A' && units[0] <= u'Z') || (units[0] >= u'a' && units[0] <= u'z'));
    bool unc = units.size() >= 3 && units[0] == u'\\' && units[1] == u'\\' && units[2] != u'\\';
    bool placeholder = !first_placeholder.empty() &&
                       is_one_of(first_placeholder, std::begin(ABSOLUTE_PLACEHOLDERS), std::end(ABSOLUTE_PLACEHOLDERS));
    if (!drive && !unc && !placeholder)
        throw Error(where + " is not absolute: begin it with a drive, \\\\server\\share, {CACHE_DIR}, {HOME}, "
                    "{TEMP} or {PROGRAM_DIR}");
    return units;
}

std::string find_linker(const std::string &tool_dir) {
    const char *env = std::getenv("VORNAK_LD");
    if (env && *env) {
        std::string ld = env;
        if (ld.find('/') == std::string::npos) {
            std::string found = search_path(ld);
            if (!found.empty()) return found;
        } else if (is_executable(ld)) {
            return ld;
        }
        throw Error("VORNAK_LD names '" + printable(ld) + "', which is not an executable program");
    }
    for (const std::string &candidate : {tool_dir + "/ld.lld", std::string("/usr/bin/ld.lld")})
        if (is_executable(candidate)) return candidate;
    for (const char *name : {"ld.lld", "ld.lld-14"}) {
        std::string found = search_path(name);
        if (!found.empty()) return found;
    }
    throw Error("cannot find ld.lld (set VORNAK_LD, or install lld)");
}

std::string launcher_library_dir(const std::string &tool_dir) {
    std::string dir = tool_dir + "/../lib/vornak";
    auto check = [&](const char *name) {
        std::string lib = dir + "/lib" + name + ".a";
        if (!is_regular_file(lib))
            throw Error("launcher piece '" + printable(lib) + "' is missing; build the project first");
    };
    for (const char *name : LAUNCHER_ROOMS) check(name);
    for (const char *name : SYSTEM_LIBRARIES) check(name);
    return dir;
}

std::vector<std::string> link_arguments(const std::string &library_dir, const std::string &object,
                                        const std::string &resources, const std::string &output, bool console) {
    std::vector<std::string> args = {
        "-m", "i386pep", "-o", output,
        // Both entries live in the start-up's archive; each tells the
        // runtime which kind of program it is.
        "-e", console ? "vornak_console_entry" : "vornak_entry",
        "--subsystem", console ? "console:6.0" : "windows:6.0",
        "--major-os-version", "6", "--minor-os-version", "0",
        "--stack", "16777216,4096",
        "--heap", "1048576,4096",
        "--file-alignment", "512",
        // Section alignment stays at lld's default of 4096: lld 14 in MinGW
        // mode warns "/align specified without /driver; image may not run"
        // for --section-alignment, whatever the value.
        "-s",
        // Header timestamp 0: the same inputs link to the same image.
        "--no-insert-timestamp",
        "--dynamicbase", "--high-entropy-va", "--nxcompat", "--tsaware", "--large-address-aware",
        // First input: its .rdata, which opens with the payload, comes first
        // in the image's .rdata.
        object,
    };
    if (!resources.empty()) args.push_back(resources);
    // The entry point is not referenced by anything, so the start-up's
    // archive must be taken whole for it to be linked in; the rooms below
    // follow in the order their references run.
    args.push_back("--whole-archive");
    for (const char *room : LAUNCHER_ROOMS) {
        args.push_back(library_dir + "/lib" + room + ".a");
        if (room == LAUNCHER_ROOMS[0]) args.push_back("--no-whole-archive");
    }
    args.push_back("-L" + library_dir);
    for (const char *system : SYSTEM_LIBRARIES) args.push_back(std::string("-l") + system);
    return args;
}

BuildResult build_launcher(const BuildOptions &options, const std::string &tool_dir) {
    if (options.brand.name_units.empty()) throw std::logic_error("build_launcher: brand options not checked");
    BuildResult result;
    bool packing = !options.app_dir.empty();
    if (packing == !options.payload.empty())
        throw Error("give either APP_DIR with --dll or --payload FILE");
    if (packing && options.dll.empty()) throw Error("--dll is required with APP_DIR");

    // Find the tools first: a missing piece should not cost a full pack.
    result.linker = find_linker(tool_dir);
    std::string library_dir = launcher_library_dir(tool_dir);
    // The size alone decides, before a byte of the payload is read.
    if (!packing) check_payload_size("payload '" + printable(options.payload) + "'", file_size(options.payload));
    if (!packing && !options.unchecked) check_payload_file(options.payload);
    // Checked before packing, like every other option.
    std::u16string cache_template, cache_key;
    if (!options.cache_template.empty()) cache_template = cache_template_units(options.cache_template);

    // A bad image should not cost a full pack either.
    LauncherExtras extras;
    if (options.error_dialog) extras.options |= LAUNCHER_OPTION_ERROR_DIALOG;
    if (!options.splash.empty()) {
        SplashImage splash = load_splash_image(options.splash);
        extras.options |= LAUNCHER_OPTION_SPLASH;
        extras.splash_width = splash.width;
        extras.splash_height = splash.height;
        extras.splash_pixels = std::move(splash.pixels);
    }

    ScratchDir scratch;
    std::string payload = options.payload;
    if (packing) {
        payload = scratch.path() + "/payload.bin";
        PackOptions pack = options.pack;
        pack.filter.leave_out.push_back(options.output);
        PackResult packed =
            pack_application(options.app_dir, options.dll, options.allowed_dlls, pack, payload, result.warnings);
        result.payload_bytes = packed.payload_bytes;
        result.empty_folders = std::move(packed.empty_folders);
        check_payload_size("the payload of '" + printable(options.app_dir) + "'", result.payload_bytes);
    }
    std::string object = scratch.path() + "/build_values.o";
    if (!cache_template.empty()) {
        // The payload's digest names the cache: another payload never meets
        // the files of this one, whatever version both carry.
        std::string key = sha256_file_hex(payload);
        cache_key.assign(key.begin(), key.end());
    }
    const BrandOptions &brand = options.brand;
    // The linker only reserves the payload's room; the payload is written
    // into it afterwards, so no process holds it in memory whole.
    if (!options.splash.empty()) extras.unpacked_total_bytes = unpacked_total_bytes(payload);
    write_build_values_object(payload,
                              {brand.name_units, brand.version_units, brand.company_units, brand.file_version_units,
                               cache_template, cache_key},
                              object, ObjectPayload::RESERVED, extras);
    std::string resources = write_resources(options.brand, scratch.path(), result.empty_folders);

    OutputFile image(options.output);
    image.close();
    int rc = run_program(result.linker,
                         link_arguments(library_dir, object, resources, image.temp_path(), options.console));
    if (rc != 0) throw Error("the linker failed (exit code " + std::to_string(rc) + ")");
    align_payload_section(image.temp_path());
    write_payload_into_image(image.temp_path(), payload);
    verify_payload_placement(image.temp_path(), payload);
    finish_image(options.brand, image.temp_path());
    check_linked_layout(image.temp_path());
    struct stat st;
    if (::stat(image.temp_path().c_str(), &st) == 0) result.image_bytes = static_cast<uint64_t>(st.st_size);
    if (!packing && ::stat(payload.c_str(), &st) == 0) result.payload_bytes = static_cast<uint64_t>(st.st_size);
    image.commit(0777);
    return result;
}

}  // namespace vornak
