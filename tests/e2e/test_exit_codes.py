# SPDX-License-Identifier: MIT
"""The application's result comes back through child and parent unchanged, all
32 bits of it (read by winrun on the Windows side: the Linux status of wine64
carries only the low byte), from windowed and console launchers alike; a
fatal error is one line and exit code 2. cmd waits for a console launcher
and not for a windowed one."""

import harness
from harness import payload_from_entries, read_win_file, to_windows_path


class ExitCodes(harness.ProbeTestCase):
    def test_returned_values_pass_unchanged(self):
        # 256 and 0x7FFFFFFF have a zero or all-ones low byte; -2 is negative
        # as run_code's signed result and 0xFFFFFFFE as the process's code.
        for value, code in ((0, 0), (3, 3), (256, 256), (0x7FFFFFFF, 0x7FFFFFFF), (-2, 0xFFFFFFFE),
                            (0x12345600, 0x12345600)):
            with self.subTest(value=value):
                r = self.run_launcher(self.exe, ["probe:exit=%d" % value])
                self.assertExitCode(r, code)
                self.assertEqual(r.report.number("returning"), code)
                self.assertEqual(r.stdout + r.stderr, "")

    def test_crash_status_passes_unchanged(self):
        r = self.run_launcher(self.exe, ["probe:crash", "probe:exit=4"])
        self.assertExitCode(r, 0xC0000005)
        self.assertEqual(r.report.number("returning"), 4)  # it got that far, then crashed

    def test_fatal_errors_print_one_line_and_end_with_2(self):
        # In the parent (no header at all) and in the child (no run_code).
        for name, payload, message in (
                ("no-header", b"not a payload", harness.MSG_NO_HEADER),
                ("no-entry", payload_from_entries([("app.dll", read_win_file("noentry.dll"))]),
                 harness.MSG_NO_ENTRY_POINT)):
            with self.subTest(name):
                r = self.run_launcher(self.build(name + ".exe", payload=payload), [], report=False)
                self.assertExitCode(r, 2)
                self.assertEqual(r.stdout + r.stderr, message + "\n")


class ExitCodesConsole(ExitCodes):
    BUILD_OPTIONS = ("--console",)


class CommandPrompt(harness.LauncherTestCase):
    """cmd, typed at interactively, waits for a console program and returns
    at once from a windowed one; Wine's cmd keeps that rule too. The windowed
    launcher is then ended with cmd (winrun ends all it started), before the
    application has written its line."""

    def test_cmd_waits_for_a_console_launcher_only(self):
        payload = payload_from_entries([("probe.dll", harness.probe_dll_bytes())])
        for options, waited in (((), False), (("--console",), True)):
            with self.subTest(options=options):
                exe = self.build("%s.exe" % (options or ("windowed",))[0].strip("-"), payload=payload,
                                 extra=options)
                typed = "%s probe:sleep=1500 probe:out=finished\r\n" % to_windows_path(exe)
                r = self.run_launcher(exe, cmdline="C:\\windows\\system32\\cmd.exe /q /k",
                                      stdin=typed.encode())
                self.assertEqual("finished" in r.stdout, waited, r)
