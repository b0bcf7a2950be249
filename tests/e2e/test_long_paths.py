# SPDX-License-Identifier: MIT
"""Extraction trees with paths beyond MAX_PATH: the unpacker writes paths of
up to 4095 units, and the removal afterwards must take all of them away
without touching anything outside the extraction directory (the shell's
delete cannot be given such paths)."""

import unittest

import harness
from harness import LauncherTestCase, payload_from_entries


def probe_entry():
    return ("probe.dll", harness.probe_dll_bytes())


def component(tag, length):
    return (tag + "x" * length)[:length]


class RemovalOfLongPaths(LauncherTestCase):

    def assert_removed_cleanly(self, result):
        self.assertExitCode(result, 0)
        self.assertEqual(result.temp_listing, [], "TEMP must be empty again")
        self.assertTrue(self.ws.canary.exists())

    def test_tree_crossing_the_limit_at_several_depths_is_removed(self):
        entries = [probe_entry(), ("short.txt", b"s")]
        # Paths that end just below, at, and well beyond the shell's limit,
        # beside short ones in the same directories.
        for depth in range(1, 5):
            name = "\\".join(component("d%d" % i, 60) for i in range(depth))
            entries.append((name + "\\file.txt", b"depth %d" % depth))
            entries.append((name + "\\" + component("long", 150), b"long"))
        exe = self.build(payload=payload_from_entries(entries))
        self.assert_removed_cleanly(self.run_launcher(exe, ["probe:exit=0"]))

    def test_extraction_directory_itself_beyond_the_limit_is_removed(self):
        # A TEMP of 240 units (GetTempPathW takes no more than 259) puts the
        # extraction directory itself past what the shell's delete accepts.
        base = self.ws.path / "t"
        deep_temp = base / component("temp", 240 - len(harness.to_windows_path(base)) - 1)
        deep_temp.mkdir(parents=True)
        temp_win = harness.to_windows_path(deep_temp)
        self.assertEqual(len(temp_win), 240)
        self.assertGreater(len(temp_win) + len("\\onefile_1_000000_AAAAAAAAAAA"), 260)
        exe = self.build(payload=payload_from_entries(
            [probe_entry(), ("a\\b.txt", b"b"), ("c.txt", b"c")]))
        r = self.run_launcher(exe, ["probe:exit=7"], temp=temp_win)
        self.assertExitCode(r, 7)
        self.assertTrue(r.report.dll_path.startswith(temp_win + "\\onefile_"))
        self.assertEqual(list(deep_temp.iterdir()), [], "the extraction directory must be gone")
        self.assertTrue(self.ws.canary.exists())

    def test_files_made_read_only_by_the_application_are_removed(self):
        name = "\\".join(component("r%d" % i, 90) for i in range(3)) + "\\ro.txt"
        exe = self.build(payload=payload_from_entries([probe_entry(), (name, b"ro")]))
        # The probe marks the deep file read-only before it returns.
        r = self.run_launcher(exe, ["probe:readonly=" + name, "probe:exit=0"])
        self.assert_removed_cleanly(r)

    def test_held_file_beyond_the_limit_leaves_everything_outside_alone(self):
        # A file past MAX_PATH (a 120-unit folder in a 120-unit folder) that
        # another process keeps open after the child has ended: it stays, and
        # so does its directory, but nothing outside is touched: not the
        # current directory's files and folders, not TEMP's other entries.
        held = component("a", 120) + "\\" + component("b", 120) + "\\held.bin"
        exe = self.build(payload=payload_from_entries(
            [probe_entry(), (held, b"held"), ("top.txt", b"t"), ("c\\d.txt", b"d")]))
        self.ws.write("run/folder/inside.txt", b"inside")
        self.ws.write("run/folder/deeper/more.txt", b"more")
        self.ws.write("temp/keep.txt", b"keep")
        self.ws.write("temp/keep-dir/keep.txt", b"keep")
        run_before = harness.tree(self.ws.run_dir)
        r = self.run_launcher(exe, ["probe:hold=" + held, "probe:hold-ms=30000", "probe:exit=7"],
                              timeout_s=25)
        self.assertEqual(r.report["hold"], "1")
        self.assertExitCode(r, 7)
        self.assertEqual(harness.tree(self.ws.run_dir), run_before)
        own = r.report.extraction_dir.rsplit("\\", 1)[1]
        self.assertEqual(r.temp_listing, sorted(
            ["keep.txt", "keep-dir/", "keep-dir/keep.txt", own + "/", own + "/" + component("a", 120) + "/",
             own + "/" + held.replace("\\", "/").rsplit("/", 1)[0] + "/", own + "/" + held.replace("\\", "/")]))
        self.assertEqual((self.ws.temp / "keep.txt").read_bytes(), b"keep")


if __name__ == "__main__":
    unittest.main()
