# SPDX-License-Identifier: MIT
"""Helpers for the end-to-end tests: build launchers, craft payloads by hand,
run launchers under Wine through winrun.exe with a private TMP/TEMP, and read
the probe application's reports.

Typical use:

    class Unpacking(harness.LauncherTestCase):
        def test_x(self):
            exe = self.build(payload=harness.payload_from_entries(
                [("probe.dll", harness.probe_dll_bytes()), ("a.txt", b"hi")]))
            r = self.run_launcher(exe, ["probe:exit=5"])
            self.assertExitCode(r, 5)
            self.assertEqual(r.report.argv[1:], ["probe:exit=5"])

Every test gets a fresh directory under build/test-tmp/ (self.ws), whose
temp/ subdirectory is the launcher's TMP and TEMP and whose run/ subdirectory
is its current directory; all of it is removed after the test.
"""

import os
import re
import shutil
import struct
import subprocess
import time
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("VORNAK_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BUILD_DIR = Path(os.environ.get("VORNAK_BUILD_DIR") or SOURCE_DIR / "build")
WIN_DIR = BUILD_DIR / "win"
VORNAK = BUILD_DIR / "bin" / "vornak"
WINE = os.environ.get("WINE") or "/usr/lib/wine/wine64"
WINEPREFIX = os.environ.get("WINEPREFIX") or str(BUILD_DIR / "wineprefix")
TEST_TMP = BUILD_DIR / "test-tmp"
WINRUN = WIN_DIR / "winrun.exe"
HOLDFILE = WIN_DIR / "holdfile.exe"
WINDOW_WATCH = WIN_DIR / "window_watch.exe"



def format_constants(header=SOURCE_DIR / "payload" / "format.h"):
    """The payload format's constants as the launcher and the tool take them:
    {name: int or str} of every `NAME = number` enumerator and every string
    constant or macro in payload/format.h. A constant missing here fails the
    import loudly rather than let a test build payloads of its own invention."""
    text = Path(header).read_text()
    found = {name: int(value) for name, value in re.findall(r"^\s*([A-Z][A-Z0-9_]*)\s*=\s*(\d+)\s*,", text, re.M)}
    found.update(re.findall(r"\b([A-Z][A-Z0-9_]*)(?:\[[^\]]*\])?\s*=?\s*\"([^\"]*)\"", text))
    return found


FORMAT = format_constants()
PAYLOAD_MAGIC = FORMAT["PAYLOAD_MAGIC"].encode("ascii")
assert len(PAYLOAD_MAGIC) == FORMAT["PAYLOAD_MAGIC_BYTES"]
TERMINATOR = b"\0\0"
ZERO_FILL = b"\0" * FORMAT["PAYLOAD_ZERO_FILL_BYTES"]
NAME_UNITS_MAX = FORMAT["PAYLOAD_NAME_MAX_UNITS"]

# What the launcher prints, exactly.
MSG_NO_HEADER = "Error, couldn't find attached data header."
MSG_DECODE = "Error, couldn't decode attached data."
MSG_OPEN_FOR_WRITING = "Error, failed to open '{}' for writing."
MSG_EXPAND = "Error, couldn't runtime expand spec '{}'."
MSG_NO_ENTRY_POINT = "Error, DLL entry point not found."
MSG_LOAD_DLL = "Error, load DLL."
EXTRACTION_TEMPLATE = "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"
# onefile_<PID>_<microsecond, six digits>_<11 base64url characters; the last
# one carries 4 bits and two zero bits, so its alphabet index is a multiple of 4>
EXTRACTION_NAME = re.compile(r"onefile_(\d+)_(\d{6})_([A-Za-z0-9_-]{10}[AEIMQUYcgkosw048])\Z")

HANDOFF_VARIABLES = ("VORNAK_ONEFILE_PARENT", "VORNAK_ONEFILE_START", "VORNAK_ONEFILE_TIME_US",
                     "VORNAK_ONEFILE_RANDOM", "VORNAK_ONEFILE_DIRECTORY", "VORNAK_ORIGINAL_ARGV0")


# --- text and paths ---------------------------------------------------------

def hex_units(text):
    """UTF-16 code units of text as hex, four digits each (the probe's and winrun's form)."""
    return text.encode("utf-16-be", "surrogatepass").hex()


def unhex_units(value):
    return bytes.fromhex(value).decode("utf-16-be", "surrogatepass")


def to_windows_path(path):
    """A Linux path as Wine's Z: drive sees it."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def to_linux_path(win_path):
    """The Linux path of a Z:\\ path (also in the \\\\?\\Z:\\ form); None for other drives."""
    p = win_path
    if p.startswith("\\\\?\\"):
        p = p[4:]
    if len(p) >= 2 and p[0] in "zZ" and p[1] == ":":
        return Path(p[2:].replace("\\", "/") or "/")
    return None


def quote_argument(arg):
    """Quotes one argument so that CommandLineToArgvW and the UCRT give it back unchanged.

    input : hello"world    output: "hello\\"world"
    input : a\\b c\\        output: "a\\b c\\\\"
    input : (empty)        output: ""
    """
    if arg and not any(c in arg for c in ' \t\n\v"'):
        return arg
    out, backslashes = ['"'], 0
    for c in arg:
        if c == "\\":
            backslashes += 1
            continue
        if c == '"':
            out.append("\\" * (2 * backslashes + 1) + '"')
        else:
            out.append("\\" * backslashes + c)
        backslashes = 0
    out.append("\\" * (2 * backslashes) + '"')
    return "".join(out)


def quote_program(path):
    """The first element: quoted when it holds a space or tab (no escaping applies there)."""
    return '"%s"' % path if any(c in path for c in " \t") else path


def command_line(program, args):
    return " ".join([quote_program(program)] + [quote_argument(a) for a in args])


# --- payloads by hand -------------------------------------------------------

def entry(name, data=b""):
    """One entry of the entry stream: UTF-16LE name, zero unit, 64-bit size, data."""
    return name.encode("utf-16-le", "surrogatepass") + b"\0\0" + struct.pack("<Q", len(data)) + data


def entry_stream(entries, terminator=True):
    """entries: (name, data) pairs or raw bytes, in order; the terminator follows."""
    parts = [e if isinstance(e, (bytes, bytearray)) else entry(*e) for e in entries]
    return b"".join(parts) + (TERMINATOR if terminator else b"")


def zstd_frame(data, level=3):
    """One zstd frame of data, with no content size (the CLI reads stdin) and no checksum."""
    r = subprocess.run(["zstd", "-q", "-c", "--no-check", "-%d" % level], input=data,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    return r.stdout


def payload(frame, magic=PAYLOAD_MAGIC, zero_fill=ZERO_FILL, trailer=None):
    """Magic, frame, zero fill and the 64-bit trailer (its own offset unless given)."""
    head = magic + frame + zero_fill
    return head + struct.pack("<Q", len(head) if trailer is None else trailer)


def payload_from_entries(entries, terminator=True, level=3):
    return payload(zstd_frame(entry_stream(entries, terminator), level))


def read_win_file(name):
    return (WIN_DIR / name).read_bytes()


def probe_dll_bytes():
    return read_win_file("probe.dll")


# A file and a nested directory to put beside the probe: something for a
# removal to do.
TREE_BESIDE_PROBE = (
    ("data.bin", b"\x01" * 70000),
    ("sub\\deeper\\notes.txt", b"notes"),
    ("sub\\empty.txt", b""),
)


# --- files ------------------------------------------------------------------

def tree(root):
    """Everything below root: {relative posix path: bytes} for files, "dir/": None for
    directories, "link@": its target (str) for symbolic links, which are not followed."""
    root = Path(root)
    found = {}
    if not root.is_dir():
        return found
    for dirpath, dirnames, filenames in os.walk(root):
        rel = Path(dirpath).relative_to(root)
        for name in dirnames + filenames:
            path = Path(dirpath) / name
            if path.is_symlink():
                found[(rel / name).as_posix() + "@"] = os.readlink(path)
            elif name in dirnames:
                found[(rel / name).as_posix() + "/"] = None
            else:
                found[(rel / name).as_posix()] = path.read_bytes()
    return found


def listing(root):
    """Sorted relative paths below root (directories end with "/", links with "@")."""
    return sorted(tree(root))


def remove_tree(path):
    shutil.rmtree(path, ignore_errors=True)


class Workspace:
    """A fresh directory for one test: temp/ becomes TMP and TEMP, run/ the
    current directory of every Windows process the test starts."""

    def __init__(self, path):
        self.path = Path(path)
        remove_tree(self.path)
        self.temp = self.path / "temp"
        self.temp.mkdir(parents=True)
        self.run_dir = self.path / "run"
        self.run_dir.mkdir()
        # Checked after every run: a launcher that deletes in its current
        # directory must fail loudly, not quietly eat a source tree.
        self.canary = self.run_dir / "canary.txt"
        self.canary.write_bytes(b"canary")

    def sub(self, name):
        d = self.path / name
        d.mkdir(parents=True, exist_ok=True)
        return d

    def write(self, name, data):
        p = self.path / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data if isinstance(data, (bytes, bytearray)) else data.encode())
        return p

    def cleanup(self):
        remove_tree(self.path)


# --- building ---------------------------------------------------------------

def build_launcher(out_exe, app_dir=None, dll=None, payload_bytes=None, payload_file=None, extra=()):
    """Links a launcher with `vornak build`: from an application folder, or carrying
    the given payload bytes (or file) unchecked. Returns the path of the image."""
    out_exe = Path(out_exe)
    out_exe.parent.mkdir(parents=True, exist_ok=True)
    cmd = [str(VORNAK), "build", "--quiet", "-o", str(out_exe)]
    if payload_bytes is not None:
        payload_file = out_exe.with_suffix(".payload")
        payload_file.write_bytes(payload_bytes)
    if payload_file is not None:
        cmd += ["--payload", str(payload_file), "--unchecked"]
    else:
        cmd += [str(app_dir), "--dll", dll]
    cmd += list(extra)
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise RuntimeError("vornak build failed (%d): %s%s" % (r.returncode, r.stdout, r.stderr))
    return out_exe


def make_app_dir(root, files):
    """Writes {relative name: bytes} into root (names with "/" or "\\")."""
    root = Path(root)
    for name, data in files.items():
        p = root / name.replace("\\", "/")
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    return root


# --- probe reports ------------------------------------------------------------

class Report(dict):
    """A probe report: raw "key=value" strings; the accessors decode them.

    Keys: pid, ppid, argc, argv.N, command_line, dll_path, module_path,
    exe_path, cwd, env.NAME, stdin/stdout/stderr (null, invalid, disk, pipe,
    char, unknown), console, startup_flags (hex), show_window, returning, snapshot_failures, hold, holder_pid,
    stdin_data (bytes in hex), windows, parent_windows, shutdown_level, own_window,
    nested.exit; other nested.* lines form self.nested.
    """

    HEX_KEYS = ("command_line", "dll_path", "module_path", "exe_path", "exe_short_path", "cwd")

    def __init__(self, text):
        super().__init__()
        nested = []
        for line in text.splitlines():
            if not line:
                continue
            key, _, value = line.partition("=")
            if key.startswith("nested."):
                nested.append(line[len("nested."):])
            self[key] = value
        self.nested = Report("\n".join(nested)) if nested else None

    def text(self, key):
        return unhex_units(self[key])

    def number(self, key):
        return int(self[key], 0)

    @property
    def argv(self):
        return [unhex_units(self["argv.%d" % i]) for i in range(int(self["argc"]))]

    def env(self, name):
        """The variable's value as the application saw it; None when unset.
        Names beyond the fixed set need VORNAK_PROBE_ENV (see run_launcher's env)."""
        v = self["env." + name]
        return None if v == "!unset" else unhex_units(v)

    def __getattr__(self, key):
        if key in Report.HEX_KEYS and key in self:
            return unhex_units(self[key])
        raise AttributeError(key)

    def windows(self, key="windows"):
        """probe:list-windows: [(class name, visible)] of this process or of
        its parent (key "parent_windows")."""
        return [(w.rsplit(":", 1)[0], w.endswith(":1")) for w in self[key].split(",") if w]

    @property
    def temp_entries(self):
        """Names in TEMP when the probe ran probe:list-temp (sorted); None without it."""
        if "temp_entries" not in self:
            return None
        return sorted(unhex_units(v) for v in self["temp_entries"].split(",") if v)

    @property
    def extraction_dir(self):
        """The directory holding the application DLL (Windows form)."""
        return self.dll_path.rsplit("\\", 1)[0]


# --- running ------------------------------------------------------------------

class RunResult:
    def __init__(self, code, stdout, stderr, temp_listing, report, timed_out, ctrl_sent, ws):
        self.code = code              # full 32-bit exit code, unsigned
        self.stdout_bytes = stdout
        self.stderr_bytes = stderr
        self.stdout = _text(stdout)   # \r\n as \n
        self.stderr = _text(stderr)
        self.temp_listing = temp_listing  # what TEMP held after the run (listing())
        self.report = report          # Report, or None when the probe wrote none
        self.timed_out = timed_out
        self.ctrl_sent = ctrl_sent
        self.ws = ws

    @property
    def extraction_dirs(self):
        """Top-level names in TEMP that have the extraction directory's form."""
        return [p.rstrip("/") for p in self.temp_listing
                if p.count("/") == 1 and p.endswith("/") and EXTRACTION_NAME.match(p.rstrip("/"))]

    def ctrl_events(self):
        """Events that a probe with probe:ignore-ctrl recorded (list of ints)."""
        f = self.ws.path / "report.txt.ctrl"
        if not f.exists():
            return []
        return [int(l.split("=")[1]) for l in f.read_text().split()]

    def __repr__(self):
        return "RunResult(code=0x%08X, stdout=%r, stderr=%r, temp=%r)" % (
            self.code, self.stdout[-400:], self.stderr[-400:], self.temp_listing[:10])


def _text(data):
    return data.decode("utf-8", "replace").replace("\r\n", "\n")


def wine_environment():
    env = dict(os.environ)
    env["WINEPREFIX"] = WINEPREFIX
    env["WINEDEBUG"] = "-all"
    # Wine hands the Linux environment to Windows programs: keep hand-off
    # variables of an outer run from leaking into a test.
    for name in HANDOFF_VARIABLES:
        env.pop(name, None)
    return env


_wine_ready = False


def use_wine_prefix(path):
    """Runs everything from now on in the Wine prefix at path (created when first used)."""
    global WINEPREFIX, _wine_ready
    WINEPREFIX = str(path)
    _wine_ready = False


def _ensure_wine():
    global _wine_ready
    if _wine_ready:
        return
    env = wine_environment()
    # Creates the prefix, or only checks (and if need be makes) its settings.
    step = "configure" if Path(WINEPREFIX, "system.reg").exists() else "start"
    subprocess.run([str(SOURCE_DIR / "tests" / "wine_prefix.sh"), step], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Keeps a server alive between our processes when no fixture runs one;
    # fails harmlessly when a server is already running.
    server = Path(WINE).parent / "wineserver"
    subprocess.run([str(server), "-p30"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _wine_ready = True


def _winrun_command(options, ws, wrapper=()):
    """The Linux command that runs winrun.exe with options (a list of strings,
    passed through an options file so that every code unit survives) under the
    command prefix wrapper (e.g. a tracer); and the exit file it writes."""
    _ensure_wine()
    exit_file = ws.path / "winrun-exit.txt"
    if exit_file.exists():
        exit_file.unlink()
    opts = ["--exit-file", to_windows_path(exit_file)] + list(options)
    args_file = ws.write("winrun-args.bin", "\0".join(opts).encode("utf-16-le", "surrogatepass"))
    return list(wrapper) + [WINE, str(WINRUN), "--args-file", to_windows_path(args_file)], exit_file


def run_winrun(options, *, ws, stdin=None, timeout_s=60, wrapper=()):
    """Runs winrun.exe with the given options (see _winrun_command). Returns
    (status dict of the exit file, CompletedProcess)."""
    cmd, exit_file = _winrun_command(options, ws, wrapper)
    # The current directory is the workspace's run/: a Windows process that
    # misbehaves with relative paths can then harm nothing but the workspace.
    proc = subprocess.run(cmd, input=stdin or b"", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=wine_environment(), cwd=ws.run_dir, timeout=timeout_s + 30)
    if not exit_file.exists():
        raise RuntimeError("winrun reported no exit code (status %d): %s" %
                           (proc.returncode, _text(proc.stderr)))
    return winrun_status(ws), proc


def winrun_status(ws):
    """The exit file of the workspace's last winrun, as a dict of strings."""
    text = (ws.path / "winrun-exit.txt").read_text()
    return dict(line.split("=", 1) for line in text.split())


def end_session(timeout_s=60):
    """Logs off the Wine session as a shutdown would: every process that owns
    a top-level window gets WM_QUERYENDSESSION and WM_ENDSESSION (wParam 1) in
    process-id order and is ended once it has answered; the rest is killed
    afterwards, and the prefix's server stops. Wine waits for each answer
    without limit, hence the timeout. Starts the server again and returns
    (seconds until wineboot returned, its CompletedProcess)."""
    _ensure_wine()
    env = wine_environment()
    start = time.monotonic()
    r = subprocess.run(["timeout", str(timeout_s), WINE, "wineboot", "--end-session", "--shutdown", "--kill"],
                       env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.monotonic() - start
    # After a timed-out wineboot the server still runs: end it and what it serves.
    stop_wine(wait=True)
    _ensure_wine()
    return elapsed, r


def stop_wine(wait=False):
    """Stops the prefix's server and every process it serves (and waits for that)."""
    global _wine_ready
    server = str(Path(WINE).parent / "wineserver")
    for option in ("-k", "-w") if wait else ("-k",):
        subprocess.run([server, option], env=wine_environment(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    _wine_ready = False


def start_window_watch(*args):
    """Starts tests/win/window_watch.exe with args and returns once it watches
    (its "ready" line was read): the running process, whose further lines
    (proc.communicate()) are its events."""
    _ensure_wine()
    proc = subprocess.Popen([WINE, str(WINDOW_WATCH)] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=wine_environment())
    line = proc.stdout.readline()
    if line.strip() != b"ready":
        proc.kill()
        raise RuntimeError("window_watch.exe did not start: %r" % line)
    return proc


def run_launcher(exe, args=(), *, ws, stdin=None, timeout_s=60, wrapper=(), **kw):
    """Runs exe through winrun.exe and returns a RunResult.

    args: the arguments, each quoted with quote_argument; or cmdline: the exact
    command line (program name included). program: the first element to type
    instead of the Windows path of exe. app_name: lpApplicationName (default
    none). env: {name: value} to set (None removes); unset: names to remove.
    The hand-off variables start unset. TMP and TEMP are the workspace's temp/
    (or temp, a Windows path string) unless env names them. cwd: the current
    directory (Linux path or Windows string; default the workspace's run/).
    stdin: bytes on standard input (default: empty). no_std_handles: the
    launcher gets none. show_window: start it with STARTF_USESHOWWINDOW and
    that wShowWindow. report: have the probe write its report to the
    workspace (result.report). ctrl_after_ms / ctrl_when (a Windows path) /
    ctrl_on_report: send CTRL_C_EVENT to every process of winrun's console
    after a delay, once a file exists, or once the probe's report exists, then
    ctrl_delay_ms later; ctrl_group: start the launcher in a new process group
    and send the event to that group only. end_session_when (a Windows path):
    once that file exists, send WM_QUERYENDSESSION and WM_ENDSESSION with
    lParam end_session_lparam to the launcher's session window (the answers:
    winrun_status). winrun_options: further winrun
    options, applied after the environment settings (e.g. --set-own-pid NAME).
    timeout_s: winrun ends the whole process tree after this long
    (result.timed_out). wrapper: a Linux command prefix for the wine64 call."""
    opts, report_file = _launcher_options(exe, args, ws=ws, timeout_s=timeout_s, **kw)
    status, proc = run_winrun(opts, ws=ws, stdin=stdin, timeout_s=timeout_s, wrapper=wrapper)
    if not ws.canary.exists():
        raise AssertionError("the run deleted files in its current directory %s (under Wine 8, "
                             "SHFileOperationW FO_DELETE on a tree holding a path over MAX_PATH "
                             "deletes the current directory's contents instead)" % ws.run_dir)
    rep = Report(report_file.read_text()) if report_file.exists() else None
    return RunResult(int(status["exit"], 16), proc.stdout, proc.stderr, listing(ws.temp), rep,
                     status["timed_out"] == "1", status["ctrl_sent"] == "1", ws)


def start_launcher(exe, args=(), *, ws, timeout_s=60, **kw):
    """Starts exe through winrun.exe as run_launcher does (same options) and
    returns at once: (the running wine64 process, its stdout and stderr going
    to the workspace; the report file the probe will write)."""
    opts, report_file = _launcher_options(exe, args, ws=ws, timeout_s=timeout_s, **kw)
    cmd, _ = _winrun_command(opts, ws)
    with open(ws.path / "winrun-out.txt", "wb") as out, open(ws.path / "winrun-err.txt", "wb") as err:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                env=wine_environment(), cwd=ws.run_dir)
    return proc, report_file


def _launcher_options(exe, args, *, ws, cmdline=None, program=None, env=None, unset=(), cwd=None,
                      temp=None, no_std_handles=False, report=True, app_name=None,
                      ctrl_after_ms=None, ctrl_when=None, ctrl_on_report=False, ctrl_delay_ms=0,
                      ctrl_group=False, show_window=None, end_session_when=None, end_session_lparam=None,
                      winrun_options=(), timeout_s=60):
    """winrun's options for run_launcher's arguments, and the report file."""
    exe = Path(exe)
    if cmdline is None:
        cmdline = command_line(program or to_windows_path(exe), list(args))
    report_file = ws.path / "report.txt"
    for f in [report_file] + list(ws.path.glob("report.txt.*")):
        if f.exists():
            f.unlink()

    temp_win = temp or to_windows_path(ws.temp)
    settings = {"TMP": temp_win, "TEMP": temp_win, "VORNAK_PROBE_HOLDER": to_windows_path(HOLDFILE),
                "VORNAK_PROBE_REPORT": to_windows_path(report_file) if report else None}
    settings.update(env or {})
    opts = ["--timeout", str(int(timeout_s * 1000))]
    for name in list(HANDOFF_VARIABLES) + list(unset):
        opts += ["--unset", name]
    for name, value in settings.items():
        opts += ["--unset", name] if value is None else ["--set", name + "=" + value]
    opts += list(winrun_options)
    cwd = ws.run_dir if cwd is None else cwd
    opts += ["--cwd", cwd if isinstance(cwd, str) else to_windows_path(cwd)]
    if app_name is not None:
        opts += ["--app", app_name]
    if no_std_handles:
        opts += ["--no-std-handles"]
    if show_window is not None:
        opts += ["--show", str(show_window)]
    if ctrl_on_report:
        ctrl_when = to_windows_path(report_file)
    if ctrl_after_ms is not None:
        opts += ["--ctrl-after", str(ctrl_after_ms)]
    if ctrl_when is not None:
        opts += ["--ctrl-when", ctrl_when]
    if ctrl_delay_ms:
        opts += ["--ctrl-delay", str(ctrl_delay_ms)]
    if ctrl_group:
        opts += ["--ctrl-group"]
    if end_session_when is not None:
        opts += ["--end-session-when", end_session_when]
    if end_session_lparam is not None:
        opts += ["--end-session-lparam", "0x%X" % end_session_lparam]
    opts += ["--cmd", cmdline]
    return opts, report_file


# --- test base class ----------------------------------------------------------

class LauncherTestCase(unittest.TestCase):
    """Gives each test self.ws (a fresh Workspace, removed afterwards) and each
    class a directory for launchers built once (build_class_launcher). Every
    launcher a class builds gets its BUILD_OPTIONS: a subclass with
    ("--console",) runs the same tests against console launchers."""

    maxDiff = None
    BUILD_OPTIONS = ()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.class_dir = TEST_TMP / ("%s.%s" % (cls.__module__, cls.__qualname__))
        remove_tree(cls.class_dir)
        cls.class_dir.mkdir(parents=True)
        cls.addClassCleanup(remove_tree, cls.class_dir)
        cls._launchers = {}

    def setUp(self):
        super().setUp()
        self.ws = Workspace(self.class_dir / self._testMethodName)
        self.addCleanup(self.ws.cleanup)

    @classmethod
    def build_class_launcher(cls, key, **kw):
        """Builds a launcher once per class and returns its path; kw as for
        build_launcher, or files={name: bytes} and dll= for a folder made here."""
        if key not in cls._launchers:
            out = cls.class_dir / "launchers" / key / "launcher.exe"
            files = kw.pop("files", None)
            if files is not None:
                kw["app_dir"] = make_app_dir(cls.class_dir / "apps" / key, files)
            if "payload" in kw:
                kw["payload_bytes"] = kw.pop("payload")
            kw.setdefault("extra", cls.BUILD_OPTIONS)
            cls._launchers[key] = build_launcher(out, **kw)
        return cls._launchers[key]

    def build(self, name="launcher.exe", **kw):
        """Builds a launcher in this test's workspace: payload=bytes, or
        app_dir= and dll=, or files={name: bytes} and dll=."""
        files = kw.pop("files", None)
        if files is not None:
            kw["app_dir"] = make_app_dir(self.ws.path / "app", files)
        if "payload" in kw:
            kw["payload_bytes"] = kw.pop("payload")
        kw.setdefault("extra", self.BUILD_OPTIONS)
        return build_launcher(self.ws.path / "bin" / name, **kw)

    def run_launcher(self, exe, args=(), **kw):
        return run_launcher(exe, args, ws=self.ws, **kw)

    def assertExitCode(self, result, code):
        self.assertEqual(result.code, code & 0xFFFFFFFF,
                         "exit code 0x%08X, expected 0x%08X; %r" % (result.code, code & 0xFFFFFFFF, result))


class ProbeTestCase(LauncherTestCase):
    """A LauncherTestCase with one launcher for the whole class, cls.exe: the
    probe DLL first, then the class's BESIDE_PROBE entries [(name, bytes)]."""

    BESIDE_PROBE = ()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.exe = cls.build_class_launcher("probe", payload=payload_from_entries(
            [("probe.dll", probe_dll_bytes())] + list(cls.BESIDE_PROBE)))
