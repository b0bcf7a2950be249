# SPDX-License-Identifier: MIT
"""The extraction cache of images built with --cache-dir, end to end under
Wine: simultaneous cold starts, leftovers of killed starts, damaged cached
files, a rebuilt payload under the same version, and cache roots that cannot
be used. Under Wine every process is elevated, so the cache lives in the
template's "elevated" folder."""

import json
import os
import subprocess
import threading
import time
import unittest
from pathlib import Path

import harness

CACHE_TEMPLATE = "{TEMP}\\cache"
ELEVATED = "cache/elevated"


def noise(size, seed):
    """Incompressible bytes, so that unpacking takes a measurable moment."""
    return (seed.to_bytes(4, "little") * 4) + os.urandom(size - 16)


def inspect_json(exe):
    r = subprocess.run([str(harness.VORNAK), "inspect", "--json", str(exe)], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True)
    return json.loads(r.stdout)


def cache_key(exe):
    return inspect_json(exe)["build_values"]["extraction"]["key"]


class CacheTestCase(harness.LauncherTestCase):
    FILES = [("data.bin", noise(300000, 1)), ("sub\\deeper\\notes.txt", b"notes"), ("sub\\empty.txt", b"")]

    def build_cached(self, files=None, name="launcher.exe", extra=(), template=CACHE_TEMPLATE):
        entries = [("probe.dll", harness.probe_dll_bytes())] + list(self.FILES if files is None else files)
        exe = self.build(name=name, payload=harness.payload_from_entries(entries),
                         extra=["--cache-dir", template] + list(extra))
        return exe, entries

    def cache_dir(self, exe):
        return self.ws.temp / ELEVATED / cache_key(exe)[:16]

    def cache_entries(self):
        """Names directly in the elevated cache folder."""
        root = self.ws.temp / ELEVATED
        return sorted(os.listdir(root)) if root.is_dir() else []

    def assertRanFromCache(self, r, exe, code):
        self.assertEqual(r.code, code, r)
        self.assertEqual(r.report.extraction_dir, harness.to_windows_path(self.cache_dir(exe)))
        self.assertEqual(r.extraction_dirs, [], "no per-run directory")

    def assertTreeIs(self, root, entries):
        found = {k: v for k, v in harness.tree(root).items() if not k.endswith("/") and k != ".vornak-cache"}
        self.assertEqual(found, {n.replace("\\", "/"): d for n, d in entries})


class ColdStarts(CacheTestCase):
    def test_eight_simultaneous_cold_starts_share_one_complete_directory(self):
        files = [("f%02d.bin" % i, noise(400000, i)) for i in range(12)]
        exe, entries = self.build_cached(files)
        starts = []
        for i in range(8):
            ws = harness.Workspace(self.ws.path / ("start%d" % i))
            snapshot = ws.path / "snapshot"
            proc, report = harness.start_launcher(
                exe, ["probe:snapshot=" + harness.to_windows_path(snapshot), "probe:exit=%d" % (40 + i)],
                ws=ws, temp=harness.to_windows_path(self.ws.temp))
            starts.append((ws, proc, report, snapshot))
        for i, (ws, proc, report, snapshot) in enumerate(starts):
            proc.wait(timeout=120)
            status = dict(l.split("=", 1) for l in (ws.path / "winrun-exit.txt").read_text().split())
            self.assertEqual(int(status["exit"], 16), 40 + i, (ws.path / "winrun-err.txt").read_text())
            rep = harness.Report(report.read_text())
            self.assertEqual(rep.extraction_dir, harness.to_windows_path(self.cache_dir(exe)))
            self.assertTreeIs(snapshot, entries)
        self.assertEqual(self.cache_entries(), [cache_key(exe)[:16]], "one directory, no staging left")
        self.assertEqual([p for p in harness.listing(self.ws.temp) if p.startswith("onefile_")], [])

    def test_second_start_uses_the_directory_the_first_made(self):
        exe, entries = self.build_cached()
        first = self.run_launcher(exe, ["probe:exit=3", "a b"])
        self.assertRanFromCache(first, exe, 3)
        marker = self.cache_dir(exe) / "made-by-first-start"
        marker.write_bytes(b"")
        second = self.run_launcher(exe, ["probe:exit=4", "a b"])
        self.assertRanFromCache(second, exe, 4)
        self.assertTrue(marker.exists(), "the second start did not unpack again")
        marker.unlink()
        self.assertEqual(second.report.argv[1:], ["probe:exit=4", "a b"])
        self.assertEqual(second.report.argv[0], harness.to_windows_path(exe))
        self.assertEqual(second.report.env("VORNAK_ONEFILE_DIRECTORY"), harness.to_windows_path(exe.parent))
        self.assertTreeIs(self.cache_dir(exe), entries)


    def test_cache_below_a_shell_folder(self):
        # {CACHE_DIR} is the one kind of placeholder that needs shell32, which
        # the launcher loads only for it.
        folder = "vornak-test-%d" % os.getpid()
        exe, entries = self.build_cached(template="{CACHE_DIR}\\" + folder)
        first = self.run_launcher(exe, ["probe:exit=5"])
        directory = first.report.extraction_dir
        self.assertRegex(directory, r"\AC:\\users\\[^\\]+\\AppData\\Local\\%s\\elevated\\[0-9a-f]{16}\Z" % folder)
        on_linux = Path(os.environ["WINEPREFIX"]) / "dosdevices" / "c:" / directory[3:].replace("\\", "/")
        try:
            self.assertEqual(first.code, 5, first)
            second = self.run_launcher(exe, ["probe:exit=6"])
            self.assertEqual(second.code, 6, second)
            self.assertEqual(second.report.extraction_dir, directory)
            self.assertEqual(second.extraction_dirs, [])
            self.assertTreeIs(on_linux, entries)
        finally:
            harness.remove_tree(on_linux.parents[1])

class KilledStarts(CacheTestCase):
    def dead_process_id(self):
        return 999999  # beyond Wine's process ids: no process has it

    def test_first_start_killed_while_unpacking_is_followed_by_a_normal_start(self):
        # Many files, so that the unpack lasts long after its staging folder
        # appears: under Wine each file's creation costs far more than its bytes.
        exe, entries = self.build_cached([("d%d\\f%03d.bin" % (i % 8, i), noise(2048, i)) for i in range(800)])
        root = self.ws.temp / ELEVATED
        run_ws = harness.Workspace(self.ws.path / "killed")
        proc, _ = harness.start_launcher(exe, ["probe:exit=1"], ws=run_ws, temp=harness.to_windows_path(self.ws.temp))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not any(n.endswith(".tmp") for n in self.cache_entries()):
            time.sleep(0.01)
        proc.kill()  # winrun ends, its job object with it, and the launcher in it
        proc.wait(timeout=60)
        time.sleep(0.5)
        self.assertTrue(any(n.endswith(".tmp") for n in self.cache_entries()), self.cache_entries())
        self.assertFalse(self.cache_dir(exe).exists(), "killed before the rename")
        r = self.run_launcher(exe, ["probe:exit=7"])
        self.assertRanFromCache(r, exe, 7)
        self.assertTreeIs(self.cache_dir(exe), entries)
        self.assertEqual(sorted(os.listdir(root)), [self.cache_dir(exe).name], "the killed start's staging is gone")

    def test_staging_left_by_a_killed_first_start_is_removed_and_the_cache_made(self):
        exe, entries = self.build_cached()
        key16 = cache_key(exe)[:16]
        staging = self.ws.temp / ELEVATED / ("%s.%d.tmp" % (key16, self.dead_process_id()))
        harness.make_app_dir(staging, {"probe.dll": b"MZ half", "data.bin": b"\0" * 100})
        r = self.run_launcher(exe, ["probe:exit=9"])
        self.assertRanFromCache(r, exe, 9)
        self.assertEqual(self.cache_entries(), [key16])
        self.assertTreeIs(self.cache_dir(exe), entries)

    def test_directory_without_its_record_is_not_trusted_but_replaced(self):
        exe, entries = self.build_cached()
        half = self.cache_dir(exe)
        harness.make_app_dir(half, {"probe.dll": harness.probe_dll_bytes(), "data.bin": b"\0" * 10})
        r = self.run_launcher(exe, ["probe:exit=8"])
        self.assertRanFromCache(r, exe, 8)
        self.assertTreeIs(half, entries)
        self.assertEqual(self.cache_entries(), [half.name])

    def test_record_of_another_key_is_not_trusted(self):
        exe, entries = self.build_cached()
        self.run_launcher(exe, ["probe:exit=1"])
        record = self.cache_dir(exe) / ".vornak-cache"
        text = record.read_bytes().decode("utf-16-le")
        record.write_bytes(text.replace(cache_key(exe), "0" * 64).encode("utf-16-le"))
        (self.cache_dir(exe) / "data.bin").write_bytes(b"stale")
        r = self.run_launcher(exe, ["probe:exit=2"])
        self.assertRanFromCache(r, exe, 2)
        self.assertTreeIs(self.cache_dir(exe), entries)


class DamagedFiles(CacheTestCase):
    def test_deleted_or_truncated_files_are_repaired(self):
        exe, entries = self.build_cached()
        self.run_launcher(exe, ["probe:exit=1"])
        for damage in ("delete", "truncate", "delete-dll"):
            with self.subTest(damage):
                d = self.cache_dir(exe)
                if damage == "delete":
                    (d / "sub" / "deeper" / "notes.txt").unlink()
                elif damage == "truncate":
                    (d / "data.bin").write_bytes(entries[1][1][:1000])
                else:
                    (d / "probe.dll").unlink()
                r = self.run_launcher(exe, ["probe:exit=6"])
                self.assertRanFromCache(r, exe, 6)
                self.assertTreeIs(d, entries)
                self.assertEqual(self.cache_entries(), [d.name], "nothing retired is left")

    def test_same_size_other_content_is_trusted(self):
        # The cache trusts its folder's contents; its DACL is what guards them.
        exe, entries = self.build_cached()
        self.run_launcher(exe, ["probe:exit=1"])
        changed = b"x" * len(b"notes")
        (self.cache_dir(exe) / "sub" / "deeper" / "notes.txt").write_bytes(changed)
        r = self.run_launcher(exe, ["probe:exit=5"])
        self.assertRanFromCache(r, exe, 5)
        self.assertEqual((self.cache_dir(exe) / "sub" / "deeper" / "notes.txt").read_bytes(), changed)


class Rebuilds(CacheTestCase):
    def test_new_payload_same_version_gets_a_new_key_and_one_older_directory_stays(self):
        builds = [self.build_cached(self.FILES + [("added.txt", b"%d" % i)], name="v%d.exe" % i,
                                    extra=["--version", "3.1.0.0"]) for i in range(3)]
        first, second, third = (exe for exe, _ in builds)
        self.assertEqual(len({cache_key(exe) for exe, _ in builds}), 3)
        self.run_launcher(first, ["probe:exit=1"])
        r = self.run_launcher(second, ["probe:exit=2"])
        self.assertRanFromCache(r, second, 2)
        # Two images that share a template (an upgrade and a rollback, two
        # products) take turns without unpacking again.
        self.assertEqual(self.cache_entries(), sorted([self.cache_dir(first).name, self.cache_dir(second).name]))
        kept = self.cache_dir(first) / "kept.txt"  # gone if the directory were made anew
        kept.write_bytes(b"")
        r = self.run_launcher(first, ["probe:exit=3"])
        self.assertRanFromCache(r, first, 3)
        self.assertTrue(kept.exists())
        self.assertTreeIs(self.cache_dir(second), builds[1][1])
        # A third key: the oldest unused directory goes, so the cache holds at most two.
        r = self.run_launcher(third, ["probe:exit=4"])
        self.assertRanFromCache(r, third, 4)
        self.assertEqual(self.cache_entries(), sorted([self.cache_dir(second).name, self.cache_dir(third).name]))
        self.assertTreeIs(self.cache_dir(third), builds[2][1])

    def test_older_directory_in_use_stays(self):
        old_exe, old_entries = self.build_cached(name="old.exe")
        new_exe, _ = self.build_cached(self.FILES + [("added.txt", b"new")], name="new.exe")
        marker = self.ws.path / "release"
        running_ws = harness.Workspace(self.ws.path / "running")
        proc, report = harness.start_launcher(
            old_exe, ["probe:wait-for=" + harness.to_windows_path(marker), "probe:exit=12"],
            ws=running_ws, temp=harness.to_windows_path(self.ws.temp))
        try:
            deadline = time.monotonic() + 60
            while not report.exists() and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertTrue(report.exists(), "the old image started")
            r = self.run_launcher(new_exe, ["probe:exit=2"])
            self.assertRanFromCache(r, new_exe, 2)
            self.assertTreeIs(self.cache_dir(old_exe), old_entries)
        finally:
            marker.write_bytes(b"")
            proc.wait(timeout=60)
        status = dict(l.split("=", 1) for l in (running_ws.path / "winrun-exit.txt").read_text().split())
        self.assertEqual(int(status["exit"], 16), 12)
        # Unused now and the older of the two others: the next first start of a new key removes it.
        newest, _ = self.build_cached(self.FILES + [("third.txt", b"3")], name="newest.exe")
        self.run_launcher(newest, ["probe:exit=0"])
        self.assertFalse(self.cache_dir(old_exe).exists())
        self.assertEqual(self.cache_entries(), sorted([self.cache_dir(new_exe).name, self.cache_dir(newest).name]))


class UnusableRoots(CacheTestCase):
    def assertRanPerRun(self, r, code):
        self.assertEqual(r.code, code, r)
        self.assertRegex(r.report.extraction_dir.rsplit("\\", 1)[-1], harness.EXTRACTION_NAME)

    def test_root_below_a_file_runs_per_run_and_leaves_nothing(self):
        # The nearest case of a read-only root that Wine, run as root, can show:
        # no directory can be made there.
        self.ws.write("temp/blocker", b"a file, not a folder")
        exe, _ = self.build_cached(template="{TEMP}\\blocker\\cache")
        r = self.run_launcher(exe, ["probe:exit=13"])
        self.assertRanPerRun(r, 13)
        self.assertEqual(r.temp_listing, ["blocker"])

    def test_missing_drive_runs_per_run_and_leaves_nothing(self):
        exe, _ = self.build_cached(template="Q:\\no\\such\\drive")
        r = self.run_launcher(exe, ["probe:exit=14"])
        self.assertRanPerRun(r, 14)
        self.assertEqual(r.temp_listing, [])

    def test_cache_root_that_is_a_link_is_not_used(self):
        elsewhere = self.ws.sub("elsewhere")
        self.ws.sub("temp/cache")
        (self.ws.temp / ELEVATED).symlink_to(elsewhere)
        exe, _ = self.build_cached()
        r = self.run_launcher(exe, ["probe:exit=15"])
        self.assertRanPerRun(r, 15)
        self.assertEqual(harness.listing(elsewhere), [])

    def test_cache_root_anyone_may_write_is_not_used(self):
        # Made outside the launcher with write for everyone: Wine derives a
        # DACL granting Everyone write from the mode bits.
        root = self.ws.sub("temp/" + ELEVATED)
        os.chmod(root, 0o777)
        exe, _ = self.build_cached()
        r = self.run_launcher(exe, ["probe:exit=16"])
        self.assertRanPerRun(r, 16)
        self.assertEqual(harness.listing(root), [])


class PlantedLinks(CacheTestCase):
    def test_link_in_place_of_the_key_directory_is_neither_used_nor_followed(self):
        exe, _ = self.build_cached()
        elsewhere = self.ws.sub("elsewhere")
        harness.make_app_dir(elsewhere, {"probe.dll": harness.probe_dll_bytes(), "keep.txt": b"keep"})
        self.ws.sub("temp/" + ELEVATED)
        self.cache_dir(exe).symlink_to(elsewhere)
        r = self.run_launcher(exe, ["probe:exit=17"])
        self.assertEqual(r.code, 17, r)
        self.assertRegex(r.report.extraction_dir.rsplit("\\", 1)[-1], harness.EXTRACTION_NAME)
        self.assertTrue(self.cache_dir(exe).is_symlink())
        self.assertEqual(harness.listing(elsewhere), ["keep.txt", "probe.dll"])
        self.assertEqual(self.cache_entries(), [self.cache_dir(exe).name])


class InspectShowsTheMode(CacheTestCase):
    def test_text_and_json(self):
        exe, _ = self.build_cached()
        plain = self.build(name="plain.exe", payload=harness.payload_from_entries(
            [("probe.dll", harness.probe_dll_bytes())]))
        same = self.build(name="same.exe", payload=(self.ws.path / "bin" / "launcher.payload").read_bytes(),
                          extra=["--cache-dir", "C:\\other"])
        self.assertEqual(inspect_json(plain)["build_values"]["extraction"], {"mode": "per-run"})
        cached = inspect_json(exe)["build_values"]["extraction"]
        self.assertEqual(cached["mode"], "cache")
        self.assertEqual(cached["template"], CACHE_TEMPLATE)
        self.assertRegex(cached["key"], r"\A[0-9a-f]{64}\Z")
        self.assertEqual(cached["directory"], CACHE_TEMPLATE + "\\" + cached["key"][:16])
        self.assertEqual(cache_key(same), cached["key"], "the key follows the payload alone")
        text = subprocess.run([str(harness.VORNAK), "inspect", str(exe)], stdout=subprocess.PIPE, text=True).stdout
        self.assertIn('extraction: cached in "%s\\%s", key %s' % (CACHE_TEMPLATE, cached["key"][:16], cached["key"]),
                      text)


if __name__ == "__main__":
    unittest.main()
