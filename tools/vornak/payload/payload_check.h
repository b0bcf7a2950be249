// SPDX-License-Identifier: MIT
// The check that `vornak build --payload FILE` runs before it carries a
// payload it did not write itself: the file must be what the launcher can
// unpack safely, since the payload is the one input the launcher reads.
#pragma once

#include <string>

namespace vornak {

// Reads the payload file at path as the launcher will: "QOZ", exactly one
// zstd frame (no skippable one) whose window is at most 2^PAYLOAD_WINDOW_LOG_MAX
// bytes and which decodes with the launcher's default decoder parameters
// (its content checksum, when it has one, matching what it decodes to),
// seven zero bytes, and the 64-bit trailer holding its own offset. In the
// decoded entry stream: at least one entry, names of at most
// PAYLOAD_NAME_MAX_UNITS units whose every "\"-separated component is neither
// empty, "." nor "..", as the packer's EntryNameSet accepts them (Windows
// file names, no two alike but for letter case), every entry whole, and the
// terminator exactly at the end of the frame's content. Maps the file and
// decodes as a stream, never holding the decoded entries in memory.
// Throws Error with one line naming the first fault.
void check_payload_file(const std::string &path);

}  // namespace vornak
