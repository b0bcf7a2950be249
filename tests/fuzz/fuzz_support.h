// SPDX-License-Identifier: MIT
// Shared by the fuzz targets: the tool's readers take a path, so each input
// is written to a file in a scratch folder of the process first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The process's scratch folder (created once, removed at exit).
const std::string &scratch();

// Writes data[0..size) to path, replacing what was there; aborts on failure,
// since a target that cannot set up its input tests nothing.
void write_input(const std::string &path, const uint8_t *data, size_t size);

// Every path below dir, relative to it, symlinks listed and not followed.
void list_tree(const std::string &dir, const std::string &rel, std::string &out);

}  // namespace fuzz
