// SPDX-License-Identifier: MIT
// PNG decoding through libpng's simplified API. Holds no state.
#include "tools/vornak/brand/png_decode.h"

#include <png.h>

#include <cstring>

#include "tools/vornak/base/error.h"

namespace vornak {

namespace {

// libpng's simplified API keeps its state in the png_image; this frees it
// whatever way the reading ends.
struct PngImage {
    png_image image;
    PngImage() {
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
    }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage &) = delete;
    PngImage &operator=(const PngImage &) = delete;
};

}  // namespace

RgbaImage decode_png_rgba(const std::string &png,
                          const std::function<std::string(uint32_t width, uint32_t height)> &size_problem) {
    PngImage reader;
    if (!png_image_begin_read_from_memory(&reader.image, png.data(), png.size()))
        throw Error(std::string("not a readable PNG: ") + reader.image.message);
    std::string problem = size_problem(reader.image.width, reader.image.height);
    if (!problem.empty()) throw Error(problem);
    reader.image.format = PNG_FORMAT_RGBA;
    // A 16-bit file without gAMA or sRGB is sRGB like any other PNG; libpng
    // would take it for linear light and brighten it.
    reader.image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    RgbaImage image;
    image.rgba.resize(PNG_IMAGE_SIZE(reader.image));
    if (!png_image_finish_read(&reader.image, nullptr, image.rgba.data(), 0, nullptr))
        throw Error(std::string("PNG cannot be decoded: ") + reader.image.message);
    image.width = reader.image.width;
    image.height = reader.image.height;
    return image;
}

}  // namespace vornak
