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
in-process by tests/win/unit_cleanup.cpp.

wineboot cannot say when WM_ENDSESSION reached the parent, nor send the
lParam that Restart Manager sends (ENDSESSION_CLOSEAPP). SessionMessages has
winrun send the two messages to the parent's window itself, as another
process, and time the answer to WM_ENDSESSION: the parent answers it only
once the extraction directory is gone, so that time is the session end's
whole path."""

import struct
import time

import harness
from harness import payload_from_entries, to_windows_path

GRACE_S = 1.0    # the parent's wait at a session end for a child that has not ended
ANSWER_S = 6.0   # wineboot's own start and stop, the removal, a loaded machine
SESSION_CLASS = "vornak_launcher_session"
UNPACK_ENTRIES = 4000
ENDSESSION_CLOSEAPP = 0x1
ENDSESSION_LOGOFF = 0x80000000
# Windows ends a process about 5 s after it was sent WM_ENDSESSION; the
# parent's whole path (1 s for the child, at most about 2 s of removal
# attempts) must end well before that.
SESSION_END_LIMIT_MS = 3500
# Zeros, so the payload stays small; written whole (when the window is not
# served meanwhile) it would take Wine several seconds.
LARGE_ENTRY_BYTES = 8 * 1024 * 1024 * 1024


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


def large_entry_payload(size):
    """The probe and one entry of size zeros, as a zstd frame written by hand:
    raw blocks for the names and the probe, run-length blocks for the zeros.
    A frame of a few gigabytes then costs no time to make and little to keep."""
    block_max = 128 * 1024
    head = harness.entry("probe.dll", harness.probe_dll_bytes())
    head += harness.entry("large.bin")[:-8] + struct.pack("<Q", size)
    blocks = []
    for at in range(0, len(head), block_max):
        part = head[at:at + block_max]
        blocks.append((len(part) << 3 | 0 << 1, part))          # raw block
    for at in range(0, size, block_max):
        blocks.append((min(block_max, size - at) << 3 | 1 << 1, b"\0"))  # run of zeros
    blocks.append((len(harness.TERMINATOR) << 3, harness.TERMINATOR))
    # Magic; no content size, no checksum; a window of 128 KiB.
    frame = bytearray(struct.pack("<I", 0xFD2FB528) + bytes([0x00, 0x38]))
    for i, (header, data) in enumerate(blocks):
        frame += struct.pack("<I", header | (i == len(blocks) - 1))[:3] + data
    return harness.payload(bytes(frame))


class SessionMessages(harness.ProbeTestCase):
    BESIDE_PROBE = harness.TREE_BESIDE_PROBE

    def send_session_messages(self, exe, args, lparam, marker=None, when=None, timeout_s=120):
        """Runs exe with args; once marker (a Linux path; default the probe's
        report) exists, or when() is true and the test has made the marker,
        winrun sends the session messages with lparam. Returns (exit code,
        WM_QUERYENDSESSION's answer, ms until WM_ENDSESSION was answered)."""
        (self.ws.temp / "keep.txt").write_bytes(b"keep")
        marker = marker or self.ws.path / "report.txt"
        proc, _ = harness.start_launcher(exe, args, ws=self.ws, timeout_s=timeout_s,
                                         end_session_when=to_windows_path(marker),
                                         end_session_lparam=lparam)
        self.addCleanup(proc.kill)
        if when is not None:
            deadline = time.monotonic() + 60
            while not when() and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue(when(), "the run ended or timed out before the session end")
            marker.write_bytes(b"")
        proc.wait(timeout=timeout_s + 30)
        status = harness.winrun_status(self.ws)
        self.assertEqual(status["timed_out"], "0")
        self.assertEqual(harness.listing(self.ws.temp), ["keep.txt"])
        return int(status["exit"], 16), int(status["session_query"]), int(status["session_answer_ms"])

    def test_restart_manager_close_leaves_the_application_running(self):
        # Restart Manager asks only to close this process, not to end the
        # session: the application goes on with all its files and ends on its own.
        snapshot = self.ws.path / "snapshot"
        done = self.ws.path / "done.txt"
        args = ["probe:sleep=3000", "probe:snapshot=" + to_windows_path(snapshot),
                "probe:done=" + to_windows_path(done), "probe:exit=7"]
        code, query, answer_ms = self.send_session_messages(self.exe, args, ENDSESSION_CLOSEAPP)
        self.assertEqual(query, 1)
        self.assertLess(answer_ms, 1000)
        self.assertEqual(code, 7)
        self.assertTrue(done.exists())
        self.assertIn("probe.dll", harness.listing(snapshot))

    def test_session_end_path_ends_within_the_systems_limit(self):
        done = self.ws.path / "done.txt"
        args = ["probe:sleep=60000", "probe:done=" + to_windows_path(done)]
        code, query, answer_ms = self.send_session_messages(self.exe, args, ENDSESSION_LOGOFF)
        print("WM_ENDSESSION to removal, child still running: %d ms" % answer_ms)
        self.assertEqual(query, 1)
        self.assertLess(answer_ms, SESSION_END_LIMIT_MS)
        self.assertGreaterEqual(answer_ms, GRACE_S * 1000 - 50)
        self.assertFalse(done.exists())

    def test_logoff_during_a_single_large_entry(self):
        # The window is served while one large entry is written: the logoff
        # is answered at once, with the half-written file removed too.
        exe = self.build(payload=large_entry_payload(LARGE_ENTRY_BYTES))

        def writing():
            return any(self.ws.temp.glob("onefile_*/large.bin"))
        start = time.monotonic()
        code, query, answer_ms = self.send_session_messages(
            exe, [], ENDSESSION_LOGOFF, marker=self.ws.path / "marker", when=writing)
        print("WM_ENDSESSION to removal, during a large entry: %d ms (whole run %.1f s)" %
              (answer_ms, time.monotonic() - start))
        self.assertEqual(query, 1)
        self.assertLess(answer_ms, 1000)
        # Ended without starting the application: no exit code to pass on.
        self.assertEqual(code, 1)
        self.assertFalse((self.ws.path / "report.txt").exists())
