// SPDX-License-Identifier: MIT
// What the Windows loader checks of an image's layout before it maps one:
// the alignments, the size fields and where each section lies in the file
// and in memory. `vornak inspect` reports these; `vornak build` keeps the
// payload small enough for the image to stay below IMAGE_SIZE_LIMIT_BYTES.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vornak/pe/pe_reader.h"

namespace vornak {

// The largest image is just below 2 GiB: the MSVC linker refuses to write a
// larger one (LNK1248, "image size exceeds maximum allowable size
// (80000000)"), 32-bit RIP-relative addressing, with which code reaches its
// data, spans +-2 GiB, and Wine 8 gives such an image a page fault at start.
constexpr uint64_t IMAGE_SIZE_LIMIT_BYTES = uint64_t{1} << 31;
// Room kept in a launcher image for everything but the payload: headers,
// code, static data, unwind data, relocations, resources with the icons.
// About 300 KiB are used; the rest is margin for larger icons.
constexpr uint64_t LAUNCHER_IMAGE_RESERVE_BYTES = uint64_t{64} << 20;
// The largest payload `vornak build` carries.
constexpr uint64_t PAYLOAD_LIMIT_BYTES = IMAGE_SIZE_LIMIT_BYTES - LAUNCHER_IMAGE_RESERVE_BYTES;

// One line per fault, each naming the header field or the section and field
// ("optional header: SizeOfImage 0x3000 is not a multiple of SectionAlignment
// 0x1000"); empty for an image the loader can map. Only PE32+ images.
std::vector<std::string> image_layout_problems(const PeImage &pe);

}  // namespace vornak
