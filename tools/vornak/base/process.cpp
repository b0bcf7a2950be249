// SPDX-License-Identifier: MIT
// posix_spawnp and a wait that survives signals; a pipe for the standard
// error of a program whose messages the caller wants to word itself.
#include "tools/vornak/base/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "tools/vornak/base/error.h"

extern char **environ;

namespace vornak {

namespace {

// Closes the file actions and the pipe ends however run_program leaves.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    int pipe_fds[2] = {-1, -1};
    SpawnSetup() { posix_spawn_file_actions_init(&actions); }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : pipe_fds)
            if (fd >= 0) ::close(fd);
    }
};

void read_all(int fd, std::string &dst) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) dst.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
}

}  // namespace

int run_program(const std::string &program, const std::vector<std::string> &args, std::string *error_output,
                bool output_too) {
    SpawnSetup setup;
    if (error_output) {
        if (::pipe2(setup.pipe_fds, O_CLOEXEC) != 0) {
            int err = errno;
            throw Error("cannot create a pipe: " + errno_text(err));
        }
        if (output_too)
            posix_spawn_file_actions_adddup2(&setup.actions, setup.pipe_fds[1], STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&setup.actions, setup.pipe_fds[1], STDERR_FILENO);
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawnp(&pid, program.c_str(), &setup.actions, nullptr, argv.data(), environ);
    if (rc != 0) throw Error("cannot start '" + printable(program) + "': " + errno_text(rc));
    if (error_output) {
        // Our copy of the write end must go, or the read below never sees the end.
        ::close(setup.pipe_fds[1]);
        setup.pipe_fds[1] = -1;
        read_all(setup.pipe_fds[0], *error_output);
    }
    int status;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            int err = errno;
            throw Error("cannot wait for '" + printable(program) + "': " + errno_text(err));
        }
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace vornak
