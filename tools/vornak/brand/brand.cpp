// SPDX-License-Identifier: MIT
// Checks of the names, texts and versions given to `vornak build`, and the
// defaults taken from the output's file name.
#include "tools/vornak/brand/brand.h"

#include "payload/format.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/utf.h"

namespace vornak {

namespace {

constexpr size_t VERSION_MAX_PARTS = 4;
constexpr size_t VERSION_PART_MAX_DIGITS = 5;  // 65535

std::u16string four_part_units(const std::array<uint16_t, 4> &parts) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i ? "." : "") + std::to_string(parts[i]);
    return std::u16string(text.begin(), text.end());
}

bool only_blanks(const std::u16string &units) { return units.find_first_not_of(u' ') == std::u16string::npos; }

// The last component of path ("dir/My App.exe" gives "My App.exe").
std::string file_name_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// name without its last extension; a leading dot starts no extension.
std::string without_extension(const std::string &name) {
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

std::array<uint16_t, 4> parse_version(const std::string &version, const std::string &option) {
    std::array<uint16_t, 4> parts{};
    auto refuse = [&]() {
        return Error(option + " '" + printable(version) +
                     "' must be one to four numbers 0..65535 separated by dots, such as 2.1 or 2.1.0.7");
    };
    size_t pos = 0;
    for (size_t i = 0;; ++i) {
        size_t end = pos;
        while (end < version.size() && version[end] >= '0' && version[end] <= '9') ++end;
        size_t digits = end - pos;
        if (i == VERSION_MAX_PARTS || digits == 0 || digits > VERSION_PART_MAX_DIGITS ||
            (digits > 1 && version[pos] == '0'))
            throw refuse();
        unsigned long value = std::stoul(version.substr(pos, digits));
        if (value > 65535)
            throw Error(option + " '" + printable(version) + "': " + std::to_string(value) + " is larger than 65535");
        parts[i] = static_cast<uint16_t>(value);
        if (end == version.size()) return parts;
        if (version[end] != '.') throw refuse();
        pos = end + 1;
    }
}

std::u16string brand_text_units(const std::string &text, const std::string &option) {
    std::u16string units;
    if (text.empty()) throw Error(option + " must not be empty");
    if (!utf8_to_utf16(text, units)) throw Error(option + " '" + printable(text) + "' is not valid UTF-8");
    for (char16_t u : units)
        if (u < 0x20 || u == 0x7F) throw Error(option + " '" + printable(text) + "' holds a control character");
    if (units.size() > BUILD_VALUE_MAX_UNITS)
        throw Error(option + " is longer than " + std::to_string(BUILD_VALUE_MAX_UNITS) + " UTF-16 code units");
    return units;
}

void check_brand_options(BrandOptions &brand, const std::string &output) {
    std::string file_name = file_name_of(output);
    brand.original_filename_units = brand_text_units(file_name, "-o (the file name)");
    brand.internal_name_units = brand_text_units(without_extension(file_name), "-o (the file name)");

    if (brand.name.empty()) {
        brand.name_units = brand.internal_name_units;
        if (only_blanks(brand.name_units))
            throw Error("-o '" + printable(output) + "' gives no product name; give one with --name");
    } else {
        brand.name_units = brand_text_units(brand.name, "--name");
        if (only_blanks(brand.name_units)) throw Error("--name must hold more than blanks");
    }
    brand.company_units = brand.company.empty() ? brand.name_units : brand_text_units(brand.company, "--company");
    brand.description_units =
        brand.description.empty() ? brand.name_units : brand_text_units(brand.description, "--description");
    if (!brand.copyright.empty()) brand.copyright_units = brand_text_units(brand.copyright, "--copyright");
    if (!brand.comments.empty()) brand.comments_units = brand_text_units(brand.comments, "--comments");

    brand.version_parts = parse_version(brand.version.empty() ? DEFAULT_VERSION : brand.version, "--version");
    brand.file_version_parts =
        brand.file_version.empty() ? brand.version_parts : parse_version(brand.file_version, "--file-version");
    brand.version_units = four_part_units(brand.version_parts);
    brand.file_version_units = four_part_units(brand.file_version_parts);
}

}  // namespace vornak
