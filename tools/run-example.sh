#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job: install what is missing, build everything, pack the bundled
# example application into a launcher and run it under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNAK_BUILD_DIR:-$root/build}
VORNAK_BUILD_DIR=$build "$root/tools/build.sh"

exe=$build/hello.exe
"$build/bin/vornak" build "$build/examples/hello" --dll hello.dll -o "$exe"
echo "built $exe"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINE=/usr/lib/wine/wine64
"$root/tests/wine_prefix.sh" start
trap '"$root/tests/wine_prefix.sh" stop' EXIT
set +e
"$WINE" "$exe" "two words" 'say "hi"' 'C:\back slash\' --exit 3
status=$?
set -e
echo "launcher exit code: $status"
[ "$status" -eq 3 ]
