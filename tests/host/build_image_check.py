# SPDX-License-Identifier: MIT
"""`vornak build` against the real launcher pieces, run from a directory of
its own: the image exists, and its .rdata opens with exactly the payload that
`vornak pack` writes for the same folder, followed by the payload length and
the product name and version. Host-side only (llvm-readobj, no Wine)."""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

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
            f.write(b"MZ not really a dll")
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
        r = self.vornak("build", "app", "--dll", "app.dll", "-o", "again.exe", "--level", "3",
                        "--name", "Sample App", "--version", "2.5.0.7", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(exe, "rb") as a, open(os.path.join(self.cwd, "again.exe"), "rb") as b:
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


if __name__ == "__main__":
    unittest.main()
