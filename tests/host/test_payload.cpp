// SPDX-License-Identifier: MIT
// The payload file as the launcher will read it: byte layout, zstd frame
// header, entry order, contents, determinism.
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "tests/host/support.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/payload/glob.h"
#include "tools/vornak/payload/payload_writer.h"
#include "tools/vornak/base/utf.h"

using test::TempDir;
using test::write_file;

namespace {

struct FrameHeader {
    bool content_size, single_segment, checksum;
    unsigned dictionary_id_flag;
    unsigned window_log;
};

FrameHeader parse_frame_header(const std::string &frame) {
    EXPECT_GE(frame.size(), 6u);
    EXPECT_EQ(frame.substr(0, 4), std::string("\x28\xB5\x2F\xFD", 4));
    unsigned char fhd = static_cast<unsigned char>(frame[4]);
    FrameHeader h;
    h.content_size = (fhd >> 6) != 0;
    h.single_segment = (fhd >> 5) & 1;
    h.checksum = (fhd >> 2) & 1;
    h.dictionary_id_flag = fhd & 3;
    unsigned char wd = static_cast<unsigned char>(frame[5]);
    EXPECT_EQ(wd & 7, 0) << "window size is a power of two";
    h.window_log = 10 + (wd >> 3);
    return h;
}

std::string pseudo_random(size_t bytes, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(bytes, '\0');
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}

std::string pack(const std::string &dir, const std::string &dll, const std::string &out,
                 vornak::PackOptions opt = {}) {
    vornak::pack_folder(dir, dll, opt, out);
    return test::read_file(out);
}

std::vector<std::string> names_of(const test::DecodedPayload &p) {
    std::vector<std::string> names;
    for (const auto &e : p.entries) names.push_back(vornak::utf16_to_utf8(e.name));
    return names;
}

}  // namespace

TEST(PayloadFormat, SmallFolderLayoutAndFrameHeader) {
    TempDir t;
    write_file(t / "app/app.dll", "MZ dll bytes");
    write_file(t / "app/readme.txt", "hello");
    std::string payload = pack(t / "app", "app.dll", t / "p.bin");

    test::DecodedPayload d = test::decode_payload(payload);
    FrameHeader h = parse_frame_header(d.frame);
    EXPECT_FALSE(h.content_size);
    EXPECT_FALSE(h.single_segment) << "a window descriptor must be present";
    EXPECT_TRUE(h.checksum) << "the content checksum lets the launcher and extract catch damage";
    EXPECT_EQ(h.dictionary_id_flag, 0u);
    EXPECT_EQ(h.window_log, 10u) << "a tiny stream gets the smallest window";
    // name units + terminator, size, data; then the stream terminator.
    EXPECT_EQ(d.stream_bytes, (7 + 1) * 2 + 8 + 12 + (10 + 1) * 2 + 8 + 5 + 2u);
    ASSERT_EQ(d.entries.size(), 2u);
    EXPECT_EQ(d.entries[0].data, "MZ dll bytes");
}

TEST(PayloadFormat, WindowCoversTheStreamUpTo128MiB) {
    EXPECT_EQ(vornak::choose_window_log(2), 10u);
    EXPECT_EQ(vornak::choose_window_log(1024), 10u);
    EXPECT_EQ(vornak::choose_window_log(1025), 11u);
    EXPECT_EQ(vornak::choose_window_log(uint64_t{1} << 20), 20u);
    EXPECT_EQ(vornak::choose_window_log((uint64_t{1} << 26) + 1), 27u);
    EXPECT_EQ(vornak::choose_window_log(uint64_t{494291595}), 27u) << "never above the decoder's limit";
    EXPECT_EQ(vornak::choose_window_log(uint64_t{1} << 40), 27u);

    // A stream just over 1 MiB (several read chunks of one file) gets 2^21.
    TempDir t;
    write_file(t / "app/app.dll", pseudo_random((1 << 20) + 100, 1));
    vornak::PackOptions fast;
    fast.level = 1;
    std::string payload = pack(t / "app", "app.dll", t / "p.bin", fast);
    test::DecodedPayload d = test::decode_payload(payload);
    EXPECT_EQ(parse_frame_header(d.frame).window_log, 21u);
    ASSERT_EQ(d.entries.size(), 1u);
    EXPECT_EQ(d.entries[0].data, pseudo_random((1 << 20) + 100, 1));
}

TEST(PayloadEntries, DllFirstThenFilesThenSortedSubdirectories) {
    TempDir t;
    std::string a = t / "app";
    write_file(a + "/zeta.txt", "z");
    write_file(a + "/Main.dll", "dll");
    write_file(a + "/alpha.txt", "a");
    write_file(a + "/B.txt", "B");
    write_file(a + "/empty.bin", "");
    write_file(a + "/lib/x.pyd", "x");
    write_file(a + "/lib/sub/deep.txt", "deep");
    write_file(a + "/lib/a.txt", "la");
    write_file(a + "/Data/d.txt", "d");
    write_file(a + "/caf\xc3\xa9/\xf0\x9f\x98\x80.txt", "smile");  // é, and U+1F600 as a surrogate pair
    std::string payload = pack(a, "Main.dll", t / "p.bin");
    test::DecodedPayload d = test::decode_payload(payload);
    std::vector<std::string> expected = {
        "Main.dll",  "B.txt",           "alpha.txt", "empty.bin",         "zeta.txt",
        "Data\\d.txt", "caf\xc3\xa9\\\xf0\x9f\x98\x80.txt", "lib\\a.txt", "lib\\x.pyd", "lib\\sub\\deep.txt",
    };
    EXPECT_EQ(names_of(d), expected);
    ASSERT_EQ(d.entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        std::string host = expected[i];
        for (char &c : host)
            if (c == '\\') c = '/';
        EXPECT_EQ(d.entries[i].data, test::read_file(a + "/" + host)) << expected[i];
    }
    EXPECT_EQ(d.entries[6].name.size(), 4u + 1 + 2 + 4) << "U+1F600 takes two UTF-16 units";
}

TEST(PayloadEntries, DllInSubdirectoryIsFirstAndNotRepeated) {
    TempDir t;
    write_file(t / "app/bin/app.dll", "dll");
    write_file(t / "app/bin/other.dll", "o");
    write_file(t / "app/top.txt", "t");
    test::DecodedPayload d = test::decode_payload(pack(t / "app", "./bin//app.dll", t / "p.bin"));
    EXPECT_EQ(names_of(d), (std::vector<std::string>{"bin\\app.dll", "top.txt", "bin\\other.dll"}));
}

TEST(PayloadEntries, SymlinksInsideTheFolderAreFollowed) {
    TempDir t;
    std::string a = t / "app";
    write_file(a + "/app.dll", "dll");
    write_file(a + "/real/f.txt", "content");
    ASSERT_EQ(::symlink("real/f.txt", (a + "/link.txt").c_str()), 0);
    ASSERT_EQ(::symlink("real", (a + "/alias").c_str()), 0);
    ASSERT_EQ(::symlink(a.c_str(), (t / "app-link").c_str()), 0);
    test::DecodedPayload d = test::decode_payload(pack(t / "app-link", "app.dll", t / "p.bin"));
    EXPECT_EQ(names_of(d), (std::vector<std::string>{"app.dll", "link.txt", "alias\\f.txt", "real\\f.txt"}));
    ASSERT_EQ(d.entries.size(), 4u);
    EXPECT_EQ(d.entries[1].data, "content");
    EXPECT_EQ(d.entries[2].data, "content");
}

TEST(PayloadEntries, LongestAllowedNameIsPacked) {
    // 4 components of 250 units and one of 19: 1019 + 4 separators = 1023.
    TempDir t;
    std::string rel = std::string(250, 'a') + "/" + std::string(250, 'b') + "/" + std::string(250, 'c') + "/" +
                      std::string(250, 'd') + "/" + std::string(19, 'e');
    write_file(t / "app/app.dll", "dll");
    write_file(t / "app/" + rel, "deep");
    test::DecodedPayload d = test::decode_payload(pack(t / "app", "app.dll", t / "p.bin"));
    ASSERT_EQ(d.entries.size(), 2u);
    EXPECT_EQ(d.entries[1].name.size(), 1023u);
}

TEST(PayloadDeterminism, SameFolderGivesSameBytes) {
    // Two folders with the same files, created in opposite orders so that
    // their directory listings differ.
    TempDir t;
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 40; ++i)
        files.emplace_back("d" + std::to_string(i % 5) + "/f" + std::to_string(i), pseudo_random(3000 + i, i));
    files.emplace_back("app.dll", "dll");
    for (const auto &f : files) write_file(t / "one/" + f.first, f.second);
    for (auto it = files.rbegin(); it != files.rend(); ++it) write_file(t / "two/" + it->first, it->second);

    std::string first = pack(t / "one", "app.dll", t / "1.bin");
    EXPECT_EQ(pack(t / "one", "app.dll", t / "1b.bin"), first);
    EXPECT_EQ(pack(t / "two", "app.dll", t / "2.bin"), first);

    vornak::PackOptions threaded;
    threaded.threads = 2;
    std::string mt = pack(t / "one", "app.dll", t / "mt1.bin", threaded);
    EXPECT_EQ(pack(t / "one", "app.dll", t / "mt2.bin", threaded), mt);
    test::DecodedPayload a = test::decode_payload(first), b = test::decode_payload(mt);
    EXPECT_EQ(names_of(a), names_of(b));
    ASSERT_EQ(a.entries.size(), b.entries.size());
    for (size_t i = 0; i < a.entries.size(); ++i) EXPECT_EQ(a.entries[i].data, b.entries[i].data);
    EXPECT_FALSE(parse_frame_header(b.frame).content_size);
}

TEST(PayloadDeterminism, WorkerThreadsCutTheFrameIntoJobsThatDecodeTheSame) {
    // 24 MiB with repeats 1 MiB apart: with two threads the frame is made in
    // six jobs of 4 MiB, and matches reach back across job boundaries into
    // the overlap.
    TempDir t;
    std::string block = pseudo_random(1 << 20, 7), big;
    for (size_t i = 0; i < 24; ++i) big += block.substr(i * 4096) + block.substr(0, i * 4096);
    write_file(t / "app/app.dll", "dll");
    write_file(t / "app/big.bin", big);
    vornak::PackOptions options;
    options.level = 3;
    options.threads = 2;
    std::string mt = pack(t / "app", "app.dll", t / "mt.bin", options);
    // The same bytes whatever the number of threads: a build does not
    // depend on the machine it ran on.
    for (int threads : {0, 1, 3, 8}) {  // 0: one per core
        options.threads = threads;
        EXPECT_TRUE(pack(t / "app", "app.dll", t / "other.bin", options) == mt) << threads << " threads";
    }
    test::DecodedPayload d = test::decode_payload(mt);
    ASSERT_EQ(d.entries.size(), 2u);
    EXPECT_TRUE(d.entries[1].data == big);
    EXPECT_EQ(parse_frame_header(d.frame).window_log, 25u);
    // Without the overlap each job would begin with 1 MiB it cannot match: 6 MiB.
    EXPECT_LT(mt.size(), 2u << 20) << "each job reached back into the one before";
}

TEST(PayloadOutput, ReplacesAnExistingFileAndLeavesNoTemporary) {
    TempDir t;
    write_file(t / "app/app.dll", "dll");
    write_file(t / "out/p.bin", "old contents");
    pack(t / "app", "app.dll", t / "out/p.bin");
    EXPECT_EQ(test::list_dir(t / "out"), std::vector<std::string>{"p.bin"});
    EXPECT_EQ(test::decode_payload(test::read_file(t / "out/p.bin")).entries.size(), 1u);
}

TEST(PayloadOutput, FileThatChangedWhilePackingLeavesNoOutput) {
    TempDir t;
    write_file(t / "app/app.dll", "dll");
    write_file(t / "out/p.bin", "old contents");
    std::vector<vornak::PackEntry> entries = {{u"app.dll", t / "app/app.dll", 3},
                                              {u"grown.txt", t / "app/app.dll", 2}};
    EXPECT_THROW(vornak::write_payload(entries, {}, t / "out/p.bin"), vornak::Error);
    EXPECT_EQ(test::list_dir(t / "out"), std::vector<std::string>{"p.bin"});
    EXPECT_EQ(test::read_file(t / "out/p.bin"), "old contents");
}

TEST(PayloadExclude, GlobPatterns) {
    struct Row {
        const char *pattern, *path;
        bool match;
    };
    const Row rows[] = {
        {"*.pdb", "app.pdb", true},
        {"*.pdb", "lib/deep/x.pdb", true},  // no "/": the name at any depth
        {"*.pdb", "app.pdb.txt", false},
        {"lib/*.pdb", "lib/x.pdb", true},
        {"lib/*.pdb", "lib/deep/x.pdb", false},  // "*" stays within a component
        {"lib/*.pdb", "other/lib/x.pdb", false},  // with "/": from the folder's top
        {"lib/**/*.pdb", "lib/x.pdb", true},      // "**" takes zero components
        {"lib/**/*.pdb", "lib/a/b/x.pdb", true},
        {"**/cache", "a/b/cache", true},
        {"cache/**", "cache/a/b", true},
        {"cache/", "cache", true},
        {"lo?.txt", "log.txt", true},
        {"lo?.txt", "lo.txt", false},
        {"[ab]*.txt", "b1.txt", true},
        {"[!ab]*.txt", "b1.txt", false},
        {"[a-c]x", "cx", true},
        {"[a-c]x", "dx", false},
        {"\\*.txt", "*.txt", true},
        {"\\*.txt", "a.txt", false},
        {"*a*b*c", "xaybzc", true},
        {"*a*b*c", "xaybzcd", false},
        {"Thumbs.db", "thumbs.db", false},  // letter case counts
    };
    for (const Row &r : rows)
        EXPECT_EQ(vornak::glob_matches(r.pattern, r.path), r.match) << r.pattern << " against " << r.path;
    for (const char *bad : {"", "/abs", "a[bc", "tail\\"})
        EXPECT_NE(vornak::glob_problem(bad), "") << bad;
    EXPECT_EQ(vornak::glob_problem("a[]]b"), "");
}

TEST(PayloadExclude, ExcludedAndOutputFilesStayOutAndEmptyFoldersAreNamed) {
    TempDir t;
    write_file(t / "app/app.dll", "dll");
    write_file(t / "app/keep.txt", "keep");
    write_file(t / "app/app.pdb", "symbols");
    write_file(t / "app/cache/what?.tmp", "a name Windows cannot hold, excluded before it is checked");
    write_file(t / "app/docs/a.md", "a");
    write_file(t / "app/docs/deep/b.md", "b");
    ASSERT_EQ(::mkdir((t / "app/logs").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((t / "app/logs/old").c_str(), 0777), 0);

    vornak::PackOptions opt;
    opt.level = 3;
    opt.filter.excludes = {"*.pdb", "cache", "docs/*.md"};
    vornak::PackResult first = vornak::pack_folder(t / "app", "app.dll", opt, t / "app/out.bin");
    // Packed again into the same place: the earlier output is not carried.
    vornak::PackResult again = vornak::pack_folder(t / "app", "app.dll", opt, t / "app/out.bin");
    test::DecodedPayload d = test::decode_payload(test::read_file(t / "app/out.bin"));
    EXPECT_EQ(names_of(d), (std::vector<std::string>{"app.dll", "keep.txt", "docs\\deep\\b.md"}));
    EXPECT_EQ(again.entries, first.entries);
    EXPECT_EQ(again.excluded, 4u);  // app.pdb, cache, docs/a.md, out.bin
    EXPECT_EQ(again.empty_folders, std::vector<std::string>{"logs"});

    opt.filter.excludes = {"cache", "*.dll"};
    try {
        vornak::pack_folder(t / "app", "app.dll", opt, t / "p.bin");
        ADD_FAILURE() << "an excluded DLL was packed";
    } catch (const vornak::Error &e) {
        EXPECT_STREQ(e.what(), "DLL 'app.dll' is left out by --exclude '*.dll'");
    }
    opt.filter.excludes = {"a[b"};
    EXPECT_THROW(vornak::pack_folder(t / "app", "app.dll", opt, t / "p.bin"), vornak::Error);
    EXPECT_FALSE(test::exists(t / "p.bin"));
}
