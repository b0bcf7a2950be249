// SPDX-License-Identifier: MIT
// Helpers of the vornak host tests: private scratch folders, file creation,
// and an independent reader of payload files (zstd streaming decoder plus
// an entry-stream parser) to check what the packer wrote.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test {

// A fresh directory, removed with its contents at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Creates parent directories as needed.
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);  // without following a final symlink
// Names in dir other than "." and "..".
std::vector<std::string> list_dir(const std::string &dir);

// Little-endian values at bytes[offset..]; std::out_of_range past the end.
uint16_t le16(const std::string &bytes, size_t offset);
uint32_t le32(const std::string &bytes, size_t offset);
uint64_t le64(const std::string &bytes, size_t offset);

struct DecodedEntry {
    std::u16string name;
    std::string data;
};

struct DecodedPayload {
    std::string frame;  // the zstd frame, F bytes
    std::vector<DecodedEntry> entries;
    uint64_t stream_bytes = 0;
};

// Decodes a payload file, checking along the way (with gtest assertions)
// the magic, that the trailer holds 10 + F, that the seven bytes between
// frame and trailer are zero, and that the entry stream ends exactly with
// its terminator where the frame ends.
DecodedPayload decode_payload(const std::string &payload);

// A PE image built in memory: DOS header, PE32+ headers, one ".rdata"
// section at PE_DATA_RVA that holds the export, import and delay-import
// tables asked for. Its layout is fixed (PE_* constants below) so that a
// test can break one field at a known offset.
struct PeContents {
    uint16_t machine = 0x8664;
    uint16_t magic = 0x20B;
    uint16_t characteristics = 0x2022;  // executable image, large-address aware, DLL
    std::vector<std::string> exports;   // names; each gets an RVA in the section
    std::vector<std::pair<std::string, std::vector<std::string>>> imports;  // library, functions
    std::vector<std::string> delay_imports;                                 // libraries
    std::string version_resource;  // when set: a resource tree holding it as type 16, id 1, language 0
    std::string certificate;       // when set: one WIN_CERTIFICATE of it at the end of the file
};
constexpr size_t PE_HEADER_AT = 0x40;                // "PE\0\0"
constexpr size_t PE_FILE_HEADER_AT = PE_HEADER_AT + 4;
constexpr size_t PE_OPTIONAL_HEADER_AT = PE_FILE_HEADER_AT + 20;
constexpr size_t PE_SECTION_TABLE_AT = PE_OPTIONAL_HEADER_AT + 240;
constexpr uint32_t PE_DATA_RVA = 0x1000, PE_DATA_FILE_AT = 0x200;
std::string build_pe(const PeContents &contents);
// A DLL that passes the application DLL check: x64, exports run_code, imports KERNEL32.dll.
std::string minimal_dll();

// Runs argv (argv[0] a path) with cwd; returns the exit status and fills
// out and err with the standard streams.
int run(const std::vector<std::string> &argv, std::string &out, std::string &err,
        const std::string &cwd = std::string());

}  // namespace test
