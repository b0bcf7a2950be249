// SPDX-License-Identifier: MIT
// Extraction writes into a fresh temporary folder only, one name component
// at a time through directory descriptors, never following a symlink and
// never replacing a file: each entry name has passed the packer's rules
// before anything is created for it, so no name can lead outside the folder.
#include "tools/vornak/payload/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "payload/format.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/payload/payload_reader.h"
#include "tools/vornak/pe/pe_reader.h"
#include "tools/vornak/payload/tree.h"
#include "tools/vornak/base/utf.h"

namespace vornak {

namespace {

constexpr size_t WRITE_CHUNK_BYTES = 1 << 20;

// A descriptor closed however the scope is left.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

[[noreturn]] void fail_on(const std::u16string &name, const char *what) {
    int err = errno;
    throw Error(std::string("cannot ") + what + " for payload entry '" + printable(name) + "': " + errno_text(err));
}

void write_all(int fd, const char *data, size_t bytes, const std::u16string &name) {
    while (bytes > 0) {
        ssize_t n = ::write(fd, data, bytes);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_on(name, "write the file");
        }
        data += n;
        bytes -= static_cast<size_t>(n);
    }
}

// The UTF-8 form of one name component. EntryNameSet has refused the
// components that could leave the folder already; they are refused again
// here, where a slip would write outside it.
std::string component_at(const std::u16string &name, size_t start, size_t end) {
    std::string component = utf16_to_utf8(name.substr(start, end - start));
    if (component.empty() || component == "." || component == ".." || component.find('/') != std::string::npos)
        throw Error("payload entry '" + printable(name) + "' leads outside the output folder");
    return component;
}

// Creates the entry's folders and file below root and fills the file.
uint64_t write_entry(int root, const PayloadEntry &entry, EntryData &data, std::vector<char> &chunk) {
    Fd dir(::dup(root));
    if (dir.fd < 0) fail_on(entry.name, "open the output folder");
    size_t start = 0;
    for (size_t sep; (sep = entry.name.find(u'\\', start)) != std::u16string::npos; start = sep + 1) {
        std::string component = component_at(entry.name, start, sep);
        if (::mkdirat(dir.fd, component.c_str(), 0777) != 0 && errno != EEXIST) fail_on(entry.name, "create a folder");
        Fd next(::openat(dir.fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.fd < 0) fail_on(entry.name, "open a folder");
        std::swap(dir.fd, next.fd);
    }
    std::string file_name = component_at(entry.name, start, entry.name.size());
    Fd file(::openat(dir.fd, file_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.fd < 0) fail_on(entry.name, "create the file");
    uint64_t written = 0;
    for (size_t n; (n = data.read(chunk.data(), chunk.size())) > 0; written += n) write_all(file.fd, chunk.data(), n, entry.name);
    if (::close(file.fd) != 0) {
        file.fd = -1;
        fail_on(entry.name, "write the file");
    }
    file.fd = -1;
    return written;
}

}  // namespace

ExtractResult extract_image(const std::string &image_path, const std::string &output_dir) {
    std::string shown = printable(image_path);
    MappedFile image(image_path);
    PayloadParts parts;
    try {
        PeImage pe = parse_pe(image.data(), image.size());
        const PeSection *rdata = pe.magic == PE32_PLUS_MAGIC ? pe.section(".rdata") : nullptr;
        if (!rdata) throw Error("not a launcher image (no PE32+ image with .rdata)");
        parts = locate_payload(pe.section_data(*rdata));
    } catch (const Error &e) {
        throw Error("cannot extract '" + shown + "': " + e.what());
    }
    if (parts.problem == PayloadParts::NO_MAGIC)
        throw Error("'" + shown + "' carries no payload: its .rdata does not open with \"" + PAYLOAD_MAGIC + "\"");
    if (parts.problem == PayloadParts::NO_FRAME)
        throw Error("the payload of '" + shown + "' holds no zstd frame: " + parts.frame_error);

    OutputDir out(output_dir);
    Fd root(::open(out.temp_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0) {
        int err = errno;
        throw Error("cannot open output folder '" + printable(out.temp_path()) + "': " + errno_text(err));
    }
    ExtractResult result;
    EntryNameSet names;
    std::vector<char> chunk(WRITE_CHUNK_BYTES);
    try {
        read_payload_entries(parts.frame, parts.frame_bytes, [&](const PayloadEntry &entry, EntryData &data) {
            std::string problem = names.add(entry.name);
            if (!problem.empty()) throw Error("payload entry '" + printable(entry.name) + "' " + problem);
            result.bytes += write_entry(root.fd, entry, data, chunk);
            ++result.entries;
        });
    } catch (const Error &e) {
        throw Error("cannot extract '" + shown + "': " + e.what());
    }
    out.commit();
    return result;
}

}  // namespace vornak
