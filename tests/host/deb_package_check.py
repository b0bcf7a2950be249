# SPDX-License-Identifier: MIT
"""The Debian package that `cpack -G DEB` makes from the build tree: its name
and control fields, that it holds exactly the tool, the launcher kit as built,
the CMake package and the documents under /usr, that apt accepts it, and that
the tool unpacked from it runs and links a launcher with the kit beside it.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

BUILD_DIR = Path(os.environ["VORNAK_BUILD_DIR"])
VERSION = os.environ["VORNAK_VERSION"]
KIT_DIR = BUILD_DIR / "lib" / "vornak"
EXAMPLE_APP = BUILD_DIR / "examples" / "hello"

CMAKE_PACKAGE_FILES = {"vornakConfig.cmake", "vornakConfigVersion.cmake", "vornakTargets.cmake",
                       "VornakLauncher.cmake", "vornak_build_step.cmake"}


def run(cmd, **kw):
    r = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(map(str, cmd)), r.returncode, r.stdout))
    return r.stdout


class DebPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="vornak-deb-"))
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        run(["cpack", "-G", "DEB", "-B", cls.work, "--config", BUILD_DIR / "CPackConfig.cmake"])
        cls.deb = cls.work / ("vornak_%s_amd64.deb" % VERSION)
        fields = run(["dpkg-deb", "-f", cls.deb])
        cls.control = dict(re.findall(r"^(\S+): (.*)$", fields, re.M))
        cls.contents = {}
        for line in run(["dpkg-deb", "-c", cls.deb]).splitlines():
            mode, _, _, _, _, path = line.split(None, 5)
            cls.contents[path.lstrip(".")] = mode

    def test_control_fields(self):
        c = self.control
        self.assertEqual((c["Package"], c["Version"], c["Architecture"]), ("vornak", VERSION, "amd64"))
        depends = [d.strip().split(" ")[0] for d in c.get("Depends", "").split(",")]
        self.assertIn("lld", depends, "the linker that `vornak build` runs")
        self.assertIn("libzstd1", depends, "from dpkg-shlibdeps")
        self.assertIn("libpng16-16", depends, "the icon reader, from dpkg-shlibdeps")
        self.assertIn("libc6", depends)
        self.assertEqual(c["Recommends"], "mingw-w64 | clang", "what builds an application DLL")
        self.assertEqual(c["Suggests"], "osslsigncode")
        self.assertRegex(c["Maintainer"], r".+ <.+@.+>")
        self.assertTrue(c["Description"])

    def test_contents(self):
        files = {p for p, mode in self.contents.items() if not mode.startswith("d")}
        kit = {"/usr/lib/vornak/" + f.name for f in KIT_DIR.iterdir()}
        self.assertTrue(kit)
        cmake = {p for p in files if p.startswith("/usr/lib/cmake/vornak/")}
        config_targets = {p for p in cmake if re.fullmatch(r"/usr/lib/cmake/vornak/vornakTargets-\w+\.cmake", p)}
        self.assertEqual(len(config_targets), 1, cmake)
        self.assertEqual(cmake - config_targets, {"/usr/lib/cmake/vornak/" + f for f in CMAKE_PACKAGE_FILES})
        docs = {"/usr/share/doc/vornak/" + f for f in ("README.md", "application-guide.md", "copyright",
                                                       "changelog.gz")}
        docs.add("/usr/share/lintian/overrides/vornak")
        docs.add("/usr/share/man/man1/vornak.1.gz")
        self.assertEqual(files, {"/usr/bin/vornak"} | kit | cmake | docs)
        self.assertEqual(self.contents["/usr/bin/vornak"], "-rwxr-xr-x")

    def unpacked(self):
        root = self.work / "root"
        if not root.exists():
            run(["dpkg-deb", "-x", self.deb, root])
        return root

    def test_documents_speak_of_the_installed_tool(self):
        doc = self.unpacked() / "usr" / "share" / "doc" / "vornak"
        readme = (doc / "README.md").read_text()
        self.assertNotIn("build/bin/", readme)
        self.assertIn("    vornak inspect MyApp.exe\n", readme)
        copyright = (doc / "copyright").read_text()
        self.assertTrue(copyright.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"))
        self.assertIn("License: MIT\n Permission is hereby granted", copyright)

    def test_man_page_lists_every_option_of_every_command(self):
        root = self.unpacked()
        page = subprocess.run(["gzip", "-dc", root / "usr/share/man/man1/vornak.1.gz"], capture_output=True,
                              check=True).stdout.decode()
        vornak = root / "usr" / "bin" / "vornak"
        for command in ("pack", "build", "inspect", "extract"):
            self.assertIn(".SH %s\n" % command.upper(), page)
            for option in set(re.findall(r"^  (?:-\w,)?(--[\w-]+)", run([vornak, command, "--help"]), re.M)):
                self.assertRegex(page, r"(?m)^\.B (\\-\w,)?" + re.escape(option.replace("-", "\\-")) + r"\b",
                                 "%s %s" % (command, option))

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_finds_no_errors(self):
        r = subprocess.run(["lintian", "--tag-display-limit", "0", self.deb], capture_output=True, text=True)
        errors = [l for l in r.stdout.splitlines() if l.startswith("E:")]
        self.assertEqual(errors, [], r.stdout)

    def test_apt_accepts_it(self):
        out = run(["apt-get", "install", "-s", "--no-install-recommends", self.deb])
        self.assertIn("Inst vornak (%s" % VERSION, out)

    def test_unpacked_tool_runs_and_finds_its_kit(self):
        vornak = self.unpacked() / "usr" / "bin" / "vornak"
        self.assertEqual(run([vornak, "--version"]), "vornak %s\n" % VERSION)
        self.assertNotIn("not stripped", run(["file", vornak]))
        out = self.work / "hello.exe"
        run([vornak, "build", EXAMPLE_APP, "--dll", "hello.dll", "-o", out, "--level", "1", "--quiet"])
        run([vornak, "inspect", out])  # exits non-zero when a check of the image fails


if __name__ == "__main__":
    unittest.main()
