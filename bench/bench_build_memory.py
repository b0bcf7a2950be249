#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Build memory for a large payload: `vornak build --payload --unchecked` of a
generated incompressible payload of --mib MiB, its time and peak resident set
(GNU time's, the linker included), then a second run sampled every 20 ms for
the largest anonymous and file-backed resident set of the tool and its
children together. The payload lives in <build>/bench/ and is removed
afterwards. Point --build at another build to compare tools side by side.

Usage: bench/bench_build_memory.py [--build DIR] [--mib 1024]
"""

import os
import subprocess
import time

import benchlib
from benchlib import mb

PIECE_BYTES = 1 << 20


def options(p):
    p.add_argument("--mib", type=int, default=1024, help="payload size in MiB (default 1024)")


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
    vornak = args.build / "bin" / "vornak"
    root = args.build / "bench"
    root.mkdir(parents=True, exist_ok=True)
    payload, exe = root / "big-payload.bin", root / "big-launcher.exe"
    try:
        with open(payload, "wb") as f:
            for _ in range(args.mib):
                f.write(os.urandom(PIECE_BYTES))
        cmd = [str(vornak), "build", "--payload", str(payload), "--unchecked", "-o", str(exe), "--quiet"]
        benchlib.drop_dirty_pages()
        seconds, peak = benchlib.timed(cmd)
        benchlib.drop_dirty_pages()
        anon, file_backed = sampled_tree(cmd)
        print("build of a %d MiB payload (%s): %.1f s, peak resident %.0f MB; sampled: %.0f MB anonymous, "
              "%.0f MB file-backed; image %.0f MB" % (args.mib, vornak, seconds, mb(peak), mb(anon),
                                                     mb(file_backed), mb(exe.stat().st_size)))
    finally:
        for f in (payload, exe):
            if f.exists():
                f.unlink()


if __name__ == "__main__":
    main()
