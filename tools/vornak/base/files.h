// SPDX-License-Identifier: MIT
// File handling of the vornak tool: an output file that only appears under
// its final name once it is complete, a private scratch directory, and the
// tool's own location (the linker and launcher pieces are found from it).
#pragma once

#include <cstdint>
#include <string>

namespace vornak {

// An output written under a temporary name in the target's own directory and
// renamed over the target by commit(). Until then the target is untouched;
// destroying an uncommitted file removes the temporary, so a failed command
// leaves no partial output behind.
class OutputFile {
public:
    // Refuses a target that is an existing directory or whose directory
    // cannot take a new file.
    explicit OutputFile(const std::string &target);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void write(const void *data, size_t bytes);
    uint64_t bytes_written() const { return written_; }
    // Path of the temporary while uncommitted (a linker may write it).
    const std::string &temp_path() const { return temp_; }
    // Closes the descriptor without committing, for files another program
    // fills in; commit() then only renames.
    void close();
    // Flushes, applies mode (minus the umask) and renames onto the target.
    void commit(unsigned mode);

private:
    void flush();
    void write_through(const char *data, size_t bytes);
    std::string target_;
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
    uint64_t written_ = 0;
    std::string buffer_;
};

// An output folder filled under a temporary name beside the target and
// renamed onto it by commit(). The target may not exist yet or be an empty
// folder; until commit() it stays untouched, and destroying an uncommitted
// folder removes the temporary with everything in it, so a failed command
// leaves no partial output behind.
class OutputDir {
public:
    // Refuses a target that exists and is not an empty folder, and one whose
    // parent cannot take a new folder.
    explicit OutputDir(const std::string &target);
    ~OutputDir();
    OutputDir(const OutputDir &) = delete;
    OutputDir &operator=(const OutputDir &) = delete;
    const std::string &temp_path() const { return temp_; }
    // Applies 0777 minus the umask and renames the temporary onto the target.
    void commit();

private:
    std::string target_;
    std::string temp_;
    bool committed_ = false;
};

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Directory holding the running vornak executable (from /proc/self/exe).
std::string own_directory();

bool is_regular_file(const std::string &path);

}  // namespace vornak
