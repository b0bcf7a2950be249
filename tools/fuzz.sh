#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one fuzz target for a while: tools/fuzz.sh TARGET SECONDS [libFuzzer options]
# TARGET is pe, payload or extract. The corpus grows in
# build/fuzz-corpus/TARGET (seeded from the test seeds); crash inputs land in
# build/fuzz-crashes/TARGET. Keep each one found as a regression case.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNAK_BUILD_DIR:-$root/build}
target=${1:?usage: fuzz.sh TARGET SECONDS}
seconds=${2:?usage: fuzz.sh TARGET SECONDS}
shift 2
case $target in pe|payload|extract) ;; *) echo "fuzz.sh: unknown target '$target' (pe, payload, extract)" >&2; exit 2;; esac

VORNAK_BUILD_DIR=$build "$root/tools/build-asan.sh" >/dev/null
asan=$build/asan
seeds=$asan/fuzz/seeds
[ -d "$seeds/$target" ] || (cd "$asan" && ctest -R '^fuzz_seeds$' >/dev/null)
corpus=$build/fuzz-corpus/$target
crashes=$build/fuzz-crashes/$target
mkdir -p "$corpus" "$crashes"
exec "$asan/bin/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$crashes/" -print_final_stats=1 "$@" \
    "$corpus" "$seeds/$target" "$root/tests/fuzz/regressions/$target"
