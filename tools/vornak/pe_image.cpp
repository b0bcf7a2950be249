// SPDX-License-Identifier: MIT
// Post-link steps are not there yet: the image keeps the checksum field the
// linker wrote, and signing is refused rather than skipped.
#include "tools/vornak/pe_image.h"

#include "tools/vornak/error.h"

namespace vornak {

void finish_image(const BrandOptions &brand, const std::string &path) {
    (void)path;
    if (!brand.sign_certificate.empty()) throw Error("--sign is not supported yet");
}

}  // namespace vornak
