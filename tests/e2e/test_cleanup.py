# SPDX-License-Identifier: MIT
"""Nothing left behind: the parent removes the extraction directory after the
child, whatever the child's ending, gives up on a directory that stays in use
without hanging, and on a real console interrupt (CTRL_C_EVENT delivered by
winrun to every process of its console, parent and child alike) stops the
child after the grace period and removes the directory before it ends.

Control types Wine cannot deliver (break, close, logoff, shutdown and the
ignored 3, 4, 7), an event before unpacking, and the exact count of delete
attempts are driven in-process by tests/win/unit_cleanup.cpp.

Links are made from the Linux side while the application waits: Wine 8
creates none itself. It shows a link to a directory as a reparse point and a
link to a file as a plain file, and a handle opened on either (even with
FILE_FLAG_OPEN_REPARSE_POINT) refers to the target, so deleting through it
would delete the target."""

import os
import threading
import time

import harness
from harness import to_windows_path

GRACE_S = 5.0            # the parent's wait for an interrupted child
DELETE_RETRIES_S = 2.0   # 20 pauses of 100 ms between delete attempts


class Cleanup(harness.ProbeTestCase):
    BESIDE_PROBE = harness.TREE_BESIDE_PROBE

    def seed_temp(self):
        """What TEMP held before the run, including a directory of the
        extraction directory's form: none of it may be touched."""
        (self.ws.temp / "keep.txt").write_bytes(b"keep")
        other = self.ws.temp / "onefile_1_000000_AAAAAAAAAAA"
        other.mkdir()
        (other / "inner.txt").write_bytes(b"inner")
        return harness.tree(self.ws.temp)

    def test_directory_removed_after_every_kind_of_ending(self):
        for what, args, code in (("returned 0", [], 0), ("returned 7", ["probe:exit=7"], 7),
                                 ("crashed", ["probe:crash"], 0xC0000005)):
            with self.subTest(what):
                before = self.seed_temp()
                r = self.run_launcher(self.exe, ["probe:list-temp"] + args)
                self.assertExitCode(r, code)
                own = r.report.dll_path.split("\\")[-2]
                # It was there while the application ran, beside what TEMP held before...
                self.assertEqual(r.report.temp_entries, sorted([own, "keep.txt", "onefile_1_000000_AAAAAAAAAAA"]))
                # ...and afterwards TEMP holds exactly what it held before.
                self.assertEqual(harness.tree(self.ws.temp), before)
                harness.remove_tree(self.ws.temp)
                self.ws.temp.mkdir()

    def test_directory_in_use_is_given_up_without_hanging(self):
        # holdfile keeps data.bin open without share-delete for 30 s, far beyond
        # the child's end; winrun ends it when the run is over.
        start = time.monotonic()
        r = self.run_launcher(self.exe, ["probe:hold=data.bin", "probe:hold-ms=30000", "probe:exit=5"],
                              timeout_s=25)
        elapsed = time.monotonic() - start
        self.assertFalse(r.timed_out, r)
        self.assertEqual(r.report["hold"], "1")
        self.assertExitCode(r, 5)
        # The parent retried for about two seconds, then ended while the file
        # was still held: the directory and the held file are still there.
        self.assertGreaterEqual(elapsed, DELETE_RETRIES_S)
        own = r.report.dll_path.split("\\")[-2]
        self.assertEqual(r.extraction_dirs, [own])
        self.assertIn("data.bin", harness.listing(self.ws.temp / own))
        harness.remove_tree(self.ws.temp / own)
        self.assertEqual(harness.listing(self.ws.temp), [])



class Interrupt(harness.ProbeTestCase):
    """A real Ctrl+C, sent to every process of winrun's console."""

    BESIDE_PROBE = harness.TREE_BESIDE_PROBE

    def test_interrupt_stops_a_child_that_ignores_it_after_the_grace_period(self):
        done = self.ws.path / "done.txt"
        start = time.monotonic()
        r = self.run_launcher(self.exe, ["probe:ignore-ctrl", "probe:sleep=60000",
                                         "probe:done=" + to_windows_path(done)],
                              ctrl_on_report=True, timeout_s=40)
        elapsed = time.monotonic() - start
        self.assertTrue(r.ctrl_sent, r)
        self.assertFalse(r.timed_out, r)
        # The child saw the event and carried on; the parent stopped it after
        # the grace period, long before its sleep would have ended.
        self.assertEqual(r.ctrl_events(), [0])
        self.assertFalse(done.exists())
        self.assertGreaterEqual(elapsed, GRACE_S)
        self.assertEqual(r.temp_listing, [])

    def test_interrupt_lets_a_child_that_ends_within_the_grace_period_finish(self):
        done = self.ws.path / "done.txt"
        r = self.run_launcher(self.exe, ["probe:ignore-ctrl", "probe:sleep=1500", "probe:exit=9",
                                         "probe:done=" + to_windows_path(done)],
                              ctrl_on_report=True, timeout_s=40)
        self.assertTrue(r.ctrl_sent, r)
        self.assertFalse(r.timed_out, r)
        self.assertEqual(r.ctrl_events(), [0])
        # It ran to the end of run_code: not terminated.
        self.assertTrue(done.exists())
        self.assertEqual(r.temp_listing, [])

    def test_interrupt_ends_a_child_that_takes_the_default(self):
        # The application keeps the system's handling: the event ends it at
        # once, and the parent removes the directory without waiting out the
        # grace period.
        done = self.ws.path / "done.txt"
        start = time.monotonic()
        r = self.run_launcher(self.exe, ["probe:sleep=60000", "probe:done=" + to_windows_path(done)],
                              ctrl_on_report=True, timeout_s=40)
        self.assertTrue(r.ctrl_sent, r)
        self.assertFalse(r.timed_out, r)
        self.assertFalse(done.exists())
        self.assertLess(time.monotonic() - start, GRACE_S + 3)
        self.assertEqual(r.temp_listing, [])


class InterruptConsole(Interrupt):
    """The same through a console launcher, where on Windows the console's
    Ctrl+C reaches the parent at all."""

    BUILD_OPTIONS = ("--console",)


class Links(harness.ProbeTestCase):
    """Links inside the extraction directory that point outside it: the
    removal neither follows nor deletes through them."""

    BESIDE_PROBE = (("top.txt", b"top"), ("sub\\inner.txt", b"inner"))

    def run_with_links(self, make_links):
        """Runs the probe until it waits for a marker, calls make_links(the
        extraction directory as a Linux path) meanwhile, then lets it end."""
        marker = self.ws.path / "links-made"
        report = self.ws.path / "report.txt"
        done = {}

        def run():
            try:
                done["result"] = self.run_launcher(
                    self.exe, ["probe:wait-for=" + harness.to_windows_path(marker), "probe:exit=11"], timeout_s=60)
            except BaseException as e:  # handed to the test's own thread
                done["error"] = e

        runner = threading.Thread(target=run)
        runner.start()
        try:
            deadline = time.monotonic() + 30
            while not report.exists() and runner.is_alive() and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue(report.exists(), "the probe wrote no report")
            extraction = harness.to_linux_path(harness.Report(report.read_text()).extraction_dir)
            make_links(extraction)
        finally:
            marker.write_bytes(b"")
            runner.join(90)
        if "error" in done:
            raise done["error"]
        self.assertIn("result", done, "the run did not end")
        return done["result"], extraction

    def test_links_to_folders_and_files_outside_leave_their_targets_intact(self):
        outside = self.ws.sub("outside")
        (outside / "folder").mkdir()
        (outside / "folder" / "kept.txt").write_bytes(b"kept")
        (outside / "folder" / "nested").mkdir()
        (outside / "folder" / "nested" / "deep.txt").write_bytes(b"deep")
        # Deleting through a handle on a link to an empty folder removes the
        # folder under Wine, since nothing stops the delete there.
        (outside / "empty").mkdir()
        (outside / "file.txt").write_bytes(b"file")
        (outside / "other.txt").write_bytes(b"other")
        (self.ws.temp / "keep.txt").write_bytes(b"keep")
        before = harness.tree(outside)
        links = {"dir-link": outside / "folder", "empty-link": outside / "empty",
                 "file-link": outside / "file.txt", "sub/dir-link": outside / "folder",
                 "sub/file-link": outside / "other.txt", "sub/empty-link": outside / "empty"}

        def make_links(extraction):
            for name, target in links.items():
                os.symlink(target, extraction / name)

        r, extraction = self.run_with_links(make_links)
        self.assertExitCode(r, 11)
        self.assertEqual(harness.tree(outside), before)
        self.assertEqual((self.ws.temp / "keep.txt").read_bytes(), b"keep")
        # What the removal could take went; the links stayed, and with them
        # the folder that holds some of them.
        self.assertEqual(harness.tree(extraction),
                         dict({"sub/": None}, **{name + "@": str(target) for name, target in links.items()}))
        harness.remove_tree(extraction)
        self.assertEqual(harness.listing(self.ws.temp), ["keep.txt"])
