// SPDX-License-Identifier: MIT
// Every folder the packer must refuse, and what a refusal leaves behind:
// nothing new in the output directory, an existing output untouched. Every
// payload file that `vornak build --payload` must refuse.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>

#include <gtest/gtest.h>
#include <zstd.h>

#include "tests/host/support.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/payload/payload_check.h"
#include "tools/vornak/payload/payload_writer.h"
#include "tools/vornak/base/utf.h"

using test::TempDir;
using test::write_file;

namespace {

struct Refusal {
    const char *label;
    std::function<void(const std::string &app)> setup;  // app is <tmp>/app, not yet created
    const char *dll;
    const char *message_part;
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.label; }

void with_dll(const std::string &app) { write_file(app + "/app.dll", "dll"); }

std::function<void(const std::string &)> with_file(std::string rel) {
    return [rel](const std::string &app) {
        with_dll(app);
        write_file(app + "/" + rel, "x");
    };
}

std::function<void(const std::string &)> with_symlink(std::string rel, std::string target) {
    return [rel, target](const std::string &app) {
        with_dll(app);
        ::mkdir((app + "/sub").c_str(), 0755);
        ASSERT_EQ(::symlink(target.c_str(), (app + "/" + rel).c_str()), 0);
    };
}

std::string long_name(size_t units) {
    std::string rel;
    while (units > 200) {
        rel += std::string(199, 'n') + "/";
        units -= 200;
    }
    return rel + std::string(units, 'f');
}

const Refusal refusals[] = {
    {"missing folder", [](const std::string &) {}, "app.dll", "application folder"},
    {"folder is a file", [](const std::string &app) { write_file(app, "x"); }, "app.dll", "is not a directory"},
    {"missing dll", [](const std::string &app) { write_file(app + "/other.dll", "x"); }, "app.dll", "not found"},
    {"dll is a directory", [](const std::string &app) { ::mkdir(app.c_str(), 0755), ::mkdir((app + "/app.dll").c_str(), 0755); },
     "app.dll", "is not a regular file"},
    {"dll is a fifo", [](const std::string &app) { ::mkdir(app.c_str(), 0755), ::mkfifo((app + "/app.dll").c_str(), 0644); },
     "app.dll", "is not a regular file"},
    {"dll outside the folder", with_dll, "../app/app.dll", "inside the application folder"},
    {"dll absolute", with_dll, "/etc/passwd", "relative"},
    {"name of 1024 units", with_file(long_name(1024)), "app.dll", "1024 UTF-16 code units"},
    {"invalid UTF-8 byte", with_file("bad\xff.txt"), "app.dll", "not valid UTF-8"},
    {"overlong UTF-8", with_file("bad\xc0\xaf.txt"), "app.dll", "not valid UTF-8"},
    {"encoded surrogate", with_file("bad\xed\xa0\x80.txt"), "app.dll", "not valid UTF-8"},
    {"invalid UTF-8 in a directory name", with_file("dir\xfe/f.txt"), "app.dll", "not valid UTF-8"},
    {"symlink to an absolute path outside", with_symlink("sub/out", "/etc"), "app.dll", "leads outside"},
    {"symlink climbing out", with_symlink("sub/up", "../../"), "app.dll", "leads outside"},
    {"dangling symlink", with_symlink("sub/gone", "nowhere"), "app.dll", "cannot be followed"},
    {"directory cycle", with_symlink("sub/loop", ".."), "app.dll", "directory cycle"},
    {"fifo", [](const std::string &app) { with_dll(app), ::mkfifo((app + "/pipe").c_str(), 0644); }, "app.dll", "is a fifo"},
    {"socket",
     [](const std::string &app) {
         with_dll(app);
         int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un addr{};
         addr.sun_family = AF_UNIX;
         std::string path = app + "/sock";
         ASSERT_LT(path.size(), sizeof addr.sun_path);
         path.copy(addr.sun_path, path.size());
         ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
         ::close(s);
     },
     "app.dll", "is a socket"},
    {"less-than", with_file("a<b"), "app.dll", "'<'"},
    {"greater-than", with_file("a>b"), "app.dll", "'>'"},
    {"colon", with_file("a:b"), "app.dll", "':'"},
    {"double quote", with_file("a\"b"), "app.dll", "'\"'"},
    {"bar", with_file("a|b"), "app.dll", "'|'"},
    {"question mark", with_file("a?b"), "app.dll", "'?'"},
    {"asterisk", with_file("a*b"), "app.dll", "'*'"},
    {"control character", with_file("a\x01z"), "app.dll", "control character"},
    {"line feed", with_file("a\nz"), "app.dll", "control character"},
    {"backslash in a Linux name", with_file("a\\b"), "app.dll", "path separator"},
    {"forbidden character in a directory", with_file("d?r/f.txt"), "app.dll", "'?'"},
    {"case collision of files", [](const std::string &app) { with_dll(app), write_file(app + "/Read.me", "1"), write_file(app + "/read.ME", "2"); },
     "app.dll", "differ only in letter case"},
    {"case collision of file and directory",
     [](const std::string &app) { with_dll(app), write_file(app + "/Lib", "1"), write_file(app + "/lib/x", "2"); }, "app.dll",
     "differ only in letter case"},
    {"case collision with the dll", with_file("APP.DLL"), "app.dll", "differ only in letter case"},
    {"device name", with_file("sub/CON"), "app.dll", "reserved device name"},
    {"device name with extension", with_file("nul.txt"), "app.dll", "reserved device name"},
    {"numbered device name", with_file("Com7.log"), "app.dll", "reserved device name"},
    {"superscript device name", with_file("lpt\u00b3.txt"), "app.dll", "reserved device name"},
    {"console input device", with_file("sub/CONIN$"), "app.dll", "reserved device name"},
    {"start marker name", with_file("Onefile-Start.marker"), "app.dll", "start marker"},
    {"cache record name", with_file(".Vornak-Cache"), "app.dll", "cache record"},
    {"case collision beyond ASCII", [](const std::string &app) { with_dll(app), write_file(app + "/\u00e9t\u00e9", "1"), write_file(app + "/\u00c9T\u00c9", "2"); },
     "app.dll", "differ only in letter case"},
    {"case collision of Greek names", [](const std::string &app) { with_dll(app), write_file(app + "/\u03c3\u03bf\u03c6\u03af\u03b1", "1"), write_file(app + "/\u03a3\u039f\u03a6\u038a\u0391", "2"); },
     "app.dll", "differ only in letter case"},
    {"trailing dot", with_file("name."), "app.dll", "ends with a dot or a blank"},
    {"trailing blank", with_file("name "), "app.dll", "ends with a dot or a blank"},
};

class Refuses : public ::testing::TestWithParam<Refusal> {};

}  // namespace

TEST_P(Refuses, WithAClearMessageAndNoOutput) {
    const Refusal &r = GetParam();
    TempDir t;
    std::string app = t / "app";
    r.setup(app);
    write_file(t / "out/existing.bin", "old");
    try {
        vornak::pack_folder(app, r.dll, {}, t / "out/existing.bin");
        ADD_FAILURE() << "packed, but should refuse: " << r.label;
    } catch (const vornak::Error &e) {
        std::string what = e.what();
        EXPECT_NE(what.find(r.message_part), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << "one line: " << what;
    }
    EXPECT_EQ(test::list_dir(t / "out"), std::vector<std::string>{"existing.bin"});
    EXPECT_EQ(test::read_file(t / "out/existing.bin"), "old");
}

INSTANTIATE_TEST_SUITE_P(Folders, Refuses, ::testing::ValuesIn(refusals),
                         [](const ::testing::TestParamInfo<Refusal> &info) {
                             std::string name;
                             for (const char *p = info.param.label; *p; ++p)
                                 name.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
                             return name;
                         });

TEST(RefusesDevice, CharacterDevice) {
    TempDir t;
    with_dll(t / "app");
    if (::mknod((t / "app/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot create a device node here";
    try {
        vornak::pack_folder(t / "app", "app.dll", {}, t / "p.bin");
        ADD_FAILURE() << "packed a device";
    } catch (const vornak::Error &e) {
        EXPECT_NE(std::string(e.what()).find("character device"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(test::exists(t / "p.bin"));
}

TEST(RefusesOptions, LevelAndOutput) {
    TempDir t;
    with_dll(t / "app");
    vornak::PackOptions bad_level;
    bad_level.level = 23;
    EXPECT_THROW(vornak::pack_folder(t / "app", "app.dll", bad_level, t / "p.bin"), vornak::Error);
    ::mkdir((t / "outdir").c_str(), 0755);
    EXPECT_THROW(vornak::pack_folder(t / "app", "app.dll", {}, t / "outdir"), vornak::Error);
    EXPECT_THROW(vornak::pack_folder(t / "app", "app.dll", {}, t / "missing/p.bin"), vornak::Error);
    EXPECT_EQ(test::list_dir(t.path()).size(), 2u) << "only app/ and outdir/";
}

// ---- payload files given to `vornak build --payload` ----

namespace {

std::string le64_bytes(uint64_t v) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (8 * i));
    return out;
}

// One entry of the entry stream: UTF-16LE name, a zero unit, size, data.
std::string entry(const std::u16string &name, const std::string &data) {
    return vornak::utf16le_bytes(name) + std::string(2, '\0') + le64_bytes(data.size()) + data;
}

const std::string terminator(2, '\0');

// One zstd frame of stream with the given window log, no content size.
std::string frame(const std::string &stream, int window_log = 20, bool checksum = false) {
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window_log);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
    std::string out(ZSTD_compressBound(stream.size()) + 64, '\0');
    ZSTD_outBuffer o = {&out[0], out.size(), 0};
    ZSTD_inBuffer in = {stream.data(), stream.size(), 0};
    // Continue first: an end on the first call would declare the content size.
    ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_continue);
    ZSTD_inBuffer none = {nullptr, 0, 0};
    size_t left = ZSTD_compressStream2(cctx, &o, &none, ZSTD_e_end);
    ZSTD_freeCCtx(cctx);
    EXPECT_EQ(left, 0u);
    out.resize(o.pos);
    return out;
}

std::string payload(const std::string &frames, const std::string &fill = std::string(7, '\0')) {
    std::string head = "QOZ" + frames + fill;
    return head + le64_bytes(head.size());
}

std::string good_stream() { return entry(u"app.dll", "MZ") + entry(u"data\\file.name.txt", "x") + terminator; }

// A stream whose frame is over 8 MiB: the decoder takes it in more than one
// slice. Incompressible data, the same every time.
std::string big_stream() {
    static const std::string stream = [] {
        std::mt19937 random(9);
        std::string data(9 << 20, '\0');
        for (char &c : data) c = static_cast<char>(random());
        return entry(u"app.dll", data) + terminator;
    }();
    return stream;
}

std::string with_name(const std::u16string &name) {
    return payload(frame(entry(u"app.dll", "MZ") + entry(name, "x") + terminator));
}

struct PayloadRefusal {
    const char *label;
    std::function<std::string()> bytes;
    const char *message_part;
};

void PrintTo(const PayloadRefusal &r, std::ostream *os) { *os << r.label; }

const PayloadRefusal payload_refusals[] = {
    {"too short", [] { return std::string("QOZ"); }, "too short"},
    {"wrong magic", [] { std::string p = payload(frame(good_stream())); p[2] = 'X'; return p; }, "\"QOZ\""},
    {"trailer not its own offset", [] { std::string p = payload(frame(good_stream())); p[p.size() - 8] ^= 1; return p; },
     "trailer"},
    {"fill not zero", [] { return payload(frame(good_stream()), std::string(6, '\0') + "\x01"); }, "zero"},
    {"two frames", [] { return payload(frame(good_stream()) + frame(terminator)); }, "one zstd frame"},
    {"skippable frame", [] { return payload(std::string("\x50\x2A\x4D\x18\x00\x00\x00\x00", 8)); }, "zstd frame"},
    {"not a frame", [] { return payload(std::string(32, 'z')); }, "zstd frame"},
    {"frame cut short", [] { std::string f = frame(good_stream()); return payload(f.substr(0, f.size() - 3)); }, "frame"},
    {"window of 256 MiB", [] { return payload(frame(good_stream(), 28)); }, "window"},
    {"no entries", [] { return payload(frame(terminator)); }, "no entries"},
    {"stream without terminator", [] { return payload(frame(entry(u"app.dll", "MZ"))); }, "ends"},
    {"entry data cut short", [] { std::string s = entry(u"app.dll", "MZ data"); return payload(frame(s.substr(0, s.size() - 2))); },
     "ends"},
    {"content checksum does not match",
     [] { std::string f = frame(good_stream(), 20, true); f[f.size() - 1] ^= 1; return payload(f); }, "checksum"},
    {"data after the terminator", [] { return payload(frame(good_stream() + "junk")); }, "follow the terminator"},
    {"checksum does not match, frame over 8 MiB",
     [] { std::string f = frame(big_stream(), 24, true); f[f.size() - 1] ^= 1; return payload(f); }, "checksum"},
    {"data after the terminator, frame over 8 MiB", [] { return payload(frame(big_stream() + "junk", 24)); },
     "follow the terminator"},
    {"name of 1024 units", [] { return with_name(std::u16string(1024, u'n')); }, "longer than 1023"},
    {"parent component", [] { return with_name(u"..\\x"); }, "'..'"},
    {"parent component inside", [] { return with_name(u"sub\\..\\..\\x"); }, "'..'"},
    {"dot component", [] { return with_name(u"sub\\.\\x"); }, "'.'"},
    {"leading backslash", [] { return with_name(u"\\x"); }, "empty"},
    {"doubled backslash", [] { return with_name(u"sub\\\\x"); }, "empty"},
    {"trailing backslash", [] { return with_name(u"sub\\"); }, "empty"},
    {"drive", [] { return with_name(u"C:x"); }, "':'"},
    {"stream", [] { return with_name(u"x:stream"); }, "':'"},
    {"slash", [] { return with_name(u"a/b"); }, "'/'"},
    {"asterisk", [] { return with_name(u"a*b"); }, "'*'"},
    {"control character", [] { return with_name(u"a\x01" u"b"); }, "control character"},
    {"trailing dot", [] { return with_name(u"name."); }, "dot or a blank"},
    {"device name", [] { return with_name(u"sub\\aux.txt"); }, "device name"},
    {"superscript device names", [] { return with_name(u"COM\u00b9"); }, "device name"},
    {"superscript device name with extension", [] { return with_name(u"sub\\Lpt\u00b2.log"); }, "device name"},
    {"console output device", [] { return with_name(u"conout$.txt"); }, "device name"},
    {"start marker name", [] { return with_name(u"sub\\onefile-start.marker"); }, "start marker"},
    {"cache record name", [] { return with_name(u".vornak-cache"); }, "cache record"},
    {"component of 256 units", [] { return with_name(u"sub\\" + std::u16string(256, u'n')); }, "at most 255"},
    {"names equal but for Cyrillic case", [] { return payload(frame(entry(u"app.dll", "MZ") + entry(u"\u0434\\a", "1") + entry(u"\u0414\\b", "2") + terminator)); },
     "letter case"},
    {"bad first name", [] { return payload(frame(entry(u"..\\app.dll", "MZ") + terminator)); }, "'..'"},
    {"same name twice", [] { return payload(frame(entry(u"app.dll", "MZ") + entry(u"a.txt", "1") + entry(u"A.TXT", "2") + terminator)); },
     "letter case"},
};

class RefusesPayload : public ::testing::TestWithParam<PayloadRefusal> {};

}  // namespace

TEST_P(RefusesPayload, WithOneLine) {
    const PayloadRefusal &r = GetParam();
    TempDir t;
    write_file(t / "p.bin", r.bytes());
    try {
        vornak::check_payload_file(t / "p.bin");
        ADD_FAILURE() << "accepted, but should refuse: " << r.label;
    } catch (const vornak::Error &e) {
        std::string what = e.what();
        EXPECT_NE(what.find(r.message_part), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << "one line: " << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Payloads, RefusesPayload, ::testing::ValuesIn(payload_refusals),
                         [](const ::testing::TestParamInfo<PayloadRefusal> &info) {
                             std::string name;
                             for (const char *p = info.param.label; *p; ++p)
                                 name.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
                             return name;
                         });

TEST(AcceptsPayload, WhatThePackerWritesAndDottedNames) {
    TempDir t;
    write_file(t / "app/app.dll", "dll");
    write_file(t / "app/dir.v2/x..y.txt", "x");
    write_file(t / "app/..leading", "y");
    vornak::pack_folder(t / "app", "app.dll", {}, t / "p.bin");
    EXPECT_NO_THROW(vornak::check_payload_file(t / "p.bin"));
    write_file(t / "q.bin", payload(frame(good_stream() , 27)));
    EXPECT_NO_THROW(vornak::check_payload_file(t / "q.bin"));
    write_file(t / "r.bin", payload(frame(entry(u"a.dll", "") + entry(std::u16string(255, u'n') + u"\\" + std::u16string(255, u'm'), "") + terminator)));
    EXPECT_NO_THROW(vornak::check_payload_file(t / "r.bin"));
    write_file(t / "s.bin", payload(frame(big_stream(), 24, true)));
    EXPECT_NO_THROW(vornak::check_payload_file(t / "s.bin"));
    // Near misses of device names, and names that only look alike: sharp s
    // has no simple upper-case mapping, so it never meets "ss".
    write_file(t / "u.bin", payload(frame(entry(u"a.dll", "") + entry(u"com0", "") + entry(u"lpt\u2074", "") +
                                          entry(u"conin", "") + entry(u"\u00df", "") + entry(u"ss", "") + terminator)));
    EXPECT_NO_THROW(vornak::check_payload_file(t / "u.bin"));
}
