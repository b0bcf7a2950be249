// SPDX-License-Identifier: MIT
// Steps on the linked image before it takes its final name: the header
// checksum and, when asked for, the Authenticode signature.
#pragma once

#include <string>

#include "tools/vornak/brand.h"

namespace vornak {

// Finishes the linked image at path in place. Throws Error on failure; the
// caller then discards the image.
void finish_image(const BrandOptions &brand, const std::string &path);

}  // namespace vornak
