# SPDX-License-Identifier: MIT
"""Shared pieces of the benchmarks: the build to measure, a Wine prefix of
their own, the realistic application folder made from the machine's own
binaries, cached packs, process timing with peak memory, and batchrun.

Everything is generated below <build>/bench/ (never committed): app/ (the
folder), cache/ (payloads, launchers, tar files keyed by their inputs),
wineprefix/ (created on first use, with TEMP pointing at temp/).
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
WINE = os.environ.get("WINE") or "/usr/lib/wine/wine64"
WINESERVER = str(Path(WINE).parent / "wineserver")
FILETIME_EPOCH_OFFSET_S = 11644473600  # 1601-01-01 to 1970-01-01

# The realistic application: 460 entries, about 494 MB decoded, one of
# about 202 MB. Files come from the machine's own binaries, in an order fixed
# by the seed, so that the same machine always gets the same folder.
APP_SEED = 460
SMALL_FILES = 458
SMALL_MIN_BYTES = 64 * 1024
SMALL_MAX_BYTES = 8 * 1024 * 1024
BIG_FILE_BYTES = 202_340_152
TOTAL_BYTES = 494_291_595
SOURCE_TREES = ("/usr/lib/x86_64-linux-gnu", "/usr/bin")
# The folder holds some of Wine's builtin DLLs as sample data; two of them
# import the MSVC runtime, which it does not carry. Nothing loads them, so the
# packs accept those imports (and warn about the rest on stderr).
PACK_ALLOW_DLLS = ["--allow-dll", "msvcp140.dll", "--allow-dll", "vcruntime140.dll"]
SAFE_NAME = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._+-")


def parse_args(description, extra=None):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--build", default=os.environ.get("VORNAK_BUILD_DIR") or str(SOURCE_DIR / "build"),
                   help="build directory with bin/vornak and win/ (default: build/ or $VORNAK_BUILD_DIR)")
    if extra:
        extra(p)
    args = p.parse_args()
    args.build = Path(args.build).resolve()
    return args


class Bench:
    def __init__(self, build):
        self.build = Path(build)
        self.vornak = self.build / "bin" / "vornak"
        self.win = self.build / "win"
        self.root = self.build / "bench"
        self.cache = self.root / "cache"
        self.prefix = self.root / "wineprefix"
        self.temp = self.root / "temp"
        for d in (self.cache, self.temp):
            d.mkdir(parents=True, exist_ok=True)
        for f in (self.vornak, self.win / "batchrun.exe", self.win / "bench" / "stamp.dll",
                  self.win / "bench" / "direct_host.exe", self.win / "bench" / "remove_tree.exe",
                  self.win / "bench" / "hold_desktop.exe"):
            if not f.exists():
                sys.exit("missing %s: build the project first (cmake --build %s)" % (f, self.build))

    # --- Wine ---------------------------------------------------------------

    def env(self):
        env = dict(os.environ)
        env["WINEPREFIX"] = str(self.prefix)
        env["WINEDEBUG"] = "-all"
        for name in list(env):
            if name.startswith("VORNAK_ONEFILE_") or name == "VORNAK_ORIGINAL_ARGV0":
                del env[name]
        return env

    def start_wine(self):
        """Creates the prefix once (TEMP and TMP at temp/, the tests' settings)
        and keeps its server up."""
        env = self.env()
        if not (self.prefix / "system.reg").exists():
            print("bench: creating the Wine prefix %s (once)" % self.prefix, flush=True)
            subprocess.run([WINE, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run([WINESERVER, "-w"], env=env)
            for name in ("TEMP", "TMP"):
                subprocess.run([WINE, "reg", "add", r"HKCU\Environment", "/v", name, "/t", "REG_SZ",
                                "/d", win_path(self.temp), "/f"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            subprocess.run([WINESERVER, "-w"], env=env)
        # The graphics driver the tests use: without one the parent's window
        # cannot be created, which is not how the launcher runs on Windows.
        subprocess.run([str(SOURCE_DIR / "tests" / "wine_prefix.sh"), "configure"], env=dict(env, WINE=WINE),
                       check=True)
        subprocess.run([WINESERVER, "-p60"], env=env, stderr=subprocess.DEVNULL)  # ends a minute after the last run
        subprocess.run([WINE, "cmd", "/c", "exit", "0"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def stop_wine(self):
        subprocess.run([WINESERVER, "-k"], env=self.env(), stderr=subprocess.DEVNULL)

    def temp_contents(self):
        return sorted(os.listdir(self.temp))

    def batchrun(self, jobs):
        """Runs jobs (lists of batchrun options, each ending a run) and returns
        one dict per run: exit, timed_out, start_ft, end_ft, elapsed_us."""
        fields = []
        for job in jobs:
            fields += job + ["--run"]
        job_file = self.root / "jobs.bin"
        result_file = self.root / "results.txt"
        job_file.write_bytes("\0".join(fields).encode("utf-16-le"))
        r = subprocess.run([WINE, str(self.win / "batchrun.exe"), win_path(job_file), win_path(result_file)],
                           env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if r.returncode != 0:
            sys.exit("batchrun failed: %s" % r.stderr.decode(errors="replace"))
        runs = []
        for line in result_file.read_text().splitlines():
            d = dict(f.split("=", 1) for f in line.split())
            runs.append({"exit": int(d["exit"], 16), "timed_out": d["timed_out"] == "1",
                         "start_ft": int(d["start_ft"]), "end_ft": int(d["end_ft"]),
                         "elapsed_us": int(d["elapsed_us"])})
        return runs

    # --- the application folder -----------------------------------------------

    def app(self):
        """The realistic application folder (made once); returns (path, manifest)."""
        app = self.root / "app"
        manifest_file = self.root / "app.json"
        if manifest_file.exists() and app.is_dir():
            manifest = json.loads(manifest_file.read_text())
            if manifest.get("seed") == APP_SEED:
                return app, manifest
        shutil.rmtree(app, ignore_errors=True)
        print("bench: building the application folder from the machine's binaries (once)", flush=True)
        files = []  # (name in the app, [source paths], size)
        candidates = []
        for tree in SOURCE_TREES:
            for dirpath, dirnames, filenames in os.walk(tree):
                dirnames.sort()
                for f in sorted(filenames):
                    p = os.path.join(dirpath, f)
                    if os.path.islink(p) or not os.path.isfile(p):
                        continue
                    rel = os.path.relpath(p, tree)
                    parts = rel.split(os.sep)
                    if len(parts) > 3 or not all(set(c) <= SAFE_NAME for c in parts):
                        continue
                    size = os.path.getsize(p)
                    if SMALL_MIN_BYTES <= size <= SMALL_MAX_BYTES:
                        candidates.append(((("lib" if tree.endswith("gnu") else "bin"),) + tuple(parts), p, size))
        rng = random.Random(APP_SEED)
        rng.shuffle(candidates)
        seen = set()
        budget = TOTAL_BYTES - BIG_FILE_BYTES
        for parts, path, size in candidates:
            key = "/".join(parts).lower()
            if key in seen or any(key.startswith(s + "/") or s.startswith(key + "/") for s in seen):
                continue
            # Steers the total towards TOTAL_BYTES: no file above six times the
            # average that the rest of the budget allows.
            if size > 6 * budget / (SMALL_FILES - len(files)):
                continue
            seen.add(key)
            files.append(("/".join(parts), [path], size))
            budget -= size
            if len(files) == SMALL_FILES:
                break
        big_sources = sorted((p for p in Path(SOURCE_TREES[0]).glob("*.so*")
                              if p.is_file() and not p.is_symlink() and p.stat().st_size > 20_000_000),
                             key=lambda p: (-p.stat().st_size, str(p)))
        picked, total = [], 0
        for p in big_sources:
            picked.append(str(p))
            total += p.stat().st_size
            if total >= BIG_FILE_BYTES:
                break
        if total < BIG_FILE_BYTES:
            sys.exit("bench: not enough large binaries on this machine for the big file")
        files.append(("data/bundle.dat", picked, BIG_FILE_BYTES))

        for name, sources, size in files:
            dst = app / name
            dst.parent.mkdir(parents=True, exist_ok=True)
            with open(dst, "wb") as out:
                left = size
                for s in sources:
                    with open(s, "rb") as f:
                        while left > 0:
                            chunk = f.read(min(left, 1 << 20))
                            if not chunk:
                                break
                            out.write(chunk)
                            left -= len(chunk)
        shutil.copyfile(self.win / "bench" / "stamp.dll", app / "app.dll")
        entries = [{"name": "app.dll", "size": (app / "app.dll").stat().st_size}]
        entries += [{"name": n, "size": s, "from": src} for n, src, s in files]
        manifest = {"seed": APP_SEED, "entries": entries,
                    "files": len(entries), "bytes": sum(e["size"] for e in entries)}
        manifest_file.write_text(json.dumps(manifest, indent=1))
        return app, manifest

    def subset(self, name, max_bytes):
        """A smaller folder of the application's first files (hard links), up to max_bytes."""
        app, manifest = self.app()
        sub = self.root / name
        if not sub.is_dir():
            total = 0
            for e in manifest["entries"]:
                if total + e["size"] > max_bytes:
                    continue
                total += e["size"]
                dst = sub / e["name"]
                dst.parent.mkdir(parents=True, exist_ok=True)
                os.link(app / e["name"], dst)
        return sub

    # --- cached packs ---------------------------------------------------------

    def key(self, *parts):
        h = hashlib.sha256()
        for p in parts:
            h.update(repr(p).encode())
            h.update(b"\0")
        return h.hexdigest()[:16]

    def tool_digest(self):
        return hashlib.sha256(self.vornak.read_bytes()).hexdigest()[:16]

    def kit_digest(self):
        """Of every archive in the launcher kit, the launcher's rooms among them."""
        h = hashlib.sha256()
        for archive in sorted((self.build / "lib" / "vornak").glob("*.a")):
            h.update(archive.name.encode() + b"\0" + archive.read_bytes())
        return h.hexdigest()

    def packed_launcher(self, app, manifest, level, threads, extra=(), tag=""):
        """(payload path, launcher path, pack seconds or None when cached).
        The payload is keyed by the folder, level and threads only (a pack at
        level 19 takes minutes): remove bench/cache/ after changing what the
        packer writes. The launcher is linked again whenever vornak or the
        launcher kit changed. extra: further `vornak build` options, for a
        launcher named by tag beside the plain one."""
        # "content checksum": payloads packed before the frame carried one are not reused.
        k = self.key(manifest["entries"], level, threads, "content checksum")
        payload = self.cache / ("payload-%s.bin" % k)
        exe = self.cache / ("launcher%s-%s-%s.exe" % (tag, k, self.key(
            self.tool_digest(), self.kit_digest())))
        seconds = None
        if not payload.exists():
            print("bench: packing at level %d with %d threads (cached afterwards)" % (level, threads), flush=True)
            t0 = time.perf_counter()
            subprocess.run([str(self.vornak), "pack", str(app), "--dll", "app.dll", "-o", str(payload),
                            "--level", str(level), "--threads", str(threads)] + PACK_ALLOW_DLLS, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seconds = time.perf_counter() - t0
        if not exe.exists():
            for old in self.cache.glob("launcher%s-%s-*.exe" % (tag, k)):
                old.unlink()
            subprocess.run([str(self.vornak), "build", "--quiet", "--payload", str(payload), "-o", str(exe)] +
                           list(extra), check=True)
        return payload, exe, seconds

    def launcher_without_checksum(self, payload):
        """A launcher carrying payload with its frame's content checksum taken
        out (flag cleared, last four bytes of the frame dropped): the same
        blocks, so the two decode the same work but for the checksum."""
        exe = payload.with_name(payload.stem + "-nochecksum.exe")
        if exe.exists() and exe.stat().st_mtime >= self.vornak.stat().st_mtime:
            return exe
        data = payload.read_bytes()
        frame = data[3:-15]
        if not frame[4] & 4:
            raise SystemExit("the cached payload %s has no content checksum" % payload)
        frame = frame[:4] + bytes([frame[4] & ~4]) + frame[5:-4]
        head = data[:3] + frame + b"\0" * 7
        stripped = payload.with_name(payload.stem + "-nochecksum.bin")
        stripped.write_bytes(head + len(head).to_bytes(8, "little"))
        subprocess.run([str(self.vornak), "build", "--quiet", "--payload", str(stripped), "-o", str(exe)], check=True)
        stripped.unlink()
        return exe

    def tar_zst(self, app, manifest, level, threads):
        """The same files as a .tar.zst at the same level and window."""
        k = self.key(manifest["entries"], level, threads)
        out = self.cache / ("app-%s.tar.zst" % k)
        if not out.exists():
            print("bench: making the .tar.zst at level %d (cached afterwards)" % level, flush=True)
            names = [e["name"] for e in manifest["entries"]]
            tmp = out.with_suffix(".part")
            with open(tmp, "wb") as f:
                tar = subprocess.Popen(["tar", "-cf", "-", "-C", str(app), "--no-recursion"] + names,
                                       stdout=subprocess.PIPE)
                subprocess.run(["zstd", "-q", "-%d" % level, "--ultra", "-T%d" % max(threads, 1),
                                "--zstd=wlog=27", "-c"], stdin=tar.stdout, stdout=f, check=True)
                tar.wait()
            tmp.rename(out)
        return out


def win_path(path):
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def timed(cmd, env=None, cwd=None, stdout=subprocess.DEVNULL):
    """Runs cmd; returns (seconds, peak resident set in bytes). The peak is
    Linux's ru_maxrss of cmd's process (and of the descendants it waited for),
    as GNU time reads it from wait4; started through time, since a process
    forked from this Python would count Python's own pages in its peak."""
    with tempfile.NamedTemporaryFile("r") as report, tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-q", "-f", "%M", "-o", report.name] + list(cmd), env=env, cwd=cwd,
                           stdout=stdout, stderr=err)
        seconds = time.perf_counter() - t0
        if r.returncode != 0:
            err.seek(0)
            raise RuntimeError("%s failed (%d): %s" % (cmd[0], r.returncode, err.read().decode(errors="replace")))
        peak_kib = int(report.read().split()[-1])
    return seconds, peak_kib * 1024


def sampled_memory(cmd, env=None, cwd=None, interval=0.02):
    """Runs cmd and samples its /proc status every interval seconds: returns
    the largest RssAnon and RssFile seen, in bytes (a lower bound of each
    peak; what lies between the last sample and the exit is missed)."""
    proc = subprocess.Popen(cmd, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = {"RssAnon": 0, "RssFile": 0}
    while proc.poll() is None:
        try:
            with open("/proc/%d/status" % proc.pid) as f:
                for line in f:
                    key = line.split(":")[0]
                    if key in peak:
                        peak[key] = max(peak[key], int(line.split()[1]) * 1024)
        except OSError:
            pass
        time.sleep(interval)
    return peak["RssAnon"], peak["RssFile"]


def drop_dirty_pages():
    """Writes dirty pages back so that one run's writes do not slow the next."""
    subprocess.run(["sync"])


def median(values):
    return statistics.median(values)


def spread(values):
    """(min, 10th percentile, 90th percentile, max)."""
    v = sorted(values)
    def pct(p):
        i = (len(v) - 1) * p
        lo = int(i)
        hi = min(lo + 1, len(v) - 1)
        return v[lo] + (v[hi] - v[lo]) * (i - lo)
    return v[0], pct(0.1), pct(0.9), v[-1]


def mb(n):
    return n / 1e6


def machine_note():
    load = os.getloadavg()
    return "load average %.2f %.2f %.2f, %d CPUs" % (load[0], load[1], load[2], os.cpu_count())
