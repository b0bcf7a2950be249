// SPDX-License-Identifier: MIT
// PNG to premultiplied BGRA with libpng's simplified reading interface,
// which converts every colour type and bit depth to 8-bit sRGB. Holds no
// state; the decoded image lives in the returned record.
#include "tools/vornak/brand/splash_image.h"

#include <png.h>

#include <memory>

#include "payload/format.h"
#include "tools/vornak/base/error.h"

namespace vornak {

uint32_t premultiplied_bgra(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    // Rounded, so that a fully opaque colour stays exactly as it was.
    auto scale = [a](uint8_t c) { return static_cast<uint32_t>((c * a + 127) / 255); };
    return scale(b) | scale(g) << 8 | scale(r) << 16 | static_cast<uint32_t>(a) << 24;
}

SplashImage load_splash_image(const std::string &path) {
    std::string what = "splash image '" + printable(path) + "'";
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::unique_ptr<png_image, void (*)(png_image *)> guard(&image, [](png_image *i) { png_image_free(i); });
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw Error(what + " cannot be read as PNG: " + image.message);
    if (image.width < SPLASH_MIN_SIDE_PIXELS || image.height < SPLASH_MIN_SIDE_PIXELS ||
        image.width > SPLASH_MAX_WIDTH_PIXELS || image.height > SPLASH_MAX_HEIGHT_PIXELS)
        throw Error(what + " is " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                    " pixels; a splash is " + std::to_string(SPLASH_MIN_SIDE_PIXELS) + " to " +
                    std::to_string(SPLASH_MAX_WIDTH_PIXELS) + " pixels wide and " +
                    std::to_string(SPLASH_MIN_SIDE_PIXELS) + " to " + std::to_string(SPLASH_MAX_HEIGHT_PIXELS) +
                    " pixels high");
    image.format = PNG_FORMAT_RGBA;
    std::string rgba(PNG_IMAGE_SIZE(image), '\0');
    if (!png_image_finish_read(&image, nullptr, &rgba[0], 0, nullptr))
        throw Error(what + " cannot be decoded: " + image.message);

    SplashImage splash;
    splash.width = image.width;
    splash.height = image.height;
    splash.pixels.resize(rgba.size());
    for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
        uint32_t p = premultiplied_bgra(static_cast<uint8_t>(rgba[i]), static_cast<uint8_t>(rgba[i + 1]),
                                        static_cast<uint8_t>(rgba[i + 2]), static_cast<uint8_t>(rgba[i + 3]));
        for (int c = 0; c < 4; c++) splash.pixels[i + c] = static_cast<char>(p >> (8 * c));
    }
    return splash;
}

}  // namespace vornak
