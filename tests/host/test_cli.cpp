// SPDX-License-Identifier: MIT
// The vornak command line as a user meets it: exit codes, the one-line
// error format, and that a failed build leaves no image and no scratch files.
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
        {"build", "--payload", t / "p.bin", "-o", t / "out/x.exe", "--version", "1.2.3"},
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
