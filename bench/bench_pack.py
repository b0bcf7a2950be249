#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Packing levels: for each level, on the whole realistic application and
with the default thread count (one worker per core), `vornak pack` time,
payload size and peak memory, `vornak build --payload` time and peak memory
(the linker included), and the launcher's start under Wine (start to
run_code, and the whole run, median of --runs). One table, all levels in the
same run, so that the ratios between them hold on a busy machine.

Usage: bench/bench_pack.py [--build DIR] [--levels 3,9,12,15,19] [--runs 3]
"""

import os
import subprocess
import time

import benchlib
from benchlib import mb, median


def options(p):
    p.add_argument("--levels", default="3,9,12,15,19")
    p.add_argument("--runs", type=int, default=3, help="launcher starts per level")


def read_stamp(path):
    ft = int(path.read_text().split("=")[1])
    return ft / 1e7 - benchlib.FILETIME_EPOCH_OFFSET_S


def main():
    args = benchlib.parse_args(__doc__.splitlines()[0], options)
    b = benchlib.Bench(args.build)
    b.start_wine()
    app, manifest = b.app()
    decoded = manifest["bytes"]
    print("application: %d files, %.1f MB; %d cores; machine: %s" % (
        manifest["files"], mb(decoded), os.cpu_count(), benchlib.machine_note()))
    subprocess.run(["cat"] + [str(app / e["name"].replace("\\", "/")) for e in manifest["entries"]],
                   stdout=subprocess.DEVNULL)  # into the page cache

    env = b.env()
    stamp = b.root / "stamp.txt"
    env["VORNAK_STAMP_FILE"] = benchlib.win_path(stamp)
    # Ends by itself when its input closes, at the latest when this script ends.
    holder = subprocess.Popen([benchlib.WINE, str(b.win / "bench" / "hold_desktop.exe")], stdin=subprocess.PIPE,
                              env=env, cwd=b.root, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(exe):
        if stamp.exists():
            stamp.unlink()
        benchlib.drop_dirty_pages()
        t0 = time.time()
        seconds, _ = benchlib.timed([benchlib.WINE, str(exe)], env=env, cwd=b.root)
        if b.temp_contents():
            raise SystemExit("the launcher left %r in TEMP" % b.temp_contents())
        return read_stamp(stamp) - t0, seconds

    payload, exe = b.root / "level-payload.bin", b.root / "level-launcher.exe"
    rows = []
    for level in [int(x) for x in args.levels.split(",")]:
        benchlib.drop_dirty_pages()
        pack_s, pack_peak = benchlib.timed([str(b.vornak), "pack", str(app), "--dll", "app.dll", "-o", str(payload),
                                            "--level", str(level), "--quiet"]
                                           + benchlib.PACK_ALLOW_DLLS)
        benchlib.drop_dirty_pages()
        build_s, build_peak = benchlib.timed([str(b.vornak), "build", "--payload", str(payload), "-o", str(exe),
                                              "--quiet"])
        start(exe)  # warms Wine and the page cache
        starts = [start(exe) for _ in range(args.runs)]
        rows.append((level, payload.stat().st_size, pack_s, pack_peak, build_s, build_peak,
                     median([s[0] for s in starts]), median([s[1] for s in starts])))
        r = rows[-1]
        print("level %2d: payload %.1f MB, pack %.1f s (peak %.0f MB), build %.1f s (peak %.0f MB), "
              "run_code after %.2f s, whole run %.2f s" % (r[0], mb(r[1]), r[2], mb(r[3]), r[4], mb(r[5]), r[6], r[7]),
              flush=True)
    holder.stdin.close()
    holder.wait()
    for f in (payload, exe):
        f.unlink()

    print()
    print("| level | payload MB | ratio | pack s | pack peak MB | build s | build peak MB | to run_code s | whole run s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %d | %.1f | %.2f | %.1f | %.0f | %.1f | %.0f | %.2f | %.2f |" % (
            r[0], mb(r[1]), decoded / r[1], r[2], mb(r[3]), r[4], mb(r[5]), r[6], r[7]))


if __name__ == "__main__":
    main()
