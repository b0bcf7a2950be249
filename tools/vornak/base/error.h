// SPDX-License-Identifier: MIT
// The one failure type of the vornak tool. Every refusal and every failed
// step throws it with a one-line message; main() prints "vornak: error: "
// before it and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace vornak {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Text of errno for messages: "No such file or directory".
std::string errno_text(int err);

// A host path or name made safe for a one-line message: bytes that are not
// printable UTF-8 appear as \xNN, so a name with a line feed or an invalid
// sequence still gives one readable line.
std::string printable(const std::string &text);

// UTF-16 text read from an image or a payload, as printable UTF-8 (a lone
// surrogate shows as U+FFFD).
std::string printable(const std::u16string &text);

}  // namespace vornak
