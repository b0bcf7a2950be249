// SPDX-License-Identifier: MIT
// Damaged images, one fault per row, built in memory: each refusal or failed
// check names the header, table or field at fault, exactly. Through `vornak
// inspect` for what it reads, `vornak pack` for the export table, and the
// layout rules on their own for what the loader would refuse.
#include <gtest/gtest.h>

#include <functional>

#include "tests/host/support.h"
#include "tools/vornak/pe/layout.h"
#include "tools/vornak/pe/pe_reader.h"

using test::PE_DATA_FILE_AT;
using test::PE_DATA_RVA;
using test::PE_FILE_HEADER_AT;
using test::PE_OPTIONAL_HEADER_AT;
using test::PE_SECTION_TABLE_AT;
using test::TempDir;

namespace {

void put16(std::string &b, size_t at, uint16_t v) {
    for (int i = 0; i < 2; ++i) b.at(at + i) = static_cast<char>(v >> (8 * i));
}
void put32(std::string &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<char>(v >> (8 * i));
}

// VS_VERSION_INFO with its fixed part and no children.
std::string version_info() {
    std::string v(92, '\0');
    put16(v, 0, 92);
    put16(v, 2, 52);
    const char16_t key[] = u"VS_VERSION_INFO";
    for (size_t i = 0; key[i]; ++i) put16(v, 6 + 2 * i, key[i]);
    put32(v, 40, 0xFEEF04BD);
    put32(v, 44, 0x10000);
    return v;
}

std::string base_image() {
    test::PeContents contents;
    contents.exports = {"run_code"};
    contents.imports = {{"KERNEL32.dll", {"GetLastError"}}};
    contents.version_resource = version_info();
    contents.certificate = std::string(40, 'c');
    return test::build_pe(contents);
}

constexpr size_t DIRECTORIES_AT = PE_OPTIONAL_HEADER_AT + 112;
constexpr int EXPORT = 0, IMPORT = 1, RESOURCE = 2, SECURITY = 4;

// File offset of data directory dir's table, which lies in the one section.
size_t table_at(const std::string &image, int dir) {
    return test::le32(image, DIRECTORIES_AT + 8 * dir) - PE_DATA_RVA + PE_DATA_FILE_AT;
}

std::string file_bytes(const std::string &image) { return std::to_string(image.size()) + " bytes"; }

struct Damage {
    const char *label;
    const char *command;  // "inspect" or "pack"
    std::function<void(std::string &)> change;
    std::function<std::string(const std::string &)> message;  // of the damaged image
};

void PrintTo(const Damage &d, std::ostream *os) { *os << d.label; }

const Damage damages[] = {
    {"PE header beyond the file", "inspect", [](std::string &b) { put32(b, 0x3C, 0x10000); },
     [](const std::string &b) {
         return "file header: 24 bytes at offset 0x10000 lie beyond the end of the file (" + file_bytes(b) + ")";
     }},
    {"no PE signature", "inspect", [](std::string &b) { b[test::PE_HEADER_AT] = 'X'; },
     [](const std::string &) { return std::string("not a PE image (no PE signature)"); }},
    {"optional header too small", "inspect", [](std::string &b) { put16(b, PE_FILE_HEADER_AT + 16, 100); },
     [](const std::string &) {
         return std::string("file header: SizeOfOptionalHeader 100 is too small for PE32+ (112 bytes at least)");
     }},
    {"section table beyond the file", "inspect", [](std::string &b) { put16(b, PE_FILE_HEADER_AT + 2, 2000); },
     [](const std::string &b) {
         return "section table (2000 sections): 80000 bytes at offset 0x148 lie beyond the end of the file (" +
                file_bytes(b) + ")";
     }},
    {"17 data directories", "inspect", [](std::string &b) { put32(b, PE_OPTIONAL_HEADER_AT + 108, 17); },
     [](const std::string &) {
         return std::string("optional header: NumberOfRvaAndSizes 17 does not fit the 16 data directories");
     }},
    {"SizeOfImage not aligned", "inspect", [](std::string &b) { put32(b, PE_OPTIONAL_HEADER_AT + 56, 0x2800); },
     [](const std::string &) {
         return std::string("optional header: SizeOfImage 0x2800 is not a multiple of SectionAlignment 0x1000");
     }},
    {"SizeOfImage of 2 GiB", "inspect", [](std::string &b) { put32(b, PE_OPTIONAL_HEADER_AT + 56, 0x80000000u); },
     [](const std::string &) {
         return std::string("optional header: SizeOfImage 0x80000000 is 2 GiB or more; Windows does not load an "
                            "image that large");
     }},
    {"FileAlignment 256", "inspect", [](std::string &b) { put32(b, PE_OPTIONAL_HEADER_AT + 36, 0x100); },
     [](const std::string &) {
         return std::string("optional header: FileAlignment 0x100 is not a power of two from 0x200 to 0x10000");
     }},
    {"SizeOfHeaders inside the section table", "inspect",
     [](std::string &b) { put32(b, PE_OPTIONAL_HEADER_AT + 60, 0x100); },
     [](const std::string &) {
         return std::string("optional header: SizeOfHeaders 0x100 ends before the section table does (0x170)");
     }},
    {"section data past the end of the file", "inspect", [](std::string &b) { put32(b, PE_SECTION_TABLE_AT + 16, 0x10000); },
     [](const std::string &b) {
         return "section table: the data of .rdata: 65536 bytes at offset 0x200 lie beyond the end of the file (" +
                file_bytes(b) + ")";
     }},
    {"import table outside the sections", "inspect", [](std::string &b) { put32(b, DIRECTORIES_AT + 8, 0x9000); },
     [](const std::string &) {
         return std::string("import table: RVA 0x9000 (20 bytes) lies outside every section's file data");
     }},
    {"library name outside the sections", "inspect",
     [](std::string &b) { put32(b, table_at(b, IMPORT) + 12, 0x9000); },
     [](const std::string &) {
         return std::string("import table: RVA 0x9000 (1 bytes) lies outside every section's file data");
     }},
    {"export names outside the sections", "pack", [](std::string &b) { put32(b, table_at(b, EXPORT) + 32, 0x9000); },
     [](const std::string &) {
         return std::string("app.dll: export table: RVA 0x9000 (4 bytes) lies outside every section's file data");
     }},
    {"resource table outside the sections", "inspect", [](std::string &b) { put32(b, DIRECTORIES_AT + 16, 0x9000); },
     [](const std::string &) {
         return std::string("resource table: RVA 0x9000 (16 bytes) lies outside every section's file data");
     }},
    {"resource data at the type level", "inspect",
     [](std::string &b) { put32(b, table_at(b, RESOURCE) + 20, 72); },
     [](const std::string &) { return std::string("resource table: data above the language level"); }},
    {"version node longer than its resource", "inspect",
     [](std::string &b) {
         size_t data = test::le32(b, table_at(b, RESOURCE) + 72) - PE_DATA_RVA + PE_DATA_FILE_AT;
         put16(b, data, 200);
     },
     [](const std::string &) { return std::string("  malformed: version resource: a node length runs past its parent"); }},
    {"version under another key", "inspect",
     [](std::string &b) {
         size_t data = test::le32(b, table_at(b, RESOURCE) + 72) - PE_DATA_RVA + PE_DATA_FILE_AT;
         put16(b, data + 6, u'X');
     },
     [](const std::string &) {
         return std::string("  malformed: version resource: does not start with VS_VERSION_INFO and its fixed part");
     }},
    {"version resource cut inside its fixed part", "inspect",
     [](std::string &b) {
         size_t entry = table_at(b, RESOURCE) + 72;
         put32(b, entry + 4, 60);  // the resource's size
         size_t data = test::le32(b, entry) - PE_DATA_RVA + PE_DATA_FILE_AT;
         put16(b, data, 60);
     },
     [](const std::string &) {
         return std::string("  malformed: version resource: a value runs past its node");
     }},
    {"certificate table beyond the file", "inspect", [](std::string &b) { put32(b, DIRECTORIES_AT + 36, 0x10000); },
     [](const std::string &b) {
         return "certificate table: 65536 bytes at offset " + vornak::hex_text(test::le32(b, DIRECTORIES_AT + 32), 0) +
                " lie beyond the end of the file (" + file_bytes(b) + ")";
     }},
    {"certificate entry of bad length", "inspect",
     [](std::string &b) { put32(b, test::le32(b, DIRECTORIES_AT + 32), 4); },
     [](const std::string &b) {
         return "  certificate table: the entry at offset " + vornak::hex_text(test::le32(b, DIRECTORIES_AT + 32), 0) +
                " has a bad length (4 bytes)";
     }},
};

class DamagedImage : public ::testing::TestWithParam<Damage> {};

}  // namespace

TEST(DamagedImageBase, InspectsAndPacksWithoutAFault) {
    TempDir t;
    std::string image = base_image();
    test::write_file(t / "img.exe", image);
    test::write_file(t / "app/app.dll", image);
    std::string out, err;
    test::run({VORNAK_EXE, "inspect", t / "img.exe"}, out, err);
    EXPECT_EQ(err.find("vornak: error"), std::string::npos) << err;
    EXPECT_NE(out.find("layout: loadable\n"), std::string::npos) << out;
    EXPECT_NE(out.find("version: 92 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("  entry 0: 48 bytes, revision 0x0200, type 2"), std::string::npos) << out;
    EXPECT_EQ(test::run({VORNAK_EXE, "pack", "app", "--dll", "app.dll", "-o", "p.bin"}, out, err, t.path()), 0) << err;
}

TEST_P(DamagedImage, NamesWhatIsWrong) {
    const Damage &d = GetParam();
    TempDir t;
    std::string image = base_image();
    d.change(image);
    std::string out, err;
    int rc;
    if (std::string(d.command) == "pack") {
        test::write_file(t / "app/app.dll", image);
        rc = test::run({VORNAK_EXE, "pack", "app", "--dll", "app.dll", "-o", "p.bin"}, out, err, t.path());
        EXPECT_FALSE(test::exists(t / "p.bin"));
    } else {
        test::write_file(t / "img.exe", image);
        rc = test::run({VORNAK_EXE, "inspect", t / "img.exe"}, out, err);
    }
    EXPECT_EQ(rc, 1);
    std::string message = d.message(image);
    EXPECT_NE((out + err).find(message + "\n"), std::string::npos) << "expected: " << message << "\n" << out << err;
    if (err.find("vornak: error: ") == 0)
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
}

INSTANTIATE_TEST_SUITE_P(Rows, DamagedImage, ::testing::ValuesIn(damages),
                         [](const ::testing::TestParamInfo<Damage> &info) {
                             std::string name;
                             for (const char *p = info.param.label; *p; ++p)
                                 name.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
                             return name;
                         });

// Sections the loader would not map, which the one-section image above cannot show.
TEST(ImageLayout, SectionsOneAfterTheOtherInsideTheImage) {
    std::string image = base_image();
    vornak::PeImage pe = vornak::parse_pe(reinterpret_cast<const unsigned char *>(image.data()), image.size());
    ASSERT_TRUE(vornak::image_layout_problems(pe).empty());
    vornak::PeSection next = pe.sections[0];
    next.name = ".data";
    next.virtual_address = 0x3000;  // one page after where .rdata ends
    next.raw_size = 0;
    next.virtual_size = 0x100;
    pe.sections.push_back(next);
    pe.image_size = 0x4000;
    EXPECT_EQ(vornak::image_layout_problems(pe),
              std::vector<std::string>{"section table: section 2 (.data): VirtualAddress 0x3000 is not 0x2000, where "
                                       "the section before it ends"});
    pe.sections[1].virtual_address = 0x2000;
    pe.image_size = 0x2000;
    EXPECT_EQ(vornak::image_layout_problems(pe),
              std::vector<std::string>{"section table: section 2 (.data): ends at 0x3000, beyond SizeOfImage 0x2000"});
    pe.image_size = 0x3000;
    pe.sections[1].raw_size = 0x200, pe.sections[1].raw_offset = 0x300;
    std::vector<std::string> expected = {
        "section table: section 2 (.data): PointerToRawData 0x300 is not a multiple of FileAlignment 0x200",
        "section table: section 2 (.data): its 512 bytes at 0x300 run past the end of the file (" +
            std::to_string(image.size()) + " bytes)"};
    EXPECT_EQ(vornak::image_layout_problems(pe), expected);
    pe.sections[1].raw_size = 0;
    pe.section_alignment = 0x100;
    EXPECT_EQ(vornak::image_layout_problems(pe).at(0),
              "optional header: SectionAlignment 0x100 is smaller than FileAlignment 0x200");
}
