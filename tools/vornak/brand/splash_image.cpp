// SPDX-License-Identifier: MIT
// PNG to premultiplied BGRA: the shared decoder (png_decode.h) gives 8-bit
// straight RGBA of any PNG, premultiplied here. Holds no state; the decoded
// image lives in the returned record.
#include "tools/vornak/brand/splash_image.h"

#include <fstream>
#include <iterator>

#include "payload/format.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/brand/png_decode.h"

namespace vornak {

namespace {

std::string size_problem(uint32_t width, uint32_t height) {
    if (width >= SPLASH_MIN_SIDE_PIXELS && height >= SPLASH_MIN_SIDE_PIXELS && width <= SPLASH_MAX_WIDTH_PIXELS &&
        height <= SPLASH_MAX_HEIGHT_PIXELS)
        return std::string();
    return "it is " + std::to_string(width) + " x " + std::to_string(height) + " pixels; a splash is " +
           std::to_string(SPLASH_MIN_SIDE_PIXELS) + " to " + std::to_string(SPLASH_MAX_WIDTH_PIXELS) +
           " pixels wide and " + std::to_string(SPLASH_MIN_SIDE_PIXELS) + " to " +
           std::to_string(SPLASH_MAX_HEIGHT_PIXELS) + " pixels high";
}

}  // namespace

uint32_t premultiplied_bgra(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    // Rounded, so that a fully opaque colour stays exactly as it was.
    auto scale = [a](uint8_t c) { return static_cast<uint32_t>((c * a + 127) / 255); };
    return scale(b) | scale(g) << 8 | scale(r) << 16 | static_cast<uint32_t>(a) << 24;
}

SplashImage load_splash_image(const std::string &path) {
    std::string what = "splash image '" + printable(path) + "'";
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot read " + what);
    std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Error("cannot read " + what);
    RgbaImage decoded;
    try {
        decoded = decode_png_rgba(png, size_problem);
    } catch (const Error &e) {
        throw Error(what + ": " + e.what());
    }

    SplashImage splash;
    splash.width = decoded.width;
    splash.height = decoded.height;
    splash.pixels.resize(decoded.rgba.size());
    const std::vector<unsigned char> &rgba = decoded.rgba;
    for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
        uint32_t p = premultiplied_bgra(rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]);
        for (int c = 0; c < 4; c++) splash.pixels[i + c] = static_cast<char>(p >> (8 * c));
    }
    return splash;
}

}  // namespace vornak
