// SPDX-License-Identifier: MIT
// The one PNG decoder of the tool, used for icons and the splash: libpng's
// simplified reading interface, every colour type and bit depth to 8-bit RGBA.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vornak {

struct RgbaImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<unsigned char> rgba;  // width * height * 4 bytes, straight alpha, top row first
};

// Decodes png (a whole PNG file): palette and grey expanded, 16-bit channels
// reduced, transparency (tRNS) made alpha. size_problem is asked with the
// header's size before any pixel is decoded; a non-empty answer is thrown as
// Error. Throws Error with libpng's reason when png cannot be read or decoded.
RgbaImage decode_png_rgba(const std::string &png,
                          const std::function<std::string(uint32_t width, uint32_t height)> &size_problem);

}  // namespace vornak
