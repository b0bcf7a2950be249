# SPDX-License-Identifier: MIT
"""What a person sees on a start from Explorer: the splash of an image built
with --splash while a slow start unpacks, and the message box of an image
built with --error-dialog when a start fails with no standard handle to show
the line. tests/win/window_watch.exe looks at the desktop beside the run.

Wine's null graphics driver has one 96 DPI monitor: the scaling for denser
monitors cannot be shown here."""

import json
import struct
import subprocess
import time
import zlib

import harness
from harness import payload_from_entries

SPLASH_CLASS = "vornak_launcher_splash"
APP_CLASS = "probe_app_window"
WS_EX_TOPMOST = 0x8
WS_EX_TOOLWINDOW = 0x80
WS_EX_LAYERED = 0x80000
WS_EX_APPWINDOW = 0x40000
SPLASH_W, SPLASH_H = 64, 48
# Enough small entries that Wine writes them for well over the 400 ms delay.
SLOW_ENTRIES = 1500
PRODUCT = "Splash Test Product"


def png_bytes(width, height, rgba=(0x20, 0x80, 0xC0, 0xC0)):
    """A width x height PNG of one straight-alpha RGBA colour."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(rgba) * width for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def events(watch):
    """{event: {field: int}} of window_watch's lines, "text" as a string."""
    out, _ = watch.communicate(timeout=120)
    found = {}
    for line in out.decode("utf-8", "replace").splitlines():
        name, _, rest = line.strip().partition(" ")
        if name.startswith("text="):
            found["text"] = name[len("text="):] + (" " + rest if rest else "")
            continue
        found[name] = {k: int(v, 0) for k, v in (f.split("=", 1) for f in rest.split())}
    return found


class SplashImageLimits(harness.LauncherTestCase):
    """Checked by `vornak build`, before anything is packed or linked."""

    def test_sizes_at_and_past_the_limits(self):
        for (width, height), accepted in (((16, 16), True), ((1024, 768), True), ((15, 40), False),
                                          ((40, 15), False), ((1025, 40), False), ((40, 769), False)):
            with self.subTest(width=width, height=height):
                png = self.ws.write("s%dx%d.png" % (width, height), png_bytes(width, height))
                out = self.ws.path / "bin" / ("s%dx%d.exe" % (width, height))
                if accepted:
                    self.build(out.name, payload=payload_from_entries([("a.dll", b"x")]), extra=["--splash", str(png)])
                    self.assertTrue(out.exists())
                else:
                    with self.assertRaises(RuntimeError) as refused:
                        self.build(out.name, payload=payload_from_entries([("a.dll", b"x")]), extra=["--splash", str(png)])
                    self.assertIn("splash image '%s': it is %d x %d pixels" % (png, width, height),
                                  str(refused.exception))
                    self.assertFalse(out.exists())


class Splash(harness.LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        splash = cls.class_dir / "splash.png"
        splash.write_bytes(png_bytes(SPLASH_W, SPLASH_H))
        probe = [("probe.dll", harness.probe_dll_bytes())]
        slow = payload_from_entries(probe + [("many\\%05d.txt" % i, b"x" * 512) for i in range(SLOW_ENTRIES)])
        cls.slow_splash = cls.build_class_launcher("slow_splash", payload=slow, extra=["--splash", str(splash)])
        cls.slow_plain = cls.build_class_launcher("slow_plain", payload=slow)
        cls.fast_splash = cls.build_class_launcher("fast_splash", payload=payload_from_entries(probe),
                                                   extra=["--splash", str(splash)])
        cls.with_dialog = cls.build_class_launcher("slow_dialog", payload=slow, extra=["--error-dialog"])
        cls.slow_cached = cls.build_class_launcher("slow_cached", payload=slow,
                                                   extra=["--splash", str(splash), "--cache-dir", "{TEMP}\\cache"])

    def watch_run(self, exe, args):
        """Runs exe with args while window_watch looks; returns its events,
        with "end": the launcher's end on the watch's clock."""
        watch = harness.start_window_watch("splash", SPLASH_CLASS, APP_CLASS, 60000)
        self.addCleanup(watch.kill)
        watching = time.monotonic()
        result = self.run_launcher(exe, args)
        ended = time.monotonic()
        self.assertExitCode(result, 0)
        watch.kill()
        seen = events(watch)
        seen["end"] = {"t": int((ended - watching) * 1000)}
        self.report = result.report
        return seen

    def test_a_slow_start_shows_the_splash_until_the_application_window(self):
        seen = self.watch_run(self.slow_splash, ["probe:window", "probe:sleep=1500"])
        self.assertIn("shown", seen, seen)
        shown = seen["shown"]
        self.assertEqual((shown["width"], shown["height"]), (SPLASH_W, SPLASH_H))
        # Layered and topmost, off the taskbar: a tool window, never an app window.
        self.assertEqual(shown["exstyle"] & (WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_TOOLWINDOW),
                         WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_TOOLWINDOW)
        self.assertFalse(shown["exstyle"] & WS_EX_APPWINDOW)
        self.assertIn("app", seen, seen)
        self.assertIn("gone", seen, seen)
        # Gone within a second of the window, while the application still runs.
        self.assertLess(seen["gone"]["t"] - seen["app"]["t"], 1000)

    def test_a_cached_image_shows_the_splash_while_its_first_start_unpacks(self):
        # The first start is the slow one; the application then runs in the
        # launcher's own process, whose windows the splash must tell from its own.
        seen = self.watch_run(self.slow_cached, ["probe:window", "probe:sleep=1500"])
        self.assertIn("\\cache\\elevated\\", self.report.extraction_dir)
        self.assertIn("shown", seen, seen)
        self.assertIn("app", seen, seen)
        self.assertIn("gone", seen, seen)
        self.assertLess(seen["gone"]["t"] - seen["app"]["t"], 1000)
        seen = self.watch_run(self.slow_cached, ["probe:window", "probe:sleep=1000"])
        self.assertIn("\\cache\\elevated\\", self.report.extraction_dir)
        self.assertNotIn("shown", seen)
        self.assertIn("app", seen, seen)

    def test_the_splash_goes_when_the_application_ends_without_a_window(self):
        seen = self.watch_run(self.slow_splash, [])
        self.assertIn("shown", seen, seen)
        self.assertIn("gone", seen, seen)

    def test_the_application_closes_the_splash_through_its_event(self):
        seen = self.watch_run(self.slow_splash, ["probe:close-splash", "probe:sleep=3000"])
        self.assertEqual(self.report["splash_event"], "1")
        self.assertIn("shown", seen, seen)
        self.assertIn("gone", seen, seen)
        # Gone long before the application, which sleeps 3 s after setting it.
        self.assertGreater(seen["end"]["t"] - seen["gone"]["t"], 2000, seen)

    def test_inspect_shows_the_splash_and_the_dialog_option(self):
        for exe, splash, dialog in ((self.slow_splash, {"width": SPLASH_W, "height": SPLASH_H}, False),
                                    (self.slow_plain, None, False), (self.with_dialog, None, True)):
            with self.subTest(exe.name):
                r = subprocess.run([str(harness.VORNAK), "inspect", "--json", str(exe)], stdout=subprocess.PIPE,
                                   text=True, check=True)
                values = json.loads(r.stdout)["build_values"]
                self.assertEqual((values["splash"], values["error_dialog"]), (splash, dialog))
                r = subprocess.run([str(harness.VORNAK), "inspect", str(exe)], stdout=subprocess.PIPE, text=True,
                                   check=True)
                self.assertIn("  splash: %s\n" % ("%d x %d pixels, shown while a start still unpacks after 400 ms"
                                                   % (SPLASH_W, SPLASH_H) if splash else "none"), r.stdout)
                self.assertIn("  error dialog: %s\n" % ("yes" if dialog else "no"), r.stdout)

    def test_no_splash_for_a_fast_start_or_without_the_option(self):
        for name, exe in (("fast start", self.fast_splash), ("no --splash", self.slow_plain)):
            with self.subTest(name):
                seen = self.watch_run(exe, ["probe:window", "probe:sleep=1000"])
                self.assertNotIn("shown", seen)
                self.assertIn("app", seen, seen)  # the watch did see windows


class ErrorDialog(harness.LauncherTestCase):
    """A start that fails in the parent: the image's payload is damaged."""

    MESSAGE = "Error, couldn't find attached data header."

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        broken = b"not a payload" * 8
        cls.with_dialog = cls.build_class_launcher("dialog", payload=broken,
                                                   extra=["--error-dialog", "--name", PRODUCT])
        cls.without_dialog = cls.build_class_launcher("plain", payload=broken, extra=["--name", PRODUCT])

    def watch_run(self, exe, wait_ms, **kw):
        watch = harness.start_window_watch("dialog", PRODUCT, wait_ms)
        self.addCleanup(watch.kill)
        result = self.run_launcher(exe, timeout_s=30, **kw)
        return result, events(watch)

    def test_the_dialog_shows_the_line_without_standard_handles(self):
        result, seen = self.watch_run(self.with_dialog, 15000, no_std_handles=True)
        self.assertEqual(seen.get("text"), self.MESSAGE)
        self.assertFalse(result.timed_out)
        self.assertExitCode(result, 2)
        self.assertEqual(result.temp_listing, [])

    def test_no_dialog_when_a_handle_shows_the_line_or_without_the_option(self):
        for name, exe, handles in (("handles", self.with_dialog, True),
                                   ("no --error-dialog", self.without_dialog, False)):
            with self.subTest(name):
                result, seen = self.watch_run(exe, 3000, no_std_handles=not handles)
                self.assertIn("none", seen)
                self.assertFalse(result.timed_out)
                self.assertExitCode(result, 2)
                if handles:
                    self.assertIn(self.MESSAGE, result.stdout)
