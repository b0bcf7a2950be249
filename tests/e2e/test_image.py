# SPDX-License-Identifier: MIT
"""The launcher image as the system sees it before any of its code runs:
header settings, sections, imports, manifest, version resource, icon group,
checksum and signature. Every image is read back twice, with `vornak inspect`
(as text, and as JSON that must state the same facts) and independently with pefile (plus windres, openssl and osslsigncode where
they give a second opinion), for the default build and for one with another
product name, version and icon set.
"""

import json
import os
import re
import shutil
import struct
import subprocess
import unittest
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import pefile

SOURCE_DIR = Path(os.environ.get("VORNAK_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BUILD_DIR = Path(os.environ.get("VORNAK_BUILD_DIR") or SOURCE_DIR / "build")
VORNAK = BUILD_DIR / "bin" / "vornak"
APP_DIR = BUILD_DIR / "examples" / "hello"
ICON_DIR = SOURCE_DIR / "image" / "icons"
WINE = os.environ.get("WINE") or "/usr/lib/wine/wine64"
WINEPREFIX = os.environ.get("WINEPREFIX") or str(BUILD_DIR / "wineprefix")

EXAMPLE_NAME, EXAMPLE_VERSION = "Tovrindale", "1.0.0.160"
OTHER_NAME, OTHER_VERSION = "Acme Widget Studio", "2.13.0.40001"

HEADER = {
    "machine": 0x8664, "magic": 0x20B, "characteristics": 0x22,
    "subsystem": 2, "subsystem_version": (6, 0), "os_version": (6, 0),
    "image_base": 0x140000000, "dll_characteristics": 0x8160,
    "stack": (16777216, 4096), "heap": (1048576, 4096), "alignment": (4096, 512),
}
# The order we want; .tls appears only when something in the image has
# thread-local data, which the launcher and its runtime pieces do not.
SECTION_ORDER = [".text", ".rdata", ".data", ".pdata", ".tls", ".rsrc", ".reloc"]
REQUIRED_SECTIONS = {".text", ".rdata", ".data", ".pdata", ".rsrc", ".reloc"}
SYSTEM_DLLS = {"kernel32.dll"}
UCRT_FORWARDER = re.compile(r"api-ms-win-crt-[a-z]+-l1-1-0\.dll\Z", re.I)
EXAMPLE_ICON_SIZES = [(16, 13), (32, 26), (48, 38), (64, 51), (128, 102), (256, 205)]


# --- expectations built independently of the tool --------------------------

def expected_manifest():
    """The manifest as ElementTree writes it: ns0..ns3 in order of first use."""
    v1 = "urn:schemas-microsoft-com:asm.v1"
    compat = "urn:schemas-microsoft-com:compatibility.v1"
    v3 = "urn:schemas-microsoft-com:asm.v3"
    ws2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
    q = lambda ns, tag: "{%s}%s" % (ns, tag)
    root = ET.Element(q(v1, "assembly"), manifestVersion="1.0")
    ET.SubElement(root, q(v1, "assemblyIdentity"), type="win32", name="Mini", version="1.0.0.0")
    app = ET.SubElement(ET.SubElement(root, q(compat, "compatibility")), q(compat, "application"))
    for os_id in ("{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                  "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                  "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
        ET.SubElement(app, q(compat, "supportedOS"), Id=os_id)
    settings = ET.SubElement(ET.SubElement(root, q(v3, "application")), q(v3, "windowsSettings"))
    ET.SubElement(settings, q(ws2016, "longPathAware")).text = "true"
    dep = ET.SubElement(ET.SubElement(root, q(v1, "dependency")), q(v1, "dependentAssembly"))
    ET.SubElement(dep, q(v1, "assemblyIdentity"), type="win32", name="Microsoft.Windows.Common-Controls",
                  version="6.0.0.0", processorArchitecture="*", publicKeyToken="6595b64144ccf1df", language="*")
    privileges = ET.SubElement(ET.SubElement(ET.SubElement(root, q(v3, "trustInfo")), q(v3, "security")),
                               q(v3, "requestedPrivileges"))
    ET.SubElement(privileges, q(v3, "requestedExecutionLevel"), level="asInvoker", uiAccess="false")
    return ET.tostring(root)


def windres_version_resource(work, name, version):
    """The version resource binutils' resource compiler makes of the same values."""
    commas = version.replace(".", ",")
    bare = name.replace(" ", "")
    rc = work / ("v-%s.rc" % bare)
    rc.write_text(
        "1 VERSIONINFO\nFILEVERSION %s\nPRODUCTVERSION %s\nFILEFLAGSMASK 0x3f\nFILEFLAGS 0\n"
        "FILEOS 0x4\nFILETYPE 0x1\nFILESUBTYPE 0\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n"
        "  BLOCK \"000004b0\"\n  BEGIN\n"
        "   VALUE \"CompanyName\", \"%s\"\n   VALUE \"ProductName\", \"%s\"\n"
        "   VALUE \"FileDescription\", \"%s\"\n   VALUE \"ProductVersion\", \"%s\"\n"
        "   VALUE \"FileVersion\", \"%s\"\n   VALUE \"OriginalFilename\", \"%s.exe\"\n"
        "   VALUE \"InternalName\", \"%s\"\n  END\n END\n"
        " BLOCK \"VarFileInfo\"\n BEGIN\n  VALUE \"Translation\", 0x0, 1200\n END\nEND\n"
        % (commas, commas, name, name, name, version, version, bare, bare))
    res = rc.with_suffix(".res")
    subprocess.run(["x86_64-w64-mingw32-windres", "-O", "res", str(rc), "-o", str(res)], check=True)
    return read_res_file(res.read_bytes())[(16, 1)]


def read_res_file(data):
    """{(type, id): bytes} of a .res file with numeric types and names."""
    out, at = {}, 0
    while at < len(data):
        size, header = struct.unpack_from("<II", data, at)
        _, rtype, _, rid = struct.unpack_from("<HHHH", data, at + 8)
        out[(rtype, rid)] = data[at + header:at + header + size]
        at = (at + header + size + 3) & ~3
    return out


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def make_png(width, height, colour_type=6, interlace=0, extra_chunks=()):
    channels = {6: 4, 2: 3, 3: 1}[colour_type]
    raw = b"".join(b"\0" + b"".join(bytes([x * 7 % 256, y * 11 % 256, 90, 200][:channels])
                                    for x in range(width)) for y in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + b"".join(extra_chunks) +
            png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b""))


def png_facts(data):
    """(width, height, bit depth, colour type, interlace, [chunk kinds]) of a PNG file."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    kinds, at = [], 8
    while at < len(data):
        length = struct.unpack_from(">I", data, at)[0]
        kind = data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        assert struct.unpack_from(">I", data, at + 8 + length)[0] == zlib.crc32(kind + body), "bad CRC"
        kinds.append(kind.decode())
        at += 12 + length
    width, height, depth, colour, _, _, interlace = struct.unpack_from(">IIBBBBB", data, 16)
    return width, height, depth, colour, interlace, kinds


# --- running the tool -------------------------------------------------------

def vornak(*args):
    return subprocess.run([str(VORNAK)] + [str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


def build(out, *args):
    r = vornak("build", "--quiet", "-o", out, *args)
    if r.returncode != 0:
        raise AssertionError("vornak build failed (%d): %s" % (r.returncode, r.stderr))
    return out


class Inspection:
    """`vornak inspect` output, with the lines looked up by their key."""

    def __init__(self, path):
        r = vornak("inspect", path)
        self.code, self.text, self.stderr = r.returncode, r.stdout, r.stderr

    def line(self, key):
        m = re.search(r"^%s: (.*)$" % re.escape(key), self.text, re.M)
        if not m:
            raise AssertionError("inspect printed no %r line:\n%s" % (key, self.text))
        return m.group(1)

    def block(self, key):
        """The indented lines below a top-level key."""
        m = re.search(r"^%s:.*\n((?:  .*\n)*)" % re.escape(key), self.text, re.M)
        return [l[2:] for l in m.group(1).splitlines()] if m else []


class Image:
    """One built image, read with pefile and with `vornak inspect`."""

    def __init__(self, path, name, version):
        self.path, self.name, self.version = Path(path), name, version
        self.data = self.path.read_bytes()
        self.pe = pefile.PE(str(path))
        self.inspect = Inspection(path)

    def resource(self, rtype, rid):
        for t in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if t.id != rtype:
                continue
            for n in t.directory.entries:
                if n.id == rid:
                    (lang,) = n.directory.entries
                    e = lang.data.struct
                    return lang.id, self.pe.get_data(e.OffsetToData, e.Size)
        return None

    def section(self, name):
        (s,) = [s for s in self.pe.sections if s.Name.rstrip(b"\0").decode() == name]
        return s


def workspace(name):
    path = BUILD_DIR / "test-tmp" / ("%s-%d" % (name, os.getpid()))
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


# --- the tests --------------------------------------------------------------

class BrandedImage(unittest.TestCase):
    """The example brand (from a payload packed beforehand) and a build with
    another name, version and three icons of our own given out of order."""

    @classmethod
    def setUpClass(cls):
        cls.work = workspace("image")
        cls.payload = cls.work / "hello.payload"
        r = vornak("pack", APP_DIR, "--dll", "hello.dll", "-o", cls.payload, "--quiet")
        assert r.returncode == 0, r.stderr
        cls.icons = {size: make_png(*size) for size in [(48, 30), (256, 256), (20, 16)]}
        icon_args = []
        for (w, h), data in cls.icons.items():
            p = cls.work / ("icon-%dx%d.png" % (w, h))
            p.write_bytes(data)
            icon_args += ["--icon", p]
        # The example brand, given in full: its file names in the version
        # resource come from the output's name.
        example_icons = [a for w, h in EXAMPLE_ICON_SIZES for a in ("--icon", ICON_DIR / ("icon-%dx%d.png" % (w, h)))]
        cls.default = Image(build(cls.work / (EXAMPLE_NAME + ".exe"), "--payload", cls.payload, "--name", EXAMPLE_NAME,
                                  "--version", EXAMPLE_VERSION, *example_icons), EXAMPLE_NAME, EXAMPLE_VERSION)
        cls.other = Image(build(cls.work / (OTHER_NAME.replace(" ", "") + ".exe"), APP_DIR, "--dll", "hello.dll",
                                "--name", OTHER_NAME, "--version", OTHER_VERSION, *icon_args), OTHER_NAME, OTHER_VERSION)
        cls.images = [cls.default, cls.other]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_header_settings(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                fh, oh = img.pe.FILE_HEADER, img.pe.OPTIONAL_HEADER
                seen = {
                    "machine": fh.Machine, "magic": oh.Magic, "characteristics": fh.Characteristics,
                    "subsystem": oh.Subsystem,
                    "subsystem_version": (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
                    "os_version": (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
                    "image_base": oh.ImageBase, "dll_characteristics": oh.DllCharacteristics,
                    "stack": (oh.SizeOfStackReserve, oh.SizeOfStackCommit),
                    "heap": (oh.SizeOfHeapReserve, oh.SizeOfHeapCommit),
                    "alignment": (oh.SectionAlignment, oh.FileAlignment),
                }
                self.assertEqual(seen, HEADER)
                ins = img.inspect
                self.assertEqual(ins.code, 0, ins.text + ins.stderr)
                self.assertEqual(ins.line("format"), "PE32+ (magic 0x20b), machine 0x8664 (x86-64)")
                self.assertEqual(ins.line("characteristics"), "0x0022")
                self.assertEqual(ins.line("subsystem"), "2 (Windows GUI), version 6.0")
                self.assertEqual(ins.line("os version"), "6.0")
                self.assertEqual(ins.line("image base"), "0x140000000")
                self.assertEqual(ins.line("dll characteristics"), "0x8160")
                self.assertEqual(ins.line("stack"), "reserve 16777216, commit 4096")
                self.assertEqual(ins.line("heap"), "reserve 1048576, commit 4096")
                self.assertEqual(ins.line("alignment"), "section 4096, file 512")

    def test_checksum_is_set_and_correct(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                stored = img.pe.OPTIONAL_HEADER.CheckSum
                self.assertNotEqual(stored, 0)
                self.assertEqual(stored, img.pe.generate_checksum())
                self.assertEqual(img.inspect.line("checksum"), "0x%08x, correct" % stored)
        # inspect notices a file whose contents no longer match the checksum.
        damaged = self.work / "damaged.exe"
        data = bytearray(self.default.data)
        data[-1] ^= 0x5A
        damaged.write_bytes(bytes(data))
        ins = Inspection(damaged)
        self.assertEqual(ins.code, 1)
        self.assertRegex(ins.line("checksum"), r"^0x[0-9a-f]{8}, wrong \(computed 0x[0-9a-f]{8}\)$")
        self.assertIn("1 check failed", ins.stderr)

    def test_data_directories(self):
        present = {"IMPORT", "RESOURCE", "EXCEPTION", "BASERELOC", "IAT"}
        absent = {"EXPORT", "DEBUG", "LOAD_CONFIG", "DELAY_IMPORT", "COM_DESCRIPTOR", "SECURITY"}
        for img in self.images:
            with self.subTest(image=img.path.name):
                dirs = {d.name[len("IMAGE_DIRECTORY_ENTRY_"):]: (d.VirtualAddress, d.Size)
                        for d in img.pe.OPTIONAL_HEADER.DATA_DIRECTORY}
                for name in present:
                    self.assertNotEqual(dirs[name][1], 0, name)
                for name in absent:
                    self.assertEqual(dirs[name], (0, 0), name)
                self.assertEqual(img.inspect.line("directories"), "import resource exception basereloc iat")

    def test_section_order_and_payload_at_rdata_start(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                names = [s.Name.rstrip(b"\0").decode() for s in img.pe.sections]
                self.assertEqual(names, [n for n in SECTION_ORDER if n in names])
                self.assertTrue(REQUIRED_SECTIONS <= set(names), names)
                self.assertEqual([l.split(":")[0] for l in img.inspect.block("sections")], names)
        # The default image carries the packed payload file byte for byte at
        # the start of .rdata; the payload ends with its trailer.
        payload = self.payload.read_bytes()
        rdata = self.default.section(".rdata")
        start = rdata.PointerToRawData
        self.assertEqual(self.default.data[start:start + len(payload)], payload)
        self.assertEqual(payload[:7], b"QOZ\x28\xb5\x2f\xfd")
        self.assertEqual(struct.unpack("<Q", payload[-8:])[0], len(payload) - 8)

    def test_imports_are_system_libraries_bound_at_load(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                self.assertFalse(hasattr(img.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))
                libs = {}
                for lib in img.pe.DIRECTORY_ENTRY_IMPORT:
                    libs[lib.dll.decode()] = [i.name.decode() if i.name else "#%d" % i.ordinal for i in lib.imports]
                for dll in libs:
                    self.assertTrue(dll.lower() in SYSTEM_DLLS or UCRT_FORWARDER.match(dll), dll)
                self.assertIn("KERNEL32.dll", libs)
                # shell32 (a shell folder in a template) and user32 (the
                # parent's hidden window, the splash, the error dialog) are
                # loaded when wanted: shell32 alone brings user32, gdi32 and
                # more, which a child and a start from the cache never use.
                self.assertNotIn("SHELL32.dll", libs)
                self.assertNotIn("USER32.dll", libs)
                everything = [f for fs in libs.values() for f in fs]
                self.assertNotIn("GetFinalPathNameByHandleW", everything)
                for needed in ("AddDllDirectory", "K32GetModuleFileNameExW", "SetFileInformationByHandle", "exit",
                               "SetProcessShutdownParameters", "InitOnceExecuteOnce"):
                    self.assertIn(needed, everything)
                # inspect lists the same libraries and functions.
                listed = dict(l.split(": ", 1) for l in img.inspect.block("imports"))
                self.assertEqual({k: v.split() for k, v in listed.items()}, libs)
                self.assertEqual(img.inspect.line("delay imports"), "none")

    def test_code_uses_x86_64_v3_instructions(self):
        out = subprocess.run(["llvm-objdump", "-d", "--no-show-raw-insn", str(self.default.path)],
                             stdout=subprocess.PIPE, text=True, check=True).stdout
        # 256-bit vector moves, BMI1/BMI2 bit operations, and nothing of AVX-512.
        self.assertTrue(re.search(r"\bvmov(dq[au]|up[sd]|ap[sd])\s.*%ymm", out), "no 256-bit moves")
        self.assertTrue(re.search(r"\b(shlx|shrx|sarx|bzhi|andn|tzcnt|lzcnt)[lqw]?\s", out), "no BMI instructions")
        self.assertFalse("%zmm" in out, "AVX-512 registers in use")

    def test_manifest(self):
        expected = expected_manifest()
        self.assertEqual(len(expected), 1265)
        for img in self.images:
            with self.subTest(image=img.path.name):
                lang, text = img.resource(24, 1)
                self.assertEqual(lang, 0)
                self.assertEqual(text, expected)
                self.assertNotIn(b"\n", text)
                self.assertFalse(text.startswith(b"\xef\xbb\xbf") or text.startswith(b"<?xml"))
                prefixes = re.findall(rb'xmlns:(ns\d)="([^"]+)"', text)
                self.assertEqual([p for p, _ in prefixes], [b"ns0", b"ns1", b"ns2", b"ns3"])
                self.assertEqual(img.inspect.line("manifest"), "1265 bytes")
                self.assertEqual(img.inspect.block("manifest"), [expected.decode()])

    def test_version_resource(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                lang, data = img.resource(16, 1)
                self.assertEqual(lang, 0)
                # Byte for byte what binutils' resource compiler writes for the
                # same values, apart from dwStrucVersion, which is 0 here.
                reference = bytearray(windres_version_resource(self.work, img.name, img.version))
                self.assertEqual(struct.unpack_from("<I", reference, 44)[0], 0x10000)
                reference[44:48] = b"\0\0\0\0"
                self.assertEqual(data, bytes(reference))

                fixed = img.pe.VS_FIXEDFILEINFO[0]
                parts = [int(p) for p in img.version.split(".")]
                self.assertEqual((fixed.Signature, fixed.StrucVersion), (0xFEEF04BD, 0))
                self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                                 (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]))
                self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS),
                                 (fixed.FileVersionMS, fixed.FileVersionLS))
                self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType,
                                  fixed.FileSubtype, fixed.FileDateMS, fixed.FileDateLS), (0x3F, 0, 4, 1, 0, 0, 0))
                bare = img.name.replace(" ", "")
                expected_strings = [("CompanyName", img.name), ("ProductName", img.name),
                                    ("FileDescription", img.name), ("ProductVersion", img.version),
                                    ("FileVersion", img.version), ("OriginalFilename", bare + ".exe"),
                                    ("InternalName", bare)]
                tables, translations = [], []
                for info in img.pe.FileInfo[0]:
                    if info.Key == b"StringFileInfo":
                        tables = [(t.LangID, [(k.decode(), v.decode()) for k, v in t.entries.items()])
                                  for t in info.StringTable]
                    else:
                        translations = [v.entry for v in info.Var]
                self.assertEqual(tables, [(b"000004b0", expected_strings)])
                self.assertEqual(translations, [{b"Translation": "0x0000 0x04b0"}])

                ins = img.inspect
                self.assertEqual(ins.line("version"), "%d bytes" % len(data))
                self.assertIn("file version %s, product version %s" % (img.version, img.version), ins.block("version"))
                self.assertIn("Translation: 0x0000/0x04b0", ins.block("version"))
        # With this build's product name the resource is 632 bytes.
        self.assertEqual(len(self.default.resource(16, 1)[1]), 632)

    def test_build_values_agree_with_the_version_resource(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                rdata = img.section(".rdata")
                body = img.data[rdata.PointerToRawData:rdata.PointerToRawData + rdata.SizeOfRawData]
                ins = img.inspect
                m = re.match(r"payload length (\d+), product name \"(.*)\", version \"(.*)\"$", ins.line("build values"))
                self.assertIsNotNone(m, ins.text)
                length = int(m.group(1))
                # Independently: the payload's own trailer gives its length; the
                # build values follow at the next multiple of 8.
                self.assertEqual(struct.unpack_from("<Q", body, length - 8)[0], length - 8)
                at = (length + 7) & ~7
                self.assertEqual(struct.unpack_from("<Q", body, at)[0], length)
                strings = body[at + 8:].decode("utf-16-le", "replace").split("\0")[:4]
                self.assertEqual(strings, [img.name, img.version, img.name, img.version])
                self.assertEqual((m.group(2), m.group(3)), (img.name, img.version))
                self.assertIn("agree with the version resource", ins.block("build values"))

    def test_payload_entries_in_inspect(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                block = img.inspect.block("payload")
                files = [("hello.dll", APP_DIR / "hello.dll"), ("data\\greeting.txt", APP_DIR / "data" / "greeting.txt")]
                for name, path in files:
                    self.assertIn("  %d %s" % (path.stat().st_size, name), block)
                # Each entry: UTF-16 name and its NUL, 8-byte size, data; then the 2-byte terminator.
                stream = sum(2 * len(name) + 2 + 8 + path.stat().st_size for name, path in files) + 2
                self.assertIn("entries: 2, entry stream %d bytes, ends with the terminator" % stream, block)
                self.assertRegex(block[0], r"^frame: \d+ bytes, window \d+ bytes, no content size, checksum, "
                                           r"no dictionary$")
                self.assertTrue(any(re.match(r"trailer: (\d+) at offset \1, correct; payload \d+ bytes$", l)
                                    for l in block), block)
        self.assertIn("trailer: %d at offset %d, correct; payload %d bytes" %
                      ((self.payload.stat().st_size - 8,) * 2 + (self.payload.stat().st_size,)),
                      self.default.inspect.block("payload"))

    def test_inspect_json_states_the_facts_of_the_text_report(self):
        for img in self.images:
            with self.subTest(image=img.path.name):
                r = vornak("inspect", "--json", img.path)
                self.assertEqual(r.returncode, 0, r.stderr)
                facts = json.loads(r.stdout)
                ins, oh = img.inspect, img.pe.OPTIONAL_HEADER
                self.assertEqual(facts["image"], {"path": str(img.path), "bytes": len(img.data)})
                seen = {
                    "machine": facts["machine"], "magic": facts["magic"], "characteristics": facts["characteristics"],
                    "subsystem": facts["subsystem"]["value"],
                    "subsystem_version": (facts["subsystem"]["major"], facts["subsystem"]["minor"]),
                    "os_version": (facts["os_version"]["major"], facts["os_version"]["minor"]),
                    "image_base": facts["image_base"], "dll_characteristics": facts["dll_characteristics"],
                    "stack": (facts["stack"]["reserve"], facts["stack"]["commit"]),
                    "heap": (facts["heap"]["reserve"], facts["heap"]["commit"]),
                    "alignment": (facts["alignment"]["section"], facts["alignment"]["file"]),
                }
                self.assertEqual(seen, HEADER)
                self.assertEqual((facts["image_size"], facts["entry_point"]),
                                 (oh.SizeOfImage, oh.AddressOfEntryPoint))
                self.assertEqual(facts["checksum"], {"stored": oh.CheckSum, "computed": oh.CheckSum, "correct": True})
                self.assertEqual(" ".join(facts["directories"]), ins.line("directories"))
                self.assertEqual(["%s: va 0x%08x, virtual size %d, file offset 0x%08x, file size %d, flags 0x%08x" %
                                  (s["name"], s["virtual_address"], s["virtual_size"], s["file_offset"],
                                   s["file_size"], s["flags"]) for s in facts["sections"]], ins.block("sections"))
                self.assertEqual(["%s: %s" % (i["library"], " ".join(i["functions"])) for i in facts["imports"]],
                                 ins.block("imports"))
                self.assertFalse(facts["delay_imports"])
                self.assertEqual(facts["manifest"], {"bytes": 1265, "text": expected_manifest().decode()})

                version = facts["version"]
                self.assertEqual((version["file_version"], version["product_version"]), (img.version, img.version))
                self.assertEqual((version["signature"], version["struc_version"], version["os"], version["type"]),
                                 (0xFEEF04BD, 0, 4, 1))
                bare = img.name.replace(" ", "")
                self.assertEqual(version["string_tables"], [{"key": "000004b0", "strings": [
                    {"key": k, "value": v} for k, v in [
                        ("CompanyName", img.name), ("ProductName", img.name), ("FileDescription", img.name),
                        ("ProductVersion", img.version), ("FileVersion", img.version),
                        ("OriginalFilename", bare + ".exe"), ("InternalName", bare)]]}])
                self.assertEqual(version["translations"], [{"key": "Translation", "language": 0, "code_page": 0x4B0}])

                icons = facts["icons"]
                self.assertEqual(ins.line("icons"), "group %s, reserved %d, type %d, %d images" %
                                 (icons["group"], icons["reserved"], icons["type"], icons["count"]))
                self.assertEqual(["%d: entry %dx%d, colours 0, reserved 0, planes 0, bits 32, %d bytes; PNG %dx%d RGBA 8-bit"
                                  % (i["id"], i["width"], i["height"], i["bytes"], i["png"]["width"], i["png"]["height"])
                                  for i in icons["images"]], ins.block("icons"))
                self.assertTrue(all(i["matches"] for i in icons["images"]))
                self.assertIsNone(facts["signature"])

                payload = facts["payload"]
                block = ins.block("payload")
                self.assertEqual(payload["state"], "found")
                self.assertEqual([(e["name"], e["size"]) for e in payload["entries"]],
                                 [("hello.dll", (APP_DIR / "hello.dll").stat().st_size),
                                  ("data\\greeting.txt", (APP_DIR / "data" / "greeting.txt").stat().st_size)])
                self.assertEqual(["  %d %s" % (e["size"], e["name"]) for e in payload["entries"]], block[2:4])
                self.assertIn("entries: 2, entry stream %d bytes, ends with the terminator" % payload["stream_bytes"],
                              block)
                self.assertEqual(block[0], "frame: %d bytes, window %d bytes, no content size, checksum, no dictionary"
                                 % (payload["frame"]["bytes"], payload["frame"]["window_bytes"]))
                self.assertTrue(payload["trailer"]["correct"])
                self.assertIsNone(payload["entry_error"])
                self.assertEqual(facts["build_values"], {"payload_bytes": payload["bytes"], "product_name": img.name,
                                                         "version": img.version, "company_name": img.name,
                                                         "file_version": img.version,
                                                         "extraction": {"mode": "per-run"},
                                                         "error_dialog": False, "splash": None,
                                                         "agrees_with_version_resource": True})
                self.assertEqual(facts["checks"], {"failed": 0, "passed": True})
        # A damaged file: the same failed check in both forms, and the same exit code.
        damaged = self.work / "damaged-json.exe"
        data = bytearray(self.default.data)
        data[-1] ^= 0x5A
        damaged.write_bytes(bytes(data))
        r = vornak("inspect", "--json", damaged)
        self.assertEqual(r.returncode, Inspection(damaged).code)
        self.assertEqual(r.returncode, 1)
        self.assertIn("1 check failed", r.stderr)
        facts = json.loads(r.stdout)
        self.assertEqual(facts["checks"], {"failed": 1, "passed": False})
        self.assertFalse(facts["checksum"]["correct"])
        self.assertNotEqual(facts["checksum"]["stored"], facts["checksum"]["computed"])

    def check_icon_group(self, img, expected_images):
        """expected_images: [(width, height, png bytes)] in ascending size."""
        lang, group = img.resource(14, 1)
        self.assertEqual(lang, 0)
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, len(expected_images)))
        self.assertEqual(len(group), 6 + 14 * len(expected_images))
        for i, (w, h, png) in enumerate(expected_images):
            entry = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual(entry, (w % 256, h % 256, 0, 0, 0, 32, len(png), i + 1))
            self.assertEqual(img.resource(3, i + 1), (0, png))
            self.assertEqual(png_facts(png), (w, h, 8, 6, 0, ["IHDR", "IDAT", "IEND"]))
        self.assertIsNone(img.resource(3, len(expected_images) + 1))
        self.assertEqual(img.inspect.line("icons"), "group 1, reserved 0, type 1, %d images" % len(expected_images))
        for i, line in enumerate(img.inspect.block("icons")):
            w, h, png = expected_images[i]
            self.assertEqual(line, "%d: entry %dx%d, colours 0, reserved 0, planes 0, bits 32, %d bytes; "
                                   "PNG %dx%d RGBA 8-bit" % (i + 1, w % 256, h % 256, len(png), w, h))

    def test_example_icons(self):
        images = [(w, h, (ICON_DIR / ("icon-%dx%d.png" % (w, h))).read_bytes()) for w, h in EXAMPLE_ICON_SIZES]
        self.check_icon_group(self.default, images)

    def test_icons_given_on_the_command_line_are_ordered_by_size(self):
        images = [(w, h, self.icons[(w, h)]) for w, h in sorted(self.icons)]
        self.check_icon_group(self.other, images)


# --- branding options, read back two ways -----------------------------------

def png_of(width, height, colour_type, depth, samples, palette=None, trns=None, interlace=0):
    """A PNG of any colour type and bit depth: samples(x, y) gives the row's
    channel values (palette index, grey, grey+alpha, RGB or RGBA) at that depth."""
    rows = []
    for y in range(height):
        bits, nbits = 0, 0
        out = bytearray()
        for x in range(width):
            for v in samples(x, y):
                if depth == 16:
                    out += struct.pack(">H", v)
                    continue
                bits = (bits << depth) | v
                nbits += depth
                if nbits == 8:
                    out.append(bits)
                    bits, nbits = 0, 0
        if nbits:
            out.append(bits << (8 - nbits))
        rows.append(b"\0" + bytes(out))
    chunks = [png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, interlace))]
    if palette:
        chunks.append(png_chunk(b"PLTE", b"".join(bytes(c) for c in palette)))
    if trns:
        chunks.append(png_chunk(b"tRNS", bytes(trns)))
    if interlace:
        raise ValueError("write interlaced files with a tool")
    chunks.append(png_chunk(b"IDAT", zlib.compress(b"".join(rows))))
    return b"\x89PNG\r\n\x1a\n" + b"".join(chunks) + png_chunk(b"IEND", b"")


def rgba_pixels(png):
    """{(x, y): (r, g, b, a)} of an RGBA 8-bit, not interlaced PNG, decoded
    here (zlib and the five row filters), independently of libpng."""
    width, height, depth, colour, interlace, _ = png_facts(png)
    assert (depth, colour, interlace) == (8, 6, 0)
    data, at = b"", 8
    while at < len(png):
        length = struct.unpack_from(">I", png, at)[0]
        if png[at + 4:at + 8] == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    raw, stride, prev, pixels = zlib.decompress(data), width * 4, bytearray(width * 4), {}
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b, c = prev[i], prev[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        for x in range(width):
            pixels[(x, y)] = tuple(line[x * 4:x * 4 + 4])
        prev = line
    return pixels


def dib(width, height, bits, colour, mask, palette=()):
    """An icon's BMP image: header, palette, colour rows and AND mask, bottom
    row first. colour(x, y): palette index or (r, g, b[, a]); mask(x, y): 1 = transparent."""
    def packed(values, per):
        out, acc, n = bytearray(), 0, 0
        for v in values:
            acc, n = (acc << per) | v, n + per
            if n == 8:
                out.append(acc)
                acc, n = 0, 0
        if n:
            out.append(acc << (8 - n))
        return bytes(out)

    def padded(row):
        return row + b"\0" * (-len(row) % 4)

    header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, bits, 0, 0, 0, 0, len(palette), 0)
    body = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    for y in reversed(range(height)):
        if bits <= 8:
            body += padded(packed([colour(x, y) for x in range(width)], bits))
        else:
            body += padded(b"".join(bytes([c[2], c[1], c[0]] + list(c[3:4] if bits == 32 else []))
                                    for c in (colour(x, y) for x in range(width))))
    for y in reversed(range(height)):
        body += padded(packed([mask(x, y) for x in range(width)], 1))
    return header + body


def ico(images, kind=1):
    """An .ico file of [(width, height, bit count, image bytes)]."""
    head = struct.pack("<HHH", 0, kind, len(images))
    at, entries, blobs = 6 + 16 * len(images), b"", b""
    for w, h, bits, data in images:
        entries += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, bits, len(data), at + len(blobs))
        blobs += data
    return head + entries + blobs


GREY = lambda x, y: (x * 37 + y * 11) % 256
PALETTE16 = [((i * 16) % 256, 255 - i * 9, (i * 53) % 256) for i in range(16)]
TRNS = [0, 128, 255, 64]  # alpha of the first four palette entries; the rest are opaque


class BrandingTable(unittest.TestCase):
    """Builds with and without each branding option, each read back by
    `vornak inspect --json` and by pefile: the version resource's strings and
    fixed versions, the build values, the subsystem and the icon group,
    whose images are decoded here to the pixel."""

    @classmethod
    def setUpClass(cls):
        cls.work = workspace("branding")
        cls.payload = cls.work / "hello.payload"
        r = vornak("pack", APP_DIR, "--dll", "hello.dll", "-o", cls.payload, "--quiet", "--level", "1")
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def file(self, name, data):
        path = self.work / name
        path.write_bytes(data)
        return path

    def read_back(self, exe):
        """(inspect's JSON facts, pefile's view) after both agree on the strings."""
        r = vornak("inspect", "--json", exe)
        self.assertEqual(r.returncode, 0, r.stderr)
        facts = json.loads(r.stdout)
        pe = pefile.PE(str(exe))
        pe_strings = [(k.decode(), v.decode()) for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                      for t in info.StringTable for k, v in t.entries.items()]
        self.assertEqual([(s["key"], s["value"]) for t in facts["version"]["string_tables"] for s in t["strings"]],
                         pe_strings)
        return facts, pe, pe_strings

    def icon_images(self, pe):
        """The group's images in its order: [(entry width, entry height, PNG bytes)]."""
        img = Image.__new__(Image)
        img.pe = pe
        _, group = img.resource(14, 1)
        out = []
        for i in range(struct.unpack_from("<H", group, 4)[0]):
            w, h, _, _, _, _, size, rid = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            _, png = img.resource(3, rid)
            self.assertEqual(len(png), size)
            out.append((w or 256, h or 256, png))
        return out

    def test_names_versions_and_subsystem(self):
        neutral = [(n, n, (ICON_DIR / "default" / ("icon-%d.png" % n)).read_bytes()) for n in (16, 32, 48, 256)]
        rows = [
            # (output, options, strings, (file version, product version), build values' company, subsystem)
            ("Foo.exe", [], [("CompanyName", "Foo"), ("ProductName", "Foo"), ("FileDescription", "Foo"),
                             ("ProductVersion", "0.0.0.0"), ("FileVersion", "0.0.0.0"),
                             ("OriginalFilename", "Foo.exe"), ("InternalName", "Foo")], 2),
            ("my tool.v2.exe", ["--name", "My App", "--version", "2.1"],
             [("CompanyName", "My App"), ("ProductName", "My App"), ("FileDescription", "My App"),
              ("ProductVersion", "2.1.0.0"), ("FileVersion", "2.1.0.0"),
              ("OriginalFilename", "my tool.v2.exe"), ("InternalName", "my tool.v2")], 2),
            ("Full.exe", ["--name", "Full", "--version", "3", "--file-version", "3.4.5", "--company", "Acme GmbH",
                          "--description", "Does the full thing", "--copyright", "\u00a9 2026 Acme",
                          "--comments", "Built by CI"],
             [("CompanyName", "Acme GmbH"), ("ProductName", "Full"), ("FileDescription", "Does the full thing"),
              ("ProductVersion", "3.0.0.0"), ("FileVersion", "3.4.5.0"), ("OriginalFilename", "Full.exe"),
              ("InternalName", "Full"), ("LegalCopyright", "\u00a9 2026 Acme"), ("Comments", "Built by CI")], 2),
            ("Cli.exe", ["--console"], [("CompanyName", "Cli"), ("ProductName", "Cli"), ("FileDescription", "Cli"),
                                        ("ProductVersion", "0.0.0.0"), ("FileVersion", "0.0.0.0"),
                                        ("OriginalFilename", "Cli.exe"), ("InternalName", "Cli")], 3),
        ]
        for output, options, strings, subsystem in rows:
            with self.subTest(output=output):
                exe = build(self.work / output, "--payload", self.payload, *options)
                facts, pe, pe_strings = self.read_back(exe)
                self.assertEqual(pe_strings, strings)
                values = dict(strings)
                fixed = pe.VS_FIXEDFILEINFO[0]
                four = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
                self.assertEqual((four(fixed.FileVersionMS, fixed.FileVersionLS),
                                  four(fixed.ProductVersionMS, fixed.ProductVersionLS)),
                                 (values["FileVersion"], values["ProductVersion"]))
                self.assertEqual((facts["version"]["file_version"], facts["version"]["product_version"]),
                                 (values["FileVersion"], values["ProductVersion"]))
                self.assertEqual(facts["build_values"], {
                    "payload_bytes": self.payload.stat().st_size, "product_name": values["ProductName"],
                    "version": values["ProductVersion"], "company_name": values["CompanyName"],
                    "file_version": values["FileVersion"], "extraction": {"mode": "per-run"},
                    "error_dialog": False, "splash": None, "agrees_with_version_resource": True})
                self.assertEqual((pe.OPTIONAL_HEADER.Subsystem, facts["subsystem"]["value"]), (subsystem, subsystem))
                self.assertEqual(self.icon_images(pe), neutral)
                self.assertEqual(facts["checks"], {"failed": 0, "passed": True})

    def test_icons_of_every_kind(self):
        grey16 = lambda x, y: (x * 4099 + y * 771) % 65536
        ico_file = ico([
            # 16x16 with 16 colours and a mask: the left column is transparent.
            (16, 16, 4, dib(16, 16, 4, lambda x, y: (x + y) % 16, lambda x, y: int(x == 0), PALETTE16)),
            # 32x32 twice: 8 bits per pixel, dropped for the 32-bit one with alpha.
            (32, 32, 8, dib(32, 32, 8, lambda x, y: 1, lambda x, y: 0, [(0, 0, 0), (255, 0, 0)])),
            (32, 32, 32, dib(32, 32, 32, lambda x, y: (x * 8, y * 8, 77, (x * y) % 256), lambda x, y: 0)),
            # 48x48 as an RGB PNG inside the .ico.
            (48, 48, 24, png_of(48, 48, 2, 8, lambda x, y: (x * 5, y * 5, 200))),
        ])
        rows = [
            ("grey 8-bit", self.file("grey.png", png_of(20, 20, 0, 8, lambda x, y: (GREY(x, y),))),
             [(20, 20, lambda x, y: (GREY(x, y),) * 3 + (255,))]),
            ("grey and alpha 16-bit", self.file("grey16.png", png_of(24, 8, 4, 16, lambda x, y: (grey16(x, y), 65535))),
             [(24, 8, lambda x, y: ((grey16(x, y) * 255 + 32767) // 65535,) * 3 + (255,))]),
            ("palette 4-bit with transparency", self.file("palette.png", png_of(
                17, 9, 3, 4, lambda x, y: ((x + 2 * y) % 16,), palette=PALETTE16, trns=TRNS)),
             [(17, 9, lambda x, y: PALETTE16[(x + 2 * y) % 16] + (TRNS[(x + 2 * y) % 16] if (x + 2 * y) % 16 < 4
                                                                   else 255,))]),
            (".ico with BMP and PNG images", self.file("several.ico", ico_file), [
                (16, 16, lambda x, y: PALETTE16[(x + y) % 16] + ((0,) if x == 0 else (255,))),
                (32, 32, lambda x, y: (x * 8, y * 8, 77, (x * y) % 256)),
                (48, 48, lambda x, y: (x * 5, y * 5, 200, 255))]),
        ]
        for label, icon, expected in rows:
            with self.subTest(label):
                exe = build(self.work / "icons.exe", "--payload", self.payload, "--icon", icon)
                facts, pe, _ = self.read_back(exe)
                images = self.icon_images(pe)
                self.assertEqual([(w, h) for w, h, _ in images], [(w, h) for w, h, _ in expected])
                self.assertEqual([(i["png"]["width"], i["png"]["height"]) for i in facts["icons"]["images"]],
                                 [(w, h) for w, h, _ in expected])
                self.assertTrue(all(i["matches"] for i in facts["icons"]["images"]))
                for (w, h, png), (_, _, colour) in zip(images, expected):
                    self.assertEqual(png_facts(png)[5], ["IHDR", "IDAT", "IEND"])
                    pixels = rgba_pixels(png)
                    for y in range(h):
                        for x in range(w):
                            seen, want = pixels[(x, y)], colour(x, y)
                            # Fully transparent pixels keep no colour worth comparing.
                            if want[3] == 0:
                                self.assertEqual(seen[3], 0, (label, x, y))
                            else:
                                self.assertEqual(seen, want, (label, w, x, y))
        # An RGBA PNG of the group's form is carried byte for byte.
        ready = make_png(16, 16)
        exe = build(self.work / "ready.exe", "--payload", self.payload, "--icon", self.file("ready.png", ready))
        self.assertEqual(self.icon_images(pefile.PE(str(exe))), [(16, 16, ready)])

    def test_unreadable_or_too_large_icons_are_refused(self):
        big_dib = dib(300, 2, 32, lambda x, y: (0, 0, 0, 255), lambda x, y: 0)
        cases = [
            ("wide.png", make_png(300, 20), "size 300x20 is outside 1..256 pixels"),
            ("tall.png", png_of(4, 257, 0, 1, lambda x, y: (1,)), "size 4x257 is outside 1..256 pixels"),
            ("bad-crc.png", bytes(b ^ (i == 29) for i, b in enumerate(make_png(16, 16, colour_type=2))),
             "not a readable PNG: IHDR: CRC error"),
            ("bad-data.png", make_png(16, 16, colour_type=2)[:-20] + b"\0" * 20, "PNG cannot be decoded"),
            ("gif.png", b"GIF89a" + b"\0" * 20, "neither a PNG nor an .ico file"),
            ("cursor.ico", ico([(16, 16, 32, dib(16, 16, 32, lambda x, y: (1, 2, 3, 4), lambda x, y: 0))], kind=2),
             "not an icon file"),
            ("big.ico", ico([(0, 2, 32, big_dib)]), "image 1 of 1: size 300x2 is outside 1..256 pixels"),
            ("cut.ico", ico([(16, 16, 4, dib(16, 16, 4, lambda x, y: 0, lambda x, y: 0, PALETTE16))])[:-40],
             "image 1 of 1 runs past the end of the file"),
            ("rle.ico", ico([(2, 2, 8, struct.pack("<IiiHHI", 40, 2, 4, 1, 8, 1) + b"\0" * 40)]),
             "image 1 of 1: compressed BMP image"),
        ]
        for name, data, message in cases:
            with self.subTest(name):
                out = self.work / "refused.exe"
                r = vornak("build", "--payload", self.payload, "-o", out, "--icon", self.file(name, data))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("icon '%s': %s" % (self.work / name, message), r.stderr)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
                self.assertFalse(out.exists())
        same = self.file("same.png", make_png(16, 16))
        r = vornak("build", "--payload", self.payload, "-o", self.work / "same.exe", "--icon", same, "--icon", same)
        self.assertEqual(r.returncode, 1)
        self.assertIn("two icon images are 16x16", r.stderr)


def wine_run(exe, args, timeout=120):
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
    for name in list(env):
        if name.startswith("VORNAK_ONEFILE_") or name == "VORNAK_ORIGINAL_ARGV0":
            del env[name]
    return subprocess.run([WINE, str(exe)] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, timeout=timeout)


class TimeStampAuthority:
    """An RFC 3161 time-stamp authority on 127.0.0.1 for one test: `openssl ts
    -reply` behind a small HTTP server on a thread, with its own self-signed
    certificate. It serves until the with-block ends, at most a minute."""

    CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {serial}
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""

    def __init__(self, work):
        import http.server
        import threading
        self.dir = work / "tsa"
        self.dir.mkdir(exist_ok=True)
        self.key, self.cert, self.config = self.dir / "key.pem", self.dir / "cert.pem", self.dir / "tsa.cnf"
        (self.dir / "serial").write_text("01\n")
        self.config.write_text(self.CONFIG.format(serial=self.dir / "serial"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", str(self.key), "-out",
                        str(self.cert), "-days", "2", "-nodes", "-subj", "/CN=Throwaway Test TSA",
                        "-addext", "extendedKeyUsage=critical,timeStamping"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.requests = 0
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                r = subprocess.run(["openssl", "ts", "-reply", "-config", str(authority.config), "-queryfile",
                                    "/dev/stdin", "-inkey", str(authority.key), "-signer", str(authority.cert),
                                    "-out", "/dev/stdout"], input=query, capture_output=True, timeout=30)
                authority.requests += 1
                self.send_response(200 if r.returncode == 0 else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(r.stdout)))
                self.end_headers()
                self.wfile.write(r.stdout)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.server.timeout = 0.2
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def serve(self):
        import time
        deadline = time.monotonic() + 60
        while not self.stop.is_set() and time.monotonic() < deadline:
            self.server.handle_request()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        self.server.server_close()


class SignedImage(unittest.TestCase):
    """`vornak build --sign` with a throwaway self-signed certificate."""

    PASSWORD = "throwaway pass"

    @classmethod
    def setUpClass(cls):
        cls.work = workspace("signed")
        key, cert = cls.work / "key.pem", cls.work / "cert.pem"
        cls.cert_pem, cls.pfx, cls.password_file = cert, cls.work / "signer.pfx", cls.work / "password.txt"
        cls.password_file.write_text(cls.PASSWORD + "\n")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", str(key), "-out", str(cert),
                        "-days", "2", "-nodes", "-subj", "/CN=Throwaway Test Signer"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", str(key), "-in", str(cert), "-out", str(cls.pfx),
                        "-passout", "pass:" + cls.PASSWORD], check=True)
        cls.unsigned = build(cls.work / "unsigned.exe", APP_DIR, "--dll", "hello.dll")
        cls.signed = Image(build(cls.work / "signed.exe", APP_DIR, "--dll", "hello.dll", "--sign", cls.pfx,
                                 "--password-file", cls.password_file), "signed", "0.0.0.0")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def verify(self, exe):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.cert_pem), "-in", str(exe)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def test_signature_follows_the_sections_and_checksum_is_correct(self):
        img = self.signed
        security = img.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        offset, size = security.VirtualAddress, security.Size
        self.assertGreater(size, 0)
        last_section_end = max(s.PointerToRawData + s.SizeOfRawData for s in img.pe.sections)
        self.assertGreaterEqual(offset, last_section_end)
        self.assertEqual(offset + size, len(img.data))
        length, revision, cert_type = struct.unpack_from("<IHH", img.data, offset)
        self.assertEqual((revision, cert_type), (0x0200, 2))
        self.assertLessEqual(length, size)
        # The PKCS #7 ContentInfo of signedData (OID 1.2.840.113549.1.7.2).
        self.assertIn(bytes.fromhex("06092a864886f70d010702"), img.data[offset + 8:offset + 24])
        # Everything before the certificate table is the unsigned image, but
        # for the checksum and the security directory.
        unsigned = self.unsigned.read_bytes()
        self.assertEqual(len(unsigned), offset)
        self.assertEqual(img.pe.OPTIONAL_HEADER.CheckSum, img.pe.generate_checksum())
        self.assertEqual(img.inspect.code, 0, img.inspect.text)
        self.assertEqual(img.inspect.line("checksum"), "0x%08x, correct" % img.pe.OPTIONAL_HEADER.CheckSum)
        self.assertEqual(img.inspect.line("signature"), "certificate table of %d bytes at offset %d, after the "
                                                        "last section, ends the file" % (size, offset))
        self.assertEqual(img.inspect.block("signature"),
                         ["entry 0: %d bytes, revision 0x0200, type 2, PKCS #7 signed data" % length])
        self.assertIn("security", img.inspect.line("directories").split())
        facts = json.loads(vornak("inspect", "--json", img.path).stdout)
        self.assertEqual(facts["signature"], {"offset": offset, "bytes": size, "after_last_section": True,
                                              "ends_file": True, "bad_entry_length": None, "entries": [
                                                  {"bytes": length, "revision": 0x0200, "type": 2,
                                                   "pkcs7_signed_data": True}]})

    def test_signature_covers_the_payload(self):
        r = self.verify(self.signed.path)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("Signature verification: ok", r.stdout)
        # One byte changed inside the payload breaks the signature.
        rdata = self.signed.section(".rdata")
        data = bytearray(self.signed.data)
        data[rdata.PointerToRawData + 100] ^= 0xFF
        tampered = self.work / "tampered.exe"
        tampered.write_bytes(bytes(data))
        r = self.verify(tampered)
        self.assertNotEqual(r.returncode, 0, r.stdout)

    def test_wrong_password_is_refused_without_output(self):
        wrong = self.work / "wrong.txt"
        wrong.write_text("not the password\n")
        out = self.work / "never.exe"
        r = vornak("build", APP_DIR, "--dll", "hello.dll", "-o", out, "--sign", self.pfx, "--password-file", wrong)
        self.assertEqual(r.returncode, 1)
        self.assertIn("signing with osslsigncode failed", r.stderr)
        self.assertFalse(out.exists())

    def test_inspect_checks_the_signature_through_osslsigncode(self):
        self.assertEqual(self.signed.inspect.line("signature check"),
                         "digest matches the image, chain not trusted (self-signed certificate)")
        signer, signing_time, stamp = self.signed.inspect.block("signature check")
        self.assertEqual(signer, "signer: /CN=Throwaway Test Signer (issued by /CN=Throwaway Test Signer)")
        self.assertRegex(signing_time, r"^signing time: \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} GMT$")
        self.assertEqual(stamp, "timestamp: none (the signature stops validating when the certificate expires)")
        check = json.loads(vornak("inspect", "--json", self.signed.path).stdout)["signature_check"]
        self.assertEqual((check["done"], check["digest_matches"], check["trusted"], check["signer"], check["timestamp"]),
                         (True, True, False, "/CN=Throwaway Test Signer", None))
        # Changed after signing (the checksum set right again, so only the
        # signature can tell): a failed check.
        data = bytearray(self.signed.data)
        data[self.signed.section(".rdata").PointerToRawData + 100] ^= 0xFF
        pe = pefile.PE(data=bytes(data))
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
        tampered = self.work / "tampered-inspect.exe"
        tampered.write_bytes(pe.write())
        r = vornak("inspect", tampered)
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertIn("\nsignature check: digest does not match the image, chain not trusted", r.stdout)
        # Without osslsigncode the report says so and fails nothing.
        env = dict(os.environ, PATH="/nonexistent")
        r = subprocess.run([str(VORNAK), "inspect", str(self.signed.path)], capture_output=True, text=True, env=env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("\nsignature check: not done (osslsigncode is not installed)\n", r.stdout)

    def test_password_from_the_environment_or_empty(self):
        env = dict(os.environ, VORNAK_TEST_PASSWORD=self.PASSWORD)
        out = self.work / "env.exe"
        r = subprocess.run([str(VORNAK), "build", "--quiet", APP_DIR, "--dll", "hello.dll", "-o", out, "--sign",
                            self.pfx, "--password-env", "VORNAK_TEST_PASSWORD"], capture_output=True, text=True,
                           env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Signature verification: ok", self.verify(out).stdout)

        r = vornak("build", APP_DIR, "--dll", "hello.dll", "-o", out, "--sign", self.pfx, "--password-env",
                   "VORNAK_TEST_UNSET_PASSWORD")
        self.assertEqual((r.returncode, r.stderr), (1, "vornak: error: --password-env names "
                                                       "'VORNAK_TEST_UNSET_PASSWORD', which is not set\n"))

        empty_pfx = self.work / "empty.pfx"
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", str(self.work / "key.pem"), "-in",
                        str(self.cert_pem), "-out", str(empty_pfx), "-passout", "pass:"], check=True)
        out = build(self.work / "empty.exe", APP_DIR, "--dll", "hello.dll", "--sign", empty_pfx)
        self.assertIn("Signature verification: ok", self.verify(out).stdout)
        # The password-protected certificate with no password: refused.
        r = vornak("build", APP_DIR, "--dll", "hello.dll", "-o", self.work / "none.exe", "--sign", self.pfx)
        self.assertEqual(r.returncode, 1)
        self.assertIn("signing with osslsigncode failed", r.stderr)

    def test_timestamp_from_a_local_authority(self):
        with TimeStampAuthority(self.work) as tsa:
            out = build(self.work / "stamped.exe", APP_DIR, "--dll", "hello.dll", "--sign", self.pfx,
                        "--password-file", self.password_file, "--timestamp", tsa.url)
        self.assertEqual(tsa.requests, 1)
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.cert_pem), "-TSA-CAfile", str(tsa.cert),
                            "-in", str(out)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertIn("Timestamp Server Signature verification: ok", r.stdout)
        self.assertIn("Signature verification: ok", r.stdout)
        inspection = Inspection(out)
        stamp = [l for l in inspection.block("signature check") if l.startswith("timestamp: ")]
        self.assertEqual(len(stamp), 1, inspection.text)
        self.assertRegex(stamp[0], r"^timestamp: \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} GMT by /CN=Throwaway Test TSA$")
        check = json.loads(vornak("inspect", "--json", out).stdout)["signature_check"]
        self.assertEqual(check["timestamp"]["authority"], "/CN=Throwaway Test TSA")
        # An authority that does not answer: refused, no image.
        r = vornak("build", APP_DIR, "--dll", "hello.dll", "-o", self.work / "nostamp.exe", "--sign", self.pfx,
                   "--password-file", self.password_file, "--timestamp", "http://127.0.0.1:9/")
        self.assertEqual(r.returncode, 1)
        self.assertFalse((self.work / "nostamp.exe").exists())

    def test_signed_launcher_runs_under_wine(self):
        r = wine_run(self.signed.path, ["two words", "--exit", "3"])
        out = r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        self.assertEqual(r.returncode, 3, out + r.stderr.decode("utf-8", "replace"))
        self.assertIn("hello from the packaged application\n", out)
        self.assertIn("argv[1]=[two words]\n", out)
        self.assertIn("data: Greetings from inside the packaged application.", out)


if __name__ == "__main__":
    unittest.main()
