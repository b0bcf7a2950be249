// SPDX-License-Identifier: MIT
// Strict UTF-8 to UTF-16 conversion for payload entry names and the product
// name, and the way back for showing UTF-16 text. Linux names are arbitrary
// bytes; Windows names are UTF-16, so only well-formed UTF-8 can be carried
// over without guessing.
#pragma once

#include <string>
#include <string_view>

namespace vornak {

// Appends the UTF-16 form of src to dst. Returns false, leaving dst in an
// unspecified state, on any ill-formed sequence: truncated or stray
// continuation bytes, overlong forms, encoded surrogates (U+D800..U+DFFF),
// or code points beyond U+10FFFF.
bool utf8_to_utf16(std::string_view src, std::u16string &dst);

// UTF-8 form of src. A surrogate pair becomes one four-byte sequence; a lone
// surrogate, which has no UTF-8 form, becomes U+FFFD, so UTF-16 read from an
// image or a payload always gives well-formed UTF-8.
std::string utf16_to_utf8(const std::u16string &src);

// Little-endian bytes of the units of src, without terminator.
std::string utf16le_bytes(const std::u16string &src);

}  // namespace vornak
