// SPDX-License-Identifier: MIT
// `vornak build`: payload, build-values object, resources, link with lld in
// MinGW mode against the prebuilt launcher pieces, check that the payload
// opens .rdata, post-link steps, and only then the output under its name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vornak/brand/brand.h"
#include "tools/vornak/payload/payload_writer.h"

namespace vornak {

struct BuildOptions {
    std::string app_dir;  // with dll: pack this folder
    std::string dll;
    std::vector<std::string> allowed_dlls;  // imports the target machines are known to have
    std::string payload;  // or take this payload file, checked
    bool unchecked = false;  // carry the payload file without checking it
    std::string output;
    bool console = false;  // subsystem 3 instead of 2
    std::string cache_template;  // UTF-8; empty: a fresh directory per run
    PackOptions pack;
    BrandOptions brand;
    std::string splash;         // PNG shown while a slow start unpacks; empty: none
    bool error_dialog = false;  // fatal lines also in a message box when no handle shows them
};

struct BuildResult {
    uint64_t payload_bytes = 0;
    uint64_t image_bytes = 0;
    std::string linker;
    std::vector<std::string> empty_folders;  // dropped from the packed folder for holding no file
    std::vector<std::string> warnings;  // from the check of the application folder
};

// The launcher pieces that every image links, as lib<name>.a in
// <tool_dir>/../lib/vornak/: the launcher's rooms in link order from the top
// down (the start-up first), zstd's decoder, then the system import libraries.
constexpr const char *LAUNCHER_ROOMS[] = {"image", "launcher", "payload", "paths", "common", "zstd_decompress"};
constexpr const char *SYSTEM_LIBRARIES[] = {"kernel32", "ucrtapp", "gcc"};

// ld.lld to use: $VORNAK_LD when set, else ld.lld next to the tool, else
// /usr/bin/ld.lld, else ld.lld or ld.lld-14 on PATH. Throws Error when
// none is executable.
std::string find_linker(const std::string &tool_dir);

// <tool_dir>/../lib/vornak, after checking that the archive of every
// LAUNCHER_ROOMS and SYSTEM_LIBRARIES name is there. Throws Error naming the first one missing.
std::string launcher_library_dir(const std::string &tool_dir);

// The linker's arguments (without the program itself): a windowed image, or
// with console a console one.
std::vector<std::string> link_arguments(const std::string &library_dir, const std::string &object,
                                        const std::string &resources, const std::string &output,
                                        bool console = false);

// The cache template as UTF-16, checked: valid UTF-8 without control
// characters, at most BUILD_VALUE_MAX_UNITS units, absolute (a drive, a UNC
// path or one of the placeholders that give an absolute folder first), and
// only placeholders that stay the same from start to start. Throws Error
// naming --cache-dir.
std::u16string cache_template_units(const std::string &cache_template);

// Runs the whole build; tool_dir is where the vornak executable lives. The
// brand options must have passed check_brand_options.
BuildResult build_launcher(const BuildOptions &options, const std::string &tool_dir);

}  // namespace vornak
