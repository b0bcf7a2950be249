#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Extraction cache: on the realistic application, in one run, side by side:
its app.dll started directly by a plain windowed host (direct_host.exe, the
files already on disk), the per-run launcher (unpack, child, removal), and
the same payload built with --cache-dir: its first start (cache empty:
unpack into staging, rename, run) and its second start (the cached folder
checked against its record, the application run in the launcher's own
process).

Each round empties the cache, then one batchrun.exe runs the four one after
the other (times taken around CreateProcessW, so Wine's start-up of the batch
counts for none of them); "to run_code" is stamp.dll's system time at entry
minus the time just before CreateProcessW. Prints medians and the ratios the
cache is held to: second start / direct, first start / per-run launcher.

Usage: bench/bench_cache.py [--build DIR] [--level 19] [--threads 2] [--rounds 5]
"""

import shutil
import subprocess

import benchlib
from benchlib import median


def options(p):
    p.add_argument("--level", type=int, default=19, help="packing level (19 is the realistic setting)")
    p.add_argument("--threads", type=int, default=2, help="packing threads")
    p.add_argument("--rounds", type=int, default=5)


def main():
    args = benchlib.parse_args(__doc__.splitlines()[0], options)
    b = benchlib.Bench(args.build)
    b.start_wine()
    app, manifest = b.app()
    payload, per_run_exe, _ = b.packed_launcher(app, manifest, args.level, args.threads)
    cached_exe = b.cache / "cached-launcher.exe"
    cache_root = b.temp / "vornak-cache"
    subprocess.run([str(b.vornak), "build", "--quiet", "--payload", str(payload), "--cache-dir",
                    "{TEMP}\\vornak-cache", "-o", str(cached_exe)], check=True)
    for f in (per_run_exe, cached_exe):
        subprocess.run(["cat", str(f)], stdout=subprocess.DEVNULL)
    print("application: %d files, %.1f MB; payload %.1f MB (level %d)" % (
        manifest["files"], benchlib.mb(manifest["bytes"]), benchlib.mb(payload.stat().st_size), args.level))
    print("machine: %s" % benchlib.machine_note())

    stamps = b.root / "stamps"
    host = benchlib.win_path(b.win / "bench" / "direct_host.exe")
    commands = {
        "direct": '"%s" "%s"' % (host, benchlib.win_path(app / "app.dll")),
        "per-run": '"%s"' % benchlib.win_path(per_run_exe),
        "first": '"%s"' % benchlib.win_path(cached_exe),
        "second": '"%s"' % benchlib.win_path(cached_exe),
    }
    to_run_code = {kind: [] for kind in commands}
    whole = {kind: [] for kind in commands}
    for r in range(args.rounds + 1):  # the first round warms up and is dropped
        shutil.rmtree(cache_root, ignore_errors=True)
        shutil.rmtree(stamps, ignore_errors=True)
        stamps.mkdir()
        benchlib.drop_dirty_pages()
        jobs = []
        for kind, cmd in commands.items():
            jobs.append(["--set", "VORNAK_STAMP_FILE=" + benchlib.win_path(stamps / (kind + ".txt")),
                         "--timeout", "120000", "--cmd", cmd])
        runs = b.batchrun(jobs)
        for kind, run in zip(commands, runs):
            if run["exit"] != 0 or run["timed_out"]:
                raise SystemExit("%s start ended with 0x%08X" % (kind, run["exit"]))
            if r == 0:
                continue
            ft = int((stamps / (kind + ".txt")).read_text().split("=")[1])
            to_run_code[kind].append((ft - run["start_ft"]) / 1e7)
            whole[kind].append(run["elapsed_us"] / 1e6)
        left = [n for n in b.temp_contents() if n != "vornak-cache"]
        if left:
            raise SystemExit("the launcher left %r in TEMP" % left)
        # Wine runs every process elevated: the cache is in its "elevated" folder.
        kept = list((cache_root / "elevated").iterdir())
        if len(kept) != 1:
            raise SystemExit("the cache holds %r, not one directory" % kept)
        if r > 0:
            print("round %d: %s" % (r, ", ".join("%s %.2f s" % (k, whole[k][-1]) for k in commands)), flush=True)
    shutil.rmtree(cache_root, ignore_errors=True)

    names = {"direct": "direct start, plain windowed host", "per-run": "per-run launcher",
             "first": "cached, first start", "second": "cached, second start"}
    print()
    print("%-36s %12s %12s" % ("median of %d rounds, seconds" % args.rounds, "whole run", "to run_code"))
    for kind in commands:
        print("%-36s %12.3f %12.3f" % (names[kind], median(whole[kind]), median(to_run_code[kind])))
    print()
    print("second start / direct: %.2f whole run, %.2f to run_code" % (
        median(whole["second"]) / median(whole["direct"]),
        median(to_run_code["second"]) / median(to_run_code["direct"])))
    print("first start / per-run launcher: %.2f whole run, %.2f to run_code" % (
        median(whole["first"]) / median(whole["per-run"]),
        median(to_run_code["first"]) / median(to_run_code["per-run"])))


if __name__ == "__main__":
    main()
