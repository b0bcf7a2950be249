// SPDX-License-Identifier: MIT
// The vornak command line as a user meets it: exit codes, the one-line
// error format, options before or after the folder, and that a failed build
// leaves no image and no scratch files.
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
    test::write_file(t / "app/app.dll", "dll");
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "p.bin", "--level", "3"}, out, err, t.path()), 0)
        << err;
    EXPECT_EQ(test::decode_payload(test::read_file(t / "p.bin")).entries.size(), 1u);
    EXPECT_NE(out.find("packed 1 files"), std::string::npos) << out;

    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "q.bin", "--quiet"}, out, err, t.path()), 0);
    EXPECT_EQ(out, "");
}

TEST(Cli, VersionIsTheProjectsOwn) {
    std::string out, err;
    EXPECT_EQ(run_vornak({"--version"}, out, err), 0) << err;
    EXPECT_EQ(out, "vornak " VORNAK_PROJECT_VERSION "\n");
    EXPECT_EQ(err, "");
}

TEST(Cli, RefusalIsOneLineExitOneAndNoFile) {
    TempDir t;
    test::write_file(t / "app/app.dll", "dll");
    test::write_file(t / "app/what?.txt", "x");
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", t / "app", "--dll", "app.dll", "-o", t / "p.bin"}, out, err), 1);
    expect_one_error_line(err);
    EXPECT_NE(err.find("what?.txt"), std::string::npos) << err;
    EXPECT_FALSE(test::exists(t / "p.bin"));
}

TEST(Cli, BadCommandLinesExitTwo) {
    TempDir t;
    test::write_file(t / "app/app.dll", "dll");
    test::write_file(t / "p.bin", "QOZ");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"pack", t / "app", "-o", t / "x.bin"},                                  // no --dll
        {"pack", t / "app", "--dll", "app.dll"},                                 // no -o
        {"pack", t / "app", "--dll", "app.dll", "-o", t / "x.bin", "--level", "0"},
        {"pack", t / "app", "--dll", "app.dll", "-o", t / "x.bin", "--threads", "-1"},
        {"build", t / "app", "--dll", "app.dll", "--payload", t / "p.bin", "-o", t / "x.exe"},
        {"build", "--dll", "app.dll", "-o", t / "x.exe"},
        {"build", "--payload", t / "p.bin", "-o", t / "x.exe", "--sign", "c.pfx"},  // no --password-file
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

TEST(Cli, BuildRefusalsLeaveNoImageAndNoScratch) {
    TempDir t, scratch;
    test::write_file(t / "app/app.dll", "dll");
    test::write_file(t / "p.bin", "QOZ");
    const std::vector<std::vector<std::string>> refused = {
        {"build", t / "app", "--dll", "missing.dll", "-o", t / "out/x.exe"},
        {"build", "--payload", t / "none.bin", "-o", t / "out/x.exe"},
        {"build", "--payload", t / "p.bin", "-o", t / "out/x.exe", "--version", "1.2.3.4.5"},
        {"build", "--payload", t / "p.bin", "-o", t / "out/x.exe", "--name", ""},
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

TEST(Cli, IconTakesOneFilePerUseAndOptionsStandBeforeOrAfterTheFolder) {
    TempDir t;
    test::write_file(t / "app/app.dll", "MZ dll");
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
