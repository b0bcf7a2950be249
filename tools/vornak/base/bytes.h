// SPDX-License-Identifier: MIT
// Little-endian integers in byte strings and buffers. Every format vornak
// writes or reads (COFF objects, PE images, .res files, the payload) stores
// its fields this way, whatever the byte order of the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vornak {

// Append v to dst, least significant byte first.
inline void put_le16(std::string &dst, uint16_t v) {
    dst.push_back(static_cast<char>(v & 0xFF));
    dst.push_back(static_cast<char>(v >> 8));
}
inline void put_le32(std::string &dst, uint32_t v) {
    for (int i = 0; i < 4; ++i) dst.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void put_le64(std::string &dst, uint64_t v) {
    for (int i = 0; i < 8; ++i) dst.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Overwrites dst[at] and dst[at + 1], which must exist.
inline void set_le16(std::string &dst, size_t at, uint16_t v) {
    dst[at] = static_cast<char>(v & 0xFF);
    dst[at + 1] = static_cast<char>(v >> 8);
}

// The value in the bytes at src; the caller has checked that they are there.
inline uint16_t get_le16(const unsigned char *src) { return static_cast<uint16_t>(src[0] | (src[1] << 8)); }
inline uint32_t get_le32(const unsigned char *src) {
    return src[0] | (src[1] << 8) | (src[2] << 16) | (static_cast<uint32_t>(src[3]) << 24);
}
inline uint64_t get_le64(const unsigned char *src) {
    return get_le32(src) | (static_cast<uint64_t>(get_le32(src + 4)) << 32);
}

}  // namespace vornak
