// SPDX-License-Identifier: MIT
// The build command. Intermediates live in a private scratch directory that
// is removed afterwards; the image is linked to a temporary next to the
// output and renamed only when every step succeeded.
#include "tools/vornak/build.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "tools/vornak/bytes.h"
#include "tools/vornak/coff.h"
#include "tools/vornak/error.h"
#include "tools/vornak/files.h"
#include "tools/vornak/pe_image.h"
#include "tools/vornak/resources.h"
#include "tools/vornak/utf.h"

extern char **environ;

namespace vornak {

namespace {

constexpr size_t PLACEMENT_CHECK_BYTES = 4096;
constexpr size_t NT_HEADERS_BYTES = 4 + COFF_FILE_HEADER_BYTES;  // "PE\0\0", then the file header

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

int run_program(const std::string &program, const std::vector<std::string> &args) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) throw Error("cannot start the linker '" + printable(program) + "': " + errno_text(rc));
    int status;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            int err = errno;
            throw Error("cannot wait for the linker: " + errno_text(err));
        }
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string read_range(std::ifstream &in, uint64_t offset, size_t bytes) {
    std::string data(bytes, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(&data[0], static_cast<std::streamsize>(bytes));
    data.resize(static_cast<size_t>(in.gcount()));
    in.clear();
    return data;
}

}  // namespace

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
    for (const char *lib : LAUNCHER_LIBRARIES)
        if (!is_regular_file(dir + "/" + lib))
            throw Error("launcher piece '" + printable(dir + "/" + lib) +
                        "' is missing; build the project first");
    return dir;
}

std::vector<std::string> link_arguments(const std::string &library_dir, const std::string &object,
                                        const std::string &resources, const std::string &output) {
    std::vector<std::string> args = {
        "-m", "i386pep", "-o", output,
        "-e", "vornak_entry",
        "--subsystem", "windows:6.0",
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
    // The entry point is not referenced by anything, so the archive must be
    // taken whole for it to be linked in.
    args.insert(args.end(), {"--whole-archive", library_dir + "/liblauncher.a", "--no-whole-archive",
                             library_dir + "/libzstd_decompress.a", "-L" + library_dir, "-lkernel32",
                             "-lshell32", "-luser32", "-lucrtapp", "-lgcc"});
    return args;
}

void verify_payload_placement(const std::string &exe_path, const std::string &payload_path) {
    std::ifstream exe(exe_path, std::ios::binary);
    std::ifstream payload(payload_path, std::ios::binary);
    if (!exe || !payload) throw Error("cannot reopen the linked image or the payload to check them");
    std::string dos = read_range(exe, 0, 64);
    if (dos.size() < 64 || dos.compare(0, 2, "MZ") != 0) throw Error("the linker wrote no PE image");
    uint32_t pe = get_le32(reinterpret_cast<const unsigned char *>(dos.data()) + 60);
    std::string fh = read_range(exe, pe, NT_HEADERS_BYTES);
    if (fh.size() < NT_HEADERS_BYTES || fh.compare(0, 4, std::string("PE\0\0", 4)) != 0)
        throw Error("the linker wrote no PE image");
    const unsigned char *f = reinterpret_cast<const unsigned char *>(fh.data()) + 4;
    uint16_t sections = get_le16(f + 2);
    uint16_t optional_bytes = get_le16(f + 16);
    std::string table = read_range(exe, pe + NT_HEADERS_BYTES + optional_bytes, COFF_SECTION_HEADER_BYTES * sections);
    if (table.size() < COFF_SECTION_HEADER_BYTES * sections)
        throw Error("the linked image has a truncated section table");
    for (uint16_t i = 0; i < sections; ++i) {
        const unsigned char *s = reinterpret_cast<const unsigned char *>(table.data()) + COFF_SECTION_HEADER_BYTES * i;
        if (std::memcmp(s, ".rdata\0\0", 8) != 0) continue;
        uint32_t raw_bytes = get_le32(s + 16);
        uint32_t raw_offset = get_le32(s + 20);
        payload.seekg(0, std::ios::end);
        uint64_t length = static_cast<uint64_t>(payload.tellg());
        uint64_t length_offset = (length + 7) & ~uint64_t{7};
        size_t head_bytes = length < PLACEMENT_CHECK_BYTES ? static_cast<size_t>(length) : PLACEMENT_CHECK_BYTES;
        std::string head = read_range(payload, 0, head_bytes);
        if (raw_bytes < length_offset + 8 || read_range(exe, raw_offset, head_bytes) != head)
            throw Error("the linked image's .rdata does not open with the payload");
        std::string stored = read_range(exe, uint64_t{raw_offset} + length_offset, 8);
        uint64_t value = 0;
        for (size_t k = 0; k < stored.size(); ++k)
            value |= static_cast<uint64_t>(static_cast<unsigned char>(stored[k])) << (8 * k);
        if (stored.size() != 8 || value != length)
            throw Error("the linked image's .rdata does not hold the payload length after the payload");
        return;
    }
    throw Error("the linked image has no .rdata section");
}

BuildResult build_launcher(const BuildOptions &options, const std::string &tool_dir) {
    BuildResult result;
    std::u16string name = product_name_units(options.brand.name);
    parse_version(options.brand.version);
    std::u16string version;
    utf8_to_utf16(options.brand.version, version);
    bool packing = !options.app_dir.empty();
    if (packing == !options.payload.empty())
        throw Error("give either APP_DIR with --dll or --payload FILE");
    if (packing && options.dll.empty()) throw Error("--dll is required with APP_DIR");

    // Find the tools first: a missing piece should not cost a full pack.
    result.linker = find_linker(tool_dir);
    std::string library_dir = launcher_library_dir(tool_dir);

    ScratchDir scratch;
    std::string payload = options.payload;
    if (packing) {
        payload = scratch.path() + "/payload.bin";
        result.payload_bytes = pack_folder(options.app_dir, options.dll, options.pack, payload).payload_bytes;
    }
    std::string object = scratch.path() + "/build_values.o";
    write_build_values_object(payload, name, version, object);
    std::string resources = write_resources(options.brand, scratch.path());

    OutputFile image(options.output);
    image.close();
    int rc = run_program(result.linker, link_arguments(library_dir, object, resources, image.temp_path()));
    if (rc != 0) throw Error("the linker failed (exit code " + std::to_string(rc) + ")");
    align_payload_section(image.temp_path());
    verify_payload_placement(image.temp_path(), payload);
    finish_image(options.brand, image.temp_path());
    struct stat st;
    if (::stat(image.temp_path().c_str(), &st) == 0) result.image_bytes = static_cast<uint64_t>(st.st_size);
    if (!packing && ::stat(payload.c_str(), &st) == 0) result.payload_bytes = static_cast<uint64_t>(st.st_size);
    image.commit(0777);
    return result;
}

}  // namespace vornak
