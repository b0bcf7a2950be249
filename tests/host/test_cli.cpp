// SPDX-License-Identifier: MIT
// The vornak command line as a user meets it: exit codes, the one-line
// error format, options before or after the folder, and that a failed build
// leaves no image and no scratch files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "tests/host/support.h"

using test::TempDir;

namespace {

const std::string vornak = VORNAK_EXE;

int run_vornak(const std::vector<std::string> &args, std::string &out, std::string &err,
               const std::string &cwd = std::string()) {
    std::vector<std::string> argv = {vornak};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run(argv, out, err, cwd);
}

const std::string small_icon = VORNAK_ICON_DIR "/icon-16x13.png";
const std::string large_icon = VORNAK_ICON_DIR "/icon-32x26.png";

void expect_one_error_line(const std::string &err) {
    EXPECT_EQ(err.rfind("vornak: error: ", 0), 0u) << err;
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "exactly one line: " << err;
}

}  // namespace

TEST(Cli, PackWritesPayloadFromRelativePaths) {
    TempDir t;
    test::write_file(t / "app/app.dll", test::minimal_dll());
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "p.bin", "--level", "3"}, out, err, t.path()), 0)
        << err;
    EXPECT_EQ(test::decode_payload(test::read_file(t / "p.bin")).entries.size(), 1u);
    EXPECT_NE(out.find("packed 1 files"), std::string::npos) << out;

    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "q.bin", "--quiet"}, out, err, t.path()), 0);
    EXPECT_EQ(out, "");
}

TEST(Cli, ExcludeIsRepeatableAndDroppedFoldersAreNamed) {
    TempDir t;
    test::write_file(t / "app/app.dll", test::minimal_dll());
    test::write_file(t / "app/app.pdb", "symbols");
    test::write_file(t / "app/cache/old.bin", "stale");
    test::write_file(t / "app/logs/.keep", "");
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "app/p.bin", "--level", "1", "--exclude",
                          "*.pdb", "--exclude", "cache/*.bin", "--exclude", ".keep"},
                         out, err, t.path()),
              0)
        << err;
    EXPECT_EQ(err,
              "vornak: warning: empty folder 'cache' is left out (a payload holds files only)\n"
              "vornak: warning: empty folder 'logs' is left out (a payload holds files only)\n");
    EXPECT_NE(out.find("packed 1 files"), std::string::npos) << out;
    // --quiet silences the warnings with everything else.
    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "app/p.bin", "--level", "1", "--quiet"}, out,
                         err, t.path()),
              0);
    EXPECT_EQ(out + err, "");
}

TEST(Cli, VersionIsTheProjectsOwn) {
    std::string out, err;
    EXPECT_EQ(run_vornak({"--version"}, out, err), 0) << err;
    EXPECT_EQ(out, "vornak " VORNAK_PROJECT_VERSION "\n");
    EXPECT_EQ(err, "");
}

TEST(Cli, RefusalIsOneLineExitOneAndNoFile) {
    TempDir t;
    test::write_file(t / "app/app.dll", test::minimal_dll());
    test::write_file(t / "app/what?.txt", "x");
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", t / "app", "--dll", "app.dll", "-o", t / "p.bin"}, out, err), 1);
    expect_one_error_line(err);
    EXPECT_NE(err.find("what?.txt"), std::string::npos) << err;
    EXPECT_FALSE(test::exists(t / "p.bin"));
}

TEST(Cli, BadCommandLinesExitTwo) {
    TempDir t;
    test::write_file(t / "app/app.dll", test::minimal_dll());
    test::write_file(t / "p.bin", "QOZ");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"pack", t / "app", "-o", t / "x.bin"},                                  // no --dll
        {"pack", t / "app", "--dll", "app.dll"},                                 // no -o
        {"pack", t / "app", "--dll", "app.dll", "-o", t / "x.bin", "--level", "0"},
        {"pack", t / "app", "--dll", "app.dll", "-o", t / "x.bin", "--threads", "-1"},
        {"build", t / "app", "--dll", "app.dll", "--payload", t / "p.bin", "-o", t / "x.exe"},
        {"build", "--dll", "app.dll", "-o", t / "x.exe"},
        {"build", "--payload", t / "p.bin", "-o", t / "x.exe", "--password-env", "P"},  // no --sign
        {"build", "--payload", t / "p.bin", "-o", t / "x.exe", "--timestamp", "http://127.0.0.1:1"},  // no --sign
        {"build", "--payload", t / "p.bin", "-o", t / "x.exe", "--sign", "c.pfx", "--password-env", "P",
         "--password-file", "p.txt"},
        // --icon takes one file: the second is a stray argument.
        {"build", "--icon", small_icon, large_icon, t / "app", "--dll", "app.dll", "-o", t / "x.exe"},
        {"inspect", "--json"},
        {"extract", t / "p.bin"},  // no -o
    };
    for (const auto &args : bad) {
        std::string out, err;
        EXPECT_EQ(run_vornak(args, out, err), 2) << (args.empty() ? "" : args[0]) << " " << err;
        expect_one_error_line(err);
    }
    EXPECT_FALSE(test::exists(t / "x.bin"));
    EXPECT_FALSE(test::exists(t / "x.exe"));
}

TEST(Cli, UnknownWordsNameTheClosestValidOne) {
    struct Row {
        std::vector<std::string> args;
        const char *message;
    };
    const Row rows[] = {
        {{"pack", "app", "--dll", "app.dll", "-o", "p.bin", "--levle", "3"},
         "unknown option '--levle'; did you mean '--level'?"},
        {{"buld", "app"}, "unknown command 'buld'; did you mean 'build'?"},
        {{"inspect", "x.exe", "--jsn"}, "unknown option '--jsn'; did you mean '--json'?"},
        {{"build", "--exclude=*.pdb", "--payload", "p.bin", "--ouput=x.exe"},
         "unknown option '--ouput'; did you mean '--output'?"},
        // An option of another command is no suggestion; nothing near: none.
        {{"extract", "x.exe", "--level", "3"}, "unknown option '--level'"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
    };
    for (const Row &r : rows) {
        std::string out, err;
        EXPECT_EQ(run_vornak(r.args, out, err), 2) << r.args[0];
        EXPECT_EQ(err, std::string("vornak: error: ") + r.message + " (see vornak --help)\n");
    }
}

TEST(Cli, BuildRefusalsLeaveNoImageAndNoScratch) {
    TempDir t, scratch;
    test::write_file(t / "app/app.dll", test::minimal_dll());
    test::write_file(t / "p.bin", "QOZ");
    const std::vector<std::vector<std::string>> refused = {
        {"build", t / "app", "--dll", "missing.dll", "-o", t / "out/x.exe"},
        {"build", "--payload", t / "none.bin", "-o", t / "out/x.exe"},
        {"build", "--payload", t / "p.bin", "-o", t / "out/x.exe", "--version", "1.2.3.4.5"},
        {"build", "--payload", t / "p.bin", "-o", t / "out/x.exe", "--name", ""},
        {"build", t / "app", "--dll", "app.dll", "-o", t / "out/x.exe", "--splash", t / "p.bin"},  // not a PNG
        {"build", t / "app", "--dll", "app.dll", "-o", t / "out/x.exe", "--splash", small_icon},   // 13 pixels high
        {"build", t / "app", "--dll", "app.dll", "-o", t / "out/x.exe", "--splash", t / "none.png"},
    };
    ::mkdir((t / "out").c_str(), 0755);
    for (const auto &args : refused) {
        std::vector<std::string> argv = {"/usr/bin/env", "TMPDIR=" + scratch.path(), vornak};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out, err;
        EXPECT_EQ(test::run(argv, out, err), 1) << args[1] << " " << err;
        expect_one_error_line(err);
        EXPECT_TRUE(test::list_dir(t / "out").empty()) << args[1];
        EXPECT_TRUE(test::list_dir(scratch.path()).empty()) << "scratch directory removed";
    }
}

// 2 GiB less the 64 MiB kept for the launcher's own part of the image.
TEST(Cli, PayloadOverTheImageLimitIsRefusedByItsSizeAlone) {
    TempDir t;
    const std::string big = t / "big.bin";
    auto sparse = [&](off_t bytes) {
        int fd = ::open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, bytes), 0);
        ::close(fd);
    };
    sparse(2080374785);
    std::string out, err;
    for (bool unchecked : {true, false}) {
        std::vector<std::string> args = {"build", "--payload", big, "-o", t / "x.exe"};
        if (unchecked) args.push_back("--unchecked");
        EXPECT_EQ(run_vornak(args, out, err), 1);
        EXPECT_EQ(err, "vornak: error: payload '" + big + "' holds 2080374785 bytes; a launcher carries at most "
                       "2080374784 (its image must stay below 2 GiB, the most Windows loads)\n");
        EXPECT_FALSE(test::exists(t / "x.exe"));
    }
    sparse(2080374784);  // at the limit the payload itself is looked at
    EXPECT_EQ(run_vornak({"build", "--payload", big, "-o", t / "x.exe"}, out, err), 1);
    EXPECT_EQ(err, "vornak: error: payload '" + big + "': does not start with \"QOZ\"\n");
}

TEST(Cli, IconTakesOneFilePerUseAndOptionsStandBeforeOrAfterTheFolder) {
    TempDir t;
    test::write_file(t / "app/app.dll", test::minimal_dll());
    struct Case {
        std::vector<std::string> args;
        const char *icons_line;  // what inspect then reports
    };
    const Case cases[] = {
        {{"build", "--icon", small_icon, "app", "--dll", "app.dll", "-o", "a.exe"}, "group 1, reserved 0, type 1, 1 images"},
        {{"build", "--icon", large_icon, "--icon", small_icon, "--dll", "app.dll", "-o", "b.exe", "app"},
         "group 1, reserved 0, type 1, 2 images"},
        {{"build", "-o", "c.exe", "app", "--icon", large_icon, "--level", "1", "--dll", "app.dll", "--icon", small_icon},
         "group 1, reserved 0, type 1, 2 images"},
    };
    for (const Case &c : cases) {
        std::string out, err;
        ASSERT_EQ(run_vornak(c.args, out, err, t.path()), 0) << c.args[2] << ": " << err;
        std::string image = c.args[std::find(c.args.begin(), c.args.end(), "-o") - c.args.begin() + 1];
        ASSERT_EQ(run_vornak({"inspect", image}, out, err, t.path()), 0) << err;
        EXPECT_NE(out.find(std::string("\nicons: ") + c.icons_line + "\n"), std::string::npos) << image << "\n" << out;
    }
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", "--dll", "app.dll", "-o", "p.bin", "--quiet", "app"}, out, err, t.path()), 0) << err;
    EXPECT_EQ(test::decode_payload(test::read_file(t / "p.bin")).entries.size(), 1u);
}
