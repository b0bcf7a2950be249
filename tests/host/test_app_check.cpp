// SPDX-License-Identifier: MIT
// The application folder's DLLs as `vornak pack` and `vornak build` check
// them: refused application DLLs and missing runtimes (one line, exit 1, no
// output), what passes, the warning for an unknown DLL, and --allow-dll.
// DLLs are built in memory (test::build_pe).
#include <gtest/gtest.h>

#include "tests/host/support.h"
#include "tools/vornak/app/app_check.h"

using test::TempDir;

namespace {

int run_vornak(std::vector<std::string> args, std::string &out, std::string &err, const std::string &cwd) {
    args.insert(args.begin(), VORNAK_EXE);
    return test::run(args, out, err, cwd);
}

std::string dll_with(std::function<void(test::PeContents &)> change) {
    test::PeContents contents;
    contents.exports = {"run_code"};
    contents.imports = {{"KERNEL32.dll", {"GetLastError"}}};
    change(contents);
    return test::build_pe(contents);
}

const std::string C_LINKAGE = "extern \"C\" __declspec(dllexport)";
const std::string MINGW_ORIGIN =
    "it is part of the mingw-w64 GCC runtime: copy it beside your DLL from the compiler's folder (Debian: "
    "/usr/lib/gcc/x86_64-w64-mingw32/<version>-win32/ or -posix/), or link with -static-libgcc -static-libstdc++";
const std::string MSVC_ORIGIN =
    "it comes with the Microsoft Visual C++ Redistributable 2015-2022 (vc_redist.x64.exe): install that on the "
    "target machines, or copy the DLL beside yours from Visual Studio's "
    "VC\\Redist\\MSVC\\<version>\\x64\\Microsoft.VC143.CRT";

struct RefusedFolder {
    const char *label;
    std::vector<std::pair<std::string, std::string>> files;  // the application DLL first
    std::string message;
};

void PrintTo(const RefusedFolder &r, std::ostream *os) { *os << r.label; }

std::string missing(const std::string &file, const std::string &dll, const std::string &origin) {
    return file + ": imports " + dll + ", which the folder does not carry and a clean Windows lacks; " + origin +
           " (or pass --allow-dll " + dll + " when every target machine has it)";
}

const RefusedFolder refused_folders[] = {
    {"no run_code export", {{"app.dll", dll_with([](test::PeContents &s) { s.exports = {"start"}; })}},
     "app.dll: does not export run_code; export it with C linkage: " + C_LINKAGE +
         " int run_code(int argc, wchar_t **argv, const wchar_t *dll_path)"},
    {"no export table", {{"app.dll", dll_with([](test::PeContents &s) { s.exports.clear(); })}},
     "app.dll: does not export run_code; export it with C linkage: " + C_LINKAGE +
         " int run_code(int argc, wchar_t **argv, const wchar_t *dll_path)"},
    {"MSVC-mangled export", {{"app.dll", dll_with([](test::PeContents &s) { s.exports = {"?run_code@@YAHHPEAPEA_WPEB_W@Z"}; })}},
     "app.dll: exports run_code only under its C++ name '?run_code@@YAHHPEAPEA_WPEB_W@Z'; declare it " + C_LINKAGE +
         " so that it is exported as run_code"},
    {"GCC-mangled export", {{"app.dll", dll_with([](test::PeContents &s) { s.exports = {"_Z8run_codeiPPwPKw"}; })}},
     "app.dll: exports run_code only under its C++ name '_Z8run_codeiPPwPKw'; declare it " + C_LINKAGE +
         " so that it is exported as run_code"},
    {"32-bit", {{"app.dll", dll_with([](test::PeContents &s) { s.machine = 0x14C, s.magic = 0x10B; })}},
     "app.dll: built for 32-bit x86 (machine 0x014c); the launcher is x64 and loads only x64 DLLs (machine 0x8664)"},
    {"ARM64", {{"app.dll", dll_with([](test::PeContents &s) { s.machine = 0xAA64; })}},
     "app.dll: built for ARM64 (machine 0xaa64); the launcher is x64 and loads only x64 DLLs (machine 0x8664)"},
    {"PE32 header on x64", {{"app.dll", dll_with([](test::PeContents &s) { s.magic = 0x10B; })}},
     "app.dll: optional header magic 0x10b, not PE32+ (0x20b)"},
    {"an .exe", {{"app.dll", dll_with([](test::PeContents &s) { s.characteristics = 0x22; })}},
     "app.dll: an executable, not a DLL (IMAGE_FILE_DLL is not set); build it as a DLL (-shared, or link /DLL)"},
    {"ELF shared object", {{"app.dll", std::string("\x7f" "ELF\x02\x01\x01\0", 8) + std::string(56, '\0')}},
     "app.dll: an ELF file (a Linux shared object), not a Windows DLL; build it for Windows x64, e.g. with "
     "x86_64-w64-mingw32-gcc -shared"},
    {"text", {{"app.dll", "just some text\r\n"}}, "app.dll: not a Windows DLL (no MZ header)"},
    {"empty file", {{"app.dll", ""}}, "app.dll: not a Windows DLL (no MZ header)"},
    {"missing libstdc++",
     {{"app.dll", dll_with([](test::PeContents &s) { s.imports.push_back({"libstdc++-6.dll", {"_ZdlPv"}}); })}},
     missing("app.dll", "libstdc++-6.dll", MINGW_ORIGIN)},
    {"missing VCRUNTIME140",
     {{"app.dll", dll_with([](test::PeContents &s) { s.imports.push_back({"VCRUNTIME140.dll", {"memset"}}); })}},
     missing("app.dll", "VCRUNTIME140.dll", MSVC_ORIGIN)},
    {"missing delay-loaded MSVCP140",
     {{"app.dll", dll_with([](test::PeContents &s) { s.delay_imports = {"MSVCP140.dll"}; })}},
     missing("app.dll", "MSVCP140.dll", MSVC_ORIGIN)},
    {"runtime carried in another folder",
     {{"app.dll", dll_with([](test::PeContents &s) { s.imports.push_back({"libgcc_s_seh-1.dll", {"_Unwind_Resume"}}); })},
      {"other/libgcc_s_seh-1.dll", test::minimal_dll()}},
     missing("app.dll", "libgcc_s_seh-1.dll", MINGW_ORIGIN)},
    {"carried DLL missing its runtime",
     {{"app.dll", dll_with([](test::PeContents &s) { s.imports.push_back({"helper.dll", {"help"}}); })},
      {"helper.dll", dll_with([](test::PeContents &s) { s.imports.push_back({"libwinpthread-1.dll", {"pthread_create"}}); })}},
     missing("helper.dll", "libwinpthread-1.dll",
             "it is the mingw-w64 winpthreads runtime: copy it beside your DLL (Debian: "
             "/usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll), or link with -static")},
};

class RefusesFolder : public ::testing::TestWithParam<RefusedFolder> {};

}  // namespace

TEST_P(RefusesFolder, WithItsLineAndNoOutput) {
    const RefusedFolder &r = GetParam();
    TempDir t;
    for (const auto &f : r.files) test::write_file(t / ("app/" + f.first), f.second);
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "p.bin"}, out, err, t.path()), 1);
    EXPECT_EQ(err, "vornak: error: " + r.message + "\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(test::list_dir(t.path()), std::vector<std::string>{"app"}) << "nothing written beside the folder";
}

INSTANTIATE_TEST_SUITE_P(Dlls, RefusesFolder, ::testing::ValuesIn(refused_folders),
                         [](const ::testing::TestParamInfo<RefusedFolder> &info) {
                             std::string name;
                             for (const char *p = info.param.label; *p; ++p)
                                 name.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
                             return name;
                         });

TEST(AppCheck, BuildRefusesBeforeWritingAnImage) {
    TempDir t;
    test::write_file(t / "app/app.dll", dll_with([](test::PeContents &s) { s.characteristics = 0x22; }));
    std::string out, err;
    EXPECT_EQ(run_vornak({"build", "app", "--dll", "app.dll", "-o", "x.exe"}, out, err, t.path()), 1);
    EXPECT_EQ(err, "vornak: error: app.dll: an executable, not a DLL (IMAGE_FILE_DLL is not set); build it as a "
                   "DLL (-shared, or link /DLL)\n");
    EXPECT_EQ(test::list_dir(t.path()), std::vector<std::string>{"app"});
}

TEST(AppCheck, SystemAndCarriedImportsPass) {
    TempDir t;
    test::write_file(t / "app/bin/app.dll", dll_with([](test::PeContents &s) {
        s.imports = {{"KERNEL32.dll", {"GetLastError"}},
                     {"api-ms-win-crt-runtime-l1-1-0.dll", {"_initterm"}},
                     {"USER32.dll", {"MessageBoxW"}},
                     {"LIBSTDC++-6.DLL", {"_ZdlPv"}},   // carried beside it, other letter case
                     {"core.dll", {"core"}}};            // carried at the top of the folder
        s.delay_imports = {"d3d12.dll"};
    }));
    test::write_file(t / "app/bin/libstdc++-6.dll", test::minimal_dll());
    test::write_file(t / "app/core.dll", dll_with([](test::PeContents &s) {
        s.exports = {"core"};
        s.imports.push_back({"libgcc_s_seh-1.dll", {"_Unwind_Resume"}});  // carried beside the application DLL
    }));
    test::write_file(t / "app/bin/libgcc_s_seh-1.dll", test::minimal_dll());
    test::write_file(t / "app/plugins/p.dll", dll_with([](test::PeContents &s) {
        s.imports.push_back({"dep.dll", {"f"}});  // carried in the plugin's own folder
    }));
    test::write_file(t / "app/plugins/dep.dll", test::minimal_dll());
    test::write_file(t / "app/data/readme.dll.txt", "not a DLL, not looked at");
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "bin/app.dll", "-o", "p.bin", "--quiet"}, out, err, t.path()), 0)
        << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(test::decode_payload(test::read_file(t / "p.bin")).entries.size(), 7u);
}

TEST(AppCheck, UnknownDllWarnsAndAllowDllAccepts) {
    TempDir t;
    test::write_file(t / "app/app.dll", dll_with([](test::PeContents &s) {
        s.imports.push_back({"vendor.dll", {"f"}});
        s.imports.push_back({"libstdc++-6.dll", {"_ZdlPv"}});
    }));
    std::string out, err;
    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "p.bin", "--quiet"}, out, err, t.path()), 1);
    EXPECT_EQ(err, "vornak: error: " + missing("app.dll", "libstdc++-6.dll", MINGW_ORIGIN) + "\n");

    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "p.bin", "--quiet", "--allow-dll", "LIBSTDC++-6.dll"},
                         out, err, t.path()),
              0);
    EXPECT_EQ(err, "vornak: warning: app.dll: imports vendor.dll, which the folder does not carry and which is not "
                   "a DLL every Windows has; the application does not load where it is missing (pass --allow-dll "
                   "vendor.dll when every target machine has it)\n");
    EXPECT_TRUE(test::exists(t / "p.bin"));

    EXPECT_EQ(run_vornak({"pack", "app", "--dll", "app.dll", "-o", "q.bin", "--quiet", "--allow-dll",
                          "libstdc++-6.dll", "--allow-dll", "Vendor.DLL"},
                         out, err, t.path()),
              0);
    EXPECT_EQ(err, "");
}

TEST(AppCheck, ListsMatchNamesWithoutRegardToCase) {
    EXPECT_EQ(vornak::classify_dll("Api-MS-Win-Core-Synch-L1-2-0.dll").kind, vornak::KnownDll::SYSTEM);
    EXPECT_EQ(vornak::classify_dll("ext-ms-win-gdi-dc-l1-2-0.dll").kind, vornak::KnownDll::SYSTEM);
    EXPECT_EQ(vornak::classify_dll("ucrtbase.dll").kind, vornak::KnownDll::SYSTEM);
    EXPECT_EQ(vornak::classify_dll("d3dx9_43.dll").kind, vornak::KnownDll::REDISTRIBUTABLE);
    EXPECT_EQ(vornak::classify_dll("d3dx9_43.exe").kind, vornak::KnownDll::UNKNOWN);
    EXPECT_EQ(vornak::classify_dll("ucrtbased.dll").kind, vornak::KnownDll::REDISTRIBUTABLE);
    EXPECT_EQ(vornak::classify_dll("kernel32.dll.evil").kind, vornak::KnownDll::UNKNOWN);
}
