# SPDX-License-Identifier: MIT
"""vornak as a project outside this tree meets it: `cmake --install` into a
scratch prefix, then tests/outside (a DLL built with the mingw-w64 cross
compiler, packed by vornak_add_launcher with a folder, a single file and a
plugin DLL of the same project put in a subfolder through its target file)
configured against that prefix and built. The launcher runs under Wine, and
later builds link it again exactly when one of its inputs changed: the DLL's
source, a packed file edited, added or removed; not for a build without
changes, nor for a CMakeLists.txt that was only touched.

The Ninja build tracks inputs through the build step's depfile; the Makefile
build, through a folder listing CMake re-checks. The Makefile build also wraps
the project in another one, as a subdirectory, to add a signed launcher with
icons of its own from a relative OUTPUT.
"""

import shutil
import subprocess
import unittest

import pefile

import harness

OUTSIDE = harness.SOURCE_DIR / "tests" / "outside"
ICONS = [harness.SOURCE_DIR / "image" / "icons" / name for name in ("icon-16x13.png", "icon-32x26.png")]
LINKING = "Linking launcher Greeter.exe"


def run(cmd, cwd=None):
    """Runs cmd and returns its output (stdout and stderr together); fails the test on an error."""
    r = subprocess.run([str(c) for c in cmd], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(map(str, cmd)), r.returncode, r.stdout))
    return r.stdout


def vornak_inspect(prefix, exe):
    return run([prefix / "bin" / "vornak", "inspect", exe])


def vornak_extract(prefix, exe, folder):
    """The files exe carries, extracted to folder (which must not exist): {relative path: bytes}."""
    run([prefix / "bin" / "vornak", "extract", exe, "-o", folder, "--quiet"])
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def configure(source, build_dir, prefix, generator, toolchain=None):
    """Configures source into build_dir; returns (exit code, output)."""
    cmd = ["cmake", "-S", source, "-B", build_dir, "-G", generator, "-DCMAKE_PREFIX_PATH=%s" % prefix]
    if toolchain:
        cmd.append("-DCMAKE_TOOLCHAIN_FILE=%s" % toolchain)
    r = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return r.returncode, r.stdout


class OutsideProject(harness.LauncherTestCase):
    GENERATOR = "Ninja"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.prefix = cls.class_dir / "prefix"
        run(["cmake", "--install", harness.BUILD_DIR, "--prefix", cls.prefix])
        # A copy, since the tests edit the project's files.
        cls.project = cls.class_dir / "greeter"
        shutil.copytree(OUTSIDE, cls.project)
        cls.build_dir = cls.class_dir / "build"
        run(["cmake", "-S", cls.top_source(), "-B", cls.build_dir, "-G", cls.GENERATOR,
             "-DCMAKE_TOOLCHAIN_FILE=%s" % (cls.project / "mingw-w64.cmake"),
             "-DCMAKE_PREFIX_PATH=%s" % cls.prefix])
        cls.exe = cls.build_dir / cls.greeter_binary_dir() / "Greeter.exe"
        cls.first_build = run(["cmake", "--build", cls.build_dir])

    @classmethod
    def top_source(cls):
        return cls.project

    @classmethod
    def greeter_binary_dir(cls):
        return "."

    def build(self):
        """Builds; returns (output, whether the launcher was linked again)."""
        before = self.exe.stat().st_mtime_ns
        out = run(["cmake", "--build", self.build_dir])
        linked = self.exe.stat().st_mtime_ns != before
        self.assertEqual(LINKING in out, linked, out)
        return out, linked

    def assertNoWork(self, what):
        out, linked = self.build()
        self.assertFalse(linked, "%s: linked again\n%s" % (what, out))
        if self.GENERATOR == "Ninja":
            self.assertIn("ninja: no work to do.", out, what)

    def test_package_comes_from_the_scratch_prefix(self):
        cache = (self.build_dir / "CMakeCache.txt").read_text()
        self.assertIn("vornak_DIR:PATH=%s/lib/cmake/vornak\n" % self.prefix, cache)
        self.assertIn(LINKING, self.first_build)

    def test_builds_again_exactly_when_an_input_changes(self):
        assets = self.project / "assets"
        greeting = assets / "data" / "greeting.txt"
        original_greeting = greeting.read_bytes()
        original_source = (self.project / "greeter.c").read_bytes()
        extra = assets / "data" / "extra.txt"

        def edit_greeting():
            greeting.write_bytes(b"edited greeting\n")

        def restore_greeting():
            greeting.write_bytes(original_greeting)

        def edit_source():
            with open(self.project / "greeter.c", "ab") as f:
                f.write(b"\nint greeter_unused;\n")

        def restore_source():
            (self.project / "greeter.c").write_bytes(original_source)

        changes = [
            # (what, change, links again, expected in the payload listing, absent from it)
            ("no change", lambda: None, False, ["greeting.txt", "notes.txt", "plugins\\plugin.dll"], []),
            ("CMakeLists.txt touched", lambda: (self.project / "CMakeLists.txt").touch(), False, [], []),
            ("packed file edited", edit_greeting, True, [], []),
            ("packed file restored", restore_greeting, True, [], []),
            ("file added to APP_DIR", lambda: extra.write_bytes(b"extra\n"), True, ["extra.txt"], []),
            ("file removed from APP_DIR", extra.unlink, True, [], ["extra.txt"]),
            ("file of FILES touched", lambda: (self.project / "notes.txt").touch(), True, [], []),
            ("DLL source edited", edit_source, True, [], []),
            ("DLL source restored", restore_source, True, [], []),
        ]
        for what, change, links, present, absent in changes:
            with self.subTest(what):
                change()
                out, linked = self.build()
                self.assertEqual(linked, links, "%s\n%s" % (what, out))
                self.assertNoWork("after: " + what)
                listing = vornak_inspect(self.prefix, self.exe)
                for name in present:
                    self.assertIn(name, listing, what)
                for name in absent:
                    self.assertNotIn(name, listing, what)


class OutsideProjectNinja(OutsideProject):
    def test_launcher_runs_the_packed_application(self):
        r = self.run_launcher(self.exe, ["one", "two words"], report=False)
        self.assertExitCode(r, 43)
        self.assertEqual(r.stdout, "arg 1: one\narg 2: two words\n"
                                   "data\\greeting.txt: hello from the assets folder\n"
                                   "notes.txt: notes packed from FILES\n"
                                   "plugin: plugin loaded from plugins\n")
        self.assertEqual(r.temp_listing, [], "extraction directory removed")
        report = vornak_inspect(self.prefix, self.exe)
        self.assertIn("ProductName: Greeter Demo", report)
        self.assertIn("FileVersion: 1.2.3.4", report)

    def test_parallel_builds_from_clean_always_pack_the_plugin(self):
        # Nothing but the launcher's dependency on the plugin target orders
        # the two; -j lets Ninja start the launcher as early as it may.
        plugin = (self.build_dir / "plugin.dll")
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                run(["cmake", "--build", self.build_dir, "--target", "clean"])
                self.assertFalse(self.exe.exists())
                run(["cmake", "--build", self.build_dir, "-j", "8"])
                files = vornak_extract(self.prefix, self.exe, self.ws.path / ("x%d" % attempt))
                self.assertEqual(files.get("plugins/plugin.dll"), plugin.read_bytes())

    def test_multi_config_generator_gives_one_launcher_per_configuration(self):
        build_dir = self.ws.path / "multi"
        code, out = configure(self.project, build_dir, self.prefix, "Ninja Multi-Config",
                              self.project / "mingw-w64.cmake")
        self.assertEqual(code, 0, out)
        for config in ("Debug", "Release"):
            run(["cmake", "--build", build_dir, "--config", config])
        for config in ("Debug", "Release"):
            with self.subTest(config):
                files = vornak_extract(self.prefix, build_dir / config / "Greeter.exe", self.ws.path / config)
                self.assertEqual(files["greeter.dll"], (build_dir / config / "greeter.dll").read_bytes())
                self.assertEqual(files["plugins/plugin.dll"], (build_dir / config / "plugin.dll").read_bytes())

    def test_compiler_not_for_windows_x64_is_refused_at_configure_time(self):
        # The host's own compiler (the DLL would be a Linux shared object) and
        # mingw-w64 for 32-bit Windows (a DLL the x64 launcher cannot load).
        i686 = self.ws.path / "mingw-w32.cmake"
        i686.write_text((self.project / "mingw-w64.cmake").read_text().replace("x86_64", "i686"))
        for label, toolchain, target in [("host compiler", None, "Linux x86_64 (64-bit)"),
                                         ("32-bit mingw", i686, "Windows i686 (32-bit)")]:
            with self.subTest(label):
                code, out = configure(self.project, self.ws.path / label.replace(" ", "-"), self.prefix,
                                      "Ninja", toolchain)
                self.assertNotEqual(code, 0, out)
                self.assertIn("vornak_add_launcher(greeter_launcher): DLL target greeter is built for %s, "
                              "but a launcher carries a Windows x64 DLL" % target, " ".join(out.split()))


class OutsideProjectMakefiles(OutsideProject):
    GENERATOR = "Unix Makefiles"
    PASSWORD = "throwaway pass"

    @classmethod
    def top_source(cls):
        wrapper = cls.class_dir / "wrapper"
        wrapper.mkdir()
        key, cert = cls.class_dir / "key.pem", cls.class_dir / "cert.pem"
        cls.pfx, cls.password_file = cls.class_dir / "signer.pfx", cls.class_dir / "password.txt"
        cls.password_file.write_text(cls.PASSWORD + "\n")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", key, "-out", cert, "-days", "2",
             "-nodes", "-subj", "/CN=Throwaway Test Signer"])
        run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", cls.pfx,
             "-passout", "pass:" + cls.PASSWORD])
        (wrapper / "CMakeLists.txt").write_text(
            "cmake_minimum_required(VERSION 3.20)\n"
            "project(wrapper C)\n"
            "find_package(vornak 1.0 REQUIRED)\n"
            "add_subdirectory(\"%s\" greeter)\n"
            "vornak_add_launcher(signed DLL greeter OUTPUT signed/Signed.exe CONSOLE VERSION 4.1\n"
            "    FILE_VERSION 4.1.7 COMPANY \"Acme; Sons\" DESCRIPTION \"Greets\" COPYRIGHT \"(c) Acme\"\n"
            "    COMMENTS \"Built by CMake\" SPLASH \"%s\" ERROR_DIALOG CACHE_DIR \"{CACHE_DIR}\\\\Acme\\\\Signed\"\n"
            "    ICONS \"%s\" \"%s\" SIGN \"%s\" PASSWORD_FILE \"%s\" THREADS 2 QUIET)\n"
            % (cls.project, ICONS[1], ICONS[0], ICONS[1], cls.pfx, cls.password_file))
        return wrapper

    @classmethod
    def greeter_binary_dir(cls):
        return "greeter"

    def test_only_the_quiet_launcher_is_silent(self):
        wrote = [l for l in self.first_build.splitlines() if l.startswith("vornak: wrote ")]
        self.assertEqual(len(wrote), 1, self.first_build)
        self.assertIn("Greeter.exe (", wrote[0])

    def test_signed_launcher_with_its_own_icons(self):
        exe = self.build_dir / "signed" / "Signed.exe"
        pe = pefile.PE(str(exe))
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        self.assertGreater(security.Size, 0, "signed")
        icons = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == pefile.RESOURCE_TYPE["RT_ICON"]]
        self.assertEqual(len(icons[0].directory.entries), 2)
        listing = vornak_inspect(self.prefix, exe)
        self.assertIn("greeter.dll", listing)
        self.assertIn("subsystem: 3 (console), version 6.0", listing)
        for line in ("CompanyName: Acme; Sons", "ProductName: Signed", "FileDescription: Greets",
                     "ProductVersion: 4.1.0.0", "FileVersion: 4.1.7.0", "LegalCopyright: (c) Acme",
                     "Comments: Built by CMake", "OriginalFilename: Signed.exe"):
            self.assertIn("\n    %s\n" % line, listing)
        self.assertNotIn("notes.txt", listing)
        self.assertIn("\n  splash: 32 x 26 pixels,", listing)
        self.assertIn("\n  error dialog: yes\n", listing)
        self.assertRegex(listing, r'\n  extraction: cached in "\{CACHE_DIR\}\\Acme\\Signed\\[0-9a-f]{16}", key ')


del OutsideProject  # a base: run through its two generators only

if __name__ == "__main__":
    unittest.main()
