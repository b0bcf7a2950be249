#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Packing: `vornak pack` time, output size and peak memory at levels 3, 19
and 22, on the compressor's own thread (--threads 0) and with two worker
threads (--threads 2), on a subset of the realistic application (its first
files up to --subset-mb, without the 200 MB file, so that level 22 finishes
in about a minute). Prints the ratio of the sizes and the speed-up that the
threads give at each level.

Usage: bench/bench_pack.py [--build DIR] [--subset-mb 64] [--levels 3,19,22]
"""

import os

import benchlib
from benchlib import mb


def options(p):
    p.add_argument("--subset-mb", type=int, default=64)
    p.add_argument("--levels", default="3,19,22")


def main():
    args = benchlib.parse_args(__doc__.splitlines()[0], options)
    b = benchlib.Bench(args.build)
    sub = b.subset("pack-subset-%dmb" % args.subset_mb, args.subset_mb * 1000 * 1000)
    files = sum(len(f) for _, _, f in os.walk(sub))
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(sub) for f in fs)
    print("subset: %d files, %.1f MB; machine: %s" % (files, mb(size), benchlib.machine_note()))
    subprocess_cat = ["cat"] + [os.path.join(d, f) for d, _, fs in os.walk(sub) for f in fs]
    benchlib.subprocess.run(subprocess_cat, stdout=benchlib.subprocess.DEVNULL)  # into the page cache

    out = b.root / "pack-out.bin"
    print()
    print("%-6s %-8s %9s %9s %11s %7s %10s" % ("level", "threads", "seconds", "MB/s", "output MB", "ratio",
                                                 "peak RSS"))
    results = {}
    for level in [int(x) for x in args.levels.split(",")]:
        for threads in (0, 2):
            seconds, peak = benchlib.timed([str(b.vornak), "pack", str(sub), "--dll", "app.dll", "-o", str(out),
                                            "--level", str(level), "--threads", str(threads), "--quiet"]
                                           + benchlib.PACK_ALLOW_DLLS)
            written = out.stat().st_size
            results[(level, threads)] = seconds
            print("%-6d %-8d %9.2f %9.1f %11.2f %7.2f %7.0f MB" % (level, threads, seconds, mb(size) / seconds,
                                                                 mb(written), size / written, mb(peak)), flush=True)
    out.unlink()
    print()
    for level in [int(x) for x in args.levels.split(",")]:
        print("level %2d: --threads 2 is %.2fx as fast as --threads 0" % (
            level, results[(level, 0)] / results[(level, 2)]))


if __name__ == "__main__":
    main()
