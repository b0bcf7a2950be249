// SPDX-License-Identifier: MIT
// Strict UTF-8 decoding (the well-formed byte sequences of Unicode's
// table 3-7) and UTF-16 encoding with surrogate pairs; UTF-16 decoding that
// replaces what is ill-formed, for display.
#include "tools/vornak/base/utf.h"

#include <cstdint>

#include "tools/vornak/base/bytes.h"

namespace vornak {

bool utf8_to_utf16(std::string_view src, std::u16string &dst) {
    size_t i = 0;
    while (i < src.size()) {
        unsigned char b0 = static_cast<unsigned char>(src[i]);
        uint32_t cp;
        size_t len;
        uint32_t min;
        if (b0 < 0x80) {
            dst.push_back(static_cast<char16_t>(b0));
            ++i;
            continue;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            cp = b0 & 0x1F, len = 2, min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            cp = b0 & 0x0F, len = 3, min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            cp = b0 & 0x07, len = 4, min = 0x10000;
        } else {
            return false;  // continuation byte, C0/C1 overlong lead, F5..FF
        }
        if (src.size() - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            unsigned char b = static_cast<unsigned char>(src[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            dst.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            dst.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            dst.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

std::string utf16_to_utf8(const std::u16string &src) {
    std::string out;
    for (size_t i = 0; i < src.size(); ++i) {
        uint32_t cp = src[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < src.size() && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (src[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string utf16le_bytes(const std::u16string &src) {
    std::string out;
    out.reserve(src.size() * 2);
    for (char16_t u : src) put_le16(out, u);
    return out;
}

}  // namespace vornak
