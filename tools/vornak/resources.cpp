// SPDX-License-Identifier: MIT
// Resource compilation is not there yet: images are linked without a
// resource section, and options that need one are refused rather than
// silently dropped.
#include "tools/vornak/resources.h"

#include "tools/vornak/error.h"

namespace vornak {

std::string write_resources(const BrandOptions &brand, const std::string &dir) {
    (void)dir;
    if (!brand.icons.empty()) throw Error("--icon is not supported yet");
    return std::string();
}

}  // namespace vornak
