// SPDX-License-Identifier: MIT
// The pack's progress line: its text, when it is drawn, and that vornak shows
// it on a terminal only (checked through a pseudo-terminal) and never with
// --quiet or when stderr is a file or pipe.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/host/support.h"
#include "tools/vornak/base/progress.h"

using test::TempDir;

namespace {

const uint64_t MiB = 1024 * 1024;

std::string drawn(std::FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    int c;
    while ((c = std::fgetc(f)) != EOF) text.push_back(static_cast<char>(c));
    return text;
}

// Runs vornak with stdin, stdout and stderr on a new pseudo-terminal and
// returns everything it wrote there.
std::string run_on_terminal(const std::vector<std::string> &args, const std::string &cwd, int &status) {
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        std::vector<char *> argv;
        std::string exe = VORNAK_EXE;
        argv.push_back(&exe[0]);
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(master);
    ::waitpid(pid, &status, 0);
    return out;
}

void make_app(const TempDir &t) {
    test::write_file(t / "app/app.dll", test::minimal_dll());
    std::string data;
    for (int i = 0; i < 200000; ++i) data += std::to_string(i * 7919 % 100003) + ",";
    test::write_file(t / "app/data/table.csv", data);
}

}  // namespace

TEST(ProgressText, FieldsAndRounding) {
    vornak::ProgressState s;
    s.read_bytes = 37 * MiB;
    s.total_bytes = 100 * MiB;
    s.written_bytes = 10 * MiB + MiB / 2;
    s.seconds = 2;
    EXPECT_EQ(vornak::format_progress(s, false),
              "vornak: packing  37% | 37.0 of 100.0 MiB read | 10.5 MiB written | 18.5 MiB/s");
    s.read_bytes = 100 * MiB;
    s.seconds = 4;
    EXPECT_EQ(vornak::format_progress(s, true),
              "vornak: packed  100% | 100.0 of 100.0 MiB read | 10.5 MiB written | 25.0 MiB/s | 4.0 s");
    // Percent is floored and never passes 100; no time yet gives no rate.
    s.read_bytes = 100 * MiB - 1;
    s.seconds = 0;
    EXPECT_NE(vornak::format_progress(s, false).find("  99% |"), std::string::npos);
    EXPECT_NE(vornak::format_progress(s, false).find("| 0.0 MiB/s"), std::string::npos);
    s.read_bytes = 200 * MiB;
    EXPECT_NE(vornak::format_progress(s, false).find(" 100% |"), std::string::npos);
    s.total_bytes = 0;
    s.read_bytes = 0;
    EXPECT_NE(vornak::format_progress(s, false).find(" 100% |"), std::string::npos);
}

TEST(ProgressMeter, DrawsOnlyWhenEnabled) {
    std::FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        vornak::ProgressMeter off(false, 10 * MiB, f);
        off.add_read(MiB);
        off.add_written(MiB);
        off.finish();
    }
    EXPECT_EQ(drawn(f), "");
    std::fclose(f);
}

TEST(ProgressMeter, RedrawsInPlaceAndEndsWithTheFinalLine) {
    std::FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        // A long interval: the first update draws, the next ones wait.
        vornak::ProgressMeter meter(true, 4 * MiB, f, 3600);
        meter.add_read(MiB);
        meter.add_read(MiB);
        meter.add_written(MiB);
        meter.add_read(2 * MiB);
        meter.finish();
    }
    std::string text = drawn(f);
    std::fclose(f);
    ASSERT_EQ(text.find("\rvornak: packing  25% | 1.0 of 4.0 MiB read | 0.0 MiB written"), 0u) << text;
    size_t last = text.rfind('\r');
    EXPECT_EQ(text.substr(last, 53), "\rvornak: packed  100% | 4.0 of 4.0 MiB read | 1.0 MiB");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\033[K\n");
}

TEST(ProgressMeter, FailedPackEndsTheOpenLine) {
    std::FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        vornak::ProgressMeter meter(true, 4 * MiB, f);
        meter.add_read(MiB);
    }  // no finish(): the pack threw
    std::string text = drawn(f);
    std::fclose(f);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(ProgressCli, ShownOnATerminalOnly) {
    TempDir t;
    make_app(t);
    int status = 0;
    std::string tty = run_on_terminal({"pack", "app", "--dll", "app.dll", "-o", "p.bin", "--level", "3"}, t.path(), status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << tty;
    EXPECT_NE(tty.find("\rvornak: packed  100% | "), std::string::npos) << tty;
    EXPECT_NE(tty.find("vornak: packed 2 files"), std::string::npos) << tty;

    tty = run_on_terminal({"pack", "app", "--dll", "app.dll", "-o", "q.bin", "--quiet"}, t.path(), status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(tty, "");

    // stderr a file: the summary on stdout and nothing else.
    std::string out, err;
    EXPECT_EQ(test::run({VORNAK_EXE, "pack", "app", "--dll", "app.dll", "-o", "r.bin", "--level", "3"}, out, err,
                        t.path()),
              0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out.find("vornak: packed 2 files"), 0u) << out;
    EXPECT_EQ(test::read_file(t / "r.bin"), test::read_file(t / "p.bin"));
}

TEST(ProgressCli, BuildShowsItToo) {
    TempDir t;
    make_app(t);
    int status = 0;
    std::string tty =
        run_on_terminal({"build", "app", "--dll", "app.dll", "-o", "x.exe", "--level", "3"}, t.path(), status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << tty;
    EXPECT_NE(tty.find("\rvornak: packed  100% | "), std::string::npos) << tty;
    tty = run_on_terminal({"build", "app", "--dll", "app.dll", "-o", "y.exe", "--quiet"}, t.path(), status);
    EXPECT_EQ(tty, "");
}
