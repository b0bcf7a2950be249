// SPDX-License-Identifier: MIT
// What a launcher shows of its product: names, versions, icons and
// signature. The command line fills them and has them checked once, right
// after it is read, against the output's file name (which names the product
// unless --name does); the checked texts then go into the build-values object
// and the version resource, the rest into resources and the finished image.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vornak {

struct BrandOptions {
    // As given on the command line (UTF-8); empty when not given.
    std::string name;          // default: the output's file name without extension
    std::string version;       // 1 to 4 parts; default 0.0.0.0
    std::string file_version;  // default: the product version
    std::string company;       // default: the product name
    std::string description;   // FileDescription; default: the product name
    std::string copyright;     // LegalCopyright; left out when not given
    std::string comments;      // Comments; left out when not given
    std::vector<std::string> icons;  // .png or .ico files
    std::string sign_certificate;    // .pfx, empty: not signed
    std::string password_file;       // holds the certificate's password; or
    std::string password_env;        // names the environment variable that holds it; neither: empty
    std::string timestamp_url;       // RFC 3161 time-stamp authority, empty: no timestamp

    // Filled by check_brand_options: every text as UTF-16, versions padded
    // to four parts ("2.1" becomes "2.1.0.0") and split.
    std::u16string name_units, company_units, description_units, copyright_units, comments_units;
    std::u16string original_filename_units, internal_name_units;
    std::u16string version_units, file_version_units;
    std::array<uint16_t, 4> version_parts{};
    std::array<uint16_t, 4> file_version_parts{};
};

// The version every launcher carries unless --version names another.
constexpr const char *DEFAULT_VERSION = "0.0.0.0";

// Checks what was given, takes the defaults from output (the image's path)
// and fills the *_units and *_parts fields. OriginalFilename is output's
// file name, InternalName that name without its extension. Throws Error
// naming the option (or -o) on a text that cannot be carried.
void check_brand_options(BrandOptions &brand, const std::string &output);

// The four parts of a version of one to four dot-separated decimal numbers,
// each 0..65535 without sign, blanks or leading zeros; missing parts are 0.
// Throws Error naming option otherwise.
std::array<uint16_t, 4> parse_version(const std::string &version, const std::string &option = "--version");

// text as UTF-16 for the version resource and the build values. Throws
// Error naming option for an empty text, ill-formed UTF-8, control
// characters, or more than BUILD_VALUE_MAX_UNITS code units.
std::u16string brand_text_units(const std::string &text, const std::string &option);

}  // namespace vornak
