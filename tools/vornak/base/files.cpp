// SPDX-License-Identifier: MIT
// Output files committed by rename, scratch directories, own location.
#include "tools/vornak/base/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tools/vornak/base/error.h"

namespace vornak {

namespace {

constexpr size_t OUTPUT_BUFFER_BYTES = 1 << 20;

std::string directory_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkstemp/mkdtemp pattern of a hidden temporary beside target, in its
// directory, so that the final rename stays on one file system.
std::vector<char> temporary_beside(const std::string &target) {
    std::string pattern = directory_of(target) + "/." + base_of(target) + ".vornak-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return name;
}

unsigned current_umask() {
    mode_t old = ::umask(0);
    ::umask(old);
    return old;
}

}  // namespace

OutputFile::OutputFile(const std::string &target) : target_(target) {
    if (target.empty()) throw Error("empty output path");
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw Error("output '" + printable(target) + "' is a directory");
    std::vector<char> name = temporary_beside(target);
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) {
        int err = errno;
        throw Error("cannot create output file '" + printable(target) + "': " + errno_text(err));
    }
    temp_ = name.data();
    buffer_.reserve(OUTPUT_BUFFER_BYTES);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

void OutputFile::write_through(const char *data, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = ::write(fd_, data + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            throw Error("cannot write output file '" + printable(target_) + "': " + errno_text(err));
        }
        done += static_cast<size_t>(n);
    }
}

void OutputFile::flush() {
    write_through(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void OutputFile::write(const void *data, size_t bytes) {
    const char *p = static_cast<const char *>(data);
    written_ += bytes;
    if (buffer_.size() + bytes > OUTPUT_BUFFER_BYTES) {
        flush();
        if (bytes >= OUTPUT_BUFFER_BYTES) {
            write_through(p, bytes);
            return;
        }
    }
    buffer_.append(p, bytes);
}

void OutputFile::close() {
    if (fd_ < 0) return;
    flush();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        int err = errno;
        throw Error("cannot write output file '" + printable(target_) + "': " + errno_text(err));
    }
}

void OutputFile::commit(unsigned mode) {
    close();
    if (::chmod(temp_.c_str(), mode & ~current_umask()) != 0 ||
        ::rename(temp_.c_str(), target_.c_str()) != 0) {
        int err = errno;
        throw Error("cannot create output file '" + printable(target_) + "': " + errno_text(err));
    }
    committed_ = true;
}

OutputDir::OutputDir(const std::string &target) : target_(target) {
    while (target_.size() > 1 && target_.back() == '/') target_.pop_back();
    if (target_.empty()) throw Error("empty output path");
    std::string shown = printable(target_);
    struct stat st;
    if (::lstat(target_.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw Error("output folder '" + shown + "' exists and is not a folder");
        std::error_code ec;
        if (!std::filesystem::is_empty(target_, ec) || ec)
            throw Error("output folder '" + shown + "' exists and is not empty");
    }
    std::vector<char> name = temporary_beside(target_);
    if (!::mkdtemp(name.data())) {
        int err = errno;
        throw Error("cannot create output folder '" + shown + "': " + errno_text(err));
    }
    temp_ = name.data();
}

OutputDir::~OutputDir() {
    if (committed_) return;
    std::error_code ignored;
    std::filesystem::remove_all(temp_, ignored);
}

void OutputDir::commit() {
    // rename() replaces an empty folder, and fails on one that has filled up since.
    if (::chmod(temp_.c_str(), 0777 & ~current_umask()) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) {
        int err = errno;
        if (err == ENOTEMPTY || err == EEXIST)
            throw Error("output folder '" + printable(target_) + "' exists and is not empty");
        throw Error("cannot create output folder '" + printable(target_) + "': " + errno_text(err));
    }
    committed_ = true;
}

ScratchDir::ScratchDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vornak-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        int err = errno;
        throw Error("cannot create a scratch directory under '" + printable(pattern) + "': " +
                    errno_text(err));
    }
    path_ = name.data();
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string own_directory() {
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) throw Error("cannot find the vornak executable's own path (/proc/self/exe)");
    return directory_of(std::string(buf, static_cast<size_t>(n)));
}

bool is_regular_file(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace vornak
