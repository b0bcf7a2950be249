#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Unpack throughput: the launcher's whole run under Wine (parent unpacks the
realistic application, starts the child, which loads app.dll and returns,
then the parent removes the directory) against, on the same files in the
same run, the same launcher whose frame has its content checksum taken out,
native `zstd -d` of the very frame the launcher carries (to
/dev/null: the decoder's limit) and native `tar --zstd -xf` of the same
files into a fresh directory (what a user would compare with).

Each round also runs a second launcher of the same payload built with
--splash (a 480 x 320 image): the splash shows after 400 ms and draws the
progress from a thread of its own, and the unpack must not slow down for it.
The launchers of a round take turns at going first: use a multiple of 3 rounds.

Each round also times the launcher's removal on its own: the same files,
unpacked by tar into a directory under the prefix's TEMP, removed by
remove_tree.exe (cleanup_launch in-process, timed inside the process), against
native `rm -r` of tar's tree.

Rounds alternate these; each starts after `sync`, with every input in
the page cache. hold_desktop.exe keeps Wine's desktop up meanwhile, as the
shell does on Windows: otherwise every parent's hidden window would wait for
a new desktop process. Prints medians, rates over the decoded size, the
ratios, and the peak resident set of each measured process (Linux ru_maxrss of the
process started; for the launcher that is the parent, whose Linux process is
the wine64 we start; the child is a process of its own and not counted).

Usage: bench/bench_unpack.py [--build DIR] [--level 19] [--threads 2] [--rounds 3]
"""

import os
import shutil
import struct
import subprocess
import time
import zlib

import benchlib
from benchlib import mb, median


def options(p):
    p.add_argument("--level", type=int, default=19, help="packing level (19 is the realistic setting)")
    p.add_argument("--threads", type=int, default=2, help="packing threads")
    p.add_argument("--rounds", type=int, default=3)


def write_splash_png(path, width=480, height=320):
    """A PNG with a gradient and a translucent border, as a real splash has."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            edge = x < 8 or y < 8 or x >= width - 8 or y >= height - 8
            rows += bytes((x * 255 // width, y * 255 // height, 160, 96 if edge else 255))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows))) +
                     chunk(b"IEND", b""))


def read_stamp(path):
    ft = int(path.read_text().split("=")[1])
    return ft / 1e7 - benchlib.FILETIME_EPOCH_OFFSET_S


def main():
    args = benchlib.parse_args(__doc__.splitlines()[0], options)
    b = benchlib.Bench(args.build)
    b.start_wine()
    app, manifest = b.app()
    payload, exe, pack_seconds = b.packed_launcher(app, manifest, args.level, args.threads)
    exe_nochecksum = b.launcher_without_checksum(payload)
    frame = b.cache / (payload.stem + ".frame.zst")
    if not frame.exists():
        frame.write_bytes(payload.read_bytes()[3:-15])
    tar_file = b.tar_zst(app, manifest, args.level, args.threads)
    splash_png = b.cache / "splash.png"
    write_splash_png(splash_png)
    _, splash_exe, _ = b.packed_launcher(app, manifest, args.level, args.threads,
                                         extra=["--splash", str(splash_png)], tag="-splash")
    decoded = manifest["bytes"]
    biggest = max(e["size"] for e in manifest["entries"])
    print("application: %d files, %.1f MB, largest %.1f MB; payload %.1f MB (level %d, %d threads%s); "
          "launcher %.1f MB; tar.zst %.1f MB" % (
              manifest["files"], mb(decoded), mb(biggest), mb(payload.stat().st_size), args.level, args.threads,
              ", packed in %.1f s" % pack_seconds if pack_seconds else ", cached",
              mb(exe.stat().st_size), mb(tar_file.stat().st_size)))
    print("machine: %s" % benchlib.machine_note())

    for f in (exe, frame, tar_file):
        subprocess.run(["cat", str(f)], stdout=subprocess.DEVNULL)
    env = b.env()
    stamp = b.root / "stamp.txt"
    env["VORNAK_STAMP_FILE"] = benchlib.win_path(stamp)
    out_dir = b.root / "tar-out"
    results = {"launcher": [], "launcher_to_run_code": [], "splash": [], "splash_to_run_code": [], "zstd": [],
               "tar": [], "tar_rm": [], "rm": [], "removal": [], "nochecksum": []}
    rss = {"launcher": 0, "zstd": 0, "tar": 0}

    def run_launcher(image=exe):
        if stamp.exists():
            stamp.unlink()
        start = time.time()
        s, peak = benchlib.timed([benchlib.WINE, str(image)], env=env, cwd=b.root)
        left = b.temp_contents()
        if left:
            raise SystemExit("the launcher left %r in TEMP" % left)
        return s, peak, read_stamp(stamp) - start

    def run_tar():
        shutil.rmtree(out_dir, ignore_errors=True)
        out_dir.mkdir()
        s, peak = benchlib.timed(["tar", "--zstd", "-xf", str(tar_file), "-C", str(out_dir)])
        t0 = time.perf_counter()
        shutil.rmtree(out_dir)
        return s, peak, time.perf_counter() - t0

    removal_dir = b.temp / "onefile_removal"

    def run_removal():
        shutil.rmtree(removal_dir, ignore_errors=True)
        removal_dir.mkdir()
        subprocess.run(["tar", "--zstd", "-xf", str(tar_file), "-C", str(removal_dir)], check=True)
        benchlib.drop_dirty_pages()
        r = subprocess.run([benchlib.WINE, str(b.win / "bench" / "remove_tree.exe"), benchlib.win_path(removal_dir)],
                           env=env, cwd=b.root, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        fields = dict(f.split("=", 1) for f in r.stdout.split())
        if fields.get("gone") != "1" or removal_dir.exists():
            raise SystemExit("the removal left %s behind: %r" % (removal_dir, r.stdout))
        return float(fields["removal_s"])

    # Ends by itself when its input closes, at the latest when this script ends.
    holder = subprocess.Popen([benchlib.WINE, str(b.win / "bench" / "hold_desktop.exe")], stdin=subprocess.PIPE,
                              env=env, cwd=b.root, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # One unmeasured round warms Wine and the caches.
    run_launcher()
    run_launcher(splash_exe)
    run_tar()
    run_removal()
    for r in range(args.rounds):
        # The three launchers take turns at going first, second and third:
        # a run is slower right after another one's removal, whatever it is.
        def plain():
            s, peak, to_run_code = run_launcher()
            results["launcher"].append(s)
            results["launcher_to_run_code"].append(to_run_code)
            rss["launcher"] = max(rss["launcher"], peak)

        def nochecksum():
            results["nochecksum"].append(run_launcher(exe_nochecksum)[0])

        def splash():
            s, _, to_run_code = run_launcher(splash_exe)
            results["splash"].append(s)
            results["splash_to_run_code"].append(to_run_code)

        order = [plain, nochecksum, splash]
        for run in order[r % 3:] + order[:r % 3]:
            benchlib.drop_dirty_pages()
            run()
        benchlib.drop_dirty_pages()
        s, peak = benchlib.timed(["zstd", "-q", "-d", "-c", str(frame)])
        results["zstd"].append(s)
        rss["zstd"] = max(rss["zstd"], peak)
        benchlib.drop_dirty_pages()
        s, peak, rm_seconds = run_tar()
        results["tar"].append(s)
        results["tar_rm"].append(s + rm_seconds)
        results["rm"].append(rm_seconds)
        rss["tar"] = max(rss["tar"], peak)
        results["removal"].append(run_removal())
        print("round %d: launcher %.2f s (run_code after %.2f s), with splash %.2f s (%.2f s), "
              "without checksum %.2f s, zstd -d %.2f s, tar -x %.2f s (+rm %.2f s), launcher's removal alone "
              "%.2f s" % (r + 1, results["launcher"][-1], results["launcher_to_run_code"][-1], results["splash"][-1],
                          results["splash_to_run_code"][-1], results["nochecksum"][-1], results["zstd"][-1],
                          results["tar"][-1], rm_seconds, results["removal"][-1]), flush=True)

    anon, file_backed = benchlib.sampled_memory([benchlib.WINE, str(exe)], env=env, cwd=b.root)
    holder.stdin.close()
    holder.wait(30)
    launcher, zstd, tar = median(results["launcher"]), median(results["zstd"]), median(results["tar"])
    print()
    print("%-34s %8s %9s %10s" % ("median of %d rounds" % args.rounds, "seconds", "MB/s", "peak RSS"))
    print("%-34s %8.2f %9.0f %8.0f MB" % ("launcher, whole run under Wine", launcher, mb(decoded) / launcher,
                                          mb(rss["launcher"])))
    print("%-34s %8s %9s %8.0f MB" % ("  of it anonymous (sampled)", "", "", mb(anon)))
    print("%-34s %8s %9s %8.0f MB" % ("  of it file-backed (sampled)", "", "", mb(file_backed)))
    print("%-34s %8.2f %9.0f" % ("  of which start to run_code", median(results["launcher_to_run_code"]),
                                 mb(decoded) / median(results["launcher_to_run_code"])))
    print("%-34s %8.2f %9.0f" % ("launcher with splash, whole run", median(results["splash"]),
                                 mb(decoded) / median(results["splash"])))
    print("%-34s %8.2f %9.0f" % ("  of which start to run_code", median(results["splash_to_run_code"]),
                                 mb(decoded) / median(results["splash_to_run_code"])))
    print("%-34s %8.2f %9.0f" % ("launcher, frame without checksum", median(results["nochecksum"]),
                                 mb(decoded) / median(results["nochecksum"])))
    print("%-34s %8.2f %9.0f %8.0f MB" % ("zstd -d of the frame, /dev/null", zstd, mb(decoded) / zstd, mb(rss["zstd"])))
    print("%-34s %8.2f %9.0f %8.0f MB" % ("tar --zstd -xf, fresh directory", tar, mb(decoded) / tar, mb(rss["tar"])))
    print("%-34s %8.2f" % ("tar --zstd -xf, then rm -r", median(results["tar_rm"])))
    print("%-34s %8.2f" % ("launcher's removal alone", median(results["removal"])))
    print("%-34s %8.2f" % ("rm -r of tar's tree", median(results["rm"])))
    print()
    print("ratio with splash / without, start to run_code: %.3f" % (
        median(results["splash_to_run_code"]) / median(results["launcher_to_run_code"])))
    print("ratio with splash / without, whole run: %.3f" % (median(results["splash"]) / launcher))
    print("ratio launcher with / without content checksum: %.3f" % (launcher / median(results["nochecksum"])))
    print("ratio launcher / zstd -d: %.2f" % (launcher / zstd))
    print("ratio launcher / tar -x:  %.2f" % (launcher / tar))
    print("ratio launcher / (tar -x + rm -r): %.2f" % (launcher / median(results["tar_rm"])))
    print("ratio launcher's removal / rm -r: %.1f" % (median(results["removal"]) / median(results["rm"])))


if __name__ == "__main__":
    main()
