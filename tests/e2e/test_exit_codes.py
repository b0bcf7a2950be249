# SPDX-License-Identifier: MIT
"""The application's result comes back through child and parent unchanged, all
32 bits of it (read by winrun on the Windows side: the Linux status of wine64
carries only the low byte)."""

import harness


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
