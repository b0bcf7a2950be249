// SPDX-License-Identifier: MIT
// The build-values object, read back with an independent COFF parser, and
// the checks of the product name and version.
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "payload/format.h"
#include "tests/host/support.h"
#include "tools/vornak/brand/brand.h"
#include "tools/vornak/base/process.h"
#include "tools/vornak/link/build.h"
#include "tools/vornak/pe/coff.h"
#include "tools/vornak/pe/pe_edit.h"
#include "tools/vornak/pe/pe_reader.h"
#include "tools/vornak/base/error.h"

using test::TempDir;

namespace {

using test::le16;
using test::le32;

struct Symbol {
    uint32_t value;
    int16_t section;
    uint8_t storage_class;
};

struct Object {
    uint16_t machine, sections;
    std::string section_name;
    uint32_t flags;
    std::string data;
    std::map<std::string, Symbol> symbols;
};

Object parse(const std::string &b) {
    Object o;
    o.machine = le16(b, 0);
    o.sections = le16(b, 2);
    uint32_t symtab = le32(b, 8), count = le32(b, 12);
    EXPECT_EQ(le16(b, 16), 0) << "no optional header in an object";
    size_t sh = 20 + le16(b, 16);
    o.section_name = b.substr(sh, 8);
    o.data = b.substr(le32(b, sh + 20), le32(b, sh + 16));
    o.flags = le32(b, sh + 36);
    EXPECT_EQ(le16(b, sh + 32), 0) << "no relocations";
    size_t strtab = symtab + 18 * size_t{count};
    for (uint32_t i = 0; i < count; ++i) {
        size_t s = symtab + 18 * size_t{i};
        std::string name;
        if (le32(b, s) == 0) {
            name = b.c_str() + strtab + le32(b, s + 4);
        } else {
            name = b.substr(s, 8);
            name.resize(name.find('\0') == std::string::npos ? 8 : name.find('\0'));
        }
        o.symbols[name] = Symbol{le32(b, s + 8), static_cast<int16_t>(le16(b, s + 12)),
                                 static_cast<uint8_t>(b.at(s + 16))};
        i += static_cast<unsigned char>(b.at(s + 17));  // skip aux records
    }
    return o;
}

std::u16string wide_at(const std::string &data, size_t offset) {
    std::u16string s;
    for (size_t o = offset; le16(data, o) != 0; o += 2) s.push_back(le16(data, o));
    return s;
}

}  // namespace

TEST(BuildValuesObject, SectionAndSymbolsForAnOddSizedPayload) {
    TempDir t;
    std::string payload = PAYLOAD_MAGIC + std::string("\x28\xb5\x2f\xfd\x00\x00\x01\x00\x00\x00", 10);  // 13 bytes
    test::write_file(t / "p.bin", payload);
    std::u16string name = u"Caf\u00e9 \U0001F600";
    std::u16string cache_template = u"{CACHE_DIR}\\C";
    std::u16string key(64, u'a');
    vornak::write_build_values_object(t / "p.bin", {name, u"2.3.4.5", u"Acme", u"7.0.0.1", cache_template, key},
                                      t / "v.o");

    Object o = parse(test::read_file(t / "v.o"));
    EXPECT_EQ(o.machine, 0x8664);
    EXPECT_EQ(o.sections, 1);
    EXPECT_EQ(o.section_name, std::string(".rdata\0\0", 8));
    EXPECT_EQ(o.flags, 0x40500040u) << "initialized data, read-only, 16-byte aligned";
    // The strings end after the cache key; the options follow at the next
    // multiple of 8, then the splash record's header (no image: no pixels).
    const uint32_t strings_end = static_cast<uint32_t>(16u + 8 + 2 * (name.size() + 1) + 2 * 8 + 2 * 5 + 2 * 8 +
                                                       2 * (cache_template.size() + 1) + 2 * 65);
    const uint32_t options_at = (strings_end + 7) & ~7u;
    ASSERT_EQ(o.data.size(), options_at + 8u + SPLASH_HEADER_BYTES);
    EXPECT_EQ(o.data.substr(0, 13), payload);
    EXPECT_EQ(o.data.substr(13, 3), std::string(3, '\0')) << "padding to 8";
    EXPECT_EQ(test::le64(o.data, 16), 13u);

    const std::map<std::string, uint32_t> expected = {
        {BUILD_VALUE_SYMBOL_PAYLOAD, 0},
        {BUILD_VALUE_SYMBOL_PAYLOAD_BYTES, 16},
        {BUILD_VALUE_SYMBOL_PRODUCT_NAME, 24},
        {BUILD_VALUE_SYMBOL_PRODUCT_VERSION, static_cast<uint32_t>(24 + 2 * (name.size() + 1))},
        {BUILD_VALUE_SYMBOL_COMPANY_NAME, static_cast<uint32_t>(24 + 2 * (name.size() + 1) + 16)},
        {BUILD_VALUE_SYMBOL_FILE_VERSION, static_cast<uint32_t>(24 + 2 * (name.size() + 1) + 16 + 10)},
        {BUILD_VALUE_SYMBOL_CACHE_TEMPLATE, static_cast<uint32_t>(24 + 2 * (name.size() + 1) + 16 + 10 + 16)},
        {BUILD_VALUE_SYMBOL_CACHE_KEY,
         static_cast<uint32_t>(24 + 2 * (name.size() + 1) + 16 + 10 + 16 + 2 * (cache_template.size() + 1))},
        {BUILD_VALUE_SYMBOL_OPTIONS, options_at},
        {BUILD_VALUE_SYMBOL_SPLASH, options_at + 8},
    };
    for (const auto &[sym, offset] : expected) {
        ASSERT_TRUE(o.symbols.count(sym)) << sym;
        EXPECT_EQ(o.symbols[sym].value, offset) << sym;
        EXPECT_EQ(o.symbols[sym].section, 1) << sym;
        EXPECT_EQ(o.symbols[sym].storage_class, 2) << sym << " must be external";
    }
    EXPECT_EQ(wide_at(o.data, 24), name);
    EXPECT_EQ(wide_at(o.data, expected.at(BUILD_VALUE_SYMBOL_PRODUCT_VERSION)), u"2.3.4.5");
    EXPECT_EQ(wide_at(o.data, expected.at(BUILD_VALUE_SYMBOL_COMPANY_NAME)), u"Acme");
    EXPECT_EQ(wide_at(o.data, expected.at(BUILD_VALUE_SYMBOL_FILE_VERSION)), u"7.0.0.1");
    EXPECT_EQ(wide_at(o.data, expected.at(BUILD_VALUE_SYMBOL_CACHE_TEMPLATE)), cache_template);
    EXPECT_EQ(wide_at(o.data, expected.at(BUILD_VALUE_SYMBOL_CACHE_KEY)), key);
    EXPECT_EQ(o.data.substr(strings_end), std::string(o.data.size() - strings_end, '\0'))
        << "no option set and an empty splash record";

    vornak::LauncherExtras extras;
    extras.options = LAUNCHER_OPTION_ERROR_DIALOG | LAUNCHER_OPTION_SPLASH;
    extras.splash_width = 2;
    extras.splash_height = 1;
    extras.unpacked_total_bytes = 0x123456789ull;
    extras.splash_pixels = "ABCDEFGH";
    vornak::write_build_values_object(t / "p.bin", {name, u"2.3.4.5", u"Acme", u"7.0.0.1", cache_template, key}, t / "s.o",
                                      vornak::ObjectPayload::COPIED, extras);
    Object s = parse(test::read_file(t / "s.o"));
    ASSERT_EQ(s.data.size(), options_at + 8u + SPLASH_HEADER_BYTES + 8);
    EXPECT_EQ(test::le32(s.data, options_at), 3u);
    const uint32_t splash_at = options_at + 8;
    EXPECT_EQ(test::le32(s.data, splash_at), 2u);
    EXPECT_EQ(test::le32(s.data, splash_at + 4), 1u);
    EXPECT_EQ(test::le64(s.data, splash_at + SPLASH_TOTAL_BYTES_OFFSET), 0x123456789ull);
    EXPECT_EQ(s.data.substr(splash_at + SPLASH_HEADER_BYTES), "ABCDEFGH");
}

TEST(BuildValuesObject, PayloadIsCopiedAsItIsEvenWhenEmptyOrDamaged) {
    TempDir t;
    test::write_file(t / "empty.bin", "");
    vornak::write_build_values_object(t / "empty.bin", {u"N", u"1.0.0.0", u"N", u"1.0.0.0"}, t / "e.o");
    Object e = parse(test::read_file(t / "e.o"));
    EXPECT_EQ(e.symbols[BUILD_VALUE_SYMBOL_PAYLOAD_BYTES].value, 0u);
    EXPECT_EQ(test::le64(e.data, 0), 0u);

    std::string junk(8, '\xAB');
    test::write_file(t / "junk.bin", junk);
    vornak::write_build_values_object(t / "junk.bin", {u"N", u"1.0.0.0", u"N", u"1.0.0.0"}, t / "j.o");
    Object j = parse(test::read_file(t / "j.o"));
    EXPECT_EQ(j.data.substr(0, 8), junk);
    EXPECT_EQ(test::le64(j.data, 8), 8u) << "an 8-byte payload needs no padding";

    EXPECT_THROW(vornak::write_build_values_object(t / "none.bin", {u"N", u"1.0.0.0", u"N", u"1.0.0.0"}, t / "n.o"), vornak::Error);
    EXPECT_FALSE(test::exists(t / "n.o"));
}

// The object that only reserves the payload's room links, once the payload
// is written into that room, to the very image that the object carrying the
// payload links to: every offset and byte the same, with the real launcher
// pieces and the build's link line.
TEST(BuildValuesObject, ReservedRoomFilledAfterTheLinkGivesTheSameImage) {
    std::string tool_dir = VORNAK_EXE;
    tool_dir.resize(tool_dir.rfind('/'));
    std::string linker = vornak::find_linker(tool_dir);
    std::string libraries = vornak::launcher_library_dir(tool_dir);
    std::mt19937 random(18);
    for (size_t bytes : {size_t{0}, size_t{13}, size_t{4096}, size_t{300007}}) {
        SCOPED_TRACE("payload of " + std::to_string(bytes) + " bytes");
        TempDir t;
        std::string payload(bytes, '\0');
        for (char &c : payload) c = static_cast<char>(random());
        test::write_file(t / "p.bin", payload);
        const vornak::BuildValueStrings strings = {u"Same App", u"1.2.0.0", u"Acme", u"1.2.3.0"};
        std::string images[2];
        for (auto kind : {vornak::ObjectPayload::COPIED, vornak::ObjectPayload::RESERVED}) {
            bool reserved = kind == vornak::ObjectPayload::RESERVED;
            std::string object = t / (reserved ? "reserved.o" : "copied.o");
            std::string exe = t / (reserved ? "reserved.exe" : "copied.exe");
            vornak::write_build_values_object(t / "p.bin", strings, object, kind);
            if (reserved) {
                EXPECT_LT(test::read_file(object).size(), 1024u) << "the payload is not in the object";
            }
            ASSERT_EQ(vornak::run_program(linker, vornak::link_arguments(libraries, object, "", exe)), 0);
            vornak::align_payload_section(exe);
            if (reserved) vornak::write_payload_into_image(exe, t / "p.bin");
            vornak::verify_payload_placement(exe, t / "p.bin");
            images[reserved] = test::read_file(exe);
        }
        ASSERT_EQ(images[0].size(), images[1].size());
        EXPECT_TRUE(images[0] == images[1]) << "the images differ";
    }
}

TEST(BrandChecks, VersionIsOneToFourNumbersUpTo65535) {
    using Parts = std::array<uint16_t, 4>;
    EXPECT_EQ(vornak::parse_version("1.0.0.160"), (Parts{1, 0, 0, 160}));
    EXPECT_EQ(vornak::parse_version("65535.0.65535.9"), (Parts{65535, 0, 65535, 9}));
    EXPECT_EQ(vornak::parse_version("2.1.0"), (Parts{2, 1, 0, 0}));
    EXPECT_EQ(vornak::parse_version("2.1"), (Parts{2, 1, 0, 0}));
    EXPECT_EQ(vornak::parse_version("7"), (Parts{7, 0, 0, 0}));
    EXPECT_EQ(vornak::parse_version("0"), (Parts{0, 0, 0, 0}));
    for (const char *bad : {"", ".", "1.", ".1", "1.2.3.4.5", "65536", "1.65536", "1..2.3", "a.b.c.d", " 1.2.3.4",
                            "1.2.3.4 ", "01.2.3.4", "1.02", "-1.2.3.4", "+1.2.3.4", "1.2.3.4.", "999999.1.1.1", "1,2"})
        EXPECT_THROW(vornak::parse_version(bad), vornak::Error) << bad;
    try {
        vornak::parse_version("1.2.x", "--file-version");
        ADD_FAILURE() << "1.2.x accepted";
    } catch (const vornak::Error &e) {
        EXPECT_EQ(std::string(e.what()), "--file-version '1.2.x' must be one to four numbers 0..65535 separated by dots, "
                                         "such as 2.1 or 2.1.0.7");
    }
}

TEST(BrandChecks, Texts) {
    EXPECT_EQ(vornak::brand_text_units("Tovrindale", "--name"), u"Tovrindale");
    EXPECT_EQ(vornak::brand_text_units("\xc2\xa9 2026 \xc3\x9c", "--copyright"), u"\u00a9 2026 \u00dc");
    for (const char *bad : {"", "a\nb", "tab\there", "bad\xff"})
        EXPECT_THROW(vornak::brand_text_units(bad, "--company"), vornak::Error) << bad;
    EXPECT_EQ(vornak::brand_text_units(std::string(BUILD_VALUE_MAX_UNITS, 'n'), "--comments").size(),
              size_t{BUILD_VALUE_MAX_UNITS});
    EXPECT_THROW(vornak::brand_text_units(std::string(BUILD_VALUE_MAX_UNITS + 1, 'n'), "--comments"), vornak::Error);
}

TEST(BrandChecks, DefaultsComeFromTheOutputsFileName) {
    struct Case {
        const char *output;
        const char16_t *name, *original, *internal;
    };
    const Case cases[] = {
        {"Foo.exe", u"Foo", u"Foo.exe", u"Foo"},
        {"out/dir/My App.exe", u"My App", u"My App.exe", u"My App"},
        {"/abs/tool.v2.EXE", u"tool.v2", u"tool.v2.EXE", u"tool.v2"},
        {"noext", u"noext", u"noext", u"noext"},
        {"d/.hidden", u".hidden", u".hidden", u".hidden"},
    };
    for (const Case &c : cases) {
        vornak::BrandOptions b;
        vornak::check_brand_options(b, c.output);
        EXPECT_EQ(b.name_units, c.name) << c.output;
        EXPECT_EQ(b.company_units, c.name) << c.output;
        EXPECT_EQ(b.description_units, c.name) << c.output;
        EXPECT_EQ(b.original_filename_units, c.original) << c.output;
        EXPECT_EQ(b.internal_name_units, c.internal) << c.output;
        EXPECT_EQ(b.version_units, u"0.0.0.0") << c.output;
        EXPECT_EQ(b.file_version_units, u"0.0.0.0") << c.output;
        EXPECT_TRUE(b.copyright_units.empty() && b.comments_units.empty()) << c.output;
    }
}

TEST(BrandChecks, GivenValuesWinAndVersionsArePadded) {
    vornak::BrandOptions b;
    b.name = "My App";
    b.version = "2.1";
    b.file_version = "2.1.0.77";
    b.company = "Acme";
    b.description = "Does things";
    b.copyright = "(c) Acme";
    b.comments = "Built here";
    vornak::check_brand_options(b, "x/Other.exe");
    EXPECT_EQ(b.name_units, u"My App");
    EXPECT_EQ(b.company_units, u"Acme");
    EXPECT_EQ(b.description_units, u"Does things");
    EXPECT_EQ(b.copyright_units, u"(c) Acme");
    EXPECT_EQ(b.comments_units, u"Built here");
    EXPECT_EQ(b.original_filename_units, u"Other.exe") << "from -o, not from --name";
    EXPECT_EQ(b.internal_name_units, u"Other");
    EXPECT_EQ(b.version_units, u"2.1.0.0");
    EXPECT_EQ(b.version_parts, (std::array<uint16_t, 4>{2, 1, 0, 0}));
    EXPECT_EQ(b.file_version_units, u"2.1.0.77");
    EXPECT_EQ(b.file_version_parts, (std::array<uint16_t, 4>{2, 1, 0, 77}));
}

TEST(BrandChecks, RefusalsNameTheOption) {
    struct Case {
        void (*set)(vornak::BrandOptions &);
        const char *output, *message_start;
    };
    const Case cases[] = {
        {[](vornak::BrandOptions &b) { b.name = "   "; }, "a.exe", "--name must hold more than blanks"},
        {[](vornak::BrandOptions &b) { b.name = "a\x7f"; }, "a.exe", "--name 'a"},
        {[](vornak::BrandOptions &) {}, "dir/  .exe", "-o 'dir/  .exe' gives no product name"},
        {[](vornak::BrandOptions &) {}, "bad\xff.exe", "-o (the file name) 'bad\\xff.exe' is not valid UTF-8"},
        {[](vornak::BrandOptions &b) { b.version = "1.2.3.4.5"; }, "a.exe", "--version '1.2.3.4.5' must be"},
        {[](vornak::BrandOptions &b) { b.file_version = "70000"; }, "a.exe", "--file-version '70000': 70000 is larger"},
        {[](vornak::BrandOptions &b) { b.company = "a\tb"; }, "a.exe", "--company 'a"},
        {[](vornak::BrandOptions &b) { b.copyright = "\xc3"; }, "a.exe", "--copyright '"},
    };
    for (const Case &c : cases) {
        vornak::BrandOptions b;
        c.set(b);
        try {
            vornak::check_brand_options(b, c.output);
            ADD_FAILURE() << c.message_start << ": accepted";
        } catch (const vornak::Error &e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message_start, 0), 0u) << e.what();
        }
    }
}

TEST(PeChecksum, PiecesGiveTheSumOfTheWhole) {
    // Odd length, the field in the second piece: the sum read in pieces (as
    // the build reads a large image) is the sum over the whole buffer.
    std::string data;
    for (unsigned i = 0; i < 10001; ++i) data.push_back(static_cast<char>((i * 2654435761u) >> 13));
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data());
    for (size_t field : {size_t{0}, size_t{4098}, size_t{9996}}) {
        uint32_t whole = vornak::pe_checksum(p, data.size(), field);
        for (size_t piece : {size_t{2}, size_t{4096}, size_t{6000}}) {
            vornak::PeChecksum sum(field);
            for (size_t at = 0; at < data.size(); at += piece) sum.add(p + at, std::min(piece, data.size() - at));
            EXPECT_EQ(sum.finish(), whole) << "field " << field << ", pieces of " << piece;
        }
    }
    // The field itself does not count; everything else does.
    std::string changed = data;
    changed[4098] ^= 0x5A;
    EXPECT_EQ(vornak::pe_checksum(reinterpret_cast<const unsigned char *>(changed.data()), changed.size(), 4098),
              vornak::pe_checksum(p, data.size(), 4098));
    changed[9000] ^= 0x5A;
    EXPECT_NE(vornak::pe_checksum(reinterpret_cast<const unsigned char *>(changed.data()), changed.size(), 4098),
              vornak::pe_checksum(p, data.size(), 4098));
}
