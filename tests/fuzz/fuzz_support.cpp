// SPDX-License-Identifier: MIT
#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tools/vornak/base/files.h"

namespace fuzz {

const std::string &scratch() {
    // Leaked on purpose: a static ScratchDir would be destroyed after
    // libFuzzer's own exit handlers, and its removal is then a nicety.
    static vornak::ScratchDir *dir = new vornak::ScratchDir();
    static const bool removed_at_exit = [] {
        std::atexit([] { delete dir; });
        return true;
    }();
    (void)removed_at_exit;
    return dir->path();
}

void write_input(const std::string &path, const uint8_t *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror(path.c_str());
        abort();
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            perror(path.c_str());
            abort();
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void list_tree(const std::string &dir, const std::string &rel, std::string &out) {
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d) return;
    while (dirent *e = readdir(d.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name, sub = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        out += sub;
        if (S_ISLNK(st.st_mode)) out += " (symlink)";
        out += "\n";
        if (S_ISDIR(st.st_mode)) list_tree(path, sub, out);
    }
}

}  // namespace fuzz
