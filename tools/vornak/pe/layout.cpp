// SPDX-License-Identifier: MIT
// The loader's view of an image's layout, after the PE format's rules for
// the optional header and the section table: alignments powers of two,
// FileAlignment from 512 to 64 KiB and at most SectionAlignment, sizes that
// are multiples of their alignment, sections in the file, and in memory one
// after the other from the headers on, all inside SizeOfImage.
#include "tools/vornak/pe/layout.h"

#include "tools/vornak/base/error.h"
#include "tools/vornak/pe/coff.h"

namespace vornak {

namespace {

constexpr uint32_t FILE_ALIGNMENT_MIN = 512, FILE_ALIGNMENT_MAX = 65536;

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t align_up(uint64_t v, uint32_t alignment) { return (v + alignment - 1) / alignment * alignment; }

}  // namespace

std::vector<std::string> image_layout_problems(const PeImage &pe) {
    std::vector<std::string> problems;
    auto problem = [&](const std::string &text) { problems.push_back(text); };
    uint32_t sa = pe.section_alignment, fa = pe.file_alignment;
    bool file_ok = is_power_of_two(fa) && fa >= FILE_ALIGNMENT_MIN && fa <= FILE_ALIGNMENT_MAX;
    if (!is_power_of_two(sa)) problem("optional header: SectionAlignment " + hex_text(sa, 0) + " is not a power of two");
    if (!file_ok)
        problem("optional header: FileAlignment " + hex_text(fa, 0) + " is not a power of two from 0x200 to 0x10000");
    if (!problems.empty()) return problems;  // the rest is measured in these units
    if (sa < fa)
        problem("optional header: SectionAlignment " + hex_text(sa, 0) + " is smaller than FileAlignment " +
                hex_text(fa, 0));
    if (pe.image_size % sa)
        problem("optional header: SizeOfImage " + hex_text(pe.image_size, 0) + " is not a multiple of SectionAlignment " +
                hex_text(sa, 0));
    if (pe.image_size >= IMAGE_SIZE_LIMIT_BYTES)
        problem("optional header: SizeOfImage " + hex_text(pe.image_size, 0) +
                " is 2 GiB or more; Windows does not load an image that large");
    uint64_t table_end = pe.section_table_offset + uint64_t{COFF_SECTION_HEADER_BYTES} * pe.sections.size();
    if (pe.headers_size % fa)
        problem("optional header: SizeOfHeaders " + hex_text(pe.headers_size, 0) + " is not a multiple of FileAlignment " +
                hex_text(fa, 0));
    if (pe.headers_size < table_end)
        problem("optional header: SizeOfHeaders " + hex_text(pe.headers_size, 0) + " ends before the section table does (" +
                hex_text(table_end, 0) + ")");
    if (pe.headers_size > pe.file.n)
        problem("optional header: SizeOfHeaders " + hex_text(pe.headers_size, 0) + " runs past the end of the file (" +
                std::to_string(pe.file.n) + " bytes)");

    uint64_t expected_va = align_up(pe.headers_size, sa);
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        const PeSection &s = pe.sections[i];
        std::string where = "section table: section " + std::to_string(i + 1) + " (" + printable(s.name) + "): ";
        if (s.raw_size != 0 && s.raw_offset % fa)
            problem(where + "PointerToRawData " + hex_text(s.raw_offset, 0) + " is not a multiple of FileAlignment " +
                    hex_text(fa, 0));
        if (s.raw_size != 0 && uint64_t{s.raw_offset} + s.raw_size > pe.file.n)
            problem(where + "its " + std::to_string(s.raw_size) + " bytes at " + hex_text(s.raw_offset, 0) +
                    " run past the end of the file (" + std::to_string(pe.file.n) + " bytes)");
        if (s.virtual_address != expected_va)
            problem(where + "VirtualAddress " + hex_text(s.virtual_address, 0) + " is not " + hex_text(expected_va, 0) +
                    ", where " + (i ? "the section before it ends" : "the headers end"));
        // A section without a virtual size takes the size of its file data.
        uint64_t span = align_up(s.virtual_size ? s.virtual_size : s.raw_size, sa);
        uint64_t end = uint64_t{s.virtual_address} + span;
        if (end > pe.image_size)
            problem(where + "ends at " + hex_text(end, 0) + ", beyond SizeOfImage " + hex_text(pe.image_size, 0));
        expected_va = end;
    }
    return problems;
}

}  // namespace vornak
