# SPDX-License-Identifier: MIT
"""What the application receives from the user through the parent and the
child: its arguments exactly as the parent's runtime split them, the launcher
module path as argv[0], the two hand-off variables, the current directory and
the standard handles. The reference for "as the parent's runtime split them"
is a nested run: the probe starts the launcher's own executable again (child
role, so nothing is re-quoted in between) with the same raw text, and that
instance's runtime reports its split."""

import ntpath
import shutil

import harness
from harness import payload_from_entries, to_windows_path

# Every kind of text that quoting can get wrong.
ARGUMENT_TABLE = [
    "plain",
    "two words",
    "  leading and trailing  ",
    "tab\there",
    "\t",
    'say "hi"',
    '"',
    '""',
    'ends with quote"',
    "back\\slash",
    "trailing\\",
    "trailing space \\",
    "two trailing \\\\",
    "three trailing \\\\\\",
    'a\\"b',
    'a\\\\"b c',
    'a\\\\\\"b',
    '\\\\"',
    "\\\\server\\share dir\\",
    "C:\\Program Files\\x",
    "*",
    "*.txt",
    "a?b",
    "?",
    "\u00e9t\u00e9 \u65e5\u672c \U0001F600",
    "\u0416\u0438\u0437\u043d\u044c",
    "",
    '--flag="x y"',
    "probe-like:exit=9",
    "",
]

# Raw command-line tails whose split depends on the parser's finer rules:
# quote runs inside and outside quoted parts, a quote left open.
RAW_TAILS = [
    'a"b c"d',
    '"a""b" c',
    '"a""b c" d',
    'a""b c',
    '"a"""b"',
    '"abc',
    '"a b"""',
    '\\\\"  x',
]


class ArgumentFidelity(harness.ProbeTestCase):
    def test_table_reaches_the_application_as_the_parent_split_it(self):
        tail = " ".join(harness.quote_argument(a) for a in ARGUMENT_TABLE)
        r = self.run_launcher(self.exe, ["probe:nested=" + tail, "probe:exit=7"] + ARGUMENT_TABLE)
        self.assertExitCode(r, 7)
        # The runtime of the same image splits our line into exactly the table...
        self.assertEqual(r.report.nested.argv[1:], ARGUMENT_TABLE)
        # ...and that is what the application behind parent and child received,
        # empty arguments included, in their places.
        self.assertEqual(r.report.argv[3:], ARGUMENT_TABLE)
        self.assertEqual(int(r.report["argc"]), 3 + len(ARGUMENT_TABLE))

    def test_empty_arguments_are_kept(self):
        for args in ([""], ["", "x"], ["x", ""], ["", "", ""], ["a", "", "b"]):
            with self.subTest(args=args):
                r = self.run_launcher(self.exe, args)
                self.assertExitCode(r, 0)
                self.assertEqual(r.report.argv[1:], args)

    def test_raw_command_lines_reach_the_application_as_the_parent_split_them(self):
        for tail in RAW_TAILS:
            with self.subTest(tail=tail):
                line = "%s probe:nested=%s %s" % (
                    harness.quote_program(to_windows_path(self.exe)), harness.quote_argument(tail), tail)
                r = self.run_launcher(self.exe, cmdline=line)
                self.assertExitCode(r, 0)
                parent_split = r.report.nested.argv[1:]
                self.assertEqual(r.report.argv[2:], parent_split)

    def test_text_glued_to_a_quoted_program_name_is_not_an_argument(self):
        # The runtime reads "<exe>"glued as one program name; the application
        # must not find "glued" among its arguments.
        exe_win = to_windows_path(self.exe)
        line = '"%s"glued probe:nested=probe:exit=3 x' % exe_win
        r = self.run_launcher(self.exe, cmdline=line, app_name=exe_win)
        self.assertExitCode(r, 0)
        self.assertEqual(r.report.argv[1:], ["probe:nested=probe:exit=3", "x"])
        self.assertEqual(r.report.env("VORNAK_ORIGINAL_ARGV0"), exe_win + "glued")

    def test_argv0_is_the_module_path_and_the_typed_name_is_handed_on(self):
        # Typed relative to the current directory, in another case.
        typed = "..\\BIN\\Launcher.EXE"
        exe = self.ws.sub("bin") / "launcher.exe"
        shutil.copy(self.exe, exe)
        r = self.run_launcher(exe, ["x"], program=typed)
        self.assertExitCode(r, 0)
        rep = r.report
        self.assertEqual(rep.env("VORNAK_ORIGINAL_ARGV0"), typed)
        argv0 = rep.argv[0]
        # An absolute path naming the launcher itself, whatever was typed.
        self.assertTrue(ntpath.isabs(argv0), argv0)
        self.assertEqual(ntpath.normcase(ntpath.normpath(argv0)), ntpath.normcase(to_windows_path(exe)))
        # The folder of that same module path, without a trailing backslash.
        folder = rep.env("VORNAK_ONEFILE_DIRECTORY")
        self.assertEqual(folder, argv0.rsplit("\\", 1)[0])
        self.assertFalse(folder.endswith("\\"), folder)
        self.assertEqual(ntpath.normcase(folder), ntpath.normcase(to_windows_path(self.ws.path / "bin")))
        self.assertEqual(rep.argv[1:], ["x"])

    def test_handoff_directory_is_the_launchers_folder_not_the_extraction_directory(self):
        r = self.run_launcher(self.exe, [])
        self.assertExitCode(r, 0)
        folder = r.report.env("VORNAK_ONEFILE_DIRECTORY")
        self.assertEqual(folder, to_windows_path(self.exe.parent))
        self.assertNotEqual(folder, r.report.extraction_dir)
        self.assertEqual(r.report.env("VORNAK_ORIGINAL_ARGV0"), to_windows_path(self.exe))

    def test_child_starts_in_the_parents_current_directory(self):
        cwd = self.ws.sub("work dir \u00fc")
        r = self.run_launcher(self.exe, [], cwd=cwd)
        self.assertExitCode(r, 0)
        self.assertEqual(r.report.cwd, to_windows_path(cwd))

    def test_standard_handles_reach_the_application(self):
        data = b"line one\nzwei \xc3\xbc\n\x00\xff"
        r = self.run_launcher(self.exe, ["probe:stdin", "probe:out=to stdout \u00e9", "probe:err=to stderr"],
                              stdin=data)
        self.assertExitCode(r, 0)
        self.assertEqual(bytes.fromhex(r.report["stdin_data"]), data)
        self.assertEqual(r.stdout, "to stdout \u00e9\n")
        self.assertEqual(r.stderr, "to stderr\n")
        for stream in ("stdin", "stdout", "stderr"):
            self.assertEqual(r.report[stream], "pipe", stream)

    def test_start_without_standard_handles(self):
        # The application runs and its code comes back; it has no handles either.
        r = self.run_launcher(self.exe, ["probe:exit=5"], no_std_handles=True)
        self.assertExitCode(r, 5)
        for stream in ("stdin", "stdout", "stderr"):
            self.assertIn(r.report[stream], ("null", "invalid"), stream)
        # A launcher that fails writes its message to nowhere and still ends with 2:
        # in the parent (no application DLL at all) and in the child (no run_code).
        for name, entries in (("empty", []), ("noentry", [("app.dll", harness.read_win_file("noentry.dll"))])):
            with self.subTest(payload=name):
                exe = self.build("%s.exe" % name, payload=payload_from_entries(entries))
                r = self.run_launcher(exe, [], no_std_handles=True, report=False)
                self.assertExitCode(r, 2)
                self.assertEqual(r.temp_listing, [])


class ArgumentFidelityConsole(ArgumentFidelity):
    """The same, through a console launcher: it hands on arguments, the
    current directory and the standard handles exactly as the windowed one."""

    BUILD_OPTIONS = ("--console",)
