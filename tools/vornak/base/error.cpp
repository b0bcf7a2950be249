// SPDX-License-Identifier: MIT
// Message helpers shared by every vornak command.
#include "tools/vornak/base/error.h"

#include <cstring>

#include "tools/vornak/base/utf.h"

namespace vornak {

std::string errno_text(int err) { return std::strerror(err); }

std::string printable(const std::string &text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
        std::u16string probe;
        bool ok = i + len <= text.size() && utf8_to_utf16(std::string_view(text).substr(i, len), probe);
        if (ok && !(len == 1 && (b < 0x20 || b == 0x7F))) {
            out.append(text, i, len);
            i += len;
        } else {
            out += "\\x";
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 0xF]);
            ++i;
        }
    }
    return out;
}

std::string printable(const std::u16string &text) { return printable(utf16_to_utf8(text)); }

}  // namespace vornak
