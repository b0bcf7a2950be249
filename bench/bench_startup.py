#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Start-up overhead: a tiny application (stamp.dll, which only notes the
moment run_code is entered) started through the launcher against the same
DLL loaded directly by a minimal windowed host (direct_host.exe), both under
Wine, over many runs in one batch (batchrun.exe starts them alternately, so
Wine's own start-up of the batch is paid once and drifts hit both alike).

For each run: time from just before CreateProcessW to run_code's entry (the
launcher: parent start, unpack, child start, DLL load; the host: process
start, DLL load) and the whole run until the process has ended (the launcher
also waits for the child and removes the extraction directory). Prints
median, 10th and 90th percentile, minimum and maximum, and the ratios of the
medians. With --baseline, a launcher linked by another build's vornak (say
one of main, to see what a change costs) joins the same alternation.

Before it unpacks, the launcher sweeps TEMP for extraction directories of
killed starts of its own image. With --foreign N, TEMP holds N directories
of that name form that the sweep must look at and leave alone (half with a
marker that names another image, half without one) for every run: compared
with a baseline from before the sweep, the pair shows what it costs when
there is nothing to remove.

Usage: bench/bench_startup.py [--build DIR] [--runs 40] [--baseline BUILD_DIR] [--foreign N]
"""

import shutil

import benchlib
from benchlib import median, spread


def options(p):
    p.add_argument("--runs", type=int, default=40, help="runs of each")
    p.add_argument("--baseline", help="another build directory whose bin/vornak links a launcher to compare")
    p.add_argument("--foreign", type=int, default=0,
                   help="extraction directories of other images in TEMP, left alone by every run")


MARKER = "onefile-start.marker"


def seed_foreign(temp, count):
    """count directories the sweep must leave: other image's marker or none."""
    for i in range(count):
        d = temp / ("onefile_1_%06d_AAAAAAAAAAA" % i)
        d.mkdir()
        if i % 2 == 0:
            (d / MARKER).write_bytes(b"\0" * 8 + "Z:\\other.exe".encode("utf-16-le"))
        else:
            (d / "inner.txt").write_bytes(b"inner")


def main():
    args = benchlib.parse_args(__doc__.splitlines()[0], options)
    b = benchlib.Bench(args.build)
    b.start_wine()
    app = b.root / "tiny-app"
    shutil.rmtree(app, ignore_errors=True)
    app.mkdir()
    shutil.copyfile(b.win / "bench" / "stamp.dll", app / "app.dll")
    exes = {"launcher": b.cache / "tiny-launcher.exe"}
    vornaks = {"launcher": b.vornak}
    if args.baseline:
        exes["baseline"] = b.cache / "tiny-launcher-baseline.exe"
        vornaks["baseline"] = benchlib.Path(args.baseline).resolve() / "bin" / "vornak"
    for kind, exe in exes.items():
        benchlib.subprocess.run([str(vornaks[kind]), "build", "--quiet", str(app), "--dll", "app.dll",
                                 "-o", str(exe)], check=True)
    kinds_run = list(exes) + ["direct"]
    direct_dir = b.root / "direct"
    shutil.rmtree(direct_dir, ignore_errors=True)
    direct_dir.mkdir()
    shutil.copyfile(b.win / "bench" / "stamp.dll", direct_dir / "app.dll")
    host = b.win / "bench" / "direct_host.exe"
    stamps = b.root / "stamps"
    shutil.rmtree(stamps, ignore_errors=True)
    stamps.mkdir()

    jobs, kinds = [], []
    for i in range(args.runs + 2):  # the first two of each warm up and are dropped
        for kind in kinds_run:
            stamp = stamps / ("%s-%03d.txt" % (kind, i))
            cmd = '"%s"' % benchlib.win_path(exes[kind]) if kind in exes else '"%s" "%s"' % (
                benchlib.win_path(host), benchlib.win_path(direct_dir / "app.dll"))
            jobs.append(["--set", "VORNAK_STAMP_FILE=" + benchlib.win_path(stamp), "--timeout", "30000",
                         "--cmd", cmd])
            kinds.append((kind, stamp, i))
    for left in b.temp_contents():
        shutil.rmtree(b.temp / left)
    seed_foreign(b.temp, args.foreign)
    seeded = b.temp_contents()
    runs = b.batchrun(jobs)
    if b.temp_contents() != seeded:
        raise SystemExit("launcher runs left %r in TEMP" % sorted(set(b.temp_contents()) - set(seeded)))
    for left in seeded:
        shutil.rmtree(b.temp / left)

    to_run_code = {kind: [] for kind in kinds_run}
    whole = {kind: [] for kind in kinds_run}
    for (kind, stamp, i), r in zip(kinds, runs):
        if r["exit"] != 0 or r["timed_out"]:
            raise SystemExit("%s run %d ended with 0x%08X" % (kind, i, r["exit"]))
        if i < 2:
            continue
        ft = int(stamp.read_text().split("=")[1])
        to_run_code[kind].append((ft - r["start_ft"]) / 1e4)  # 100 ns units to ms
        whole[kind].append(r["elapsed_us"] / 1e3)

    print("tiny application: %d bytes of DLL; %s; %d runs each, alternating" % (
        (app / "app.dll").stat().st_size,
        ", ".join("%s %d bytes" % (kind, exe.stat().st_size) for kind, exe in exes.items()), args.runs))
    print("machine: %s; TEMP holds %d directories of other images" % (benchlib.machine_note(), args.foreign))
    print()
    print("%-32s %8s %8s %8s %8s %8s" % ("milliseconds", "median", "p10", "p90", "min", "max"))
    names = {"launcher": "launcher", "baseline": "baseline launcher", "direct": "direct host"}
    for label, key in (("to run_code", to_run_code), ("whole run", whole)):
        for kind in kinds_run:
            lo, p10, p90, hi = spread(key[kind])
            print("%-32s %8.1f %8.1f %8.1f %8.1f %8.1f" % ("%s, %s" % (label, names[kind]), median(key[kind]),
                                                           p10, p90, lo, hi))
    print()
    for label, key in (("to run_code", to_run_code), ("whole run", whole)):
        d = median(key["direct"])
        for kind in exes:
            l = median(key[kind])
            print("%-12s %s - direct: %6.1f ms, %s / direct: %.2f" % (label, kind, l - d, kind, l / d))
        if args.baseline:
            l, base = median(key["launcher"]), median(key["baseline"])
            print("%-12s launcher / baseline: %.3f" % (label, l / base))


if __name__ == "__main__":
    main()
