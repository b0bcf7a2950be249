# SPDX-License-Identifier: MIT
"""`vornak build` against the real launcher pieces, run from a directory of
its own: the image exists, and its .rdata opens with exactly the payload that
`vornak pack` writes for the same folder, followed by the payload length and
the product name and version. `vornak extract` gives the folder back, and
refuses what could land outside its output folder. Host-side only
(llvm-readobj, no Wine)."""
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (payload building and folder listings)

VORNAK = os.path.abspath(os.environ.get("VORNAK", os.path.join(os.path.dirname(__file__), "../../build/bin/vornak")))
READOBJ = shutil.which("llvm-readobj") or shutil.which("llvm-readobj-14")


def rdata_section(exe):
    """(virtual address, file offset, raw size) of .rdata as llvm-readobj reports it."""
    out = subprocess.run([READOBJ, "--sections", exe], check=True, capture_output=True, text=True).stdout
    for block in out.split("Section {")[1:]:
        if re.search(r"Name: \.rdata\b", block):
            field = lambda name: int(re.search(name + r": (0x[0-9A-Fa-f]+|\d+)", block).group(1), 0)
            return field("VirtualAddress"), field("PointerToRawData"), field("RawDataSize")
    raise AssertionError(".rdata not found in " + exe)


def image_base(exe):
    out = subprocess.run([READOBJ, "--file-headers", exe], check=True, capture_output=True, text=True).stdout
    return int(re.search(r"ImageBase: (0x[0-9A-Fa-f]+)", out).group(1), 16)


def rdata_hex_start(exe):
    """First line of llvm-readobj's hex dump of .rdata: (address, ascii column)."""
    out = subprocess.run([READOBJ, "-x", ".rdata", exe], check=True, capture_output=True, text=True).stdout
    line = next(l for l in out.splitlines() if l.startswith("0x"))
    return int(line.split()[0], 16), line


def wide_string(data, offset):
    """The NUL-terminated UTF-16LE string at offset, and the offset after it."""
    end = offset
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16-le"), end + 2


class BuildImage(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="vornak-build-check-")
        self.scratch = os.path.join(self.root, "tmp")
        os.mkdir(self.scratch)
        self.cwd = os.path.join(self.root, "elsewhere")
        os.makedirs(os.path.join(self.cwd, "app", "data"))
        with open(os.path.join(self.cwd, "app", "app.dll"), "wb") as f:
            f.write(harness.probe_dll_bytes())  # a DLL that passes the application check
        with open(os.path.join(self.cwd, "app", "data", "x.txt"), "wb") as f:
            f.write(b"x" * 5000)

    def tearDown(self):
        shutil.rmtree(self.root)

    def vornak(self, *args):
        env = dict(os.environ, TMPDIR=self.scratch)
        return subprocess.run([VORNAK, *args], cwd=self.cwd, env=env, capture_output=True, text=True)

    def image_rdata(self, exe):
        va, offset, size = rdata_section(exe)
        with open(exe, "rb") as f:
            f.seek(offset)
            return va, f.read(size)

    def test_readme_sample_is_what_the_tool_prints(self):
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        with open(os.path.join(source, "README.md")) as f:
            readme = f.read()
        m = re.search(r"^    \$ build/bin/vornak (build build/examples/hello .*)\n    (vornak: wrote .*)$", readme, re.M)
        self.assertIsNotNone(m, "the README's build sample")
        example = os.path.join(os.path.dirname(VORNAK), "..", "examples", "hello")
        args = [a.strip('"') for a in re.findall(r'"[^"]*"|\S+', m.group(1))]
        args[1] = example
        r = self.vornak(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, m.group(2) + "\n")

    def test_build_from_another_directory_puts_the_payload_first_in_rdata(self):
        os.mkdir(os.path.join(self.cwd, "out"))
        r = self.vornak("build", "app", "--dll", "app.dll", "-o", "out/launcher.exe", "--level", "3",
                        "--name", "Sample App", "--version", "2.5.0.7")
        self.assertEqual(r.returncode, 0, r.stderr)
        exe = os.path.join(self.cwd, "out", "launcher.exe")
        self.assertTrue(os.path.isfile(exe))
        self.assertTrue(os.access(exe, os.X_OK))
        self.assertEqual(sorted(os.listdir(os.path.join(self.cwd, "out"))), ["launcher.exe"])
        self.assertEqual(os.listdir(self.scratch), [], "scratch directory removed")
        # The output's file name is an input too (OriginalFilename): the same
        # name in another folder.
        os.mkdir(os.path.join(self.cwd, "again"))
        r = self.vornak("build", "app", "--dll", "app.dll", "-o", "again/launcher.exe", "--level", "3",
                        "--name", "Sample App", "--version", "2.5.0.7", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(exe, "rb") as a, open(os.path.join(self.cwd, "again", "launcher.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read(), "same inputs link to the same image")

        va, _, _ = rdata_section(exe)
        address, line = rdata_hex_start(exe)
        self.assertEqual(address - image_base(exe), va, "hex dump starts at .rdata's address")
        self.assertIn("514f5a", line.replace(" ", "").lower()[:20], line)
        self.assertIn("QOZ", line)

        r = self.vornak("pack", "app", "--dll", "app.dll", "-o", "p.bin", "--level", "3", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.cwd, "p.bin"), "rb") as f:
            payload = f.read()
        _, data = self.image_rdata(exe)
        self.assertEqual(data[:len(payload)], payload, ".rdata opens with the packed payload")
        at = (len(payload) + 7) & ~7
        self.assertEqual(struct.unpack_from("<Q", data, at)[0], len(payload))
        name, after = wide_string(data, at + 8)
        version, _ = wide_string(data, after)
        self.assertEqual((name, version), ("Sample App", "2.5.0.7"))

    def test_rdata_starts_on_a_page_in_the_file(self):
        # Wine maps a section from the file only at a page-aligned offset; it
        # would read the whole payload into memory otherwise, in both roles.
        r = self.vornak("build", "app", "--dll", "app.dll", "-o", "a.exe", "--level", "3", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        exe = os.path.join(self.cwd, "a.exe")
        out = subprocess.run([READOBJ, "--file-headers", "--sections", exe], check=True, capture_output=True,
                             text=True).stdout
        self.assertEqual(int(re.search(r"FileAlignment: (\d+)", out).group(1)), 512)
        sections = []
        for block in out.split("Section {")[1:]:
            field = lambda name: int(re.search(name + r": (0x[0-9A-Fa-f]+|\d+)", block).group(1), 0)
            sections.append((re.search(r"Name: (\S+)", block).group(1), field("PointerToRawData"),
                             field("RawDataSize")))
        offsets = {name: offset for name, offset, _ in sections}
        self.assertEqual(offsets[".rdata"] % 4096, 0, sections)
        with open(exe, "rb") as f:
            image = f.read()
        placed = sorted((o, n) for _, o, n in sections if n)
        for (o, n), (next_o, _) in zip(placed, placed[1:]):
            self.assertLessEqual(o + n, next_o, "section data overlaps: %r" % sections)
            self.assertEqual(image[o + n:next_o], bytes(next_o - o - n), "the gap is zero bytes")
        self.assertEqual(placed[-1][0] + placed[-1][1], len(image))

    def test_bad_payload_file_is_refused_unless_unchecked(self):
        damaged = os.path.join(self.cwd, "damaged.bin")
        with open(damaged, "wb") as f:
            f.write(b"XYZ" + bytes(range(40)))
        # A well-formed payload whose second name climbs out of the extraction directory.
        stream = b"".join(n.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", 1) + b"x"
                          for n in ("app.dll", "..\\evil.txt")) + b"\0\0"
        frame = subprocess.run(["zstd", "-q", "-c", "--no-check"], input=stream, check=True,
                               capture_output=True).stdout
        climbing = os.path.join(self.cwd, "climbing.bin")
        with open(climbing, "wb") as f:
            f.write(b"QOZ" + frame + bytes(7) + struct.pack("<Q", 10 + len(frame)))
        for name, part in (("damaged.bin", '"QOZ"'), ("climbing.bin", "'..'")):
            with self.subTest(name):
                r = self.vornak("build", "--payload", name, "-o", "d.exe", "--quiet")
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertTrue(r.stderr.startswith("vornak: error: payload '"), r.stderr)
                self.assertIn(part, r.stderr)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.cwd, "d.exe")))
                self.assertEqual(os.listdir(self.scratch), [])
        # --unchecked carries it as it is, for testing a launcher's own refusals.
        r = self.vornak("build", "--payload", "damaged.bin", "--unchecked", "-o", "d.exe", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "")
        _, data = self.image_rdata(os.path.join(self.cwd, "d.exe"))
        self.assertEqual(data[:43], b"XYZ" + bytes(range(40)))
        self.assertEqual(struct.unpack_from("<Q", data, 48)[0], 43)

    def test_failed_build_leaves_nothing(self):
        r = self.vornak("build", "app", "--dll", "missing.dll", "-o", "x.exe")
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith("vornak: error: "), r.stderr)
        self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.cwd, "x.exe")))
        self.assertEqual(sorted(os.listdir(self.cwd)), ["app"])
        self.assertEqual(os.listdir(self.scratch), [])


def raw_frame(data):
    """One zstd frame of raw (stored) blocks: the entry stream lies in the
    image as it is, so a test can change a name in place after the build,
    past any check that `vornak build` makes of its payload."""
    frame = bytearray(b"\x28\xb5\x2f\xfd\x00" + bytes([(17 - 10) << 3]))  # no content size; window 128 KiB
    blocks = [data[i:i + 65536] for i in range(0, len(data), 65536)]
    for k, block in enumerate(blocks):
        last = 1 if k == len(blocks) - 1 else 0
        frame += ((len(block) << 3) | last).to_bytes(3, "little") + block  # block type 0: raw
    return bytes(frame)


def units(name):
    return name.encode("utf-16-le", "surrogatepass")


class ExtractImage(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="vornak-extract-check-")
        self.scratch = os.path.join(self.root, "tmp")
        os.mkdir(self.scratch)

    def tearDown(self):
        shutil.rmtree(self.root)

    def vornak(self, *args):
        env = dict(os.environ, TMPDIR=self.scratch)
        return subprocess.run([VORNAK, *args], cwd=self.root, env=env, capture_output=True, text=True)

    def assert_refused(self, r, *fragments):
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertTrue(r.stderr.startswith("vornak: error: "), r.stderr)
        self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
        for fragment in fragments:
            self.assertIn(fragment, r.stderr)

    def image_of(self, entries, name):
        """An image carrying entries [(name, bytes)] in a frame of raw blocks."""
        payload = os.path.join(self.root, name + ".payload")
        with open(payload, "wb") as f:
            f.write(harness.payload(raw_frame(harness.entry_stream(entries))))
        exe = os.path.join(self.root, name + ".exe")
        r = self.vornak("build", "--payload", payload, "-o", exe, "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        os.unlink(payload)
        return exe

    def test_extract_gives_the_folder_back_byte_for_byte(self):
        rng = random.Random(11)
        files = {
            "app.dll": harness.probe_dll_bytes(),
            "empty.bin": b"",
            "chunk_plus_one.bin": bytes(rng.randrange(256) for _ in range(32769)),
            "big.bin": bytes(rng.randrange(4) for _ in range(300000)),  # many decoder blocks
            "sub/deeper/x.dat": b"deep",
            "sub/\u00e4/\u20ac \u00dcn\u00efcode.txt": "\u00fc".encode(),
            "data/greeting.txt": b"hello",
        }
        app = harness.make_app_dir(os.path.join(self.root, "app"), files)
        r = self.vornak("build", "app", "--dll", "app.dll", "-o", "a.exe", "--level", "3", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.vornak("extract", "a.exe", "-o", "out")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "vornak: extracted %d files (%d bytes) into out\n"
                         % (len(files), sum(map(len, files.values()))))
        self.assertEqual(harness.tree(os.path.join(self.root, "out")), harness.tree(app))
        # An empty folder may take the files too; one that holds anything is refused as it is.
        os.mkdir(os.path.join(self.root, "empty"))
        r = self.vornak("extract", "a.exe", "-o", "empty/", "--quiet")
        self.assertEqual((r.returncode, r.stdout), (0, ""), r.stderr)
        self.assertEqual(harness.tree(os.path.join(self.root, "empty")), harness.tree(app))
        before = harness.tree(os.path.join(self.root, "out"))
        self.assert_refused(self.vornak("extract", "a.exe", "-o", "out"), "'out' exists and is not empty")
        self.assertEqual(harness.tree(os.path.join(self.root, "out")), before)
        self.assert_refused(self.vornak("extract", "a.exe", "-o", "app/app.dll"), "exists and is not a folder")
        self.assert_refused(self.vornak("extract", "a.exe", "-o", "missing/out"), "cannot create output folder")
        self.assertEqual(sorted(os.listdir(self.root)), ["a.exe", "app", "empty", "out", "tmp"])

    def test_unsafe_names_are_refused_and_nothing_is_written(self):
        # (name in the built payload, the same bytes changed into, what the refusal says)
        cases = [
            ("zz\\evil.txt", "..\\evil.txt", "'.' or '..' component"),
            ("Cq\\evil.txt", "C:\\evil.txt", "holds ':'"),
            ("qevil.txt", "\\evil.txt", "empty component"),
            ("rqqevil.txt", "r\\\\evil.txt", "empty component"),
            ("dq..qevil.txt", "d/../evil.txt", "holds '/'"),
            ("ztmpzevil.txt", "/tmp/evil.txt", "holds '/'"),  # an absolute path on the host
            ("x\\qq\\qq\\evil.txt", "x\\..\\..\\evil.txt", "'.' or '..' component"),
            ("cox.txt", "con.txt", "reserved device name"),
            ("sQ.txt", "s\ud800.txt", "lone surrogate"),
            ("trailq", "trail.", "ends with a dot"),
        ]
        for template, unsafe, reason in cases:
            with self.subTest(name=unsafe):
                self.check_refused([("app.dll", b"MZ"), ("ok.txt", b"ok"), (template, b"evil")],
                                   units(template), units(unsafe), reason)

    def test_names_windows_would_take_for_one_file_are_refused(self):
        cases = [
            ([("Dir\\a.txt", b"1"), ("Qir\\b.txt", b"2")], "Qir\\", "dir\\", "differ only in letter case"),
            ([("dupA.txt", b"1"), ("dupB.txt", b"2")], "dupB", "dupA", "appears twice"),
            ([("node", b"1"), ("Qode\\x.txt", b"2")], "Qode", "node", "names both a file and a folder"),
            ([("Qode\\x.txt", b"1"), ("node", b"2")], "Qode", "node", "names both a file and a folder"),
        ]
        for entries, template, changed, reason in cases:
            with self.subTest(change=changed):
                self.check_refused([("app.dll", b"MZ")] + entries, units(template), units(changed), reason)

    def check_refused(self, entries, template, changed, reason):
        exe = self.image_of(entries, "unsafe")
        with open(exe, "rb") as f:
            data = f.read()
        self.assertEqual(data.count(template), 1)
        with open(exe, "wb") as f:
            f.write(data.replace(template, changed))
        before = sorted(os.listdir(self.root))
        r = self.vornak("extract", exe, "-o", os.path.join(self.root, "out"))
        os.unlink(exe)
        self.assert_refused(r, "payload entry '", reason)
        self.assertEqual(sorted(os.listdir(self.root)), [n for n in before if n != "unsafe.exe"])
        self.assertEqual(os.listdir(self.scratch), [])

    def test_damaged_payloads_are_refused_and_leave_nothing(self):
        exe = self.image_of([("app.dll", b"MZ"), ("a.txt", b"x" * 100), ("b.txt", b"y" * 10)], "damaged")
        with open(exe, "rb") as f:
            data = f.read()
        size = units("b.txt") + b"\0\0" + struct.pack("<Q", 10)
        with open(exe, "wb") as f:
            f.write(data.replace(size, size[:-8] + struct.pack("<Q", 1 << 40)))
        self.assert_refused(self.vornak("extract", exe, "-o", "out"), "ends inside the data of b.txt")
        with open(exe, "wb") as f:
            f.write(data.replace(harness.PAYLOAD_MAGIC + b"\x28\xb5", b"XYZ\x28\xb5"))
        self.assert_refused(self.vornak("extract", exe, "-o", "out"), "carries no payload")
        os.mkdir(os.path.join(self.root, "folder"))
        self.assert_refused(self.vornak("extract", "folder", "-o", "out"), "is not a regular file")
        self.assertEqual(sorted(os.listdir(self.root)), ["damaged.exe", "folder", "tmp"])


if __name__ == "__main__":
    unittest.main()
