// SPDX-License-Identifier: MIT
// Resources of a launcher image: the application manifest (type 24, id 1),
// the version resource (type 16, id 1) and an icon group (type 14, id 1) of
// PNG images (type 3, ids 1..n), all language neutral, written as a binary
// .res file that lld takes on its link line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vornak/brand/brand.h"

namespace vornak {

constexpr uint16_t RT_ICON_ID = 3;
constexpr uint16_t RT_GROUP_ICON_ID = 14;
constexpr uint16_t RT_VERSION_ID = 16;
constexpr uint16_t RT_MANIFEST_ID = 24;

// An icon image: a whole PNG file and the size from its header.
struct IconImage {
    std::string png;
    uint32_t width = 0;
    uint32_t height = 0;
};

// The manifest text every launcher carries: one line of UTF-8 XML without
// declaration or byte-order mark.
const std::string &launcher_manifest();

// Empty when png is a PNG that the icon group can carry (RGBA, 8 bits per
// channel, not interlaced, only IHDR, IDAT and IEND with correct CRCs, at
// most 256 pixels each way), with width and height set; otherwise why not.
std::string icon_png_problem(const std::string &png, uint32_t &width, uint32_t &height);

// The default icon's PNG files from image/icons/, compiled into the tool by
// the build (embed_icons.cmake), smallest first.
struct EmbeddedFile {
    const char *name;
    const unsigned char *data;
    size_t bytes;
};
extern const EmbeddedFile DEFAULT_ICON_FILES[];
extern const size_t DEFAULT_ICON_FILE_COUNT;

// The default icon images, checked like any other, smallest first.
std::vector<IconImage> default_icons();

// Reads the PNG files named by paths, checks them, and orders them by size,
// smallest first. Throws Error naming the file on a problem, and for two
// images of the same size.
std::vector<IconImage> read_icons(const std::vector<std::string> &paths);

// VS_VERSIONINFO for brand (checked by check_brand_options): fixed part,
// string table "000004b0" (CompanyName, ProductName, FileDescription,
// ProductVersion, FileVersion, OriginalFilename, InternalName, then
// LegalCopyright and Comments when given) and Translation 0x0000/0x04B0.
std::string version_resource(const BrandOptions &brand);

// The icon group directory for icons, whose image ids are 1..n in order.
std::string icon_group_directory(const std::vector<IconImage> &icons);

// The whole .res file: manifest, version resource, icon images and group.
std::string resource_file(const BrandOptions &brand, const std::vector<IconImage> &icons);

// Writes the resource file for brand (checked by check_brand_options) into
// dir (a private scratch directory) and returns its path. Throws Error on
// bad input (an unreadable or malformed icon) or when the file cannot be
// written.
std::string write_resources(const BrandOptions &brand, const std::string &dir);

}  // namespace vornak
