# SPDX-License-Identifier: MIT
"""Damaged payloads through the real launcher under Wine.

From one valid payload (a small application folder packed by `vornak pack`)
a fixed seed derives a few hundred damaged ones: truncations at every
structural boundary of the payload and of its zstd frame, bit flips and
byte changes, and re-encoded entry streams that are cut at every field
boundary, lose a name terminator, carry a huge or wrong size, or hold a name
of 1023, 1024 or more units. Each is linked into a launcher and all of them
run from one batchrun.exe, each with a time limit and a private TEMP.

What counts as right is decided per mutant by a reference reading of the
same bytes on the host (libzstd's streaming decoder via ctypes, default
parameters, and an entry-stream parser):

- magic wrong: exit 2, "Error, couldn't find attached data header." on
  stdout, nothing created;
- terminator first: exit 2 with this launcher's "holds no application DLL"
  line, nothing created;
- the stream breaks (decode error, frame or input ends before the
  terminator, a name runs past 1023 units or is one the launcher refuses,
  such as "..\\x" or "a:b"): exit 2 with "Error, couldn't
  decode attached data.", and the extraction directory holds exactly the
  entries read before the break (a partly written file holds whole 32 KiB
  chunks of its data);
- the stream decodes completely but the frame's end does not check out (the
  packer's content checksum no longer matches): exit 2 with "Error,
  couldn't decode attached data.", the application not started, and the
  extraction directory removed;
- the stream decodes to the original entries (damage behind the frame, or
  none that matters): the application runs as with the valid payload and
  the directory is removed afterwards;
- the stream decodes completely to other entries: the parent writes them all,
  and the child runs what the first entry now holds: the probe when its bytes
  are intact, else "Error, load DLL." or "Error, DLL entry point not found."
  (exit 2), or a changed DLL that still loads ends with its own code; in
  every case the directory is removed afterwards;
- a name that Windows or Wine cannot take as it stands (a character outside
  the plain set, a component over 255 bytes, a device name) may instead end
  the parent with "Error, failed to open '...' for writing." (exit 2), as may
  the open of an entry before the break point;
- an entry path over 4095 units would end with abort (exit code 3 under
  Wine, no message); Wine takes no TEMP over MAX_PATH, so no mutant gets there.

For every mutant, whatever the outcome: the run ends within its limit, TEMP
holds nothing but extraction directories, the launcher's folder and the
current directory are unchanged, and the prefix's own temporary folder gets
nothing.
"""

import ctypes
import os
import random
import re
import struct
import subprocess
import sys
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import harness

SEED = 0x5EED2024
RUN_LIMIT_MS = 20000
PROBE_EXIT = 7
ABORT_EXIT = 3  # the UCRT's abort() of a windowed program under Wine
NAME_UNITS_MAX = harness.NAME_UNITS_MAX
PATH_UNITS_MAX = 4095
CHUNK_BYTES = 32768
DECODER_BLOCK_BYTES = 131072
BATCHRUN = harness.WIN_DIR / "batchrun.exe"
MSG_NO_DLL = "Error, attached data holds no application DLL."
CANARY = "canary.txt"
BATCHES = 2


# --- reference decoder --------------------------------------------------------

class _InBuffer(ctypes.Structure):
    _fields_ = [("src", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


class _OutBuffer(ctypes.Structure):
    _fields_ = [("dst", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


_zstd = ctypes.CDLL("libzstd.so.1")
_zstd.ZSTD_createDCtx.restype = ctypes.c_void_p
_zstd.ZSTD_freeDCtx.argtypes = [ctypes.c_void_p]
_zstd.ZSTD_decompressStream.restype = ctypes.c_size_t
_zstd.ZSTD_decompressStream.argtypes = [ctypes.c_void_p, ctypes.POINTER(_OutBuffer), ctypes.POINTER(_InBuffer)]
_zstd.ZSTD_isError.restype = ctypes.c_uint
_zstd.ZSTD_isError.argtypes = [ctypes.c_size_t]


def decoded_prefix(window):
    """What a default-parameter streaming decoder delivers from window before
    the first frame ends, fails, or runs out of input."""
    src = ctypes.create_string_buffer(bytes(window), len(window))
    block = ctypes.create_string_buffer(DECODER_BLOCK_BYTES)
    inp = _InBuffer(ctypes.cast(src, ctypes.c_void_p), len(window), 0)
    dctx = _zstd.ZSTD_createDCtx()
    out = bytearray()
    try:
        while True:
            o = _OutBuffer(ctypes.cast(block, ctypes.c_void_p), DECODER_BLOCK_BYTES, 0)
            rc = _zstd.ZSTD_decompressStream(dctx, ctypes.byref(o), ctypes.byref(inp))
            if _zstd.ZSTD_isError(rc):
                break
            out += block.raw[:o.pos]
            if rc == 0:
                break  # frame complete
            if inp.pos >= inp.size and o.pos < DECODER_BLOCK_BYTES:
                break  # input used up, nothing more held back
    finally:
        _zstd.ZSTD_freeDCtx(dctx)
    return bytes(out)


def frame_ends_intact(window):
    """Whether a default-parameter streaming decoder gets through the first
    frame in window to its end (content checksum included, when it has one)."""
    src = ctypes.create_string_buffer(bytes(window), len(window))
    block = ctypes.create_string_buffer(DECODER_BLOCK_BYTES)
    inp = _InBuffer(ctypes.cast(src, ctypes.c_void_p), len(window), 0)
    dctx = _zstd.ZSTD_createDCtx()
    try:
        while True:
            before = inp.pos
            o = _OutBuffer(ctypes.cast(block, ctypes.c_void_p), DECODER_BLOCK_BYTES, 0)
            rc = _zstd.ZSTD_decompressStream(dctx, ctypes.byref(o), ctypes.byref(inp))
            if _zstd.ZSTD_isError(rc):
                return False
            if rc == 0:
                return True
            if inp.pos == before and o.pos == 0:
                return False
    finally:
        _zstd.ZSTD_freeDCtx(dctx)


# --- reference reading of the entry stream -----------------------------------

PLAIN_COMPONENT = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]*\Z")
DEVICE_NAMES = re.compile(r"(con|prn|aux|nul|com[1-9]|lpt[1-9])(\..*)?\Z", re.IGNORECASE)


def is_valid_entry_name(name):
    """The launcher's own test of a name: every component non-empty, without
    control characters or < > : " / | ? *, not ending in a dot or a blank,
    and not a device name; a name that fails it is damaged data."""
    for part in name.split("\\"):
        if not part or part[-1] in ". " or any(ord(c) < 0x20 or c in '<>:"/|?*' for c in part):
            return False
        stem = part.split(".", 1)[0].rstrip(" ")
        if re.fullmatch(r"(con|prn|aux|nul|com[1-9]|lpt[1-9])", stem, re.IGNORECASE | re.ASCII):
            return False
    return True


def is_plain_name(name):
    """A name that Windows and Wine take as it stands."""
    parts = name.split("\\")
    return all(PLAIN_COMPONENT.match(p) and not p.endswith(".") and len(p.encode()) <= 255
               and not DEVICE_NAMES.match(p) for p in parts)


class Reading:
    """What the parent role does with a payload, as the format says.

    kind: "no_header", "empty" (terminator first), "complete", "checksum"
    (complete, but the frame's end, its content checksum, does not check
    out: every entry is written, then removed) or "broken".
    entries: (name, size, data) per entry whose size was read, data being the
    decoded bytes that the file receives (all of them, or the whole chunks
    read before the break). names: every name read, in order.
    """

    def __init__(self, payload, extraction_dir_units):
        self.entries = []
        self.names = []
        self.kind = None
        self.first_data = None
        if len(payload) < 3 or payload[:3] != harness.PAYLOAD_MAGIC:
            self.kind = "no_header"
            return
        stream = decoded_prefix(payload[3:])
        pos = 0
        while True:
            units = []
            while True:
                if pos + 2 > len(stream):
                    self.kind = "broken"
                    return
                unit = struct.unpack_from("<H", stream, pos)[0]
                pos += 2
                if unit == 0:
                    break
                if len(units) == NAME_UNITS_MAX:
                    self.kind = "broken"
                    return
                units.append(unit)
            if not units:
                self.kind = "complete" if self.names else "empty"
                if self.names and not frame_ends_intact(payload[3:]):
                    self.kind = "checksum"
                return
            name = struct.pack("<%dH" % len(units), *units).decode("utf-16-le", "surrogatepass")
            if not is_valid_entry_name(name):
                self.kind = "broken"
                return
            self.names.append(name)
            if extraction_dir_units + 1 + len(units) > PATH_UNITS_MAX:
                self.kind = "abort"
                return
            if pos + 8 > len(stream):
                self.kind = "broken"
                return
            size = struct.unpack_from("<Q", stream, pos)[0]
            pos += 8
            available = len(stream) - pos
            if size <= available:
                data = stream[pos:pos + size]
                pos += size
                self.entries.append((name, size, data))
                if self.first_data is None:
                    self.first_data = data
                continue
            whole = available // CHUNK_BYTES * CHUNK_BYTES
            self.entries.append((name, size, stream[pos:pos + whole]))
            self.kind = "broken"
            return

    @property
    def plain(self):
        """Every name read is plain, and no two differ by letter case only."""
        seen = {}
        for n in self.names:
            if not is_plain_name(n) or seen.setdefault(n.lower(), n) != n:
                return False
        return True

    def expected_tree(self):
        """{relative posix path: bytes or None for directories} of the extraction directory."""
        tree = {}
        for name, _, data in self.entries:
            parts = name.split("\\")
            for i in range(1, len(parts)):
                tree["/".join(parts[:i]) + "/"] = None
            tree["/".join(parts)] = data
        return tree


# --- payload structure --------------------------------------------------------

def frame_layout(frame):
    """(header_end, [(block_start, block_end)], frame_end) of a well-formed zstd frame."""
    fhd = frame[4]
    single_segment = (fhd >> 5) & 1
    fcs_sizes = [1 if single_segment else 0, 2, 4, 8]
    pos = 5 + (0 if single_segment else 1) + [0, 1, 2, 4][fhd & 3] + fcs_sizes[fhd >> 6]
    header_end = pos
    blocks = []
    while True:
        head = int.from_bytes(frame[pos:pos + 3], "little")
        kind, size = (head >> 1) & 3, head >> 3
        end = pos + 3 + (1 if kind == 1 else size)
        blocks.append((pos, end))
        pos = end
        if head & 1:
            break
    if (fhd >> 2) & 1:
        pos += 4
    return header_end, blocks, pos


def entry_boundaries(stream):
    """Offsets of the field boundaries in an entry stream, and the entries'
    (name_start, name_end, size_start, data_start, data_end)."""
    spans = []
    pos = 0
    while True:
        start = pos
        while stream[pos:pos + 2] != b"\0\0":
            pos += 2
        if pos == start:
            return spans, start  # the terminator's offset
        name_end = pos
        pos += 2
        size = struct.unpack_from("<Q", stream, pos)[0]
        spans.append((start, name_end, pos, pos + 8, pos + 8 + size))
        pos += 8 + size


def make_mutants(payload, stream, probe):
    """(family, description, payload bytes) for every mutant, fixed by SEED."""
    rng = random.Random(SEED)
    frame = payload[3:-15]
    header_end, blocks, frame_end = frame_layout(frame)
    assert frame_end == len(frame), "the packer's frame has an unexpected layout"
    mutants = []

    def add(family, text, data):
        mutants.append((family, text, bytes(data)))

    # Truncations of the payload at its boundaries and the frame's.
    cuts = {0, 1, 2, 3, 4, 5, 6, 7, 3 + header_end - 1, 3 + header_end}
    for start, end in blocks:
        cuts |= {3 + start, 3 + start + 1, 3 + start + 3, 3 + end - 1, 3 + end}
    cuts |= {3 + frame_end + k for k in (1, 3, 7)} | {len(payload) - 1}
    for n in sorted(cuts):
        if n < len(payload):
            add("truncation", "payload cut to %d of %d bytes" % (n, len(payload)), payload[:n])

    def flip(pos, bit, where):
        data = bytearray(payload)
        data[pos] ^= 1 << bit
        add("flip", "bit %d of payload byte %d (%s)" % (bit, pos, where), data)

    for pos in range(3):
        flip(pos, rng.randrange(8), "magic")
    for pos in range(3, 3 + header_end):
        for bit in range(8) if pos >= 7 else [rng.randrange(8)]:
            flip(pos, bit, "frame header")
    first_block = blocks[0][0]
    for bit in range(0, 24, 2):
        flip(3 + first_block + bit // 8, bit % 8, "first block header")
    for start, _ in blocks[1:]:
        for _ in range(1):
            b = rng.randrange(24)
            flip(3 + start + b // 8, b % 8, "block header at %d" % start)
    for _ in range(90):
        flip(rng.randrange(3 + header_end, 3 + frame_end), rng.randrange(8), "frame contents")
    for pos in (3 + frame_end, 3 + frame_end + 6, len(payload) - 8, len(payload) - 1):
        flip(pos, rng.randrange(8), "behind the frame")
    for _ in range(15):
        data = bytearray(payload)
        pos = rng.randrange(3 + header_end, 3 + frame_end)
        data[pos] = rng.randrange(256)
        add("flip", "payload byte %d set to 0x%02X" % (pos, data[pos]), data)

    # Entry streams damaged before compression, each in a valid frame.
    spans, terminator = entry_boundaries(stream)

    def reencode(family, text, new_stream):
        add(family, text, harness.payload(harness.zstd_frame(new_stream)))

    done = set()
    for i, (name_start, name_end, size_start, data_start, data_end) in enumerate(spans):
        for cut, where in ((name_start, "before the name"), (name_start + 1, "inside the first unit"),
                           ((name_start + name_end) // 2 & ~1, "inside the name"),
                           (name_end, "before the name's terminator"), (size_start, "before the size"),
                           (size_start + 4, "inside the size"), (data_start, "before the data"),
                           (data_start + 1, "after one data byte"), ((data_start + data_end) // 2, "inside the data"),
                           (data_end - 1, "before the last data byte")):
            if (name_start <= cut < data_end or cut == data_start) and cut not in done:
                done.add(cut)
                reencode("stream", "stream cut %s of entry %d (at %d)" % (where, i, cut), stream[:cut])
    reencode("stream", "stream without its terminator", stream[:terminator])
    reencode("stream", "stream with half a terminator", stream[:terminator + 1])
    reencode("stream", "terminator only", b"\0\0")

    for i, (name_start, name_end, size_start, data_start, data_end) in enumerate(spans):
        reencode("stream", "name of entry %d without its terminator" % i, stream[:name_end] + stream[size_start:])
    for i in sorted({0, len(spans) // 2, len(spans) - 1}):
        name_start, name_end, size_start, data_start, data_end = spans[i]
        size = data_end - data_start
        rest = len(stream) - data_start
        for value, what in ((2 ** 64 - 1, "2^64-1"), (2 ** 63, "2^63"), (rest + 1, "one beyond the stream"),
                            (size + 1, "one too many"), (max(size - 1, 0), "one too few")):
            reencode("stream", "size of entry %d set to %s" % (i, what),
                     stream[:size_start] + struct.pack("<Q", value) + stream[data_start:])

    def with_entry(name, data=b"x"):
        pos = spans[0][4]  # after the first entry, so that the probe still runs
        return stream[:pos] + harness.entry(name, data) + stream[pos:]

    long_1023 = "\\".join(["d" * 199] * 5) + "\\" + "f" * (NAME_UNITS_MAX - 5 * 200)
    long_1024 = "\\".join(["d" * 199] * 5) + "\\" + "f" * (NAME_UNITS_MAX + 1 - 5 * 200)
    assert len(long_1023) == NAME_UNITS_MAX and len(long_1024) == NAME_UNITS_MAX + 1
    reencode("names", "a name of 1023 units in 6 components", with_entry(long_1023))
    reencode("names", "a name of 1024 units", with_entry(long_1024))
    reencode("names", "a name of 5000 units", with_entry("n" * 5000))
    reencode("names", "a first name of 1024 units", harness.entry("p" * 1024, probe) + stream)
    reencode("names", "a single component of 1023 units", with_entry("c" * NAME_UNITS_MAX))
    return mutants


# --- images -----------------------------------------------------------------------

def pe_checksum(image):
    """The PE header checksum of image, its own field counted as zero."""
    field = struct.unpack_from("<I", image, 0x3C)[0] + 24 + 64
    data = image[:field] + b"\0\0\0\0" + image[field + 4:]
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("<%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image), field


def image_with_payload(base_image, base_payload, payload):
    """base_image carrying payload (of base_payload's length) instead: what
    `vornak build`, which is deterministic, writes for it."""
    at = base_image.find(base_payload)
    assert at > 0 and len(payload) == len(base_payload)
    image = base_image[:at] + payload + base_image[at + len(payload):]
    checksum, field = pe_checksum(image)
    return image[:field] + struct.pack("<I", checksum) + image[field + 4:]


# --- the test -------------------------------------------------------------------

def _read_text(path):
    return path.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n") if path.exists() else ""


def _prefix_temp_listing():
    temp = Path(harness.WINEPREFIX) / "drive_c" / "users" / os.environ.get("USER", "root") / "Temp"
    return sorted(os.listdir(temp)) if temp.is_dir() else []


def _app_files():
    """The base application: the probe first, then files that put entry and
    chunk boundaries inside several decoder blocks."""
    rng = random.Random(SEED)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"launcher", b"payload", b"unpack", b"\n", b"  "]
    text = b" ".join(rng.choice(words) for _ in range(40000))
    # Binary-looking data: little-endian tables, as in a resource file.
    tables = b"".join(struct.pack("<IHHd", i * 2654435761 % 2 ** 32, i % 977, rng.randrange(65536), i / 7.0)
                      for i in range(1500))
    return {
        "probe.dll": harness.probe_dll_bytes(),
        "readme.txt": b"Damaged payloads, one after the other.\n",
        "empty.dat": b"",
        "data/chunk32768.bin": text[:CHUNK_BYTES],
        "data/chunk32769.bin": text[1:CHUNK_BYTES + 2],
        "data/deep/er/notes.txt": text[:5000],
        "lib/tables.bin": tables,
        "lib/words.txt": text,
    }


class Mutations(harness.LauncherTestCase):
    """One batch for all mutants (built and run in setUpClass); one test per family."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        harness._ensure_wine()
        app = harness.make_app_dir(cls.class_dir / "app", _app_files())
        base = cls.class_dir / "base.payload"
        subprocess.run([str(harness.VORNAK), "pack", str(app), "--dll", "probe.dll", "-o", str(base), "--quiet"],
                       check=True)
        payload = base.read_bytes()
        stream = decoded_prefix(payload[3:])
        cls.original = Reading(payload, 0).entries
        mutants = make_mutants(payload, stream, harness.probe_dll_bytes())

        # VORNAK_MUTANTS=3,17 runs only those (numbers as in the failure report).
        chosen = os.environ.get("VORNAK_MUTANTS")
        chosen = {int(n) for n in chosen.split(",")} if chosen else None
        root = cls.class_dir / "m"
        cls.runs = []
        for i, (family, text, data) in enumerate(mutants):
            if chosen is not None and i not in chosen:
                continue
            d = root / ("%03d" % i)
            temp = d / "temp"
            temp.mkdir(parents=True)
            (d / "run").mkdir()
            (d / "run" / CANARY).write_bytes(b"canary")
            (d / "payload.bin").write_bytes(data)
            cls.runs.append({"family": family, "text": text, "dir": d, "temp": temp, "payload": data})

        # A link costs about 0.2 s; mutants of the valid payload's length get
        # its image with the payload bytes replaced, which is checked once
        # against a real link.
        base_image = harness.build_launcher(cls.class_dir / "base.exe", payload_file=base).read_bytes()
        same_length = [m for m in mutants if len(m[2]) == len(payload) and m[2] != payload]
        if same_length:
            # Under the same file name: it is part of the image (OriginalFilename).
            check = harness.build_launcher(cls.class_dir / "check" / "base.exe", payload_bytes=same_length[0][2])
            assert check.read_bytes() == image_with_payload(base_image, payload, same_length[0][2]), \
                "replacing the payload in an image is no longer what vornak build does"

        def build(run):
            exe = run["dir"] / "bin" / "launcher.exe"
            if len(run["payload"]) == len(payload):
                exe.parent.mkdir()
                exe.write_bytes(image_with_payload(base_image, payload, run["payload"]))
            else:
                harness.build_launcher(exe, payload_file=run["dir"] / "payload.bin")
            (run["dir"] / "bin" / CANARY).write_bytes(b"canary")

        with ThreadPoolExecutor(2) as pool:
            list(pool.map(build, cls.runs))

        cls.prefix_temp_before = _prefix_temp_listing()
        # Two batches side by side, one per core.
        batches = [cls.runs[k::BATCHES] for k in range(BATCHES)]
        started = [cls.start_batch(k, runs) for k, runs in enumerate(batches) if runs]
        for (proc, results), runs in zip(started, batches):
            _, err = proc.communicate(timeout=len(runs) * 2 + 300)
            if proc.returncode != 0:
                raise RuntimeError("batchrun failed (%d): %s" % (proc.returncode, err.decode(errors="replace")))
            for line in results.read_text().splitlines():
                status = dict(f.split("=", 1) for f in line.split())
                run = runs[int(status["run"])]  # batchrun counts its runs in order
                run["code"] = int(status["exit"], 16)
                run["timed_out"] = status["timed_out"] == "1"
        cls.prefix_temp_after = _prefix_temp_listing()

    @classmethod
    def start_batch(cls, number, runs):
        fields = []
        for name in harness.HANDOFF_VARIABLES + ("VORNAK_PROBE_HOLDER",):
            fields += ["--unset", name]
        for run in runs:
            d = run["dir"]
            temp = harness.to_windows_path(run["temp"])
            fields += ["--set", "TMP=" + temp, "--set", "TEMP=" + temp,
                       "--set", "VORNAK_PROBE_REPORT=" + harness.to_windows_path(d / "report.txt"),
                       "--cwd", harness.to_windows_path(d / "run"),
                       "--stdout", harness.to_windows_path(d / "out.txt"),
                       "--stderr", harness.to_windows_path(d / "err.txt"),
                       "--timeout", str(RUN_LIMIT_MS), "--catch-crashes",
                       "--cmd", harness.command_line(harness.to_windows_path(d / "bin" / "launcher.exe"),
                                                     ["probe:exit=%d" % PROBE_EXIT]),
                       "--run"]
        jobs = cls.class_dir / ("jobs%d.bin" % number)
        jobs.write_bytes("\0".join(fields).encode("utf-16-le", "surrogatepass"))
        results = cls.class_dir / ("results%d.txt" % number)
        proc = subprocess.Popen([harness.WINE, str(BATCHRUN), harness.to_windows_path(jobs),
                                 harness.to_windows_path(results)],
                                env=harness.wine_environment(), cwd=cls.class_dir, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        return proc, results

    @classmethod
    def tearDownClass(cls):
        # What the batch exercised, for the log: outcomes by how the run ended.
        tally = {}
        for run in cls.runs:
            d = run["dir"]
            out, err = _read_text(d / "out.txt"), _read_text(d / "err.txt")
            line = (out + err).split("\n")[0]
            if (d / "report.txt").exists():
                what = "the probe ran"
            elif line.startswith("Error, "):
                what = "exit 0x%08X: %s" % (run.get("code", 0), re.sub(r" '.*' ", " '...' ", line.split(" ([")[0]))
            else:
                what = "exit 0x%08X" % run.get("code", 0)
            tally[what] = tally.get(what, 0) + 1
        sys.stderr.write("%d mutants: %s\n" % (len(cls.runs), "; ".join(
            "%d %s" % (n, w) for w, n in sorted(tally.items(), key=lambda kv: -kv[1]))))
        super().tearDownClass()

    def setUp(self):
        pass  # the runs' own directories stand in for a workspace

    def check_run(self, run):
        d = run["dir"]
        self.assertIn("code", run, "batchrun reported no result")
        self.assertFalse(run["timed_out"], "the run did not end within %d ms" % RUN_LIMIT_MS)
        code, out, err = run["code"], _read_text(d / "out.txt"), _read_text(d / "err.txt")
        ran = (d / "report.txt").exists()
        self.assertEqual(sorted(os.listdir(d / "bin")), sorted([CANARY, "launcher.exe"]),
                         "the launcher's folder changed")
        # Under Wine 8, SHFileOperationW on a tree holding a path over
        # MAX_PATH deletes the current directory's contents instead.
        self.assertEqual(os.listdir(d / "run"), [CANARY], "the current directory changed")
        temp = run["temp"]
        top = os.listdir(temp)
        self.assertTrue(all(harness.EXTRACTION_NAME.match(n) and (temp / n).is_dir() for n in top),
                        "TEMP holds more than extraction directories: %r" % top)
        self.assertLessEqual(len(top), 1, "more than one extraction directory: %r" % top)
        extraction = temp / top[0] if top else None

        # Extraction directory path length: TEMP + \onefile_<pid>_<6>_<11>
        # Wine takes no TEMP over MAX_PATH, so no name of 1023 units can make
        # an entry path overflow here; the abort case stays for other hosts.
        dir_units = len(harness.to_windows_path(temp)) + len("\\onefile_") + 4 + 1 + 6 + 1 + 11
        model = Reading(run["payload"], dir_units)
        kind = model.kind
        exit2 = code == 2 and not ran
        open_failed = (exit2 and out == "" and err.startswith("Error, failed to open '") and
                       err.endswith("' for writing.\n") and err.count("\n") == 1)
        summary = "exit 0x%08X, stdout %r, stderr %r, report %s, expected %s" % (code, out[-300:], err[-300:], ran, kind)

        if kind == "no_header":
            self.assertTrue(exit2 and out == harness.MSG_NO_HEADER + "\n" and err == "", summary)
            self.assertIsNone(extraction)
        elif kind == "empty":
            self.assertTrue(exit2 and out == MSG_NO_DLL + "\n" and err == "", summary)
            self.assertIsNone(extraction)
        elif kind == "abort":
            self.assertTrue(code == ABORT_EXIT and not ran and out == "" and err == "", summary)
        elif kind == "checksum":
            decode_error = exit2 and out == harness.MSG_DECODE + "\n" and err == ""
            self.assertTrue(decode_error or (not model.plain and open_failed), summary)
            self.assertIsNone(extraction, "the extraction directory was not removed")
        elif kind == "broken":
            decode_error = exit2 and out == harness.MSG_DECODE + "\n" and err == ""
            if model.plain:
                self.assertTrue(decode_error, summary)
                self.assertEqual(harness.tree(extraction) if extraction else {}, model.expected_tree())
            else:
                self.assertTrue(decode_error or open_failed, summary)
        elif model.entries == self.original:
            self.assertTrue(code == PROBE_EXIT and ran and out == "" and err == "", summary)
            self.assertIsNone(extraction, "the extraction directory was not removed")
        else:
            if not model.plain and open_failed:
                return
            if model.first_data == harness.probe_dll_bytes():
                self.assertTrue(code == PROBE_EXIT and ran and out == "" and err == "", summary)
            else:
                load_failed = exit2 and out == "" and err.startswith(harness.MSG_LOAD_DLL + " ([Error ")
                no_entry = exit2 and out == harness.MSG_NO_ENTRY_POINT + "\n" and err == ""
                own_result = "Error," not in out and "Error," not in err
                self.assertTrue(load_failed or no_entry or own_result, summary)
            self.assertIsNone(extraction, "the extraction directory was not removed")

    def check_family(self, family):
        runs = [r for r in self.runs if r["family"] == family]
        if not os.environ.get("VORNAK_MUTANTS"):
            self.assertGreater(len(runs), 0)
        for run in runs:
            with self.subTest(mutant=run["dir"].name, what=run["text"]):
                self.check_run(run)

    def test_truncations(self):
        self.check_family("truncation")

    def test_bit_flips_and_byte_changes(self):
        self.check_family("flip")

    def test_damaged_entry_streams(self):
        self.check_family("stream")

    def test_long_names(self):
        self.check_family("names")

    def test_nothing_in_the_prefix_temp_folder(self):
        self.assertEqual(self.prefix_temp_after, self.prefix_temp_before)


if __name__ == "__main__":
    unittest.main()
