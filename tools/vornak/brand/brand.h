// SPDX-License-Identifier: MIT
// What a launcher shows of its product: name, version, icons and signature.
// The command line fills them and has them checked once, right after it is
// read; the name and version then go into the build-values object and the
// version resource, the rest into resources and the finished image.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vornak {

struct BrandOptions {
    std::string name = "Tovrindale";   // UTF-8, as given on the command line
    std::string version = "1.0.0.160";  // "A.B.C.D"
    std::vector<std::string> icons;    // PNG files
    std::string sign_certificate;      // .pfx, empty: not signed
    std::string password_file;         // holds the certificate's password; or
    std::string password_env;          // names the environment variable that holds it; neither: empty
    std::string timestamp_url;         // RFC 3161 time-stamp authority, empty: no timestamp

    // Filled by check_brand_options from name and version.
    std::u16string name_units;
    std::array<uint16_t, 4> version_parts{};
};

// Checks name and version as given (see product_name_units and
// parse_version; a name of blanks only is refused too, since the file names
// in the version resource drop them) and fills name_units and
// version_parts. Throws Error naming the option.
void check_brand_options(BrandOptions &brand);

// The four parts of "A.B.C.D", each a decimal number 0..65535 without sign,
// blanks or leading zeros. Throws Error otherwise.
std::array<uint16_t, 4> parse_version(const std::string &version);

// The product name as UTF-16. Throws Error for an empty name, ill-formed
// UTF-8, control characters, or more than BUILD_VALUE_MAX_UNITS code units.
std::u16string product_name_units(const std::string &name);

}  // namespace vornak
