// SPDX-License-Identifier: MIT
// SHA-256 (FIPS 180-4), for the key that names a launcher's cache directory:
// a digest of the payload, so that another payload never meets the files of
// an earlier one, whatever version both carry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vornak {

class Sha256 {
public:
    Sha256();
    void update(const void *data, size_t bytes);
    std::array<uint8_t, 32> finish();

private:
    void block(const uint8_t *p);
    uint32_t state_[8];
    uint8_t buffer_[64];
    size_t buffered_ = 0;
    uint64_t total_bytes_ = 0;
};

// Lower-case hex digest of the file at path. Throws Error when it cannot be read.
std::string sha256_file_hex(const std::string &path);

// Lower-case hex of bytes.
std::string hex_digest(const std::array<uint8_t, 32> &digest);

}  // namespace vornak
