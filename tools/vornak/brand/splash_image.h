// SPDX-License-Identifier: MIT
// The splash image of `vornak build --splash`: a PNG file decoded here, at
// build time, into the premultiplied 32-bit pixels the launcher draws as
// they are, so that the launcher carries no image decoder.
#pragma once

#include <cstdint>
#include <string>

namespace vornak {

struct SplashImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::string pixels;  // width * height * 4 bytes: B, G, R, A premultiplied, top row first
};

// Decodes the PNG file at path (any colour type and bit depth libpng reads)
// and premultiplies each colour by its alpha. Throws Error naming the file
// when it cannot be read or decoded, or when a side is outside
// SPLASH_MIN_SIDE_PIXELS and SPLASH_MAX_WIDTH_PIXELS / SPLASH_MAX_HEIGHT_PIXELS.
SplashImage load_splash_image(const std::string &path);

// The premultiplied B, G, R, A bytes of a pixel given as straight R, G, B, A.
uint32_t premultiplied_bgra(uint8_t r, uint8_t g, uint8_t b, uint8_t a);

}  // namespace vornak
