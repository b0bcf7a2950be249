// SPDX-License-Identifier: MIT
// Checks of the product name and version given to `vornak build`.
#include "tools/vornak/brand/brand.h"

#include "payload/format.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/utf.h"

namespace vornak {

std::array<uint16_t, 4> parse_version(const std::string &version) {
    std::array<uint16_t, 4> parts{};
    size_t pos = 0;
    for (size_t i = 0; i < 4; ++i) {
        size_t end = pos;
        while (end < version.size() && version[end] >= '0' && version[end] <= '9') ++end;
        size_t digits = end - pos;
        bool separator_ok = i < 3 ? end < version.size() && version[end] == '.' : end == version.size();
        if (digits == 0 || digits > 5 || (digits > 1 && version[pos] == '0') || !separator_ok)
            throw Error("--version '" + printable(version) +
                        "' must be four numbers 0..65535 separated by dots, such as 1.0.0.160");
        unsigned long value = std::stoul(version.substr(pos, digits));
        if (value > 65535)
            throw Error("--version '" + printable(version) + "': " + std::to_string(value) +
                        " is larger than 65535");
        parts[i] = static_cast<uint16_t>(value);
        pos = end + 1;
    }
    return parts;
}

std::u16string product_name_units(const std::string &name) {
    std::u16string units;
    if (name.empty()) throw Error("--name must not be empty");
    if (!utf8_to_utf16(name, units)) throw Error("--name '" + printable(name) + "' is not valid UTF-8");
    for (char16_t u : units)
        if (u < 0x20 || u == 0x7F) throw Error("--name '" + printable(name) + "' holds a control character");
    if (units.size() > BUILD_VALUE_MAX_UNITS)
        throw Error("--name is longer than " + std::to_string(BUILD_VALUE_MAX_UNITS) + " UTF-16 code units");
    return units;
}

void check_brand_options(BrandOptions &brand) {
    brand.name_units = product_name_units(brand.name);
    if (brand.name_units.find_first_not_of(u' ') == std::u16string::npos)
        throw Error("--name must hold more than blanks");
    brand.version_parts = parse_version(brand.version);
}

}  // namespace vornak
