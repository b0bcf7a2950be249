// SPDX-License-Identifier: MIT
// Icon images for a launcher's icon group. Every image the group carries is
// a PNG file of one form (RGBA, 8 bits per channel, not interlaced, only
// IHDR, IDAT and IEND, at most 256 pixels each way); what the user gives
// (PNG of any colour type and bit depth, .ico files with PNG or BMP images)
// is brought into that form here, PNG through libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vornak {

// An icon image: a whole PNG file of the group's form and its size.
struct IconImage {
    std::string png;
    uint32_t width = 0;
    uint32_t height = 0;
};

constexpr uint32_t MAX_ICON_PIXELS = 256;  // the group entry's byte holds 1..255, 0 for 256

// Empty when png is a PNG of the group's form with correct CRCs, with
// width and height set; otherwise why not.
std::string icon_png_problem(const std::string &png, uint32_t &width, uint32_t &height);

// The images of one --icon file, judged by its content: a PNG gives one, an
// .ico file every image it holds (of several images of one size only the
// one with the most colours, since all become 32-bit). An image already of
// the group's form is kept byte for byte. Throws Error naming the file (and
// the image in an .ico) when the file cannot be read or an image cannot be
// decoded, or is larger than 256 pixels either way.
std::vector<IconImage> read_icon_file(const std::string &path);

// Any PNG that libpng reads, as an image of the group's form. Throws Error
// with libpng's reason, or for a size above 256 pixels.
IconImage icon_from_png(const std::string &png);

// Rows of 8-bit RGBA pixels, top row first, as a PNG of the group's form.
std::string rgba_png(const std::vector<unsigned char> &rgba, uint32_t width, uint32_t height);

}  // namespace vornak
