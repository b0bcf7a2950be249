// SPDX-License-Identifier: MIT
// Post-link editing in place. Each step reads what it needs through a
// read-only mapping, lets the mapping go, and only then writes; a failed
// step leaves a temporary image that the build discards.
#include "tools/vornak/pe/pe_edit.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/vornak/base/bytes.h"
#include "tools/vornak/pe/coff.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/pe/pe_reader.h"
#include "tools/vornak/base/process.h"

namespace vornak {

namespace {

constexpr uint32_t PAGE_BYTES = 4096;
constexpr size_t MOVE_CHUNK_BYTES = 1 << 20;
constexpr size_t PLACEMENT_CHECK_BYTES = 4096;
constexpr size_t SECTION_RAW_OFFSET_FIELD = 20;  // in a section header
constexpr size_t SYMBOL_TABLE_FIELD = 8;         // in the file header
constexpr size_t DEBUG_ENTRY_BYTES = 28, DEBUG_ENTRY_FILE_OFFSET = 24;

// File offsets of the 32-bit fields that hold file offsets of start or
// beyond: the section headers' raw-data offsets, the symbol table's offset
// and the debug directory's raw-data offsets.
std::vector<size_t> file_offset_fields(const PeImage &pe, uint32_t start) {
    std::vector<size_t> fields;
    for (size_t i = 0; i < pe.sections.size(); ++i)
        if (pe.sections[i].raw_size != 0 && pe.sections[i].raw_offset >= start)
            fields.push_back(pe.section_table_offset + COFF_SECTION_HEADER_BYTES * i + SECTION_RAW_OFFSET_FIELD);
    size_t symbols = pe.pe_offset + 4 + SYMBOL_TABLE_FIELD;
    if (pe.file.u32(symbols) >= start) fields.push_back(symbols);
    if (pe.dir_size[DIR_DEBUG] != 0) {
        size_t dir = pe.offset_of(pe.dir_rva[DIR_DEBUG], pe.dir_size[DIR_DEBUG], "debug directory");
        for (size_t e = 0; e + DEBUG_ENTRY_BYTES <= pe.dir_size[DIR_DEBUG]; e += DEBUG_ENTRY_BYTES) {
            size_t field = dir + e + DEBUG_ENTRY_FILE_OFFSET;
            if (pe.file.u32(field) >= start) fields.push_back(field);
        }
    }
    return fields;
}

std::string first_line(const std::string &text) {
    size_t start = text.find_first_not_of("\r\n");
    if (start == std::string::npos) return "no message";
    return text.substr(start, text.find_first_of("\r\n", start) - start);
}

}  // namespace

void align_payload_section(const std::string &path) {
    std::vector<size_t> fields;
    uint32_t start = 0;
    uint64_t file_bytes = 0;
    {
        MappedFile f(path);
        PeImage pe = parse_pe(f.data(), f.size());
        if (pe.magic != PE32_PLUS_MAGIC) throw Error("the linked image is not PE32+");
        if (pe.dir_size[DIR_SECURITY] != 0) throw Error("the image is signed already; align it before signing");
        const PeSection *rdata = pe.section(".rdata");
        if (!rdata) throw Error("the linked image has no .rdata section");
        start = rdata->raw_offset;
        if (start % PAGE_BYTES == 0) return;
        file_bytes = f.size();
        fields = file_offset_fields(pe, start);
    }
    uint32_t pad = PAGE_BYTES - start % PAGE_BYTES;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        throw Error("cannot open '" + printable(path) + "' to align its sections: " + errno_text(err));
    }
    auto fail = [&](const char *what) {
        int err = errno;
        ::close(fd);
        throw Error(std::string("cannot ") + what + " '" + printable(path) + "': " + errno_text(err));
    };
    // Shift everything from start on by pad, last chunk first, then zero the gap.
    std::vector<char> chunk(MOVE_CHUNK_BYTES);
    for (uint64_t end = file_bytes; end > start;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), end - start));
        end -= n;
        if (::pread(fd, chunk.data(), n, static_cast<off_t>(end)) != static_cast<ssize_t>(n) ||
            ::pwrite(fd, chunk.data(), n, static_cast<off_t>(end + pad)) != static_cast<ssize_t>(n))
            fail("move the sections of");
    }
    std::fill(chunk.begin(), chunk.begin() + pad, '\0');
    if (::pwrite(fd, chunk.data(), pad, start) != static_cast<ssize_t>(pad)) fail("write the gap into");
    for (size_t field : fields) {
        // A field that itself lay behind start has moved with its section.
        off_t at = static_cast<off_t>(field >= start ? field + pad : field);
        unsigned char v[4];
        if (::pread(fd, v, 4, at) != 4) fail("read a file offset of");
        std::string le;
        put_le32(le, get_le32(v) + pad);
        if (::pwrite(fd, le.data(), 4, at) != 4) fail("write a file offset into");
    }
    if (::close(fd) != 0) {
        int err = errno;
        throw Error("cannot write '" + printable(path) + "': " + errno_text(err));
    }
}

void verify_payload_placement(const std::string &exe_path, const std::string &payload_path) {
    MappedFile exe(exe_path);
    MappedFile payload(payload_path);
    PeImage pe = parse_pe(exe.data(), exe.size());
    const PeSection *section = pe.section(".rdata");
    if (!section) throw Error("the linked image has no .rdata section");
    ByteView rdata = pe.section_data(*section);
    uint64_t length = payload.size();
    uint64_t length_offset = build_values_layout(length, BuildValueStrings()).length_offset;
    size_t head_bytes = static_cast<size_t>(std::min<uint64_t>(length, PLACEMENT_CHECK_BYTES));
    if (rdata.n < length_offset + 8 || (head_bytes != 0 && std::memcmp(rdata.p, payload.data(), head_bytes) != 0))
        throw Error("the linked image's .rdata does not open with the payload");
    if (rdata.u64(length_offset) != length)
        throw Error("the linked image's .rdata does not hold the payload length after the payload");
}

void write_pe_checksum(const std::string &path) {
    uint32_t sum;
    size_t field;
    {
        MappedFile f(path);
        PeImage pe = parse_pe(f.data(), f.size());
        field = pe.checksum_offset;
        pe.file.need(field, 4);
    }
    // Read in pieces rather than through the mapping: a mapping's pages stay
    // resident in this process, as much as the whole image.
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    bool ok = fd >= 0;
    PeChecksum checksum(field);
    std::vector<unsigned char> chunk(MOVE_CHUNK_BYTES);
    static_assert(MOVE_CHUNK_BYTES % 2 == 0, "the checksum takes whole words from each piece");
    for (off_t at = 0; ok;) {
        ssize_t n = ::pread(fd, chunk.data(), chunk.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        // A short read in the middle would split a word: read the rest first.
        size_t got = static_cast<size_t>(n);
        while (got < chunk.size() && got % 2 != 0) {
            ssize_t more = ::pread(fd, chunk.data() + got, chunk.size() - got, at + static_cast<off_t>(got));
            if (more <= 0) break;
            got += static_cast<size_t>(more);
        }
        checksum.add(chunk.data(), got);
        at += static_cast<off_t>(got);
    }
    sum = checksum.finish();
    std::string le;
    put_le32(le, sum);
    ok = ok && ::pwrite(fd, le.data(), 4, static_cast<off_t>(field)) == 4;
    int err = errno;
    if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, err = errno;
    if (!ok) throw Error("cannot write the checksum into '" + printable(path) + "': " + errno_text(err));
}

void sign_image(const std::string &path, const BrandOptions &brand) {
    for (const std::string *f : {&brand.sign_certificate, &brand.password_file})
        if (!f->empty() && ::access(f->c_str(), R_OK) != 0) {
            int err = errno;
            throw Error("cannot read '" + printable(*f) + "': " + errno_text(err));
        }
    std::vector<std::string> args = {"sign", "-pkcs12", brand.sign_certificate, "-h", "sha256", "-n", brand.name};
    // A password from the environment goes through a private file: on the
    // command line every user could read it in the process list.
    ScratchDir scratch;
    std::string password_file = brand.password_file;
    if (!brand.password_env.empty()) {
        const char *password = std::getenv(brand.password_env.c_str());
        if (!password)
            throw Error("--password-env names '" + printable(brand.password_env) + "', which is not set");
        password_file = scratch.path() + "/password";
        OutputFile file(password_file);
        file.write(password, std::strlen(password));
        file.commit(0600);
    }
    // Without -readpass osslsigncode opens the certificate with an empty password.
    if (!password_file.empty()) args.insert(args.end(), {"-readpass", password_file});
    if (!brand.timestamp_url.empty()) args.insert(args.end(), {"-ts", brand.timestamp_url});
    std::string signed_path = path + ".signed";
    args.insert(args.end(), {"-in", path, "-out", signed_path});
    std::string output;
    int rc;
    try {
        rc = run_program("osslsigncode", args, &output);
    } catch (const Error &e) {
        throw Error(std::string(e.what()) + " (install osslsigncode)");
    }
    if (rc != 0) {
        ::unlink(signed_path.c_str());
        throw Error("signing with osslsigncode failed (exit code " + std::to_string(rc) + "): " +
                    printable(first_line(output)));
    }
    if (::rename(signed_path.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(signed_path.c_str());
        throw Error("cannot replace '" + printable(path) + "' with its signed form: " + errno_text(err));
    }
}

void finish_image(const BrandOptions &brand, const std::string &path) {
    if (!brand.sign_certificate.empty()) sign_image(path, brand);
    write_pe_checksum(path);
}

}  // namespace vornak
