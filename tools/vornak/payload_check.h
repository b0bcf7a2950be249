// SPDX-License-Identifier: MIT
// The check that `vornak build --payload FILE` runs before it carries a
// payload it did not write itself: the payload is the one input the launcher
// reads, and it must be one the launcher unpacks safely.
#pragma once

#include <string>

namespace vornak {

// Reads the payload file at path as the launcher will: "QOZ", exactly one
// zstd frame (not a skippable one) whose window is at most
// 2^PAYLOAD_WINDOW_LOG_MAX bytes and which decodes, then seven zero bytes and
// the trailer holding its own offset, and nothing after. Its entry stream
// must hold at least one entry, every name one the packer could have written
// (EntryNameSet), every entry whole, and nothing after the terminator.
// Throws Error with one line naming the first fault.
void check_payload_file(const std::string &path);

}  // namespace vornak
