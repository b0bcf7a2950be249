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
