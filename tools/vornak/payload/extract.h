// SPDX-License-Identifier: MIT
// `vornak extract`: the payload entries of a built launcher written back out
// as files, so that a user can see exactly what ships.
#pragma once

#include <cstdint>
#include <string>

namespace vornak {

struct ExtractResult {
    uint64_t entries = 0;
    uint64_t bytes = 0;  // file contents written
};

// Writes every payload entry of the launcher image at image_path below
// output_dir, under its name with "\" turned into "/". output_dir may not
// exist yet or be an empty folder; its parent must exist. Throws Error for
// an image without a payload, a payload that does not decode, an entry name
// the packer would refuse (see EntryNameSet), an output folder that exists
// and is not empty, or a file that cannot be written; output_dir is then
// left as it was.
ExtractResult extract_image(const std::string &image_path, const std::string &output_dir);

}  // namespace vornak
