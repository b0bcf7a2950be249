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
#include "tools/vornak/brand/icons.h"

namespace vornak {

constexpr uint16_t RT_ICON_ID = 3;
constexpr uint16_t RT_GROUP_ICON_ID = 14;
constexpr uint16_t RT_VERSION_ID = 16;
constexpr uint16_t RT_MANIFEST_ID = 24;

// The default icon's PNG files from image/icons/default/, compiled into the tool by
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

// The images of the --icon files named by paths (read_icon_file), ordered
// by size, smallest first. Throws Error naming the file on a problem, and
// for two images of the same size.
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
