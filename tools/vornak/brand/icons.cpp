// SPDX-License-Identifier: MIT
// Reading --icon files: PNG through the shared decoder (png_decode.h), .ico files by
// their directory, their BMP images by the DIB header. Every input is
// bounded before it is read; nothing here writes a file.
#include "tools/vornak/brand/icons.h"

#include <png.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "tools/vornak/base/bytes.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/brand/png_decode.h"

namespace vornak {

namespace {

constexpr unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// .ico: ICONDIR (reserved, type 1, count), then one 16-byte entry per image
// (width, height, colours, reserved, planes, bit count, bytes, offset).
constexpr size_t ICO_HEADER_BYTES = 6;
constexpr size_t ICO_ENTRY_BYTES = 16;
constexpr uint16_t ICO_TYPE_ICON = 1;
constexpr size_t ICO_ENTRY_BYTES_FIELD = 8, ICO_ENTRY_OFFSET = 12;

// BITMAPINFOHEADER fields; an icon's DIB holds the colour rows and then the
// 1-bit AND mask, bottom row first, so its height field counts both.
constexpr size_t DIB_HEADER_MIN_BYTES = 40;
constexpr size_t DIB_WIDTH = 4, DIB_HEIGHT = 8, DIB_PLANES = 12, DIB_BIT_COUNT = 14, DIB_COMPRESSION = 16,
                 DIB_COLOURS_USED = 32;
constexpr uint32_t BI_RGB = 0;
constexpr size_t PALETTE_ENTRY_BYTES = 4;  // blue, green, red, unused

uint32_t be32(const std::string &b, size_t at) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(b.data()) + at;
    return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

uint32_t crc32_of(const std::string &b, size_t at, size_t bytes) {
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    }
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = at; i < at + bytes; ++i) c = table[(c ^ static_cast<unsigned char>(b[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool is_png(const std::string &data) {
    return data.size() >= 8 && data.compare(0, 8, reinterpret_cast<const char *>(PNG_SIGNATURE), 8) == 0;
}

std::string size_problem(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > MAX_ICON_PIXELS || height > MAX_ICON_PIXELS)
        return "size " + std::to_string(width) + "x" + std::to_string(height) + " is outside 1..256 pixels";
    return std::string();
}

// The decoded pixels of a BMP image of an .ico file (data: the DIB header
// onwards, as the directory bounds it), as an image of the group's form.
IconImage icon_from_dib(const std::string &data) {
    const unsigned char *d = reinterpret_cast<const unsigned char *>(data.data());
    if (data.size() < DIB_HEADER_MIN_BYTES) throw Error("neither PNG nor a BMP image");
    uint32_t header_bytes = get_le32(d);
    if (header_bytes < DIB_HEADER_MIN_BYTES || header_bytes > data.size()) throw Error("bad BMP header size");
    int32_t width = static_cast<int32_t>(get_le32(d + DIB_WIDTH));
    int32_t both_heights = static_cast<int32_t>(get_le32(d + DIB_HEIGHT));
    uint16_t bits = get_le16(d + DIB_BIT_COUNT);
    if (get_le16(d + DIB_PLANES) != 1) throw Error("BMP image with more than one plane");
    if (get_le32(d + DIB_COMPRESSION) != BI_RGB) throw Error("compressed BMP image");
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        throw Error("BMP image of " + std::to_string(bits) + " bits per pixel (1, 4, 8, 24 or 32 are read)");
    if (width <= 0 || both_heights <= 0 || both_heights % 2)
        throw Error("BMP image of " + std::to_string(width) + "x" + std::to_string(both_heights) +
                    " (an icon's height counts colours and mask)");
    uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(both_heights) / 2;
    std::string problem = size_problem(w, h);
    if (!problem.empty()) throw Error(problem);

    size_t palette_entries = 0;
    if (bits <= 8) {
        uint32_t used = get_le32(d + DIB_COLOURS_USED);
        palette_entries = used ? used : (size_t{1} << bits);
        if (palette_entries > (size_t{1} << bits)) throw Error("BMP palette larger than its bit count allows");
    }
    size_t colour_stride = (size_t{w} * bits + 31) / 32 * 4;
    size_t mask_stride = (size_t{w} + 31) / 32 * 4;
    size_t palette_at = header_bytes;
    size_t colours_at = palette_at + palette_entries * PALETTE_ENTRY_BYTES;
    size_t mask_at = colours_at + colour_stride * h;
    // A 32-bit image carries its own alpha; some writers leave its mask out.
    bool have_mask = data.size() >= mask_at + mask_stride * h;
    if (data.size() < mask_at || (!have_mask && bits != 32)) throw Error("BMP image data is cut short");

    std::vector<unsigned char> rgba(size_t{w} * h * 4);
    bool any_alpha = false;
    for (uint32_t y = 0; y < h; ++y) {
        const unsigned char *row = d + colours_at + colour_stride * (h - 1 - y);  // bottom row first
        for (uint32_t x = 0; x < w; ++x) {
            unsigned char *px = &rgba[(size_t{y} * w + x) * 4];
            if (bits >= 24) {
                const unsigned char *s = row + size_t{x} * (bits / 8);
                px[0] = s[2];
                px[1] = s[1];
                px[2] = s[0];
                px[3] = bits == 32 ? s[3] : 255;
                any_alpha = any_alpha || (bits == 32 && s[3] != 0);
            } else {
                size_t bit = size_t{x} * bits;
                unsigned index = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
                if (index >= palette_entries) throw Error("BMP pixel names a colour beyond its palette");
                const unsigned char *c = d + palette_at + index * PALETTE_ENTRY_BYTES;
                px[0] = c[2];
                px[1] = c[1];
                px[2] = c[0];
                px[3] = 255;
            }
        }
    }
    // The AND mask decides transparency unless a 32-bit image has an alpha
    // channel of its own (one of all zeros is taken for none, as Windows does).
    if (have_mask && !any_alpha) {
        for (uint32_t y = 0; y < h; ++y) {
            const unsigned char *row = d + mask_at + mask_stride * (h - 1 - y);
            for (uint32_t x = 0; x < w; ++x)
                rgba[(size_t{y} * w + x) * 4 + 3] = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
        }
    }
    IconImage icon;
    icon.png = rgba_png(rgba, w, h);
    icon.width = w;
    icon.height = h;
    return icon;
}

void append_png_bytes(png_structp writer, png_bytep data, png_size_t bytes) {
    static_cast<std::string *>(png_get_io_ptr(writer))->append(reinterpret_cast<const char *>(data), bytes);
}

void flush_nothing(png_structp) {}

// libpng's low-level writer, since its simplified one adds an sRGB or a
// gAMA chunk, which the group's form does not allow. libpng reports errors
// by longjmp: this frame holds nothing that needs destroying. False on an
// error (libpng has printed it).
bool write_png(png_structp writer, png_infop info, std::string *png, png_bytepp rows, uint32_t width,
               uint32_t height) {
    if (setjmp(png_jmpbuf(writer))) return false;
    png_set_write_fn(writer, png, append_png_bytes, flush_nothing);
    png_set_IHDR(writer, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(writer, 9);
    png_write_info(writer, info);
    png_write_image(writer, rows);
    png_write_end(writer, nullptr);
    return true;
}

IconImage icon_from_any_png(const std::string &png) {
    IconImage icon;
    if (icon_png_problem(png, icon.width, icon.height).empty()) {
        icon.png = png;
        return icon;
    }
    return icon_from_png(png);
}

std::vector<IconImage> ico_images(const std::string &ico) {
    const unsigned char *d = reinterpret_cast<const unsigned char *>(ico.data());
    uint16_t count = get_le16(d + 4);
    if (get_le16(d + 2) != ICO_TYPE_ICON) throw Error("not an icon file (a cursor?)");
    if (count == 0) throw Error("an .ico file without images");
    if (ico.size() < ICO_HEADER_BYTES + ICO_ENTRY_BYTES * size_t{count}) throw Error("the .ico directory is cut short");
    std::vector<std::pair<uint16_t, IconImage>> best;  // bit count and image, one per size
    for (uint16_t i = 0; i < count; ++i) {
        const unsigned char *e = d + ICO_HEADER_BYTES + ICO_ENTRY_BYTES * size_t{i};
        uint32_t bytes = get_le32(e + ICO_ENTRY_BYTES_FIELD), offset = get_le32(e + ICO_ENTRY_OFFSET);
        std::string where = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
        if (offset > ico.size() || bytes > ico.size() - offset) throw Error(where + " runs past the end of the file");
        std::string data = ico.substr(offset, bytes);
        IconImage icon;
        uint16_t bits = 32;
        try {
            if (is_png(data)) {
                icon = icon_from_any_png(data);
            } else {
                icon = icon_from_dib(data);  // has checked that the header is there
                bits = get_le16(reinterpret_cast<const unsigned char *>(data.data()) + DIB_BIT_COUNT);
            }
        } catch (const Error &err) {
            throw Error(where + ": " + err.what());
        }
        auto same = std::find_if(best.begin(), best.end(), [&](const std::pair<uint16_t, IconImage> &b) {
            return b.second.width == icon.width && b.second.height == icon.height;
        });
        if (same == best.end())
            best.emplace_back(bits, std::move(icon));
        else if (bits > same->first)
            *same = std::make_pair(bits, std::move(icon));
    }
    std::vector<IconImage> images;
    for (auto &b : best) images.push_back(std::move(b.second));
    return images;
}

}  // namespace

std::string icon_png_problem(const std::string &png, uint32_t &width, uint32_t &height) {
    if (!is_png(png)) return "not a PNG file";
    size_t at = 8;
    bool seen_header = false, seen_data = false;
    while (true) {
        if (png.size() - at < 12) return "truncated chunk";
        uint32_t length = be32(png, at);
        std::string kind = png.substr(at + 4, 4);
        if (length > png.size() - at - 12) return "truncated " + printable(kind) + " chunk";
        if (crc32_of(png, at + 4, 4 + length) != be32(png, at + 8 + length))
            return "bad CRC in the " + printable(kind) + " chunk";
        if (!seen_header) {
            if (kind != "IHDR" || length != 13) return "the first chunk is not IHDR";
            seen_header = true;
            width = be32(png, at + 8);
            height = be32(png, at + 12);
            const unsigned char *h = reinterpret_cast<const unsigned char *>(png.data()) + at + 16;
            if (h[0] != 8 || h[1] != 6) return "not RGBA with 8 bits per channel";
            if (h[2] != 0 || h[3] != 0) return "unknown compression or filter method";
            if (h[4] != 0) return "interlaced";
            std::string problem = size_problem(width, height);
            if (!problem.empty()) return problem;
        } else if (kind == "IDAT") {
            seen_data = true;
        } else if (kind == "IEND") {
            if (!seen_data) return "no IDAT chunk";
            if (length != 0 || at + 12 != png.size()) return "bytes after the IEND chunk";
            return std::string();
        } else {
            return "holds a " + printable(kind) + " chunk; only IHDR, IDAT and IEND may appear";
        }
        at += 12 + length;
    }
}

IconImage icon_from_png(const std::string &png) {
    RgbaImage decoded = decode_png_rgba(png, size_problem);
    IconImage icon;
    icon.width = decoded.width;
    icon.height = decoded.height;
    icon.png = rgba_png(decoded.rgba, icon.width, icon.height);
    return icon;
}

std::string rgba_png(const std::vector<unsigned char> &rgba, uint32_t width, uint32_t height) {
    assert(rgba.size() == size_t{width} * height * 4);
    std::string png;
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(&rgba[size_t{y} * width * 4]);
    png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = writer ? png_create_info_struct(writer) : nullptr;
    bool written = info && write_png(writer, info, &png, rows.data(), width, height);
    png_destroy_write_struct(&writer, &info);
    if (!written) throw Error("cannot write an icon PNG (out of memory?)");
    return png;
}

std::vector<IconImage> read_icon_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot open icon '" + printable(path) + "'");
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Error("cannot read icon '" + printable(path) + "'");
    try {
        if (is_png(data)) return {icon_from_any_png(data)};
        if (data.size() >= ICO_HEADER_BYTES && get_le16(reinterpret_cast<const unsigned char *>(data.data())) == 0)
            return ico_images(data);
        throw Error("neither a PNG nor an .ico file");
    } catch (const Error &e) {
        throw Error("icon '" + printable(path) + "': " + e.what());
    }
}

}  // namespace vornak
