// SPDX-License-Identifier: MIT
// The check that `vornak build --payload FILE` runs before it carries a
// payload it did not write itself: the file must be what the launcher can
// unpack safely, since the payload is the one input the launcher reads.
#pragma once

#include <string>

namespace vornak {

// Reads the payload file at path as the launcher will: "QOZ", exactly one
// zstd frame (no skippable one) whose window is at most 2^MAX_WINDOW_LOG
// bytes and which decodes with the launcher's default decoder parameters,
// seven zero bytes, and the 64-bit trailer holding its own offset. In the
// decoded entry stream: at least one entry, names of at most
// MAX_ENTRY_NAME_UNITS units whose every "\"-separated component is neither
// empty, "." nor ".." and passes windows_name_problem, every entry whole, and
// the terminator exactly at the end of the frame's content. Decodes as a
// stream, holding neither the file nor the decoded entries in memory.
// Throws Error with one line naming the first fault.
void check_payload_file(const std::string &path);

}  // namespace vornak
