// SPDX-License-Identifier: MIT
// Test helpers: folders, files, a payload decoder, running the tool.
#include "tests/host/support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <zstd.h>

#include "payload/format.h"
#include "tools/vornak/base/bytes.h"

namespace fs = std::filesystem;

namespace test {

TempDir::TempDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vornak-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

// The n bytes at bytes[offset..], or std::out_of_range when they are not all there.
static const unsigned char *bytes_at(const std::string &bytes, size_t offset, size_t n) {
    if (offset > bytes.size() || n > bytes.size() - offset) throw std::out_of_range("read past the end of the bytes");
    return reinterpret_cast<const unsigned char *>(bytes.data()) + offset;
}

uint16_t le16(const std::string &bytes, size_t offset) { return vornak::get_le16(bytes_at(bytes, offset, 2)); }
uint32_t le32(const std::string &bytes, size_t offset) { return vornak::get_le32(bytes_at(bytes, offset, 4)); }
uint64_t le64(const std::string &bytes, size_t offset) { return vornak::get_le64(bytes_at(bytes, offset, 8)); }

DecodedPayload decode_payload(const std::string &payload) {
    const size_t overhead = PAYLOAD_MAGIC_BYTES + PAYLOAD_ZERO_FILL_BYTES + PAYLOAD_TRAILER_BYTES;  // 18
    DecodedPayload result;
    EXPECT_GE(payload.size(), overhead);
    if (payload.size() < overhead) return result;
    EXPECT_EQ(payload.substr(0, PAYLOAD_MAGIC_BYTES), PAYLOAD_MAGIC);
    uint64_t trailer = le64(payload, payload.size() - PAYLOAD_TRAILER_BYTES);
    EXPECT_EQ(trailer, payload.size() - PAYLOAD_TRAILER_BYTES) << "trailer must hold its own offset";
    uint64_t frame_bytes = payload.size() - overhead;
    EXPECT_EQ(trailer, PAYLOAD_MAGIC_BYTES + frame_bytes + PAYLOAD_ZERO_FILL_BYTES);
    EXPECT_EQ(payload.substr(PAYLOAD_MAGIC_BYTES + frame_bytes, PAYLOAD_ZERO_FILL_BYTES),
              std::string(PAYLOAD_ZERO_FILL_BYTES, '\0'));
    result.frame = payload.substr(PAYLOAD_MAGIC_BYTES, frame_bytes);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(result.frame.data(), result.frame.size()), frame_bytes)
        << "exactly one frame fills the space before the zero fill";

    // Decode as the launcher does: one stream, all input offered at once.
    std::string stream;
    ZSTD_DCtx *dctx = ZSTD_createDCtx();
    std::string buf(131072, '\0');
    ZSTD_inBuffer in{payload.data() + PAYLOAD_MAGIC_BYTES, payload.size() - PAYLOAD_MAGIC_BYTES, 0};
    size_t rc = 1;
    while (rc != 0) {
        ZSTD_outBuffer out{&buf[0], buf.size(), 0};
        rc = ZSTD_decompressStream(dctx, &out, &in);
        if (ZSTD_isError(rc)) {
            ADD_FAILURE() << "decode error: " << ZSTD_getErrorName(rc);
            break;
        }
        stream.append(buf.data(), out.pos);
        if (out.pos == 0 && in.pos == in.size && rc != 0) {
            ADD_FAILURE() << "frame does not end";
            break;
        }
    }
    ZSTD_freeDCtx(dctx);
    EXPECT_EQ(in.pos, frame_bytes) << "the decoder stops at the frame's end, before the zero fill";
    result.stream_bytes = stream.size();

    size_t pos = 0;
    for (;;) {
        std::u16string name;
        for (;;) {
            if (pos + 2 > stream.size()) {
                ADD_FAILURE() << "entry stream ends inside a name";
                return result;
            }
            char16_t unit = le16(stream, pos);
            pos += 2;
            if (unit == 0) break;
            name.push_back(unit);
        }
        if (name.empty()) break;
        if (pos + 8 > stream.size()) {
            ADD_FAILURE() << "entry stream ends inside a size";
            return result;
        }
        uint64_t size = le64(stream, pos);
        pos += 8;
        if (size > stream.size() - pos) {
            ADD_FAILURE() << "entry stream ends inside data";
            return result;
        }
        result.entries.push_back(DecodedEntry{name, stream.substr(pos, size)});
        pos += size;
    }
    EXPECT_EQ(pos, stream.size()) << "the frame's content ends exactly with the terminator";
    return result;
}

namespace {

void put16(std::string &b, size_t at, uint16_t v) {
    for (int i = 0; i < 2; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void put32(std::string &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void put64(std::string &b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// The section's bytes, growing as tables are added; RVAs count from PE_DATA_RVA.
struct SectionData {
    std::string bytes;
    uint32_t add(const std::string &data, size_t align = 8) {
        while (bytes.size() % align) bytes.push_back('\0');
        uint32_t rva = PE_DATA_RVA + static_cast<uint32_t>(bytes.size());
        bytes += data;
        return rva;
    }
    uint32_t add_name(const std::string &name) { return add(name + std::string(1, '\0'), 2); }
    void patch32(uint32_t rva, uint32_t v) { put32(bytes, rva - PE_DATA_RVA, v); }
    void patch64(uint32_t rva, uint64_t v) { put64(bytes, rva - PE_DATA_RVA, v); }
};

}  // namespace

std::string build_pe(const PeContents &contents) {
    SectionData d;
    uint32_t dirs[16][2] = {};
    if (!contents.exports.empty()) {
        uint32_t n = static_cast<uint32_t>(contents.exports.size());
        uint32_t dir = d.add(std::string(40, '\0'));
        uint32_t functions = d.add(std::string(4 * n, '\0'));
        uint32_t names = d.add(std::string(4 * n, '\0'));
        uint32_t ordinals = d.add(std::string(2 * n, '\0'));
        uint32_t code = d.add(std::string("\xC3", 1));  // ret
        d.patch32(dir + 12, d.add_name("app.dll"));
        d.patch32(dir + 16, 1);
        d.patch32(dir + 20, n);
        d.patch32(dir + 24, n);
        d.patch32(dir + 28, functions);
        d.patch32(dir + 32, names);
        d.patch32(dir + 36, ordinals);
        for (uint32_t i = 0; i < n; ++i) {
            d.patch32(functions + 4 * i, code);
            d.patch32(names + 4 * i, d.add_name(contents.exports[i]));
            d.bytes[ordinals - PE_DATA_RVA + 2 * i] = static_cast<char>(i);
        }
        dirs[0][0] = dir, dirs[0][1] = 40;
    }
    if (!contents.imports.empty()) {
        uint32_t table = d.add(std::string(20 * (contents.imports.size() + 1), '\0'));
        for (size_t i = 0; i < contents.imports.size(); ++i) {
            const auto &lib = contents.imports[i];
            uint32_t thunks = d.add(std::string(8 * (lib.second.size() + 1), '\0'));
            uint32_t iat = d.add(std::string(8 * (lib.second.size() + 1), '\0'));
            for (size_t k = 0; k < lib.second.size(); ++k) {
                uint32_t hint_name = d.add(std::string(2, '\0') + lib.second[k] + std::string(1, '\0'), 2);
                d.patch64(thunks + 8 * static_cast<uint32_t>(k), hint_name);
                d.patch64(iat + 8 * static_cast<uint32_t>(k), hint_name);
            }
            uint32_t at = table + 20 * static_cast<uint32_t>(i);
            d.patch32(at, thunks);
            d.patch32(at + 12, d.add_name(lib.first));
            d.patch32(at + 16, iat);
        }
        dirs[1][0] = table, dirs[1][1] = static_cast<uint32_t>(20 * (contents.imports.size() + 1));
    }
    if (!contents.delay_imports.empty()) {
        uint32_t table = d.add(std::string(32 * (contents.delay_imports.size() + 1), '\0'));
        for (size_t i = 0; i < contents.delay_imports.size(); ++i) {
            uint32_t at = table + 32 * static_cast<uint32_t>(i);
            d.patch32(at, 1);  // RVA-based
            d.patch32(at + 4, d.add_name(contents.delay_imports[i]));
            d.patch32(at + 8, d.add(std::string(8, '\0')));    // module handle
            d.patch32(at + 12, d.add(std::string(8, '\0')));   // address table, empty
            d.patch32(at + 16, d.add(std::string(8, '\0')));   // name table, empty
        }
        dirs[13][0] = table, dirs[13][1] = static_cast<uint32_t>(32 * (contents.delay_imports.size() + 1));
    }
    if (!contents.version_resource.empty()) {
        // Root, name and language directories of one entry each, a data entry, the data.
        std::string tree(88, '\0');
        auto directory = [&](size_t at, uint32_t id, uint32_t target) {
            put16(tree, at + 14, 1);  // one entry with an id
            put32(tree, at + 16, id);
            put32(tree, at + 20, target);
        };
        directory(0, 16, 0x80000000u | 24);
        directory(24, 1, 0x80000000u | 48);
        directory(48, 0, 72);
        uint32_t root = d.add(tree);
        uint32_t data = d.add(contents.version_resource);
        d.patch32(root + 72, data);
        d.patch32(root + 76, static_cast<uint32_t>(contents.version_resource.size()));
        dirs[2][0] = root, dirs[2][1] = 88;
    }
    if (d.bytes.empty()) d.bytes.push_back('\0');
    uint32_t raw_size = static_cast<uint32_t>((d.bytes.size() + 0x1FF) & ~size_t{0x1FF});
    d.bytes.resize(raw_size, '\0');

    std::string b(PE_DATA_FILE_AT, '\0');
    b[0] = 'M', b[1] = 'Z';
    put32(b, 0x3C, PE_HEADER_AT);
    b.replace(PE_HEADER_AT, 4, std::string("PE\0\0", 4));
    put16(b, PE_FILE_HEADER_AT, contents.machine);
    put16(b, PE_FILE_HEADER_AT + 2, 1);     // sections
    put16(b, PE_FILE_HEADER_AT + 16, 240);  // optional header size
    put16(b, PE_FILE_HEADER_AT + 18, contents.characteristics);
    size_t oh = PE_OPTIONAL_HEADER_AT;
    put16(b, oh, contents.magic);
    put64(b, oh + 24, 0x180000000ull);      // image base
    put32(b, oh + 32, 0x1000);              // section alignment
    put32(b, oh + 36, 0x200);               // file alignment
    put16(b, oh + 40, 6);
    put16(b, oh + 48, 6);
    put32(b, oh + 56, PE_DATA_RVA + ((raw_size + 0xFFF) & ~0xFFFu));  // size of image
    put32(b, oh + 60, PE_DATA_FILE_AT);     // size of headers
    put16(b, oh + 68, 2);
    put16(b, oh + 70, 0x160);
    put32(b, oh + 108, 16);
    for (int i = 0; i < 16; ++i) {
        put32(b, oh + 112 + 8 * i, dirs[i][0]);
        put32(b, oh + 116 + 8 * i, dirs[i][1]);
    }
    size_t st = PE_SECTION_TABLE_AT;
    b.replace(st, 6, ".rdata");
    put32(b, st + 8, raw_size);
    put32(b, st + 12, PE_DATA_RVA);
    put32(b, st + 16, raw_size);
    put32(b, st + 20, PE_DATA_FILE_AT);
    put32(b, st + 36, 0x40000040);  // initialised data, readable
    b += d.bytes;
    if (!contents.certificate.empty()) {
        std::string entry(8, '\0');
        put32(entry, 0, static_cast<uint32_t>(8 + contents.certificate.size()));
        put16(entry, 4, 0x200);  // revision 2.0
        put16(entry, 6, 2);      // PKCS #7 signed data
        entry += contents.certificate;
        entry.resize((entry.size() + 7) & ~size_t{7}, '\0');
        put32(b, PE_OPTIONAL_HEADER_AT + 112 + 8 * 4, static_cast<uint32_t>(b.size()));  // a file offset
        put32(b, PE_OPTIONAL_HEADER_AT + 116 + 8 * 4, static_cast<uint32_t>(entry.size()));
        b += entry;
    }
    return b;
}

std::string minimal_dll() {
    PeContents contents;
    contents.exports = {"run_code"};
    contents.imports = {{"KERNEL32.dll", {"GetLastError"}}};
    return build_pe(contents);
}

int run(const std::vector<std::string> &argv, std::string &out, std::string &err, const std::string &cwd) {
    TempDir capture;
    std::string out_path = capture / "out", err_path = capture / "err";
    pid_t pid = ::fork();
    if (pid == 0) {
        int o = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    out = read_file(out_path);
    err = read_file(err_path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace test
