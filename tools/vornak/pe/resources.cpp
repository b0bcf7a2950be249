// SPDX-License-Identifier: MIT
// Builds the launcher's resources and the binary .res container around them
// (the format of Microsoft's resource compiler: a 32-byte empty entry, then
// one header and DWORD-aligned data block per resource). Everything here is
// byte-exact on purpose: the image is checked against these layouts.
#include "tools/vornak/pe/resources.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "tools/vornak/base/bytes.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/utf.h"

namespace vornak {

namespace {

// A single line, ElementTree-style prefixes ns0..ns3 in order of first use:
// asm.v1, compatibility.v1, asm.v3, and the 2016 Windows-settings namespace
// that longPathAware lives in.
constexpr char MANIFEST[] =
    "<ns0:assembly xmlns:ns0=\"urn:schemas-microsoft-com:asm.v1\""
    " xmlns:ns1=\"urn:schemas-microsoft-com:compatibility.v1\""
    " xmlns:ns2=\"urn:schemas-microsoft-com:asm.v3\""
    " xmlns:ns3=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\" manifestVersion=\"1.0\">"
    "<ns0:assemblyIdentity type=\"win32\" name=\"Mini\" version=\"1.0.0.0\" />"
    "<ns1:compatibility><ns1:application>"
    "<ns1:supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\" />"  // Vista
    "<ns1:supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\" />"  // 7
    "<ns1:supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\" />"  // 8
    "<ns1:supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\" />"  // 8.1
    "<ns1:supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\" />"  // 10 and 11
    "</ns1:application></ns1:compatibility>"
    "<ns2:application><ns2:windowsSettings><ns3:longPathAware>true</ns3:longPathAware>"
    "</ns2:windowsSettings></ns2:application>"
    "<ns0:dependency><ns0:dependentAssembly>"
    "<ns0:assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""
    " processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\" />"
    "</ns0:dependentAssembly></ns0:dependency>"
    "<ns2:trustInfo><ns2:security><ns2:requestedPrivileges>"
    "<ns2:requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\" />"
    "</ns2:requestedPrivileges></ns2:security></ns2:trustInfo></ns0:assembly>";
static_assert(sizeof(MANIFEST) - 1 == 1265, "the manifest is 1,265 bytes");

// Memory flags as resource compilers write them; the linker ignores them.
constexpr uint16_t MOVEABLE_PURE = 0x0030;
constexpr uint16_t MOVEABLE_PURE_DISCARDABLE = 0x1030;

// VS_FIXEDFILEINFO fields that do not come from the version.
constexpr uint32_t FIXED_SIGNATURE = 0xFEEF04BD;
constexpr uint32_t FIXED_STRUC_VERSION = 0;
constexpr uint32_t FILE_FLAGS_MASK = 0x3F;
constexpr uint32_t VOS_WINDOWS32 = 0x4;
constexpr uint32_t VFT_APP = 0x1;
constexpr uint16_t LANGUAGE_NEUTRAL = 0x0000;
constexpr uint16_t CODE_PAGE_UTF16 = 0x04B0;

void align4(std::string &b) {
    while (b.size() % 4) b.push_back('\0');
}

std::string wide_z(const std::u16string &s) { return utf16le_bytes(s) + std::string(2, '\0'); }

std::u16string ascii_units(const std::string &s) { return std::u16string(s.begin(), s.end()); }

// One node of the version tree: wLength, wValueLength, wType, the key with
// its NUL, padding to 4, the value, then each child at a 4-byte boundary.
// wLength covers the node without the padding after its last byte.
std::string version_node(const std::u16string &key, const std::string &value, uint16_t value_length,
                         uint16_t type, const std::vector<std::string> &children) {
    std::string b(6, '\0');
    b += wide_z(key);
    align4(b);
    b += value;
    for (const std::string &child : children) {
        align4(b);
        b += child;
    }
    if (b.size() > 0xFFFF) throw Error("the version resource would exceed 65,535 bytes; give shorter texts");
    set_le16(b, 0, static_cast<uint16_t>(b.size()));
    set_le16(b, 2, value_length);
    set_le16(b, 4, type);
    return b;
}

// A String node; its wValueLength counts UTF-16 units with the NUL.
std::string version_string(const char *key, const std::u16string &value) {
    return version_node(ascii_units(key), wide_z(value), static_cast<uint16_t>(value.size() + 1), 1, {});
}

// One .res entry with a numeric type and name.
void append_resource(std::string &res, uint16_t type, uint16_t id, uint16_t memory_flags,
                     const std::string &data) {
    put_le32(res, static_cast<uint32_t>(data.size()));
    put_le32(res, 32);  // header bytes: the ordinal forms of type and name keep it fixed
    put_le16(res, 0xFFFF);
    put_le16(res, type);
    put_le16(res, 0xFFFF);
    put_le16(res, id);
    put_le32(res, 0);  // data version
    put_le16(res, memory_flags);
    put_le16(res, LANGUAGE_NEUTRAL);
    put_le32(res, 0);  // version
    put_le32(res, 0);  // characteristics
    res += data;
    align4(res);
}

std::vector<IconImage> sorted_checked(std::vector<IconImage> icons) {
    std::stable_sort(icons.begin(), icons.end(), [](const IconImage &a, const IconImage &b) {
        return a.width != b.width ? a.width < b.width : a.height < b.height;
    });
    for (size_t i = 1; i < icons.size(); ++i)
        if (icons[i].width == icons[i - 1].width && icons[i].height == icons[i - 1].height)
            throw Error("two icon images are " + std::to_string(icons[i].width) + "x" +
                        std::to_string(icons[i].height) + "; give each size once");
    return icons;
}

}  // namespace

const std::string &launcher_manifest() {
    static const std::string text(MANIFEST, sizeof(MANIFEST) - 1);
    return text;
}

std::vector<IconImage> default_icons() {
    std::vector<IconImage> icons;
    for (size_t i = 0; i < DEFAULT_ICON_FILE_COUNT; ++i) {
        const EmbeddedFile &f = DEFAULT_ICON_FILES[i];
        IconImage icon;
        icon.png.assign(reinterpret_cast<const char *>(f.data), f.bytes);
        std::string problem = icon_png_problem(icon.png, icon.width, icon.height);
        if (!problem.empty()) throw Error(std::string("built-in icon ") + f.name + ": " + problem);
        icons.push_back(std::move(icon));
    }
    return sorted_checked(std::move(icons));
}

std::vector<IconImage> read_icons(const std::vector<std::string> &paths) {
    std::vector<IconImage> icons;
    for (const std::string &path : paths)
        for (IconImage &icon : read_icon_file(path)) icons.push_back(std::move(icon));
    return sorted_checked(std::move(icons));
}

std::string version_resource(const BrandOptions &brand) {
    const std::array<uint16_t, 4> &v = brand.file_version_parts;
    const std::array<uint16_t, 4> &p = brand.version_parts;

    std::string fixed;
    put_le32(fixed, FIXED_SIGNATURE);
    put_le32(fixed, FIXED_STRUC_VERSION);
    put_le32(fixed, (uint32_t{v[0]} << 16) | v[1]);  // file version MS, LS
    put_le32(fixed, (uint32_t{v[2]} << 16) | v[3]);
    put_le32(fixed, (uint32_t{p[0]} << 16) | p[1]);  // product version MS, LS
    put_le32(fixed, (uint32_t{p[2]} << 16) | p[3]);
    put_le32(fixed, FILE_FLAGS_MASK);
    put_le32(fixed, 0);  // file flags
    put_le32(fixed, VOS_WINDOWS32);
    put_le32(fixed, VFT_APP);
    put_le32(fixed, 0);  // subtype
    put_le32(fixed, 0);  // date MS
    put_le32(fixed, 0);  // date LS

    // The customary keys in the customary order; the two that have no
    // sensible default are left out unless given.
    std::vector<std::string> strings = {
        version_string("CompanyName", brand.company_units),
        version_string("ProductName", brand.name_units),
        version_string("FileDescription", brand.description_units),
        version_string("ProductVersion", brand.version_units),
        version_string("FileVersion", brand.file_version_units),
        version_string("OriginalFilename", brand.original_filename_units),
        version_string("InternalName", brand.internal_name_units),
    };
    if (!brand.copyright_units.empty()) strings.push_back(version_string("LegalCopyright", brand.copyright_units));
    if (!brand.comments_units.empty()) strings.push_back(version_string("Comments", brand.comments_units));
    std::string table = version_node(u"000004b0", std::string(), 0, 1, strings);
    std::string string_info = version_node(u"StringFileInfo", std::string(), 0, 1, {table});
    std::string translation;
    put_le16(translation, LANGUAGE_NEUTRAL);
    put_le16(translation, CODE_PAGE_UTF16);
    std::string var = version_node(u"Translation", translation, 4, 0, {});
    std::string var_info = version_node(u"VarFileInfo", std::string(), 0, 1, {var});
    return version_node(u"VS_VERSION_INFO", fixed, static_cast<uint16_t>(fixed.size()), 0,
                        {string_info, var_info});
}

std::string icon_group_directory(const std::vector<IconImage> &icons) {
    std::string b;
    put_le16(b, 0);  // reserved
    put_le16(b, 1);  // type: icon
    put_le16(b, static_cast<uint16_t>(icons.size()));
    for (size_t i = 0; i < icons.size(); ++i) {
        b.push_back(static_cast<char>(icons[i].width & 0xFF));  // 256 becomes 0
        b.push_back(static_cast<char>(icons[i].height & 0xFF));
        b.push_back(0);  // colour count
        b.push_back(0);  // reserved
        put_le16(b, 0);   // planes
        put_le16(b, 32);  // bits per pixel
        put_le32(b, static_cast<uint32_t>(icons[i].png.size()));
        put_le16(b, static_cast<uint16_t>(i + 1));
    }
    return b;
}

std::string resource_file(const BrandOptions &brand, const std::vector<IconImage> &icons) {
    if (icons.empty() || icons.size() > 0xFFFF) throw Error("an icon group needs 1 to 65,535 images");
    std::string res;
    append_resource(res, 0, 0, 0, std::string());  // the empty entry that marks a 32-bit .res file
    append_resource(res, RT_MANIFEST_ID, 1, MOVEABLE_PURE, launcher_manifest());
    append_resource(res, RT_VERSION_ID, 1, MOVEABLE_PURE, version_resource(brand));
    for (size_t i = 0; i < icons.size(); ++i)
        append_resource(res, RT_ICON_ID, static_cast<uint16_t>(i + 1), MOVEABLE_PURE_DISCARDABLE, icons[i].png);
    append_resource(res, RT_GROUP_ICON_ID, 1, MOVEABLE_PURE_DISCARDABLE, icon_group_directory(icons));
    return res;
}

std::string write_resources(const BrandOptions &brand, const std::string &dir) {
    std::vector<IconImage> icons = brand.icons.empty() ? default_icons() : read_icons(brand.icons);
    std::string res = resource_file(brand, icons);
    std::string path = dir + "/resources.res";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(res.data(), static_cast<std::streamsize>(res.size()));
    out.close();
    if (!out) throw Error("cannot write '" + printable(path) + "'");
    return path;
}

}  // namespace vornak
