// SPDX-License-Identifier: MIT
// Resources of a launcher image (manifest, version resource, icon group),
// compiled into a .res file that the link takes after the build-values
// object.
#pragma once

#include <string>

#include "tools/vornak/brand.h"

namespace vornak {

// Writes the resource file for brand into dir (a private scratch directory)
// and returns its path, or an empty string when the image gets no resources.
// Throws Error on bad input (an unreadable or malformed icon).
std::string write_resources(const BrandOptions &brand, const std::string &dir);

}  // namespace vornak
