# SPDX-License-Identifier: MIT
"""Nothing left behind at logoff and shutdown. The launcher is a windowed
program: it hears the session end through a hidden top-level window of its
parent, not through its console handler. `wineboot --end-session --shutdown
--kill` (harness.end_session) asks every process that owns a top-level window,
ends each once it has answered WM_ENDSESSION, kills the window-less rest
afterwards and stops the prefix's server. So these tests run in a Wine prefix
of their own, where that cannot touch the tests running beside them.

Wine asks processes in process-id order, not by shutdown level: that the child
is asked before the parent on Windows cannot be shown here. WM_ENDSESSION with
wParam 0 and the stop of an unpack that outlives the session's end are driven
in-process by tests/win/unit_cleanup.cpp."""

import time

import harness
from harness import payload_from_entries, to_windows_path

GRACE_S = 5.0    # the parent's wait for a child that has not ended
ANSWER_S = 6.0   # wineboot's own start and stop, the removal, a loaded machine
SESSION_CLASS = "vornak_launcher_session"
UNPACK_ENTRIES = 4000


def setUpModule():
    harness.use_wine_prefix(harness.BUILD_DIR / "wineprefix-session")


def tearDownModule():
    harness.stop_wine()


class SessionEnd(harness.ProbeTestCase):
    BESIDE_PROBE = harness.TREE_BESIDE_PROBE

    def end_session_while_running(self, exe, args, ready):
        """Starts exe with args, ends the session once ready() is true, checks
        that the session end was answered and that TEMP holds what it held
        before, and returns (seconds the session end took, the probe's report
        or None)."""
        (self.ws.temp / "keep.txt").write_bytes(b"keep")
        proc, report_file = harness.start_launcher(exe, args, ws=self.ws, timeout_s=120)
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + 60
        while not ready() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(ready(), "the run ended or timed out before the session end")
        elapsed, wineboot = harness.end_session()
        proc.wait(timeout=60)
        self.assertEqual(wineboot.returncode, 0, "wineboot timed out or failed: %r" % wineboot)
        self.assertEqual(harness.listing(self.ws.temp), ["keep.txt"])
        return elapsed, harness.Report(report_file.read_text()) if report_file.exists() else None

    def end_session_while_the_probe_sleeps(self, *actions):
        done = self.ws.path / "done.txt"
        args = list(actions) + ["probe:sleep=60000", "probe:done=" + to_windows_path(done)]
        elapsed, report = self.end_session_while_running(self.exe, args, (self.ws.path / "report.txt").exists)
        self.assertFalse(done.exists())
        return elapsed, report

    def test_session_end_while_the_application_runs(self):
        elapsed, report = self.end_session_while_the_probe_sleeps("probe:list-windows")
        # A window-less child is killed by Wine only after every answer, so
        # the parent waited out the grace period for it, but not much longer.
        self.assertLess(elapsed, GRACE_S + ANSWER_S)
        # The parent listens through a hidden top-level window of its own
        # class; the child has no window and keeps the default level.
        self.assertIn((SESSION_CLASS, False), report.windows("parent_windows"))
        self.assertEqual(report.windows(), [])
        self.assertEqual(report.number("shutdown_level"), 0x280)

    def test_session_end_while_the_application_has_a_window(self):
        elapsed, report = self.end_session_while_the_probe_sleeps("probe:window")
        self.assertEqual(report["own_window"], "1")
        # The parent, with the lower process id, is asked first and stops the
        # child after the grace period: the session end is not held up longer.
        self.assertLess(elapsed, GRACE_S + ANSWER_S)

    def test_session_end_during_a_long_unpack(self):
        # Many small entries take Wine far longer to write than the session
        # end takes to answer; the first of them show that the unpack has begun.
        entries = [("probe.dll", harness.probe_dll_bytes())]
        entries += [("many\\%05d.txt" % i, b"x") for i in range(UNPACK_ENTRIES)]
        exe = self.build(payload=payload_from_entries(entries))

        def unpacking():
            return len([p for p in harness.listing(self.ws.temp) if "/many/" in p]) >= 20
        elapsed, report = self.end_session_while_running(exe, [], unpacking)
        # Answered between entries: the child was never started.
        self.assertIsNone(report)
        self.assertLess(elapsed, ANSWER_S)


class SessionEndConsole(SessionEnd):
    """A console launcher hears the session end through the same hidden
    window: a console program that loads user32 gets no logoff or shutdown
    event in its console handler."""

    BUILD_OPTIONS = ("--console",)
    test_session_end_while_the_application_has_a_window = None
    test_session_end_during_a_long_unpack = None
