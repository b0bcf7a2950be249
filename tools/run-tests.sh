#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds everything and runs every test (host
# tests, Windows test programs and end-to-end cases under Wine) through ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
"$root/tools/setup.sh" "$build"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j2 --timeout 900 "$@"
