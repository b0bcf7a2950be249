# SPDX-License-Identifier: MIT
"""Unpacking the attached payload, seen from outside: real launchers under Wine,
payloads made by the packer and by hand. What the application found on disk
is taken from the probe's snapshot of its extraction directory, made while
the child runs (the parent removes the directory afterwards)."""

import os
import subprocess
import unittest

import harness
from harness import LauncherTestCase, entry, entry_stream, payload, payload_from_entries, zstd_frame

PROBE_EXIT = 0x5AFE  # the probe's code when it ran to the end: never 0, 1, 2 or an abort


def probe_entry():
    return ("probe.dll", harness.probe_dll_bytes())


def noise(n, seed):
    """n incompressible bytes, the same for the same seed."""
    out, x = bytearray(), seed or 1
    while len(out) < n:
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out += x.to_bytes(4, "little")
    return bytes(out[:n])


class SnapshotCase(LauncherTestCase):
    def run_snapshot(self, exe, args=()):
        """Runs the probe as the application with a snapshot of its directory;
        returns (result, tree of the snapshot)."""
        snap = self.ws.path / "snap"
        r = self.run_launcher(exe, list(args) + ["probe:snapshot=" + harness.to_windows_path(snap),
                                                 "probe:exit=%d" % PROBE_EXIT])
        self.assertExitCode(r, PROBE_EXIT)
        self.assertEqual(r.report["snapshot_failures"], "0", r)
        return r, harness.tree(snap)

    def assertOnlyLeftover(self, result, names):
        """TEMP holds one extraction directory with exactly these entries."""
        self.assertEqual(len(result.extraction_dirs), 1, result.temp_listing)
        self.assertEqual(harness.listing(self.ws.temp / result.extraction_dirs[0]), sorted(names))


class PayloadHeaderAndFrame(SnapshotCase):
    """Payloads that must be refused: exit code 2 and the exact message."""

    def test_wrong_magic_is_refused_before_anything_is_created(self):
        good = zstd_frame(entry_stream([probe_entry()]))
        for magic in (b"QOX", b"qoz", b"\0\0\0", b"\x28\xb5\x2f"):
            with self.subTest(magic=magic):
                exe = self.build(payload=payload(good, magic=magic))
                r = self.run_launcher(exe)
                self.assertExitCode(r, 2)
                self.assertEqual(r.stdout, harness.MSG_NO_HEADER + "\n")
                self.assertEqual(r.stderr, "")
                self.assertEqual(r.temp_listing, [])

    def test_frame_ending_before_the_terminator_is_a_decode_error(self):
        # The frame ends (the zero fill follows) inside a name, inside a size,
        # inside data, and right after a complete entry.
        head = entry_stream([probe_entry()], terminator=False)
        a = entry("a.txt", b"0123456789")
        cases = {
            "after an entry": (head + a, ["a.txt", "probe.dll"]),
            "inside a name": (head + "ab".encode("utf-16-le"), ["probe.dll"]),
            "inside a size": (head + a[:14], ["probe.dll"]),
            "inside data": (head + a[:-3], ["a.txt", "probe.dll"]),
        }
        for label, (stream, left) in cases.items():
            with self.subTest(label):
                exe = self.build(payload=payload(zstd_frame(stream)))
                r = self.run_launcher(exe)
                self.assertExitCode(r, 2)
                self.assertEqual(r.stdout, harness.MSG_DECODE + "\n")
                self.assertIsNone(r.report, "the application must not run")
                # Nothing is undone: what was written stays.
                self.assertOnlyLeftover(r, left)
                written = harness.tree(self.ws.temp / r.extraction_dirs[0])
                self.assertTrue(written["probe.dll"] == harness.probe_dll_bytes())
                harness.remove_tree(self.ws.temp / r.extraction_dirs[0])

    def test_input_used_up_inside_a_frame_is_a_decode_error(self):
        # No zero fill and no trailer behind a truncated frame: the decoder
        # consumes all input while bytes are still owed. It must end, not wait.
        frame = zstd_frame(entry_stream([probe_entry(), ("big.bin", noise(300000, 7))]))
        for cut in (len(frame) // 2, len(frame) - 1):
            with self.subTest(cut=cut):
                exe = self.build(payload=harness.PAYLOAD_MAGIC + frame[:cut])
                r = self.run_launcher(exe, timeout_s=30)
                self.assertFalse(r.timed_out, "the launcher kept waiting for input")
                self.assertExitCode(r, 2)
                self.assertEqual(r.stdout, harness.MSG_DECODE + "\n")
                self.assertIsNone(r.report)
                for d in r.extraction_dirs:
                    harness.remove_tree(self.ws.temp / d)

    def test_damaged_frame_header_is_a_decode_error(self):
        frame = bytearray(zstd_frame(entry_stream([probe_entry()])))
        frame[4] |= 0x08  # frame header descriptor: the reserved bit
        exe = self.build(payload=payload(bytes(frame)))
        r = self.run_launcher(exe)
        self.assertExitCode(r, 2)
        self.assertEqual(r.stdout, harness.MSG_DECODE + "\n")
        self.assertEqual(r.temp_listing, [])

    def test_terminator_only_creates_nothing(self):
        exe = self.build(payload=payload_from_entries([]))
        r = self.run_launcher(exe)
        self.assertExitCode(r, 2)
        lines = [l for l in (r.stdout + r.stderr).splitlines() if l]
        self.assertEqual(len(lines), 1, r)
        self.assertTrue(lines[0].startswith("Error, "), lines)
        self.assertEqual(r.temp_listing, [], "not even the extraction directory may exist")


class FrameChecksum(SnapshotCase):
    """The packer's frame carries zstd's content checksum; the parent decodes
    the frame to its end before it starts the child, so damage that still
    decodes is caught there."""

    NOISE = noise(70000, 17)

    def test_flipped_bit_in_the_frame_runs_nothing_and_leaves_nothing(self):
        exe = self.build(files={"probe.dll": harness.probe_dll_bytes(), "noise.bin": self.NOISE}, dll="probe.dll")
        image = bytearray(exe.read_bytes())
        # Incompressible data stays verbatim in the frame: a bit flipped there
        # still decodes, only into other bytes.
        at = image.find(self.NOISE[40000:40064])
        self.assertGreater(at, 0, "the noise is not stored verbatim in the frame")
        image[at + 30] ^= 0x10
        exe.write_bytes(bytes(image))

        r = self.run_launcher(exe, ["probe:exit=%d" % PROBE_EXIT])
        self.assertExitCode(r, 2)
        self.assertEqual(r.stdout, harness.MSG_DECODE + "\n")
        self.assertEqual(r.stderr, "")
        self.assertIsNone(r.report, "the application was started")
        self.assertEqual(r.temp_listing, [])

        out = self.ws.path / "extracted"
        x = subprocess.run([str(harness.VORNAK), "extract", str(exe), "-o", str(out)], capture_output=True, text=True)
        self.assertEqual(x.returncode, 1, x)
        self.assertIn("checksum", x.stderr)
        self.assertFalse(out.exists())
        self.assertEqual([n for n in os.listdir(self.ws.path) if "extracted" in n], [])
        i = subprocess.run([str(harness.VORNAK), "inspect", str(exe)], capture_output=True, text=True)
        self.assertEqual(i.returncode, 1, i.stdout)

    def test_frame_without_checksum_still_runs(self):
        frame = zstd_frame(entry_stream([probe_entry(), ("a.txt", b"x" * 1000)]))
        self.assertEqual(frame[4] & 4, 0, "the frame declares a checksum")
        r = self.run_launcher(self.build(payload=payload(frame)), ["probe:exit=%d" % PROBE_EXIT])
        self.assertExitCode(r, PROBE_EXIT)
        self.assertEqual(r.temp_listing, [])


class EntriesFromThePacker(SnapshotCase):
    """A folder packed by `vornak build` arrives in the extraction directory exactly."""

    FILES = {
        "empty.txt": b"",
        "chunk_exact.bin": noise(32768, 1),
        "chunk_plus_one.bin": noise(32769, 2),
        "two_buffers_plus_one.bin": noise(2 * 131072 + 1, 3),
        "after_empty.txt": b"follows an empty file",
        "a/b/c/three_levels.txt": b"deep",
        "a/b/sibling.txt": b"sibling",
        "a/empty_in_dir": b"",
        "spaces and (parens)/x y.txt": b"s p a c e",
        "\u00fcml\u00e4ut/\u65e5\u672c.txt": "\u65e5\u672c\u8a9e".encode("utf-8"),
    }

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.expected = dict(cls.FILES, **{"probe.dll": harness.probe_dll_bytes()})
        cls.exe = cls.build_class_launcher("packed", files=cls.expected, dll="probe.dll")

    def test_folder_arrives_byte_for_byte(self):
        r, snap = self.run_snapshot(self.exe)
        files = {k: v for k, v in snap.items() if v is not None}
        self.assertEqual(sorted(files), sorted(self.expected))
        for name, data in self.expected.items():
            self.assertEqual(len(files[name]), len(data), name)
            self.assertTrue(files[name] == data, "contents differ: " + name)
        dirs = sorted(k for k, v in snap.items() if v is None)
        self.assertEqual(dirs, ["a/", "a/b/", "a/b/c/", "spaces and (parens)/", "\u00fcml\u00e4ut/"])
        self.assertEqual(r.report.dll_path, r.report.extraction_dir + "\\probe.dll")


class EntriesByHand(SnapshotCase):
    """Entry streams the packer would not write, but the format allows."""

    def test_later_entry_replaces_earlier_one(self):
        exe = self.build(payload=payload_from_entries([
            probe_entry(), ("dup.txt", b"first version, longer"), ("other.txt", b"x"),
            ("dup.txt", b"second"), ("d\\dup.txt", b"1"), ("d\\dup.txt", b"")]))
        _, snap = self.run_snapshot(exe)
        self.assertEqual(snap["dup.txt"], b"second")
        self.assertEqual(snap["d/dup.txt"], b"")
        self.assertEqual(snap["other.txt"], b"x")

    def test_size_zero_entries_back_to_back(self):
        names = ["e%d" % i for i in range(5)]
        exe = self.build(payload=payload_from_entries(
            [probe_entry()] + [(n, b"") for n in names] + [("last", b"L")]))
        _, snap = self.run_snapshot(exe)
        for n in names:
            self.assertEqual(snap[n], b"", n)
        self.assertEqual(snap["last"], b"L")

    def test_names_and_sizes_straddling_decoder_output_blocks(self):
        # The decoder hands out 131,072 bytes per call: put a name across the
        # first block edge and a size field across the second.
        block = 131072
        parts = [entry(*probe_entry())]

        def offset():
            return sum(map(len, parts))

        pad = block - 5 - offset() - len(entry("f1", b""))
        parts.append(entry("f1", noise(pad, 11)))
        self.assertEqual(offset(), block - 5)
        parts.append(entry("name_across", b"n"))
        size_field_at = len("size_across".encode("utf-16-le")) + 2
        pad2 = 2 * block - 3 - size_field_at - offset() - len(entry("f2", b""))
        parts.append(entry("f2", noise(pad2, 12)))
        self.assertEqual(offset() + size_field_at, 2 * block - 3)
        parts.append(entry("size_across", b"S" * 40))
        parts.append(entry("tail", b"T"))
        exe = self.build(payload=payload(zstd_frame(b"".join(parts) + harness.TERMINATOR)))
        _, snap = self.run_snapshot(exe)
        self.assertEqual(snap["name_across"], b"n")
        self.assertEqual(snap["size_across"], b"S" * 40)
        self.assertEqual(snap["tail"], b"T")
        self.assertTrue(snap["f2"] == noise(pad2, 12))

    def test_new_directories_three_levels_and_shared(self):
        exe = self.build(payload=payload_from_entries([
            probe_entry(), ("new\\one.txt", b"1"), ("new\\two.txt", b"2"),
            ("new\\deeper\\three.txt", b"3"), ("x\\y\\z\\four.txt", b"4")]))
        _, snap = self.run_snapshot(exe)
        del snap["probe.dll"]
        self.assertEqual(snap, {
            "new/": None, "new/one.txt": b"1", "new/two.txt": b"2", "new/deeper/": None,
            "new/deeper/three.txt": b"3", "x/": None, "x/y/": None, "x/y/z/": None, "x/y/z/four.txt": b"4"})


class PathFailures(LauncherTestCase):
    def test_component_that_is_a_plain_file(self):
        exe = self.build(payload=payload_from_entries([
            probe_entry(), ("a", b"plain file"), ("a\\b", b"cannot be written")]))
        r = self.run_launcher(exe)
        self.assertExitCode(r, 2)
        self.assertEqual(len(r.extraction_dirs), 1, r.temp_listing)
        extraction_dir = harness.to_windows_path(self.ws.temp) + "\\" + r.extraction_dirs[0]
        self.assertEqual(r.stderr, harness.MSG_OPEN_FOR_WRITING.format(extraction_dir + "\\a\\b") + "\n")
        self.assertEqual(r.stdout, "")
        self.assertIsNone(r.report, "the application must not run")
        left = harness.tree(self.ws.temp / r.extraction_dirs[0])
        self.assertEqual(sorted(left), ["a", "probe.dll"])
        self.assertEqual(left["a"], b"plain file")


class LongNames(SnapshotCase):
    def test_512_components_in_a_fresh_directory(self):
        # 511 new directories below a new extraction directory: the parent
        # creation goes one level deeper per missing directory, which needs
        # the 16 MiB stack. (A stack overflow would end the run with exit code
        # 0 under Wine; the probe's code shows the application ran.)
        name = "d\\" * 511 + "f"
        self.assertEqual(len(name), 1023)
        exe = self.build(payload=payload_from_entries([probe_entry(), (name, b"bottom")]))
        _, snap = self.run_snapshot(exe)
        self.assertEqual(snap.get(name.replace("\\", "/")), b"bottom")

    def test_name_of_1023_units_unpacks(self):
        # Components stay below Linux's 255-byte limit.
        name = "\\".join(["%03d" % i + "n" * 197 for i in range(5)]) + "\\" + "z" * 18
        self.assertEqual(len(name), 1023)
        exe = self.build(payload=payload_from_entries([probe_entry(), (name, b"max")]))
        _, snap = self.run_snapshot(exe)
        self.assertEqual(snap.get(name.replace("\\", "/")), b"max")

    def test_name_over_1023_units_is_a_decode_error(self):
        for units in (1024, 1025, 6000):
            with self.subTest(units=units):
                name = "\\".join("n" * 200 for _ in range(units // 201 + 1))[:units]
                self.assertEqual(len(name), units)
                exe = self.build(payload=payload_from_entries([probe_entry(), (name, b"x")]))
                r = self.run_launcher(exe)
                self.assertExitCode(r, 2)
                self.assertEqual(r.stdout, harness.MSG_DECODE + "\n")
                self.assertIsNone(r.report)
                self.assertOnlyLeftover(r, ["probe.dll"])
                harness.remove_tree(self.ws.temp / r.extraction_dirs[0])

    def test_first_entry_name_over_1023_units(self):
        # Also where the name's full path would become the DLL path.
        exe = self.build(payload=payload_from_entries([("p" * 1500, b"x")]))
        r = self.run_launcher(exe)
        self.assertExitCode(r, 2)
        self.assertEqual(r.stdout, harness.MSG_DECODE + "\n")
        self.assertEqual(r.temp_listing, [])


class EntryNames(SnapshotCase):
    """Names that would leave the extraction directory, name a stream or a
    device, or that Windows would change, are refused before anything is
    written for them; dots inside a component are fine."""

    REFUSED = ["..\\x", "sub\\..\\..\\x", "..\\..\\x", "..", ".", ".\\x", "sub\\.\\x", "C:x", "x:stream",
               "\\x", "sub\\\\x", "sub\\", "a/b", "../x", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "a\x01b",
               "a\tb", "name.", "name ", "sub.\\x", "...", "CON", "sub\\nul.txt", "com1", "LPT9.log"]
    RUNNER_FILES = {"winrun-exit.txt", "winrun-args.bin"}

    def outside(self):
        """Everything of the workspace that the launcher may not change: the
        current directory's tree, TEMP's other entries, the workspace's top level."""
        return (harness.tree(self.ws.run_dir), (self.ws.temp / "keep.txt").read_bytes(),
                sorted(set(os.listdir(self.ws.path)) - self.RUNNER_FILES))

    def refused(self, entries):
        """Runs a launcher carrying entries; checks the refusal and returns
        what TEMP held besides keep.txt."""
        for left in self.ws.temp.iterdir():
            if left.name != "keep.txt":
                harness.remove_tree(left)
        exe = self.build(payload=payload_from_entries(entries))
        before = self.outside()
        r = self.run_launcher(exe)
        self.assertExitCode(r, 2)
        self.assertEqual(r.stdout, harness.MSG_DECODE + "\n")
        self.assertEqual(r.stderr, "")
        self.assertIsNone(r.report, "the application must not run")
        self.assertEqual(self.outside(), before)
        self.assertIn("keep.txt", r.temp_listing)
        return r

    def test_each_refused_name_ends_the_run_before_it_is_written(self):
        self.ws.write("temp/keep.txt", b"keep")
        for name in self.REFUSED:
            with self.subTest(name=name):
                r = self.refused([probe_entry(), ("first.txt", b"1"), (name, b"written"), ("after.txt", b"2")])
                self.assertEqual(len(r.extraction_dirs), 1, r.temp_listing)
                own = r.extraction_dirs[0]
                self.assertEqual(r.temp_listing, ["keep.txt", own + "/", own + "/first.txt", own + "/probe.dll"])
                harness.remove_tree(self.ws.temp / own)

    def test_refused_first_name_creates_nothing(self):
        self.ws.write("temp/keep.txt", b"keep")
        for name in ("..\\probe.dll", "C:probe.dll", "\\probe.dll", "a:b"):
            with self.subTest(name=name):
                r = self.refused([(name, harness.probe_dll_bytes())])
                self.assertEqual(r.temp_listing, ["keep.txt"])

    def test_dots_inside_components_unpack(self):
        names = ["file.name.txt", "dir.v2\\x..y.txt", "..leading", ".hidden\\.config", "a.b.c\\d..e\\f"]
        exe = self.build(payload=payload_from_entries([probe_entry()] + [(n, n.encode()) for n in names]))
        _, snap = self.run_snapshot(exe)
        for n in names:
            self.assertEqual(snap.get(n.replace("\\", "/")), n.encode(), n)


class ExtractionDirectory(harness.ProbeTestCase):
    """Where the payload goes: onefile_<PID>_<TIME_US>_<RANDOM> under TEMP."""


    def extraction_name(self, r, temp_win):
        self.assertIsNotNone(r.report, r)
        d = r.report.extraction_dir
        self.assertTrue(d.startswith(temp_win + "\\onefile_"), d)
        m = harness.EXTRACTION_NAME.match(d[len(temp_win) + 1:])
        self.assertIsNotNone(m, d)
        return m.groups()

    def test_name_is_pid_microsecond_and_token_under_temp(self):
        r = self.run_launcher(self.exe)
        self.assertExitCode(r, 0)
        pid, micro, token = self.extraction_name(r, harness.to_windows_path(self.ws.temp))
        self.assertEqual(pid, r.report["ppid"], "PID is the parent's process id")
        self.assertEqual(pid, r.report.env("VORNAK_ONEFILE_PARENT"))
        self.assertEqual(micro, r.report.env("VORNAK_ONEFILE_TIME_US"))
        self.assertEqual(token, r.report.env("VORNAK_ONEFILE_RANDOM"))

    def test_each_run_gets_a_fresh_directory(self):
        dirs = {self.run_launcher(self.exe).report.extraction_dir for _ in range(3)}
        self.assertEqual(len(dirs), 3)

    def test_values_inherited_from_outside_are_replaced(self):
        stale = {"VORNAK_ONEFILE_TIME_US": "123456", "VORNAK_ONEFILE_RANDOM": "AAAAAAAAAAA",
                 "VORNAK_ONEFILE_START": "1", "VORNAK_ONEFILE_PARENT": "junk"}
        r = self.run_launcher(self.exe, env=stale)
        self.assertExitCode(r, 0)
        pid, micro, token = self.extraction_name(r, harness.to_windows_path(self.ws.temp))
        self.assertNotEqual(token, "AAAAAAAAAAA")
        self.assertEqual(pid, r.report["ppid"])
        self.assertIsNone(r.report.env("VORNAK_ONEFILE_START"))

    def test_relative_temp_is_made_absolute(self):
        r = self.run_launcher(self.exe, temp="temp", cwd=self.ws.path)
        self.assertExitCode(r, 0)
        self.extraction_name(r, harness.to_windows_path(self.ws.temp))

    def test_unusable_temp_fails_the_expansion(self):
        # GetTempPathW fails for a TMP this long (and does not fall back to TEMP).
        r = self.run_launcher(self.exe, env={"TMP": "Z:\\" + "t" * 5000})
        self.assertEqual(r.stderr, harness.MSG_EXPAND.format(harness.EXTRACTION_TEMPLATE) + "\n")
        self.assertEqual(r.stdout, "")
        self.assertNotIn(r.code, (0, 2), "ends through abort, not exit")
        self.assertIsNone(r.report)
        self.assertEqual(r.temp_listing, [])
        # Not in the root of the current drive either (Z:\ is the Linux root).
        self.assertFalse([n for n in os.listdir("/") if n.startswith("onefile_")])


if __name__ == "__main__":
    unittest.main()
