# SPDX-License-Identifier: MIT
"""Which role an instance takes, seen from the application: the extraction
directory it runs from, the hand-off variables, what TEMP holds while it runs
(probe:list-temp), and what an instance started again from inside the
application (probe:nested) sees. Also the child's in-process entry: a DLL
without run_code, a first entry that is no DLL, a dependency beside the DLL,
and a payload with no entry at all."""

import os
import re
import shutil
import unittest

import harness
from harness import LauncherTestCase, payload_from_entries, to_windows_path

PROBE_EXIT = 0x5AFE


class Roles(harness.ProbeTestCase):
    def assertRanFromParentsDirectory(self, rep):
        """The application runs from TEMP\\onefile_<its parent's pid>_..., the
        only extraction directory in TEMP, named from the variables it inherited."""
        parent = rep.env("VORNAK_ONEFILE_PARENT")
        self.assertEqual(parent, rep["ppid"])
        name = "onefile_%s_%s_%s" % (parent, rep.env("VORNAK_ONEFILE_TIME_US"), rep.env("VORNAK_ONEFILE_RANDOM"))
        self.assertRegex(name, harness.EXTRACTION_NAME)
        self.assertEqual(rep.dll_path, "%s\\%s\\probe.dll" % (to_windows_path(self.ws.temp), name))
        self.assertEqual(rep.temp_entries, [name])

    def test_parent_and_child_use_one_extraction_directory(self):
        # Values inherited from elsewhere are not reused: the parent starts afresh.
        stale = {"VORNAK_ONEFILE_START": "133000000000000000", "VORNAK_ONEFILE_TIME_US": "123456",
                 "VORNAK_ONEFILE_RANDOM": "AAAAAAAAAAA"}
        r = self.run_launcher(self.exe, ["probe:list-temp", "probe:exit=%d" % PROBE_EXIT], env=stale)
        self.assertExitCode(r, PROBE_EXIT)
        self.assertRanFromParentsDirectory(r.report)
        self.assertIsNone(r.report.env("VORNAK_ONEFILE_START"))
        self.assertNotEqual(r.report.env("VORNAK_ONEFILE_RANDOM"), stale["VORNAK_ONEFILE_RANDOM"])
        self.assertEqual(r.temp_listing, [])

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_traced_parent_is_still_recognised(self):
        # Under a tracer the parent's memory cannot be read from the child
        # (K32GetModuleFileNameExW fails); the child must still find its
        # parent, or every generation would start another parent. winrun's
        # time limit ends such a chain if it ever comes back.
        r = self.run_launcher(self.exe, ["probe:list-temp", "probe:exit=%d" % PROBE_EXIT], timeout_s=60,
                              wrapper=["strace", "-f", "-qq", "-e", "trace=none", "-o", "/dev/null"])
        self.assertFalse(r.timed_out, r)
        self.assertExitCode(r, PROBE_EXIT)
        self.assertRanFromParentsDirectory(r.report)
        self.assertEqual(r.temp_listing, [])

    def test_parent_variable_that_names_no_parent_of_ours(self):
        # A process that has ended: the child of an earlier run.
        first = self.run_launcher(self.exe, [])
        self.assertExitCode(first, 0)
        ended = first.report["pid"]
        cases = [
            ("ended process", {"VORNAK_ONEFILE_PARENT": ended}, []),
            ("not a number", {"VORNAK_ONEFILE_PARENT": "parent"}, []),
            # winrun runs another executable and is alive for the whole run.
            ("live process of another executable", {"VORNAK_PROBE_ENV": "VORNAK_PROBE_WINRUN_PID"},
             ["--set-own-pid", "VORNAK_ONEFILE_PARENT", "--set-own-pid", "VORNAK_PROBE_WINRUN_PID"]),
        ]
        for what, env, options in cases:
            with self.subTest(what):
                r = self.run_launcher(self.exe, ["probe:list-temp", "probe:exit=%d" % PROBE_EXIT], env=env,
                                      winrun_options=options)
                self.assertExitCode(r, PROBE_EXIT)
                self.assertRanFromParentsDirectory(r.report)
                self.assertNotEqual(r.report.env("VORNAK_ONEFILE_PARENT"), env.get("VORNAK_ONEFILE_PARENT"))
                winrun_pid = r.report.env("VORNAK_PROBE_WINRUN_PID") if options else None
                if winrun_pid is not None:
                    self.assertNotEqual(r.report.env("VORNAK_ONEFILE_PARENT"), winrun_pid)
                self.assertEqual(r.temp_listing, [])

    def test_application_starting_the_launcher_again_gets_the_child_role(self):
        r = self.run_launcher(self.exe, ["probe:nested=probe:list-temp probe:exit=6", "probe:exit=1"])
        self.assertExitCode(r, 1)
        top, nested = r.report, r.report.nested
        self.assertEqual(nested["exit"], "0x00000006")
        # Same directory, nothing new unpacked, the environment as inherited.
        self.assertEqual(nested.dll_path, top.dll_path)
        self.assertEqual(nested.temp_entries, [top.dll_path.split("\\")[-2]])
        self.assertEqual(nested["ppid"], top["pid"])
        for name in harness.HANDOFF_VARIABLES:
            self.assertEqual(nested.env(name), top.env(name), name)
        self.assertEqual(nested.argv, [top.exe_path, "probe:list-temp", "probe:exit=6"])
        self.assertEqual(r.temp_listing, [])

    def test_parent_variable_of_a_live_launcher_must_be_a_whole_number(self):
        # The nested instance inherits the pid of our live parent, rewritten.
        # Only the digits a parent writes count: a value that merely parses as a
        # number (white space, a sign, a leading zero) would make the child
        # abort or look for another directory when it expands {PID}, so it
        # takes the parent role and runs like any start.
        for value, child in (("{}", True), ("{} ", False), ("{}x", False), ("{}\t", False),
                             (" {}", False), ("+{}", False), ("0{}", False), ("0x{}", False)):
            with self.subTest(value=value):
                r = self.run_launcher(self.exe, ["probe:setenv=VORNAK_ONEFILE_PARENT=" + value,
                                                 "probe:nested=probe:list-temp probe:exit=6"])
                self.assertExitCode(r, 0)
                top, nested = r.report, r.report.nested
                self.assertEqual(nested["exit"], "0x00000006")
                own_dir = top.dll_path.split("\\")[-2]
                if child:
                    self.assertEqual(nested.dll_path, top.dll_path)
                    self.assertEqual(nested.temp_entries, [own_dir])
                else:
                    # A parent of its own: its own directory beside ours.
                    self.assertNotEqual(nested.dll_path, top.dll_path)
                    self.assertEqual(nested.env("VORNAK_ONEFILE_PARENT"), nested["ppid"])
                    self.assertNotEqual(nested["ppid"], top["pid"])
                    self.assertEqual(len(nested.temp_entries), 2, nested.temp_entries)
                    self.assertIn(own_dir, nested.temp_entries)
                self.assertEqual(r.temp_listing, [])

    def test_one_image_under_other_spellings(self):
        # Long directory name with spaces, a link to it, and the 8.3 name of it.
        folder = self.ws.sub("Long Directory Name")
        exe = folder / "launcher.exe"
        shutil.copy(self.exe, exe)
        os.symlink(folder, self.ws.path / "linked")
        probe_run = self.run_launcher(exe, [])
        short_exe = probe_run.report.exe_short_path
        long_exe = to_windows_path(exe)
        self.assertNotIn(" ", short_exe.rsplit("\\", 1)[0])
        self.assertTrue(short_exe.endswith("\\launcher.exe"), short_exe)

        # Started by the user through the short name: the child still knows its parent.
        r = self.run_launcher(exe, ["probe:list-temp", "probe:exit=%d" % PROBE_EXIT], program=short_exe)
        self.assertExitCode(r, PROBE_EXIT)
        self.assertRanFromParentsDirectory(r.report)
        self.assertEqual(r.report.env("VORNAK_ORIGINAL_ARGV0"), short_exe)

        # The application starts the same file under other names: each is a child.
        for other in (short_exe, long_exe.replace("Long Directory Name", "LONG DIRECTORY NAME"),
                      long_exe.replace("launcher.exe", "LAUNCHER.EXE"),
                      to_windows_path(self.ws.path / "linked" / "launcher.exe")):
            with self.subTest(other=other):
                r = self.run_launcher(exe, ["probe:nested-exe=" + other, "probe:nested=probe:list-temp"])
                self.assertExitCode(r, 0)
                top, nested = r.report, r.report.nested
                self.assertEqual(nested["exit"], "0x00000000")
                self.assertEqual(nested.dll_path, top.dll_path)
                self.assertEqual(nested.temp_entries, [top.dll_path.split("\\")[-2]])
                self.assertEqual(r.temp_listing, [])

    def test_deeply_nested_install_directory(self):
        # Wine starts no program from a path beyond MAX_PATH, so the user
        # reaches the folder, more than 2048 units deep, through a link. Wine's
        # GetFinalPathNameByHandleW also fails beyond MAX_PATH (ERROR_MORE_DATA,
        # buffer untouched): both sides then compare the link spelling with its
        # directory part shortened. What this shows under Wine is that such an
        # install runs with one extraction directory and a nested start is a
        # child; a canonical form longer than 2048 units cannot be produced here.
        deep = self.ws.path / "deep"
        while len(to_windows_path(deep)) < 3000:
            deep = deep / ("level_%02d_%s" % (len(deep.parts), "x" * 40))
        deep.mkdir(parents=True)
        shutil.copy(self.exe, deep / "launcher.exe")
        os.symlink(deep, self.ws.path / "inst")
        exe = self.ws.path / "inst" / "launcher.exe"
        r = self.run_launcher(exe, ["probe:list-temp", "probe:nested=probe:list-temp probe:exit=6",
                                    "probe:exit=%d" % PROBE_EXIT], timeout_s=30)
        self.assertFalse(r.timed_out, r)
        self.assertExitCode(r, PROBE_EXIT)
        self.assertRanFromParentsDirectory(r.report)
        self.assertEqual(r.report.nested["exit"], "0x00000006")
        self.assertEqual(r.report.nested.dll_path, r.report.dll_path)
        self.assertEqual(r.report.nested.temp_entries, r.report.temp_entries)
        self.assertEqual(r.temp_listing, [])


class ApplicationEntry(LauncherTestCase):
    def test_dll_without_run_code(self):
        exe = self.build(payload=payload_from_entries([("app.dll", harness.read_win_file("noentry.dll"))]))
        r = self.run_launcher(exe, [], report=False)
        self.assertExitCode(r, 2)
        self.assertEqual(r.stdout, harness.MSG_NO_ENTRY_POINT + "\n")
        self.assertEqual(r.stderr, "")
        self.assertEqual(r.temp_listing, [])

    def test_first_entry_that_is_not_a_dll(self):
        exe = self.build(payload=payload_from_entries([("app.dll", b"just some text\r\n"),
                                                       ("probe.dll", harness.probe_dll_bytes())]))
        r = self.run_launcher(exe, [], report=False)
        self.assertExitCode(r, 2)
        self.assertEqual(r.stdout, "")
        # The OS error of a file that is no executable image, with its text.
        m = re.fullmatch(r"Error, load DLL\. \(\[Error (\d+)\] (.*)\)\n", r.stderr)
        self.assertIsNotNone(m, r.stderr)
        self.assertEqual(int(m.group(1)), 193)  # ERROR_BAD_EXE_FORMAT
        self.assertTrue(m.group(2).strip(), r.stderr)
        self.assertEqual(r.temp_listing, [])

    def test_dependency_beside_the_dll(self):
        depmain, deplib = harness.read_win_file("depmain.dll"), harness.read_win_file("deplib.dll")
        exe = self.build(payload=payload_from_entries([("depmain.dll", depmain), ("deplib.dll", deplib)]))
        r = self.run_launcher(exe, [], report=False)
        self.assertExitCode(r, 0x1DE9)
        self.assertEqual(r.stdout, "depmain: deplib_answer=0x1DE9\n")
        self.assertEqual(r.temp_listing, [])

    def test_dependency_is_not_taken_from_the_current_directory(self):
        depmain, deplib = harness.read_win_file("depmain.dll"), harness.read_win_file("deplib.dll")
        exe = self.build(payload=payload_from_entries([("depmain.dll", depmain), ("lib\\deplib.dll", deplib)]))
        (self.ws.run_dir / "deplib.dll").write_bytes(deplib)
        r = self.run_launcher(exe, [], report=False)
        self.assertExitCode(r, 2)
        self.assertEqual(r.stdout, "")
        m = re.fullmatch(r"Error, load DLL\. \(\[Error (\d+)\] (.*)\)\n", r.stderr)
        self.assertIsNotNone(m, r.stderr)
        self.assertEqual(int(m.group(1)), 126)  # ERROR_MOD_NOT_FOUND

    def test_payload_without_entries(self):
        exe = self.build(payload=payload_from_entries([]))
        r = self.run_launcher(exe, [], report=False)
        self.assertExitCode(r, 2)
        # One line: the parent stopped before starting a child that would print it again.
        self.assertEqual(r.stdout, "Error, attached data holds no application DLL.\n")
        self.assertEqual(r.stderr, "")
        self.assertEqual(r.temp_listing, [])
