#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Pack and build memory for a large application: a generated folder of
the benchmark's app.dll and one incompressible file of --mib MiB, then
`vornak pack` of it (default level and threads), `vornak build` of the
folder, `vornak build --payload` of the packed payload (checked) and with
--unchecked. For each: time and peak resident set (GNU time's, the linker
included); with --sample, a second run sampled every 20 ms for the largest
anonymous and file-backed resident set of the tool and its children
together. Everything lives in <build>/bench/big/ and is removed afterwards.
Point --build at another build to compare tools side by side.

Usage: bench/bench_build_memory.py [--build DIR] [--mib 1024] [--sample]
"""

import os
import shutil
import subprocess
import time

import benchlib
from benchlib import mb

PIECE_BYTES = 1 << 20


def options(p):
    p.add_argument("--mib", type=int, default=1024, help="size of the incompressible file in MiB (default 1024)")
    p.add_argument("--sample", action="store_true", help="also sample anonymous and file-backed memory")


def tree_status(pid):
    """{pid: (RssAnon, RssFile + RssShmem)} in bytes for pid and its descendants."""
    out, todo = {}, [pid]
    while todo:
        p = todo.pop()
        try:
            with open("/proc/%d/status" % p) as f:
                fields = {l.split(":")[0]: l.split()[1] for l in f if l.startswith("Rss")}
            with open("/proc/%d/task/%d/children" % (p, p)) as f:
                todo += [int(c) for c in f.read().split()]
        except (OSError, IndexError):
            continue
        kib = lambda k: int(fields.get(k, 0)) * 1024
        out[p] = (kib("RssAnon"), kib("RssFile") + kib("RssShmem"))
    return out


def sampled_tree(cmd, interval=0.02):
    """Largest (anonymous, file-backed) resident set of cmd's process tree,
    summed over its processes per sample (a lower bound of each peak)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    anon = file_backed = 0
    while proc.poll() is None:
        status = tree_status(proc.pid)
        anon = max(anon, sum(a for a, _ in status.values()))
        file_backed = max(file_backed, sum(f for _, f in status.values()))
        time.sleep(interval)
    if proc.returncode != 0:
        raise SystemExit("%s failed (%d)" % (cmd[0], proc.returncode))
    return anon, file_backed


def main():
    args = benchlib.parse_args(__doc__.splitlines()[0], options)
    vornak = str(args.build / "bin" / "vornak")
    work = args.build / "bench" / "big"
    app, payload, exe = work / "app", work / "payload.bin", work / "launcher.exe"
    shutil.rmtree(work, ignore_errors=True)
    app.mkdir(parents=True)
    try:
        shutil.copy(args.build / "win" / "bench" / "stamp.dll", app / "app.dll")
        with open(app / "data.bin", "wb") as f:
            for _ in range(args.mib):
                f.write(os.urandom(PIECE_BYTES))
        steps = [
            ("pack", [vornak, "pack", str(app), "--dll", "app.dll", "-o", str(payload), "--quiet"]),
            ("build APP_DIR", [vornak, "build", str(app), "--dll", "app.dll", "-o", str(exe), "--quiet"]),
            ("build --payload", [vornak, "build", "--payload", str(payload), "-o", str(exe), "--quiet"]),
            ("build --payload --unchecked", [vornak, "build", "--payload", str(payload), "--unchecked",
                                             "-o", str(exe), "--quiet"]),
        ]
        print("%s, one file of %d MiB; machine: %s" % (vornak, args.mib, benchlib.machine_note()))
        print("| command | s | peak MB |%s" % (" anonymous MB | file-backed MB |" if args.sample else ""))
        print("|---|---|---|%s" % ("---|---|" if args.sample else ""))
        for name, cmd in steps:
            benchlib.drop_dirty_pages()
            seconds, peak = benchlib.timed(cmd)
            row = "| %s | %.1f | %.0f |" % (name, seconds, mb(peak))
            if args.sample:
                benchlib.drop_dirty_pages()
                anon, file_backed = sampled_tree(cmd)
                row += " %.0f | %.0f |" % (mb(anon), mb(file_backed))
            print(row, flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
